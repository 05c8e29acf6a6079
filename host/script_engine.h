/*
 * Page script in the system's JScript engine (IActiveScript), in the newest language
 * version the engine accepts, with named objects of the host's visible as globals, a
 * console whose lines go to a sink of the caller's, and timers that the caller's
 * message loop runs.
 */
#ifndef KELVRA_HOST_SCRIPT_ENGINE_H
#define KELVRA_HOST_SCRIPT_ENGINE_H

#include <oaidl.h>
#include <windows.h>

#include <functional>
#include <string>

namespace host {

struct NamedObject {
  const wchar_t* name;
  IDispatch* object;  // borrowed for the run; NULL: the global is null
};

// One console line: from console.log/info (isError false) or console.warn/error.
typedef std::function<void(bool isError, const std::string& utf8Line)> ConsoleSink;

// Script's timers (setTimeout, setInterval, clearTimeout, clearInterval): `add`
// answers the timer's id (> 0), or 0 when it cannot keep it; the callback is
// borrowed by the call and kept with AddRef by whoever keeps it.
struct TimerSink {
  std::function<long(IDispatch* callback, long delay, bool repeat)> add;
  std::function<void(long id)> remove;
};

struct ScriptError {
  bool failed = false;
  unsigned long line = 0;  // from 1, in the page's source
  long column = 0;         // from 1
  std::string message;     // UTF-8
  std::string sourceLine;  // the line's text where the engine gives it
};

class ScriptSession {
 public:
  // Each run of script (a page's script, a timer's call, an evaluation outside them)
  // is watched (script_watchdog.h): stopped after `timeoutSeconds` (0: no limit) or
  // on the user's interrupt, and then it fails.
  ScriptSession(const ConsoleSink& console, const TimerSink& timers,
                unsigned long timeoutSeconds = 0);
  ~ScriptSession();  // closes the engine, releasing every reference it held

  // Starts the engine and runs the prelude (console, timers, the named objects as
  // globals, `window` as the global object itself, then `prelude`). False when no
  // engine could be started or the prelude failed (error says).
  bool start(const NamedObject* objects, size_t objectCount, const std::wstring& prelude,
             ScriptError* error);
  // Makes `object` the global `name` (null for NULL) once the engine runs.
  bool define(const std::wstring& name, IDispatch* object, ScriptError* error);
  // Runs one script of the page to its end or its first uncaught error.
  bool run(const std::wstring& source, ScriptError* error);
  // Evaluates `source` as a browser's eval does, for a plug-in or a string timer: its
  // completion value in `result` (may be NULL); an error goes to the console.
  bool evaluate(const std::wstring& source, VARIANT* result);
  // Calls a script function (a timer's) with no arguments; an error is the run's.
  bool call(IDispatch* function, ScriptError* error);
  // The global object (window); borrowed; NULL before start.
  IDispatch* global() const { return global_; }
  // The language version SCRIPTPROP_INVOKEVERSIONING took (0: the engine's default).
  long languageVersion() const { return version_; }
  void close();

 private:
  ScriptSession(const ScriptSession&) = delete;
  ScriptSession& operator=(const ScriptSession&) = delete;
  struct Parts;
  Parts* parts_;
  IDispatch* global_ = NULL;
  long version_ = 0;
};

// Runs `source` to its end, or to its first uncaught error, described in `error`,
// in a session of its own with the named objects as globals.
bool runScript(const std::wstring& source, const NamedObject* objects, size_t objectCount,
               const ConsoleSink& console, ScriptError* error);

}  // namespace host

#endif
