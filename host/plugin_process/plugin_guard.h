/*
 * The plug-in boundary, watched as Firefox's hang and crash handling watched it:
 * every call into the plug-in is named while it runs; a call that does not return
 * within the timeout, or a fault the plug-in leaves unhandled, ends the process with
 * a report of the call (its name, how long it had run, the exception code and
 * address) and an exit code of its own (kExitHung, kExitCrashed), instead of a hang or a crash
 * dump.
 */
#ifndef KELVRA_HOST_PLUGIN_GUARD_H
#define KELVRA_HOST_PLUGIN_GUARD_H

#include <windows.h>
#include <stdio.h>

namespace host {

// Installs the fault handlers and, for a timeout above 0, starts the watchdog thread;
// `report` gets the account.
void startGuard(unsigned timeoutSeconds, FILE* report);

// The outermost call into the plug-in under way while the watchdog watches (it ends
// the call if it hangs), as a number of its own (not 0); 0 for none. From any thread.
unsigned long watchedPluginCall();

// How long, in ms, the plug-in's own code has run on the page's thread since the start:
// the calls into it, less the script they called back. From any thread.
unsigned long pluginTimeMs();

// Marks a call into the plug-in for its lifetime; calls may nest (a plug-in calls
// back into script, which calls the plug-in again): the innermost is reported.
// For its lifetime it is also the innermost handler frame of the thread's exception
// chain below the plug-in: the plug-in's own handlers see an exception first, and
// one it leaves unhandled ends the run here, before a caller's handler (JScript,
// COM, the dispatch of a timer message) could swallow it.
class PluginCall {
 public:
  explicit PluginCall(const char* what);
  ~PluginCall();

 private:
  PluginCall(const PluginCall&) = delete;
  PluginCall& operator=(const PluginCall&) = delete;

  EXCEPTION_REGISTRATION_RECORD frame_;
  bool fromScript_;  // the call made the plug-in the innermost code
};

// Marks script run for the plug-in (through NPN_Invoke, NPN_Evaluate, ...) for its
// lifetime: that time is the script's, not the plug-in's.
class ScriptCallback {
 public:
  ScriptCallback();
  ~ScriptCallback();

 private:
  ScriptCallback(const ScriptCallback&) = delete;
  ScriptCallback& operator=(const ScriptCallback&) = delete;

  bool fromPlugin_;  // the plug-in was the innermost code
};

}  // namespace host

#endif
