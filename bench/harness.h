/*
 * What the soak and the benchmark share: one load of the real plug-in on a private
 * temporary directory (removed again, log file and all, when the session closes),
 * embeddings on an allowed page, the process's memory and handle figures, and a
 * clock.
 */
#ifndef KELVRA_BENCH_HARNESS_H
#define KELVRA_BENCH_HARNESS_H

#include <windows.h>

#include <string>
#include <vector>

#include "npbrowser.h"
#include "plugin_loader.h"

namespace kelvra_bench {

class PluginSession {
 public:
  PluginSession() = default;
  PluginSession(const PluginSession&) = delete;
  PluginSession& operator=(const PluginSession&) = delete;
  ~PluginSession() { close(); }

  // Loads NPKelvraProxy.dll from the program's folder with TMP on a new folder named
  // after `prefix`, then NP_GetEntryPoints and NP_Initialize. The calling thread must
  // have COM initialised and the launcher stand-in registered for embeddings to work.
  bool open(const wchar_t* prefix);
  // NP_Shutdown, unload, and the folder removed.
  void close();

  // NPP_New on www.kelvra.com; NULL when refused. The instance lives until destroy().
  NPP newEmbedding();
  // NPP_GetValue for the scriptable object (one browser reference), or NULL.
  NPObject* scriptableObject(NPP instance);
  NPError destroy(NPP instance);

  // This load's log file, or "" when there is none.
  std::wstring logPath() const;
  const std::wstring& folder() const { return folder_; }
  HMODULE module() const { return plugin_.module; }

 private:
  LoadedPlugin plugin_ = {};
  NPPluginFuncs funcs_ = {};
  std::wstring folder_;
  bool started_ = false;
};

struct ProcessFigures {
  SIZE_T privateUsage = 0;    // PROCESS_MEMORY_COUNTERS_EX
  SIZE_T pagefileUsage = 0;
  DWORD handleCount = 0;      // GetProcessHandleCount
  long systemHandles = -1;    // this process's entries in the system handle table
};

// A folder made for a run, and everything in it, removed.
void removeFolder(const std::wstring& folder);

ProcessFigures processFigures();
// The private bytes: PrivateUsage, or PagefileUsage where the system leaves PrivateUsage 0
// (Wine); the handles: GetProcessHandleCount, or the system table's count where it says 0.
SIZE_T privateBytesOf(const ProcessFigures& figures);
long handlesOf(const ProcessFigures& figures);
void printFigures(const char* label, const ProcessFigures& figures);

// QueryPerformanceCounter in seconds.
double seconds();
double median(std::vector<double> values);

}  // namespace kelvra_bench

#endif
