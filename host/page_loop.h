/*
 * The page's event loop on the host's main thread: script timers, plug-in timers
 * (NPN_ScheduleTimer), calls a plug-in posts from any thread
 * (NPN_PluginThreadAsyncCall), and the streams of URLs a plug-in requests, each
 * delivered as a browser delivers it. Window messages are pumped while it waits.
 * Beside them it keeps the streams a plug-in writes into a window of the page
 * (NPN_NewStream), which the page does not wait for.
 */
#ifndef KELVRA_HOST_PAGE_LOOP_H
#define KELVRA_HOST_PAGE_LOOP_H

#include <stdio.h>
#include <windows.h>

#include <functional>
#include <string>

#include "npapi.h"
#include "npbrowser.h"
#include "npfunctions.h"

namespace host {

// The plug-in's functions for streams and notifications, the page's base URL, and
// where the end of each stream the plug-in writes is reported.
struct StreamTarget {
  const NPPluginFuncs* funcs;
  std::string baseUrl;  // the page's URL, against which relative URLs resolve
  FILE* report;
};

// Called for every script timer that fires, with its id; false ends the loop (a
// script error).
typedef std::function<bool(long id)> TimerCall;
// Called at the end of every other task (an async call, a plug-in timer, a turn of
// the streams), which may have run script; false ends the loop.
typedef std::function<bool()> TaskEnd;

// Starts an empty loop on the calling thread.
void startLoop(const StreamTarget& target, const TimerCall& timerCall, const TaskEnd& taskEnd);
// Script timers (whose functions the script session keeps): the id, or 0.
long addScriptTimer(long delay, bool repeat);
void removeScriptTimer(long id);
// The browser services of the loop, for browser::Embedder.
uint32_t schedulePluginTimer(NPP instance, uint32_t interval, bool repeat,
                             void (*fire)(NPP, uint32_t));
void unschedulePluginTimer(NPP instance, uint32_t id);
bool postAsyncCall(NPP instance, void (*call)(void*), void* data);
NPError requestUrl(const browser::UrlRequest& request);
// A stream from the plug-in of an instance of the page, as Firefox's NPN_NewStream
// makes one: an NPStream of the browser's (memalloc) with every field zero. Its bytes
// are kept, not shown: the page has no window to load them into.
NPError newPluginStream(NPP instance, NPMIMEType type, const char* target, NPStream** stream);
// Appends to a stream from newPluginStream; -1 for any other stream.
int32_t writePluginStream(NPP instance, NPStream* stream, int32_t length, void* buffer);
// Ends a stream either way: one from newPluginStream is reported and freed, one being
// delivered to the plug-in ends with the plug-in's reason.
NPError destroyStream(NPP instance, NPStream* stream, NPReason reason);
// Reports and frees the streams from newPluginStream that `instance` left open; for
// after NPP_Destroy, which may still end them.
void endPluginStreams(NPP instance);

// Runs until nothing is pending that the page waits for (script timers, one-shot
// plug-in timers, async calls and streams; a plug-in's repeating timer alone does
// not keep the page open) or a script timer fails. False for a failure, and after
// interruptLoop.
bool runLoop();
// From any thread (the console's Ctrl-C handler): the loop ends as soon as the call
// into script or the plug-in under way returns, and runs no more.
void interruptLoop();
// Drops everything still pending for `instance` (its streams end with
// NPRES_USER_BREAK first, as when a page closes) and every script timer; NULL: only
// the script timers.
void stopLoop(NPP instance);

// What the loop delivered, for the host's report.
struct LoopCounts {
  long scriptTimersFired;
  long pluginTimersFired;
  long asyncCallsRun;
  long streamsDelivered;
  long urlsRefused;
};
LoopCounts loopCounts();

}  // namespace host

#endif
