#include "log_follow.h"

#include <algorithm>

#include "options.h"
#include "plugin_loader.h"

namespace host {
namespace {

const wchar_t kLogPattern[] = L"KLV-*.log";
const char kLinePrefix[] = "  log: ";

CRITICAL_SECTION* consoleLock() {
  static CRITICAL_SECTION lock;
  static const bool ready = [] {
    InitializeCriticalSection(&lock);
    return true;
  }();
  (void)ready;
  return &lock;
}

}  // namespace

void writeConsoleLine(FILE* stream, const std::string& line) {
  EnterCriticalSection(consoleLock());
  fwrite(line.data(), 1, line.size(), stream);
  fputc('\n', stream);
  fflush(stream);
  LeaveCriticalSection(consoleLock());
}

LogFollower::LogFollower(const std::wstring& directory, FILE* out)
    : directory_(directory), out_(out), earlier_(findFiles(directory, kLogPattern)) {
  consoleLock();  // made before any thread can ask for it
}

LogFollower::~LogFollower() { stop(); }

void LogFollower::readNew(File* file, bool final) {
  HANDLE handle = CreateFileW(file->path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (handle == INVALID_HANDLE_VALUE) return;
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(file->offset);
  char buffer[8192];
  DWORD got = 0;
  if (SetFilePointerEx(handle, at, NULL, FILE_BEGIN)) {
    while (ReadFile(handle, buffer, sizeof buffer, &got, NULL) && got > 0) {
      file->partial.append(buffer, got);
      file->offset += got;
    }
  }
  CloseHandle(handle);
  size_t start = 0, end;
  while ((end = file->partial.find('\n', start)) != std::string::npos) {
    size_t length = end - start;
    if (length > 0 && file->partial[end - 1] == '\r') --length;
    writeConsoleLine(out_, kLinePrefix + file->partial.substr(start, length));
    start = end + 1;
  }
  file->partial.erase(0, start);
  if (final && !file->partial.empty()) {
    writeConsoleLine(out_, kLinePrefix + file->partial);
    file->partial.clear();
  }
}

void LogFollower::drain() {
  EnterCriticalSection(consoleLock());
  std::vector<std::wstring> now = findFiles(directory_, kLogPattern);
  for (const std::wstring& path : now) {
    bool known = std::find(earlier_.begin(), earlier_.end(), path) != earlier_.end();
    for (const File& file : files_) known = known || file.path == path;
    if (known) continue;
    File file = {path, 0, std::string()};
    files_.push_back(file);
    std::string linuxPath = unixPath(path);
    writeConsoleLine(out_, "host: plug-in log " + narrow(path) +
                               (linuxPath.empty() ? std::string() : "\n      = " + linuxPath));
  }
  for (File& file : files_) readNew(&file, false);
  LeaveCriticalSection(consoleLock());
}

DWORD WINAPI LogFollower::followThread(void* self) {
  LogFollower* follower = static_cast<LogFollower*>(self);
  while (WaitForSingleObject(follower->stopEvent_, follower->intervalMs_) == WAIT_TIMEOUT) {
    follower->drain();
  }
  return 0;
}

void LogFollower::follow(DWORD intervalMs) {
  if (thread_ != NULL) return;
  intervalMs_ = intervalMs;
  stopEvent_ = CreateEventW(NULL, TRUE, FALSE, NULL);
  if (stopEvent_ != NULL) thread_ = CreateThread(NULL, 0, followThread, this, 0, NULL);
}

void LogFollower::stop() {
  if (thread_ != NULL) {
    SetEvent(stopEvent_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = NULL;
  }
  if (stopEvent_ != NULL) {
    CloseHandle(stopEvent_);
    stopEvent_ = NULL;
  }
  drain();
  EnterCriticalSection(consoleLock());
  for (File& file : files_) readNew(&file, true);
  LeaveCriticalSection(consoleLock());
}

}  // namespace host
