/*
 * kelvra_host: runs a page script against the Kelvra launcher plug-in the way a
 * Windows browser would host it. See host/README.md.
 */
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <shellapi.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "answers.h"
#include "demo_launcher.h"
#include "identity.h"
#include "log_follow.h"
#include "options.h"
#include "page_loop.h"
#include "page_run.h"
#include "plugin_discovery.h"
#include "plugin_loader.h"
#include "script_watchdog.h"

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
    "  --script-timeout SECONDS  stop a script (or a timer's call) that has not ended by then\n"
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
    "exit: 0 ok, 1 script error, 2 usage or a page file that cannot be run, 3 plug-in (or\n"
    "      launcher) not found or refused, or the embedding refused, 4 imbalance: references\n"
    "      or memory not given back, 5 a plug-in call hung past --timeout, 6 the plug-in\n"
    "      crashed (a fault it did not handle), 7 script time-out, 130 interrupted\n";

volatile LONG interrupted = 0;
volatile DWORD interruptedAt = 0;

std::string shownPath(const std::wstring& path);

// What a run that must end early still has to do.
struct OpenRun {
  const host::Options* options;
  host::LogFollower* log;
  std::wstring temp;
};
OpenRun openRun = {NULL, NULL, std::wstring()};

void closeTemporaryDirectory() {
  const std::wstring& temp = openRun.temp;
  if (temp.empty()) return;
  if (openRun.options->keepLog) {
    fprintf(stderr, "host: kept the run's temporary directory %s\n", shownPath(temp).c_str());
  } else {
    if (removeTemporaryDirectory(temp)) {
      fprintf(stderr, "host: removed the run's temporary directory (--keep-log keeps it)\n");
    } else {
      fprintf(stderr, "host: could not remove the run's temporary directory %s: a file in it is "
              "still open\n", shownPath(temp).c_str());
    }
  }
}

// The script engine did not stop page script in time (it polls for the stop between
// operations, not inside a long one of its own): the run ends here, without
// NPP_Destroy, once the log is shown.
void endStuckRun(host::ScriptStop why) {
  if (why == host::kScriptTimedOut) {
    fprintf(stderr,
            "host: SCRIPT TIME-OUT %s: no end after %lu s (--script-timeout SECONDS, 0 for no "
            "limit); the script engine cannot stop it, so the run ends here\n",
            narrow(openRun.options->run.scriptName).c_str(),
            openRun.options->run.scriptTimeoutSeconds);
  } else {
    fprintf(stderr, "host: the script engine cannot stop the page; the run ends here\n");
  }
  if (openRun.log != NULL) openRun.log->stop();
  closeTemporaryDirectory();
  if (why != host::kScriptTimedOut) fprintf(stderr, "host: interrupted\n");
  fflush(stderr);
  ExitProcess(why == host::kScriptTimedOut ? host::kExitScriptTimeout : host::kExitInterrupted);
}

// Ctrl-C: the page's script is stopped and the run ends as usual. Another one a
// second later ends the process at once; one sooner is the same key press seen
// twice (a signal to the process and to its group).
BOOL WINAPI onConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  if (InterlockedExchange(&interrupted, 1) == 0) {
    interruptedAt = GetTickCount();
    host::writeConsoleLine(stderr,
                           "host: interrupted; stopping the page (Ctrl-C again ends at once)");
    host::interruptScript();
    host::interruptLoop();
  } else if (GetTickCount() - interruptedAt > 1000) {
    host::writeConsoleLine(stderr, "host: interrupted");
    ExitProcess(host::kExitInterrupted);
  }
  return TRUE;
}

// A Windows path, with its Unix form first where the program runs under Wine.
std::string shownPath(const std::wstring& path) {
  std::string linuxPath = host::unixPath(path);
  return linuxPath.empty() ? narrow(path) : linuxPath + " (" + narrow(path) + ")";
}

