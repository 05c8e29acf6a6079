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

// A javascript: URL's code run in the page: false for an error; `result` is the
// completion value as a string, `defined` false when it was undefined.
typedef std::function<bool(const std::string& code, std::string* result, bool* defined)>
    UrlScript;

// The plug-in's functions for streams and notifications, the page's base URL, where
// the end of each stream the plug-in writes is reported, and what runs a javascript:
// URL.
struct StreamTarget {
  const NPPluginFuncs* funcs;
  std::string baseUrl;  // the page's URL, against which relative URLs resolve
  FILE* report;
  UrlScript evaluate;
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
// A URL a plug-in asks for. As in Firefox, a page that is not itself on file: cannot
// have its plug-in load file: URLs (the call answers NPERR_GENERIC_ERROR, nothing
// follows); javascript: URLs run in the page, their string value streamed to the
// plug-in when no target is named.
NPError requestUrl(const browser::UrlRequest& request);
// The embedding's own src (or an <object>'s data), delivered to its instance before
// any stream the plug-in asked for, as Firefox opens it after NPP_New: `url` as the
// plug-in sees it, the body from the local file `path` or, when it is empty, from the
// data: URL itself.
void requestSource(NPP instance, const std::string& url, const std::wstring& path);
// A data: URL's type and body; false when it is malformed.
bool decodeDataUrl(const std::string& url, std::string* mime, std::string* body);
// A URL against the page's address, as a link on the page resolves.
std::string resolveUrl(const std::string& url, const std::string& base);
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

// Runs until nothing is pending (script and plug-in timers, async calls, streams) or
// a script timer fails, for at most `seconds` (0: no limit); `cut` tells whether the
// limit ended it with something still pending. False for a failure, and after
// interruptLoop.
bool runLoop(unsigned long seconds, bool* cut);
// For a loop another process drives (the plug-in's process, between the page's
// tasks): one turn of what is due, without waiting; answers how many ms until the
// next is due (0: at once), INFINITE when nothing is pending.
DWORD runLoopTurn();
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
