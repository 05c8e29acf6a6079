/*
 * Page script in the system's JScript engine (IActiveScript), with named objects of
 * the host's (the embedding, the window) visible as globals and a console whose
 * log and error lines go to a sink of the caller's.
 */
#ifndef KELVRA_HOST_SCRIPT_ENGINE_H
#define KELVRA_HOST_SCRIPT_ENGINE_H

#include <windows.h>
#include <oaidl.h>

#include <functional>
#include <string>

namespace host {

struct NamedObject {
  const wchar_t* name;
  IDispatch* object;  // borrowed for the run; NULL: the global is null
};

// One console line: from console.log/info (isError false) or console.warn/error.
typedef std::function<void(bool isError, const std::string& utf8Line)> ConsoleSink;

struct ScriptError {
  bool failed = false;
  unsigned long line = 0;  // from 1, in the page's source
  long column = 0;         // from 1
  std::string message;     // UTF-8
  std::string sourceLine;  // the line's text where the engine gives it
};

// Runs `source` to its end, or to its first uncaught error, described in `error`.
// The engine is closed, with every reference it held released, before this returns.
// False when the script failed or no engine could be started (error->message says),
// or when it was stopped (script_watchdog.h): after `timeoutSeconds` (0: no limit)
// or on the user's interrupt.
bool runScript(const std::wstring& source, const NamedObject* objects, size_t objectCount,
               const ConsoleSink& console, ScriptError* error, unsigned long timeoutSeconds = 0);

}  // namespace host

#endif
