#include "run_setup.h"

#include <windows.h>
#include <objbase.h>

#include "answers.h"
#include "demo_launcher.h"
#include "identity.h"
#include "log_follow.h"
#include "plugin_discovery.h"
#include "plugin_loader.h"

namespace host {
namespace {

const char kUsage[] =
    "usage: kelvra_host [options] PAGE-SCRIPT.js | PAGE.html   (options before or after it)\n"
    "       kelvra_host --help\n"
    "       kelvra_host --register DLL [--plugin-id ID] [--register-launcher DLL]\n"
    "       kelvra_host --unregister [--plugin-id ID]\n"
    "       kelvra_host --reset-store\n"
    "  (registering, --reset-store and a page go together: the page runs last)\n"
    "the page:\n"
    "  --url URL              the page's address (default " KELVRA_SITE_URL ")\n"
    "  --type MIME            the embedding's type (default " KELVRA_MIME_TYPE ")\n"
    "  --name NAME            the embedding's name for script (default plugin)\n"
    "  --param NAME=VALUE     a further attribute of the embedding (repeatable)\n"
    "  --script-timeout SECONDS  stop a script (or a timer's or a listener's call) that has\n"
    "                         run that long, its calls into the plug-in not counted\n"
    "                         (default 30; 0: never)\n"
    "  --stay-open SECONDS    how long the loaded page stays open at most while timers,\n"
    "                         streams or calls are pending (default 10; 0: no limit)\n"
    "  --syntax-level LEVEL   warn of syntax newer than the target browsers parse: es2017\n"
    "                         (default: Firefox 52 ESR), es5, es2015 to es2020, or off\n"
    "  --default-page FILE    the page to run when none is named\n"
    "the plug-in and the launcher:\n"
    "  --plugin DLL           load this DLL instead of the registered plug-in\n"
    "  --plugin-id ID         the registration under HKCU\\Software\\MozillaPlugins\n"
    "                         (default @kelvra.com/KelvraLauncherPlugin)\n"
    "  --register DLL         register the plug-in under that ID, for this and later runs\n"
    "  --register-launcher DLL  register the launcher component (its DllRegisterServer)\n"
    "  --launcher DLL         serve the launcher component from this DLL for the run,\n"
    "                         instead of the one registered for its class\n"
    "  --timeout SECONDS      end the run when one call into the plug-in takes longer\n"
    "                         (default 180; 0: no watchdog, a crash is still reported)\n"
    "  --launcher-answer ANSWER  how the demo launcher answers in this run (repeatable):\n"
    "                         METHOD=HRESULT (0x80004005, E_FAIL, S_FALSE, E_ACCESSDENIED...),\n"
    "                         METHOD=text:TEXT, METHOD=true|false, METHOD=delay:MS,\n"
    "                         or not-installed (METHOD: a script method, e.g. Update)\n"
    "  --reset-store          empty the demo launcher's key-value store first\n"
    "the plug-in's log (its lines under the script's lines that led to them, on stderr):\n"
    "  --private-temp         a fresh temporary directory for the run and its log, removed\n"
    "                         afterwards unless --keep-log\n"
    "  --keep-log             keep that directory and the log\n"
    "  --follow               show each log line the moment it is written\n"
    "  --show-log             print the whole log again after the run, on stdout\n"
    "for page developers:\n"
    "  --trace                each operation of page script on a plug-in object, with its\n"
    "                         arguments and answer (trace: lines, on stderr)\n"
    "  --dump-dom             the document's markup after the page has closed, on stdout\n"
    "exit: 0 ok, 1 script error, 2 usage or a page file that cannot be run, 3 plug-in (or\n"
    "      launcher) not found or refused, or the embedding refused, 4 imbalance: references\n"
    "      or memory not given back, 5 a plug-in call hung past --timeout, 6 the plug-in\n"
    "      crashed (a fault it did not handle), 7 script time-out, 130 interrupted\n";

int registration(const Options& options) {
  if (options.unregister) {
    bool removed = unregisterPlugin(options.pluginId);
    fprintf(stderr, "host: %s HKCU\\Software\\MozillaPlugins\\%s\n",
            removed ? "removed" : "could not remove", narrow(options.pluginId).c_str());
    return removed ? kExitOk : kExitPluginRefused;
  }
  std::string reason;
  if (!registerPlugin(options.pluginId, systemPath(options.registerPath),
                            options.run.mimeType, &reason)) {
    fprintf(stderr, "host: REFUSED: %s\n", reason.c_str());
    return kExitPluginRefused;
  }
  PluginRegistration written;
  findRegisteredPlugin(options.pluginId, &written);
  fprintf(stderr, "host: registered HKCU\\Software\\MozillaPlugins\\%s -> %s\n",
          narrow(options.pluginId).c_str(), narrow(written.path).c_str());
  return kExitOk;
}

typedef HRESULT(STDAPICALLTYPE* RegisterServer)();

// As regsvr32 does it: the DLL's own DllRegisterServer.
bool registerLauncher(const std::wstring& given) {
  std::wstring path = systemPath(given);
  HMODULE module = LoadLibraryW(path.c_str());
  RegisterServer registerServer =
      module == NULL ? NULL
                     : reinterpret_cast<RegisterServer>(
                           reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
  HRESULT result = registerServer != NULL ? registerServer() : E_FAIL;
  if (module != NULL) FreeLibrary(module);
  if (registerServer == NULL) {
    fprintf(stderr, "host: REFUSED: %s %s\n", narrow(given).c_str(),
            module == NULL ? "cannot be loaded" : "has no DllRegisterServer");
  } else if (FAILED(result)) {
    fprintf(stderr, "host: REFUSED: DllRegisterServer of %s -> 0x%08lX\n", narrow(given).c_str(),
            static_cast<unsigned long>(result));
  } else {
    fprintf(stderr, "host: registered the launcher component %s\n", narrow(given).c_str());
  }
  return registerServer != NULL && SUCCEEDED(result);
}

bool resetStore() {
  LONG error = RegDeleteTreeW(HKEY_CURRENT_USER, KELVRA_DEMO_STORE_KEY);
  bool done = error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND;
  fprintf(stderr, "host: %s the demo launcher's store, HKCU\\%s\n",
          done ? "emptied" : "could not empty", narrow(KELVRA_DEMO_STORE_KEY).c_str());
  return done;
}

}  // namespace

// A Windows path, with its Unix form first where the program runs under Wine.
std::string shownPath(const std::wstring& path) {
  std::string linuxPath = unixPath(path);
  return linuxPath.empty() ? narrow(path) : linuxPath + " (" + narrow(path) + ")";
}

bool resolvePlugin(Options* options) {
  PageRun& run = options->run;
  if (!run.pluginPath.empty()) {
    fprintf(stderr, "host: plug-in named on the command line: %s\n",
            narrow(run.pluginPath).c_str());
    return true;
  }
  PluginRegistration registration;
  if (!findRegisteredPlugin(options->pluginId, &registration)) {
    fprintf(stderr,
            "host: no plug-in registered under HKCU\\Software\\MozillaPlugins\\%s (value Path); "
            "register one with --register DLL or name it with --plugin DLL\n",
            narrow(options->pluginId).c_str());
    return false;
  }
  run.pluginPath = registration.path;
  fprintf(stderr, "host: registered plug-in %s: %s, %s %s by %s\n  at %s\n",
          narrow(options->pluginId).c_str(), narrow(registration.description).c_str(),
          narrow(registration.productName).c_str(), narrow(registration.version).c_str(),
          narrow(registration.vendor).c_str(), shownPath(registration.path).c_str());
  return true;
}

void showLogs(const std::vector<std::wstring>& logs, FILE* out) {
  for (size_t i = 0; i < logs.size(); ++i) {
    writeConsoleLine(out, "---- plug-in log " + narrow(logs[i]) + " ----");
    std::vector<std::string> lines = splitLines(readFileShared(logs[i]));
    for (size_t n = 0; n < lines.size(); ++n) writeConsoleLine(out, lines[n]);
  }
}

// The answers reach the demo launcher through this process's environment (answers.h).
void handOverAnswers(const std::vector<std::wstring>& answers) {
  if (answers.empty()) return;
  std::wstring lines;
  std::string shown;
  for (const std::wstring& answer : answers) {
    lines += answer + L"\n";
    shown += (shown.empty() ? "" : ", ") + narrow(answer);
  }
  SetEnvironmentVariableW(KELVRA_DEMO_ANSWERS_VARIABLE, lines.c_str());
  fprintf(stderr, "host: the demo launcher answers %s\n", shown.c_str());
}

int prepareRun(int argc, wchar_t** argv, Options* options, FILE* usage) {
  std::string error;
  if (!parseOptions(argc, argv, options, &error)) {
    fprintf(stderr, "kelvra_host: %s\n", error.c_str());
    return kExitUsage;
  }
  if (options->help) {
    fputs(kUsage, usage);
    return kExitOk;
  }
  PageRun& run = options->run;
  bool registering = !options->registerPath.empty() || !options->launcherRegisterPath.empty() ||
                     options->unregister;
  if (run.scriptName.empty() && !registering && !options->resetStore) {
    fprintf(stderr, "kelvra_host: no page script named (kelvra_host [options] PAGE.js; --help)\n");
    return kExitUsage;
  }
  // The page is checked before anything changes.
  std::string reason;
  if (!run.scriptName.empty() && !readPageScript(run.scriptName, &run.script, &reason, &run.charset)) {
    fprintf(stderr, "host: cannot run the page: %s\n", reason.c_str());
    return kExitUsage;
  }
  if (!options->launcherRegisterPath.empty() && !registerLauncher(options->launcherRegisterPath)) {
    return kExitPluginRefused;
  }
  if (!options->registerPath.empty() || options->unregister) {
    int registered = registration(*options);
    if (registered != kExitOk) return registered;
  }
  if (options->resetStore && !resetStore()) return kExitPluginRefused;
  return run.scriptName.empty() ? kExitOk : -1;
}

void closeTemporaryDirectory(const Options& options, const std::wstring& temp) {
  if (temp.empty()) return;
  if (options.keepLog) {
    fprintf(stderr, "host: kept the run's temporary directory %s\n", shownPath(temp).c_str());
  } else if (removeTemporaryDirectory(temp)) {
    fprintf(stderr, "host: removed the run's temporary directory (--keep-log keeps it)\n");
  } else {
    fprintf(stderr, "host: could not remove the run's temporary directory %s: a file in it is "
            "still open\n", shownPath(temp).c_str());
  }
}

}  // namespace host
