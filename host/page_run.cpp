#include "page_run.h"

#include <windows.h>
#include <string.h>

#include <set>

#include "launcher_server.h"
#include "npbrowser.h"
#include "plugin_discovery.h"
#include "plugin_loader.h"
#include "script_values.h"
#include "script_watchdog.h"

namespace host {
namespace {

const wchar_t kLogPattern[] = L"KLV-*.log";
const uint32_t kEmbedWidth = 1;
const uint32_t kEmbedHeight = 1;

std::wstring temporaryDirectory() {
  wchar_t path[MAX_PATH];
  DWORD length = GetTempPathW(MAX_PATH, path);
  return length > 0 && length < MAX_PATH ? std::wstring(path, length) : std::wstring();
}

// The embedding's attributes as NPP_New receives them.
struct Attributes {
  std::vector<std::string> names;
  std::vector<std::string> values;
  std::vector<char*> argn;
  std::vector<char*> argv;

  explicit Attributes(const PageRun& run) {
    add("type", run.mimeType);
    add("id", narrow(run.elementName));
    add("width", std::to_string(kEmbedWidth));
    add("height", std::to_string(kEmbedHeight));
    for (size_t i = 0; i < run.attributes.size(); ++i) {
      add(run.attributes[i].first, run.attributes[i].second);
    }
    for (size_t i = 0; i < names.size(); ++i) {
      argn.push_back(&names[i][0]);
      argv.push_back(&values[i][0]);
    }
  }
  void add(const std::string& name, const std::string& value) {
    names.push_back(name);
    values.push_back(value);
  }
};

// What the browser still holds after the plug-in is gone, against the start.
bool reportBalance(const browser::Counts& before, const browser::Counts& after, FILE* report) {
  struct Item {
    const char* what;
    long long left;
  };
  const Item items[] = {
      {"scriptable objects not deallocated", after.liveObjects - before.liveObjects},
      {"memalloc blocks not freed", after.liveBlocks - before.liveBlocks},
      {"property values not released", after.unreleasedVariants() - before.unreleasedVariants()},
      {"memfree calls on no live block", after.badFrees - before.badFrees},
      {"calls on objects already deallocated", after.deadObjectCalls - before.deadObjectCalls},
      {"releases below a count of 0", after.underflows - before.underflows},
  };
  bool balanced = true;
  for (const Item& item : items) {
    if (item.left == 0) continue;
    fprintf(report, "host: IMBALANCE: %lld %s\n", item.left, item.what);
    balanced = false;
  }
  if (balanced) {
    fprintf(report,
            "host: browser accounting balanced: %ld objects created, %ld memalloc blocks, "
            "%ld property values, all given back\n",
            after.objectsCreated - before.objectsCreated, after.allocations - before.allocations,
            after.variantsHandedOut - before.variantsHandedOut);
  }
  return balanced;
}

// The embedding's life between NPP_New and NPP_Destroy: window, scriptable object,
// page script. Answers whether the script ran to its end.
bool runEmbedding(const PageRun& run, const NPPluginFuncs& funcs, NPP instance,
                  const ConsoleSink& console, FILE* report) {
  HWND window = CreateWindowExW(0, L"STATIC", L"kelvra_host embedding", WS_POPUP, 0, 0,
                                kEmbedWidth, kEmbedHeight, NULL, NULL, NULL, NULL);
  NPWindow npWindow;
  memset(&npWindow, 0, sizeof npWindow);
  npWindow.window = window;
  npWindow.width = kEmbedWidth;
  npWindow.height = kEmbedHeight;
  npWindow.clipRect.right = kEmbedWidth;
  npWindow.clipRect.bottom = kEmbedHeight;
  npWindow.type = NPWindowTypeWindow;
  if (funcs.setwindow != NULL) {
    fprintf(report, "host: NPP_SetWindow -> %d\n", funcs.setwindow(instance, &npWindow));
  }

  NPObject* scriptable = NULL;
  NPError error = funcs.getvalue != NULL
                      ? funcs.getvalue(instance, NPPVpluginScriptableNPObject, &scriptable)
                      : NPERR_GENERIC_ERROR;
  if (error != NPERR_NO_ERROR) scriptable = NULL;
  if (scriptable != NULL) {
    fprintf(report, "host: NPP_GetValue(scriptable object) -> 0: %s is scriptable\n",
            narrow(run.elementName).c_str());
  } else {
    fprintf(report,
            "host: NPP_GetValue(scriptable object) -> %d: %s has no scriptable object, it is "
            "null for script\n",
            error, narrow(run.elementName).c_str());
  }
  NPObject* pageWindow = NULL;
  if (browser::functions()->getvalue(instance, NPNVWindowNPObject, &pageWindow) !=
      NPERR_NO_ERROR) {
    pageWindow = NULL;
  }

  IDispatch* element = scriptable != NULL ? wrapObject(instance, scriptable) : NULL;
  IDispatch* windowObject = pageWindow != NULL ? wrapObject(instance, pageWindow) : NULL;
  NamedObject objects[] = {{run.elementName.c_str(), element}, {L"window", windowObject}};
  fflush(report);
  if (run.atStep) run.atStep();
  fprintf(report, "host: running %s\n", narrow(run.scriptName).c_str());
  fflush(report);
  ScriptError scriptError;
  bool ran = runScript(run.script, objects, 2, console, &scriptError, run.scriptTimeoutSeconds);
  if (ran) {
    fprintf(report, "host: script finished\n");
  } else if (scriptStop() == kScriptTimedOut) {
    fprintf(report, "host: SCRIPT TIME-OUT %s: stopped after %lu s without an end, at line %lu "
            "(--script-timeout SECONDS, 0 for no limit)\n",
            narrow(run.scriptName).c_str(), run.scriptTimeoutSeconds, scriptError.line);
  } else if (scriptStop() == kScriptInterrupted) {
    fprintf(report, "host: script interrupted\n");
  } else {
    fprintf(report, "host: SCRIPT ERROR %s:%lu:%ld: %s\n", narrow(run.scriptName).c_str(),
            scriptError.line, scriptError.column, scriptError.message.c_str());
    if (!scriptError.sourceLine.empty()) {
      fprintf(report, "host:   %s\n", scriptError.sourceLine.c_str());
    }
  }
  // Script is done with the page: its objects go back before the instance does.
  if (element != NULL) element->Release();
  if (windowObject != NULL) windowObject->Release();
  if (window != NULL) DestroyWindow(window);
  fflush(report);
  if (run.atStep) run.atStep();
  return ran;
}

}  // namespace

std::string hostOfUrl(const std::string& url) {
  size_t start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  size_t end = url.find_first_of("/?#", start);
  std::string host = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  size_t at = host.rfind('@');
  if (at != std::string::npos) host = host.substr(at + 1);
  for (size_t i = 0; i < host.size(); ++i) {
    if (host[i] >= 'A' && host[i] <= 'Z') host[i] = static_cast<char>(host[i] - 'A' + 'a');
  }
  return host;
}

PageOutcome runPage(const PageRun& run, const ConsoleSink& console, FILE* report) {
  PageOutcome outcome;
  std::string reason;
  if (!pluginHandles(run.pluginPath, run.mimeType, &reason)) {
    fprintf(report, "host: REFUSED: %s\n", reason.c_str());
    outcome.exitCode = kExitPluginRefused;
    return outcome;
  }
  std::string host = hostOfUrl(run.url);
  browser::reset();
  browser::setHost(host);
  browser::Counts before = browser::counts();
  std::wstring temp = temporaryDirectory();
  std::vector<std::wstring> earlier = findFiles(temp, kLogPattern);
  std::set<std::wstring> earlierLogs(earlier.begin(), earlier.end());

  LauncherServer launcher = {NULL, NULL, 0};
  if (!run.launcherPath.empty()) {
    if (!serveLauncher(run.launcherPath, &launcher, &reason)) {
      fprintf(report, "host: REFUSED: %s\n", reason.c_str());
      outcome.exitCode = kExitPluginRefused;
      return outcome;
    }
    fprintf(report, "host: launcher class served from %s\n", narrow(run.launcherPath).c_str());
  }
  LoadedPlugin plugin;
  if (!loadPlugin(run.pluginPath, &plugin)) {
    fprintf(report, "host: REFUSED: %s cannot be loaded as an NPAPI plug-in\n",
            narrow(run.pluginPath).c_str());
    if (launcher.module != NULL) stopLauncher(&launcher);
    outcome.exitCode = kExitPluginRefused;
    return outcome;
  }
  fprintf(report, "host: loaded %s\n", narrow(run.pluginPath).c_str());
  NPPluginFuncs funcs;
  NPError error = startPlugin(plugin, browser::functions(), &funcs);
  fprintf(report, "host: NP_GetEntryPoints, NP_Initialize -> %d\n", error);
  bool ran = true;
  if (error == NPERR_NO_ERROR && funcs.newp != NULL && funcs.destroy != NULL) {
    fprintf(report, "host: page %s (location.host %s)\n", run.url.c_str(), host.c_str());
    Attributes attributes(run);
    std::string mimeType = run.mimeType;
    NPP_t instance;
    memset(&instance, 0, sizeof instance);
    NPError created = funcs.newp(&mimeType[0], &instance, NP_EMBED,
                                 static_cast<int16_t>(attributes.argn.size()), &attributes.argn[0],
                                 &attributes.argv[0], NULL);
    fprintf(report, "host: NPP_New(%s) -> %d\n", run.mimeType.c_str(), created);
    if (created == NPERR_NO_ERROR) {
      ran = runEmbedding(run, funcs, &instance, console, report);
      fprintf(report, "host: NPP_Destroy -> %d\n", funcs.destroy(&instance, NULL));
      fflush(report);
      if (run.atStep) run.atStep();
    } else {
      fprintf(report,
              "host: NOT RUN: the plug-in refused the embedding (NPP_New -> %d; its log says "
              "why), so the page's script was not run; in a browser the page would see %s as "
              "an element without the plug-in's methods\n",
              created, narrow(run.elementName).c_str());
      outcome.exitCode = kExitPluginRefused;
    }
  } else if (error == NPERR_NO_ERROR) {
    fprintf(report, "host: REFUSED: the plug-in offers no NPP_New/NPP_Destroy\n");
    outcome.exitCode = kExitPluginRefused;
  } else {
    outcome.exitCode = kExitPluginRefused;
  }
  if (error == NPERR_NO_ERROR) fprintf(report, "host: NP_Shutdown -> %d\n", plugin.shutdown());
  unloadPlugin(&plugin);
  fprintf(report, "host: unloaded\n");
  fflush(report);
  if (run.atStep) run.atStep();

  bool balanced = reportBalance(before, browser::counts(), report);
  if (launcher.module != NULL && !stopLauncher(&launcher)) {
    fprintf(report, "host: IMBALANCE: launcher objects still alive (DllCanUnloadNow: S_FALSE)\n");
    balanced = false;
  }
  std::vector<std::wstring> logs = findFiles(temp, kLogPattern);
  for (size_t i = 0; i < logs.size(); ++i) {
    if (earlierLogs.count(logs[i]) != 0) continue;
    outcome.logFiles.push_back(logs[i]);
    fprintf(report, "host: plug-in log: %s\n", narrow(logs[i]).c_str());
  }
  if (outcome.exitCode == kExitOk && !ran) {
    outcome.exitCode = scriptStop() == kScriptTimedOut     ? kExitScriptTimeout
                       : scriptStop() == kScriptInterrupted ? kExitInterrupted
                                                            : kExitScriptError;
  }
  if (outcome.exitCode == kExitOk && !balanced) outcome.exitCode = kExitImbalance;
  fflush(report);
  return outcome;
}

}  // namespace host
