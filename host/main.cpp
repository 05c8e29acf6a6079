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

#include "identity.h"
#include "log_follow.h"
#include "options.h"
#include "page_loop.h"
#include "page_run.h"
#include "run_setup.h"
#include "plugin_loader.h"
#include "script_watchdog.h"

namespace {


volatile LONG interrupted = 0;
volatile DWORD interruptedAt = 0;

// What a run that must end early still has to do.
struct OpenRun {
  const host::Options* options;
  host::LogFollower* log;
  std::wstring temp;
};
OpenRun openRun = {NULL, NULL, std::wstring()};

void closeTemporaryDirectory() {
  host::closeTemporaryDirectory(*openRun.options, openRun.temp);
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

int runOnePage(host::Options& options) {
  host::PageRun& run = options.run;
  if (!host::resolvePlugin(&options)) return host::kExitPluginRefused;
  run.pluginPath = host::systemPath(run.pluginPath);
  run.launcherPath = host::systemPath(run.launcherPath);
  host::handOverAnswers(options.launcherAnswers);
  std::wstring temp;
  if (options.privateTemp) {
    temp = makeTemporaryDirectory(L"kelvra-host-");
    setProcessTemporaryDirectory(temp);
    fprintf(stderr, "host: temporary directory %s\n", host::shownPath(temp).c_str());
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
  if (options.showLog) host::showLogs(outcome.logFiles, stdout);
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
  int prepared = host::prepareRun(argc, argv, &options, stdout);
  if (prepared >= 0) return prepared;
  if (options.trace || options.dumpDom) {
    fprintf(stderr, "kelvra_host: --trace and --dump-dom are the page host's on jsdom "
            "(KELVRA_PAGE_HOST=jsdom ./kelvra demo ...)\n");
    return host::kExitUsage;
  }
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
  return runOnePage(options);
}
