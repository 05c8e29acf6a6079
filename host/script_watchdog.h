/*
 * Stops page script that never ends: at its deadline, or when the user interrupts
 * the run, a watch thread interrupts the script engine (InterruptScriptThread), and
 * the engine's polls of the site (IActiveScriptSiteInterruptPoll) are answered
 * "stop". An engine that honours neither (Wine's JScript) is given a moment, then
 * the process ends through the handler set for that. A call into the plug-in under
 * way at that point is left to the plug-in guard (plugin_guard.h), which ends one
 * that hangs: the moment counts from its return.
 */
#ifndef KELVRA_HOST_SCRIPT_WATCHDOG_H
#define KELVRA_HOST_SCRIPT_WATCHDOG_H

#include <windows.h>
#include <activscp.h>

namespace host {

enum ScriptStop { kScriptNotStopped, kScriptTimedOut, kScriptInterrupted };

// Watches `engine` (borrowed until unwatchScript) for `timeoutSeconds` (0: no limit).
void watchScript(IActiveScript* engine, unsigned long timeoutSeconds);
void unwatchScript();
// From any thread, the console's Ctrl-C handler too.
void interruptScript();
// Why the script was stopped, if it was; kept until the next watchScript.
ScriptStop scriptStop();

// Called on the watch thread when the engine has not stopped in time; it should end
// the process (the default handler exits with kExitScriptTimeout or kExitInterrupted).
typedef void (*UnstoppableScript)(ScriptStop why);
void onUnstoppableScript(UnstoppableScript handler);

}  // namespace host

#endif