bool resolvePlugin(host::Options* options) {
  host::PageRun& run = options->run;
  if (!run.pluginPath.empty()) {
    fprintf(stderr, "host: plug-in named on the command line: %s\n",
            narrow(run.pluginPath).c_str());
    return true;
  }
  host::PluginRegistration registration;
  if (!host::findRegisteredPlugin(options->pluginId, &registration)) {
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

int registration(const host::Options& options) {
  if (options.unregister) {
    bool removed = host::unregisterPlugin(options.pluginId);
    fprintf(stderr, "host: %s HKCU\\Software\\MozillaPlugins\\%s\n",
            removed ? "removed" : "could not remove", narrow(options.pluginId).c_str());
    return removed ? host::kExitOk : host::kExitPluginRefused;
  }
  std::string reason;
  if (!host::registerPlugin(options.pluginId, host::systemPath(options.registerPath),
                            options.run.mimeType, &reason)) {
    fprintf(stderr, "host: REFUSED: %s\n", reason.c_str());
    return host::kExitPluginRefused;
  }
  host::PluginRegistration written;
  host::findRegisteredPlugin(options.pluginId, &written);
  fprintf(stderr, "host: registered HKCU\\Software\\MozillaPlugins\\%s -> %s\n",
          narrow(options.pluginId).c_str(), narrow(written.path).c_str());
  return host::kExitOk;
}

typedef HRESULT(STDAPICALLTYPE* RegisterServer)();

// As regsvr32 does it: the DLL's own DllRegisterServer.
bool registerLauncher(const std::wstring& given) {
  std::wstring path = host::systemPath(given);
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

void showLogs(const std::vector<std::wstring>& logs) {
  for (size_t i = 0; i < logs.size(); ++i) {
    host::writeConsoleLine(stdout, "---- plug-in log " + narrow(logs[i]) + " ----");
    std::vector<std::string> lines = splitLines(readFileShared(logs[i]));
    for (size_t n = 0; n < lines.size(); ++n) host::writeConsoleLine(stdout, lines[n]);
  }
}

bool resetStore() {
  LONG error = RegDeleteTreeW(HKEY_CURRENT_USER, KELVRA_DEMO_STORE_KEY);
  bool done = error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND;
  fprintf(stderr, "host: %s the demo launcher's store, HKCU\\%s\n",
          done ? "emptied" : "could not empty", narrow(KELVRA_DEMO_STORE_KEY).c_str());
  return done;
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

int runOnePage(host::Options& options) {
  host::PageRun& run = options.run;
  if (!resolvePlugin(&options)) return host::kExitPluginRefused;
  run.pluginPath = host::systemPath(run.pluginPath);
  run.launcherPath = host::systemPath(run.launcherPath);
  handOverAnswers(options.launcherAnswers);
  std::wstring temp;
  if (options.privateTemp) {
    temp = makeTemporaryDirectory(L"kelvra-host-");
    setProcessTemporaryDirectory(temp);
    fprintf(stderr, "host: temporary directory %s\n", shownPath(temp).c_str());
  }
  wchar_t tempPath[MAX_PATH];
  DWORD length = GetTempPathW(MAX_PATH, tempPath);
  host::LogFollower log(std::wstring(tempPath, length < MAX_PATH ? length : 0), stderr);
  openRun = OpenRun{&options, &log, temp};
  host::onUnstoppableScript(endStuckRun);
  run.atStep = [&log]() { log.drain(); };
  if (options.follow) log.follow(50);

  HRESULT com = CoInitialize(NULL);
  host::PageOutcome outcome = host::runPage(
      run,
      [&log](bool isError, const std::string& line) {
        host::writeConsoleLine(isError ? stderr : stdout, line);
        log.drain();  // the log lines of the calls that led to this line, under it
      },
      stderr);
  if (SUCCEEDED(com)) CoUninitialize();
  log.stop();
  if (options.showLog) showLogs(outcome.logFiles);
  closeTemporaryDirectory();
  if (interrupted != 0) {
    fprintf(stderr, "host: interrupted\n");
    return host::kExitInterrupted;
  }
  return outcome.exitCode;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  // Console text is UTF-8 bytes with plain line feeds, whatever the runtime's mode.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  host::Options options;
  std::string error;
  if (!host::parseOptions(argc, argv, &options, &error)) {
    fprintf(stderr, "kelvra_host: %s\n", error.c_str());
    return host::kExitUsage;
  }
  if (options.help) {
    fputs(kUsage, stdout);
    return host::kExitOk;
  }
  host::PageRun& run = options.run;
  bool registering = !options.registerPath.empty() || !options.launcherRegisterPath.empty() ||
                     options.unregister;
  if (run.scriptName.empty() && !registering && !options.resetStore) {
    fprintf(stderr, "kelvra_host: no page script named (kelvra_host [options] PAGE.js; --help)\n");
    return host::kExitUsage;
  }
  // The page is checked before anything changes.
  std::string reason;
  if (!run.scriptName.empty() && !host::readPageScript(run.scriptName, &run.script, &reason, &run.charset)) {
    fprintf(stderr, "host: cannot run the page: %s\n", reason.c_str());
    return host::kExitUsage;
  }
  if (!options.launcherRegisterPath.empty() && !registerLauncher(options.launcherRegisterPath)) {
    return host::kExitPluginRefused;
  }
  if (!options.registerPath.empty() || options.unregister) {
    int registered = registration(options);
    if (registered != host::kExitOk) return registered;
  }
  if (options.resetStore && !resetStore()) return host::kExitPluginRefused;
  if (run.scriptName.empty()) return host::kExitOk;
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
  return runOnePage(options);
}
