/*
 * Stops page script that never ends: at its deadline, or when the user interrupts
 * the run, a watch thread tells the script engine to stop, and the engine's
 * interrupt handler (which it polls between operations) stops the script. An
 * engine that does not stop within a moment (a long native operation) ends the
 * process through the handler set for that. A call into the plug-in under way at
 * that point is left to the plug-in guard (plugin_guard.h), which ends one that
 * hangs: the moment counts from its return.
 */
#ifndef KELVRA_HOST_SCRIPT_WATCHDOG_H
#define KELVRA_HOST_SCRIPT_WATCHDOG_H

namespace host {

enum ScriptStop { kScriptNotStopped, kScriptTimedOut, kScriptInterrupted };

// Watches the script run that starts now for `timeoutSeconds` (0: no limit).
void watchScript(unsigned long timeoutSeconds);
void unwatchScript();
// From any thread, the console's Ctrl-C handler too.
void interruptScript();
// Why the script was stopped, if it was; kept until the next watchScript (an
// interrupt for the rest of the process). The engine's interrupt handler asks it.
ScriptStop scriptStop();

// Called on the watch thread when the engine has not stopped in time; it should end
// the process (the default handler exits with kExitScriptTimeout or kExitInterrupted).
typedef void (*UnstoppableScript)(ScriptStop why);
void onUnstoppableScript(UnstoppableScript handler);

}  // namespace host

#endif
