/*
 * The plug-in's log beside the page's output: the log files that appear in the
 * run's temporary folder are read as they grow, and each new line is shown at once
 * on demand (after a console line of the page, between the host's steps) or, when
 * following, from a thread of its own. All console output of the host goes through
 * one lock, so that lines of the page, the host and the log never mix.
 */
#ifndef KELVRA_HOST_LOG_FOLLOW_H
#define KELVRA_HOST_LOG_FOLLOW_H

#include <windows.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace host {

// Writes one line and its line feed, whole, under the console lock.
void writeConsoleLine(FILE* stream, const std::string& line);

class LogFollower {
 public:
  // Files already in `directory` are not the run's and are left out.
  LogFollower(const std::wstring& directory, FILE* out);
  ~LogFollower();
  LogFollower(const LogFollower&) = delete;
  LogFollower& operator=(const LogFollower&) = delete;

  // Shows the lines written since the last call (complete lines only).
  void drain();
  // Drains every `intervalMs` from a thread until stop().
  void follow(DWORD intervalMs);
  // Ends following and shows what is left, a last line without its end too.
  void stop();

 private:
  struct File {
    std::wstring path;
    unsigned long long offset;
    std::string partial;  // a line not yet ended
  };
  void readNew(File* file, bool final);
  static DWORD WINAPI followThread(void* self);

  std::wstring directory_;
  FILE* out_;
  std::vector<std::wstring> earlier_;
  std::vector<File> files_;
  HANDLE stopEvent_ = NULL;
  HANDLE thread_ = NULL;
  DWORD intervalMs_ = 0;
};

}  // namespace host

#endif
