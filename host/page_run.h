/*
 * One page with one embedding of a plug-in, run as a browser runs it: load the DLL,
 * NP_GetEntryPoints and NP_Initialize, NPP_New with the embedding's attributes,
 * NPP_SetWindow, NPP_GetValue for the scriptable object, the page's script, then
 * NPP_Destroy, NP_Shutdown and unload, and a look at the browser's accounting.
 */
#ifndef KELVRA_HOST_PAGE_RUN_H
#define KELVRA_HOST_PAGE_RUN_H

#include <stdio.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "script_engine.h"

namespace host {

// Exit codes of the host program.
enum ExitCode {
  kExitOk = 0,
  kExitScriptError = 1,
  kExitUsage = 2,
  kExitPluginRefused = 3,  // plug-in not found, not one for the type, or not loadable;
                           // or the --launcher DLL serves no launcher
  kExitImbalance = 4,      // the run ended with references or memory not given back
  kExitScriptTimeout = 6,  // the page's script did not end within its time
  kExitInterrupted = 130,  // the user interrupted the run (Ctrl-C)
};

struct PageRun {
  std::wstring pluginPath;
  std::wstring launcherPath;  // empty: the launcher is found through its registration
  std::string url;
  std::string mimeType;
  std::wstring elementName;  // the embedding's name for script (its id attribute)
  std::vector<std::pair<std::string, std::string>> attributes;  // beyond type, id, size
  std::wstring scriptName;   // for error reports
  std::wstring script;
  unsigned long scriptTimeoutSeconds = 0;  // 0: no limit
  std::function<void()> atStep;  // called between the host's steps, if set
};

struct PageOutcome {
  int exitCode = kExitOk;
  std::vector<std::wstring> logFiles;  // the plug-in's log files that appeared during the run
};

// location.host of a URL: the host name (lower case) and any port.
std::string hostOfUrl(const std::string& url);

// Runs the page on the calling thread, which must have COM initialised. Console
// lines go to `console`; the host's own account of each step goes to `report`.
PageOutcome runPage(const PageRun& run, const ConsoleSink& console, FILE* report);

}  // namespace host

#endif
