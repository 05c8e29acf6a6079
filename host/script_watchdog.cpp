#include "script_watchdog.h"

#include <windows.h>

#include "page_run.h"
#include "plugin_guard.h"

namespace host {
namespace {

// One page runs at a time in the host's process, so the watch is the process's.
struct Watch {
  HANDLE wake;
  HANDLE thread;
  DWORD timeoutMs;
  volatile LONG ended;  // the engine gave the script's thread back
};
Watch watch = {NULL, NULL, INFINITE, 0};
volatile LONG stopReason = kScriptNotStopped;
volatile LONG interruptPending = 0;  // Ctrl-C, also before the script started
const DWORD kStopGraceMs = 1000;

void endProcess(ScriptStop why) {
  ExitProcess(why == kScriptTimedOut ? kExitScriptTimeout : kExitInterrupted);
}
UnstoppableScript unstoppable = endProcess;

// The engine's interrupt handler sees it at its next poll.
void stopEngine(LONG reason) { InterlockedCompareExchange(&stopReason, reason, kScriptNotStopped); }

// The script's own time: the time since it started, less the plug-in's (which a
// spell ending at the moment of reading may count twice: never less than none).
DWORD scriptTime(DWORD started, unsigned long pluginAtStart) {
  DWORD all = GetTickCount() - started;
  DWORD plugin = static_cast<DWORD>(pluginTimeMs() - pluginAtStart);
  return all > plugin ? all - plugin : 0;
}

DWORD WINAPI watchThread(void*) {
  // Time inside plug-in calls is the plug-in guard's to watch, not the script's.
  DWORD started = GetTickCount();
  unsigned long pluginAtStart = pluginTimeMs();
  DWORD waited = WAIT_TIMEOUT, used = 0;
  while (waited == WAIT_TIMEOUT && (used = scriptTime(started, pluginAtStart)) < watch.timeoutMs) {
    waited = WaitForSingleObject(watch.wake, watch.timeoutMs - used);
  }
  if (waited == WAIT_TIMEOUT) {
    stopEngine(kScriptTimedOut);
  } else if (interruptPending != 0) {
    stopEngine(kScriptInterrupted);
  } else {
    return 0;  // the script ended
  }
  ResetEvent(watch.wake);
  // A call into the plug-in that hangs is the plug-in guard's to end: the script can
  // stop only once the call under way has returned.
  for (unsigned long call = watchedPluginCall();
       call != 0 && watch.ended == 0 && watchedPluginCall() == call;) {
    Sleep(100);
  }
  if (watch.ended == 0) WaitForSingleObject(watch.wake, kStopGraceMs);
  if (watch.ended == 0) unstoppable(scriptStop());
  return 0;
}

}  // namespace

void watchScript(unsigned long timeoutSeconds) {
  stopReason = kScriptNotStopped;
  watch.ended = 0;
  watch.timeoutMs = timeoutSeconds == 0 ? INFINITE : static_cast<DWORD>(timeoutSeconds * 1000);
  watch.wake = CreateEventW(NULL, TRUE, interruptPending != 0, NULL);
  if (watch.wake != NULL) watch.thread = CreateThread(NULL, 0, watchThread, NULL, 0, NULL);
}

void unwatchScript() {
  InterlockedExchange(&watch.ended, 1);
  if (watch.thread != NULL) {
    SetEvent(watch.wake);
    WaitForSingleObject(watch.thread, INFINITE);
    CloseHandle(watch.thread);
  }
  if (watch.wake != NULL) CloseHandle(watch.wake);
  watch.wake = NULL;
  watch.thread = NULL;
}

void onUnstoppableScript(UnstoppableScript handler) { unstoppable = handler; }

void interruptScript() {
  InterlockedExchange(&interruptPending, 1);
  HANDLE wake = watch.wake;
  if (wake != NULL) SetEvent(wake);
}

ScriptStop scriptStop() {
  if (stopReason == kScriptNotStopped && interruptPending != 0) return kScriptInterrupted;
  return static_cast<ScriptStop>(stopReason);
}

}  // namespace host
