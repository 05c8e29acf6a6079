/*
 * Page script in QuickJS: one runtime and context per page, the global object as
 * `window`, the page runtime (host/page: a console whose lines go to a sink of the
 * caller's, timers that the caller's event loop runs, the DOM and the window's
 * browser parts, the page's lifecycle steps), Promise jobs run at the end of every
 * task, and the NPAPI classes of js_npruntime.h. Every run of script is watched
 * (script_watchdog.h) and stopped through the engine's interrupt handler.
 */
#ifndef KELVRA_HOST_JS_ENGINE_H
#define KELVRA_HOST_JS_ENGINE_H

#include <functional>
#include <string>

#include "quickjs.h"

namespace host {

// One console line: from console.log/info (isError false) or console.warn/error.
typedef std::function<void(bool isError, const std::string& utf8Line)> ConsoleSink;

// Script's timers: `add` answers the timer's id (> 0), or 0 when it cannot keep it;
// the session keeps the timer's function until `remove` or, for a timer that does
// not repeat, until it fired.
struct TimerSink {
  std::function<long(long delay, bool repeat)> add;
  std::function<void(long id)> remove;
};

struct ScriptError {
  bool failed = false;
  std::string file;        // the page file the error belongs to, when known
  unsigned long line = 0;  // from 1; 0 when the engine knows no line (a thrown
                           // value that is no Error)
  std::string message;     // as Firefox's console shows it ("TypeError: ...",
                           // "uncaught exception: ...")
  std::string sourceLine;  // the line's text, when known
};

class ScriptSession {
 public:
  // Each run of script (a page's script, a timer's call, an evaluation outside them)
  // is stopped after `timeoutSeconds` (0: no limit) or on the user's interrupt, and
  // then it fails.
  ScriptSession(const ConsoleSink& console, const TimerSink& timers,
                unsigned long timeoutSeconds = 0);
  ~ScriptSession();  // closes the session

  // Starts the engine and runs the page runtime (the console, the timers and `window`
  // at once; the rest when the page opens). False when the engine or the runtime failed.
  bool start(ScriptError* error);
  // Where the runtime's own notes go (a navigation the page asked for, an offline
  // request, ...), for the host's report.
  void setReport(const std::function<void(const std::string&)>& report);
  JSContext* context() const { return context_; }
  // Makes `value` (taken over) the global `name`.
  bool define(const char* name, JSValue value);
  // Runs one script of the page (UTF-8) to its end or its first uncaught error;
  // `file` names it in error reports.
  bool run(const std::string& source, const std::string& file, ScriptError* error);
  // Evaluates `source` in the global scope, as a browser's eval does for a plug-in
  // or a string timer: its completion value in `result` (the caller's to free; may
  // be NULL); an error goes to the console.
  bool evaluate(const std::string& source, JSValue* result);
  // Calls the function of script timer `id`; an error is the run's.
  bool fireTimer(long id, ScriptError* error);
  // A task of the page runtime: its step `step` (open, parse, interactive, ...) with
  // `argv`, its answer in `result` (the caller's to free; may be NULL), then the
  // Promise jobs; an error is the run's.
  bool call(const char* step, int argc, JSValueConst* argv, JSValue* result,
            ScriptError* error);
  // The end of a task: the Promise jobs it queued, then the references of collected
  // wrappers given back.
  bool settle(ScriptError* error);
  void close();

  // What the session's native functions need of it.
  struct Parts;

 private:
  ScriptSession(const ScriptSession&) = delete;
  ScriptSession& operator=(const ScriptSession&) = delete;
  bool enter(const std::function<JSValue()>& body, ScriptError* error);

  Parts* parts_;
  JSContext* context_ = NULL;
};

// Throws `value` (taken over) into script from native code, remembering where
// script was: a thrown value that is no Error carries no position of its own.
JSValue throwValue(JSContext* ctx, JSValue value);
// Throws a plain Error with `message`, as Firefox's JS_ReportErrorASCII does.
JSValue throwError(JSContext* ctx, const char* message);

}  // namespace host

#endif
