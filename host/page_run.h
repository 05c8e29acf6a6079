/*
 * One page run as a browser runs it: the script engine with the page's window (the
 * page runtime: its DOM, location, navigator, ...); the page parsed, its scripts run
 * where the parser reaches them (defer after the parsing, async once it is done), and
 * for each embedding of the plug-in's type, where the parser reaches it, NPP_New with
 * the embedding's attributes (and an <object>'s <param>s), NPP_SetWindow at the
 * element's size, its src streamed and NPP_GetValue for the scriptable object (the
 * plug-in loaded, NP_GetEntryPoints and NP_Initialize, at the first); DOMContentLoaded
 * and load; the event loop until the page is idle (at most --stay-open); beforeunload
 * and unload; then NPP_Destroy with the page still there, the page's script closed,
 * NP_Shutdown and unload, and a look at the browser's accounting. A bare script is a
 * page with one embedding named by the options.
 */
#ifndef KELVRA_HOST_PAGE_RUN_H
#define KELVRA_HOST_PAGE_RUN_H

#include <stdio.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "js_engine.h"

namespace host {

// Exit codes of the host program.
enum ExitCode {
  kExitOk = 0,
  kExitScriptError = 1,
  kExitUsage = 2,
  kExitPluginRefused = 3,  // plug-in not found, not one for the type, or not loadable;
                           // or the --launcher DLL serves no launcher
  kExitImbalance = 4,      // the run ended with references or memory not given back
  kExitHung = 5,           // a call into the plug-in ran past --timeout
  kExitCrashed = 6,        // the plug-in faulted (an exception it left unhandled)
  kExitScriptTimeout = 7,  // the page's script did not end within its time
  kExitInterrupted = 130,  // the user interrupted the run (Ctrl-C)
};

// A watchdog's default: long enough for any honest call, short of a stuck test run.
const unsigned kDefaultTimeoutSeconds = 180;
// How long a loaded page stays open at most while timers, streams or calls are pending.
const unsigned long kDefaultStayOpenSeconds = 10;
// The language the browsers that load NPAPI plug-ins share: Firefox 52's, ES2017.
const int kDefaultSyntaxLevel = 2017;

struct PageRun {
  std::wstring pluginPath;
  std::wstring launcherPath;  // empty: the launcher is found through its registration
  std::string url;
  std::string mimeType;
  std::wstring elementName;  // the embedding's name for script (its id attribute)
  std::vector<std::pair<std::string, std::string>> attributes;  // beyond type, id, size
  std::wstring scriptName;  // for error reports; a name ending .html or .htm is a page
  std::wstring script;      // the script's text, or the page's HTML
  std::string charset = "utf-8";  // the page's, for its scripts without their own
  unsigned timeoutSeconds = kDefaultTimeoutSeconds;  // plug-in calls; 0: no watchdog
  unsigned long scriptTimeoutSeconds = 0;  // each script run; 0: no limit
  unsigned long stayOpenSeconds = kDefaultStayOpenSeconds;  // after load; 0: no limit
  int syntaxLevel = kDefaultSyntaxLevel;  // scripts are checked against (a year; 5; 0: none)
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
