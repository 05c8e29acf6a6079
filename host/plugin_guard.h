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

#include <stdio.h>

namespace host {

// Starts the watchdog thread and the fault handlers; `report` gets the account.
void startGuard(unsigned timeoutSeconds, FILE* report);
// The plug-in's module: a fault inside it during a plug-in call ends the run at
// once, before any handler of the callers' (JScript, COM) could swallow it.
void guardModule(void* module);

// The outermost call into the plug-in under way while the watchdog watches (it ends
// the call if it hangs), as a number of its own (not 0); 0 for none. From any thread.
unsigned long watchedPluginCall();

// Marks a call into the plug-in for its lifetime; calls may nest (a plug-in calls
// back into script, which calls the plug-in again): the innermost is reported.
class PluginCall {
 public:
  explicit PluginCall(const char* what);
  ~PluginCall();

 private:
  PluginCall(const PluginCall&) = delete;
  PluginCall& operator=(const PluginCall&) = delete;
};

}  // namespace host

#endif
