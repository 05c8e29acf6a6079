#include "js_engine.h"

#include <windows.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <vector>

#include "js_npruntime.h"
#include "plugin_guard.h"
#include "script_watchdog.h"

namespace host {
namespace {

// The file name of the host's own script (the page runtime), skipped when an error is
// placed in the page.
const char kPreludeFile[] = "kelvra-host-prelude";
const char kEvaluatedFile[] = "<evaluated>";

// The page runtime (host/page, bundled by the build): a resource of the program.
bool pageRuntime(std::string* source) {
  HMODULE self = GetModuleHandleW(NULL);
  HRSRC found = FindResourceW(self, L"KELVRA_PAGE_RUNTIME", MAKEINTRESOURCEW(10));  // RT_RCDATA
  HGLOBAL loaded = found != NULL ? LoadResource(self, found) : NULL;
  const char* bytes = loaded != NULL ? static_cast<const char*>(LockResource(loaded)) : NULL;
  if (bytes == NULL) return false;
  source->assign(bytes, SizeofResource(self, found));  // the engine wants a NUL after it
  return true;
}

// Where the last value native code threw was thrown, for a value without a stack.
struct Thrown {
  void* value = NULL;
  std::string file;
  unsigned long line = 0;
};
Thrown lastThrown;

std::string text(JSContext* ctx, JSValueConst value) {
  size_t length = 0;
  const char* bytes = JS_ToCStringLen(ctx, &length, value);
  if (bytes == NULL) {
    JS_FreeValue(ctx, JS_GetException(ctx));
    return "?";
  }
  std::string result(bytes, length);
  JS_FreeCString(ctx, bytes);
  return result;
}

// The innermost frame of the page's own code in an engine stack
// ("    at NAME (FILE:LINE)" or, for a syntax error, "    at FILE:LINE").
bool pagePosition(const std::string& stack, std::string* file, unsigned long* line) {
  size_t start = 0;
  while (start < stack.size()) {
    size_t end = stack.find('\n', start);
    if (end == std::string::npos) end = stack.size();
    std::string frame = stack.substr(start, end - start);
    start = end + 1;
    size_t at = frame.find("at ");
    if (at == std::string::npos) continue;
    frame = frame.substr(at + 3);
    size_t open = frame.find(" (");
    if (!frame.empty() && frame.back() == ')' && open != std::string::npos) {
      frame = frame.substr(open + 2, frame.size() - open - 3);
    }
    size_t colon = frame.rfind(':');
    if (colon == std::string::npos || colon + 1 >= frame.size()) continue;
    std::string name = frame.substr(0, colon);
    if (name == kPreludeFile) continue;
    char* rest = NULL;
    unsigned long number = strtoul(frame.c_str() + colon + 1, &rest, 10);
    if (rest == NULL || *rest != '\0' || number == 0) continue;
    *file = name;
    *line = number;
    return true;
  }
  return false;
}

std::string stackOf(JSContext* ctx, JSValueConst error) {
  JSValue stack = JS_GetPropertyStr(ctx, error, "stack");
  std::string result = JS_IsString(stack) ? text(ctx, stack) : std::string();
  JS_FreeValue(ctx, stack);
  return result;
}

}  // namespace

struct ScriptSession::Parts {
  ConsoleSink console;
  TimerSink timers;
  std::function<void(const std::string&)> report;
  unsigned long timeoutSeconds = 0;
  int running = 0;  // entries into script under way, nested ones too
  JSRuntime* runtime = NULL;
  JSValue api = JS_UNDEFINED;  // the page runtime's steps (kelvraHost.install)
  // The scripts run, by file: the text of an error's line comes from them (an HTML
  // page's inline scripts share its file, each padded to its place with blank lines).
  std::map<std::string, std::vector<std::string>> sources;
  // Promises rejected with no handler yet, and their reasons: what is still in it once
  // a task's jobs have run is an unhandled rejection.
  std::vector<std::pair<JSValue, JSValue>> rejected;
  ScriptSession* session = NULL;

  // How an exception reads, and where it happened.
  void describe(JSContext* ctx, JSValueConst exception, ScriptError* error) {
    error->failed = true;
    if (JS_IsError(ctx, exception)) {
      error->message = text(ctx, exception);
      pagePosition(stackOf(ctx, exception), &error->file, &error->line);
    } else {
      error->message = "uncaught exception: " + text(ctx, exception);
      if (JS_VALUE_HAS_REF_COUNT(exception) && JS_VALUE_GET_PTR(exception) == lastThrown.value) {
        error->file = lastThrown.file;
        error->line = lastThrown.line;
      }
    }
    error->sourceLine = lineOf(error->file, error->line);
  }

  std::string lineOf(const std::string& file, unsigned long line) const {
    auto found = sources.find(file);
    if (found == sources.end() || line == 0) return std::string();
    for (const std::string& source : found->second) {
      size_t start = 0;
      for (unsigned long n = 1; n < line && start != std::string::npos; ++n) {
        start = source.find('\n', start);
        if (start != std::string::npos) ++start;
      }
      if (start == std::string::npos) continue;
      std::string found = source.substr(start, source.find('\n', start) - start);
      if (!found.empty() && found.back() == '\r') found.pop_back();
      if (found.find_first_not_of(" \t") != std::string::npos) return found;
    }
    return std::string();
  }

  // The first unhandled rejection, as an error of the task; every one is forgotten.
  void unhandledRejection(JSContext* ctx, ScriptError* error) {
    if (rejected.empty()) return;
    JSValue reason = rejected.front().second;
    describe(ctx, reason, error);
    const std::string thrown = "uncaught exception: ";
    if (error->message.compare(0, thrown.size(), thrown) == 0) error->message.erase(0, thrown.size());
    error->message = "unhandled promise rejection: " + error->message;
    forgetRejections(ctx);
  }

  void forgetRejections(JSContext* ctx) {
    for (auto& promise : rejected) {
      JS_FreeValue(ctx, promise.first);
      JS_FreeValue(ctx, promise.second);
    }
    rejected.clear();
  }

  // An error outside a run (script a plug-in called, an evaluation): the console's.
  void toConsole(JSContext* ctx, JSValueConst exception) {
    if (scriptStop() != kScriptNotStopped) return;  // the run ends anyway
    ScriptError error;
    describe(ctx, exception, &error);
    std::string where = error.file.empty() ? std::string()
                                           : error.file + ":" + std::to_string(error.line) + ": ";
    console(true, "script error: " + where + error.message);
  }
};

namespace {

ScriptSession::Parts* partsOf(JSContext* ctx) {
  return static_cast<ScriptSession::Parts*>(JS_GetContextOpaque(ctx));
}

JSValue hostLog(JSContext* ctx, JSValueConst, int argc, JSValueConst* argv, int isError) {
  partsOf(ctx)->console(isError != 0, argc > 0 ? text(ctx, argv[0]) : std::string());
  return JS_UNDEFINED;
}

JSValue hostSetTimer(JSContext* ctx, JSValueConst, int argc, JSValueConst* argv) {
  ScriptSession::Parts* p = partsOf(ctx);
  double ms = 0;
  if (argc < 2 || JS_ToFloat64(ctx, &ms, argv[0]) < 0) return JS_EXCEPTION;
  if (!(ms > 0)) ms = 0;
  long delay = ms > 2147483647.0 ? 2147483647L : static_cast<long>(ms);
  long id = p->timers.add ? p->timers.add(delay, JS_ToBool(ctx, argv[1]) > 0) : 0;
  return JS_NewInt32(ctx, static_cast<int32_t>(id));
}

JSValue hostClearTimer(JSContext* ctx, JSValueConst, int argc, JSValueConst* argv) {
  ScriptSession::Parts* p = partsOf(ctx);
  int32_t id = 0;
  if (argc > 0 && JS_ToInt32(ctx, &id, argv[0]) == 0 && p->timers.remove) p->timers.remove(id);
  return JS_UNDEFINED;
}

JSValue hostEvaluate(JSContext* ctx, JSValueConst, int argc, JSValueConst* argv) {
  if (argc > 0) partsOf(ctx)->session->evaluate(text(ctx, argv[0]), NULL);
  return JS_UNDEFINED;
}

// Milliseconds of the performance counter, with their fraction.
JSValue hostNow(JSContext* ctx, JSValueConst, int, JSValueConst*) {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return JS_NewFloat64(ctx, static_cast<double>(count.QuadPart) * 1000.0 /
                                static_cast<double>(frequency.QuadPart));
}

JSValue hostReport(JSContext* ctx, JSValueConst, int argc, JSValueConst* argv) {
  ScriptSession::Parts* p = partsOf(ctx);
  if (argc > 0 && p->report) p->report(text(ctx, argv[0]));
  return JS_UNDEFINED;
}

JSValue hostInstall(JSContext* ctx, JSValueConst, int argc, JSValueConst* argv) {
  ScriptSession::Parts* p = partsOf(ctx);
  if (argc > 0 && JS_IsObject(argv[0])) {
    JS_FreeValue(ctx, p->api);
    p->api = JS_DupValue(ctx, argv[0]);
  }
  return JS_UNDEFINED;
}

// The window's named properties (an element by its id, `window.panel`): an object of
// the window's prototype chain whose own properties a lookup function of the page
// runtime answers. It is an own-property hook, not a Proxy: a Proxy's get answers
// every name, and a global name nothing defines must stay a ReferenceError.
JSClassID namedClass;

JSValue* lookupOf(JSValueConst obj) { return static_cast<JSValue*>(JS_GetOpaque(obj, namedClass)); }

int namedOwnProperty(JSContext* ctx, JSPropertyDescriptor* desc, JSValueConst obj, JSAtom atom) {
  JSValue* lookup = lookupOf(obj);
  JSValue name = JS_AtomToValue(ctx, atom);
  if (lookup == NULL || !JS_IsString(name)) {
    JS_FreeValue(ctx, name);
    return FALSE;
  }
  JSValue found = JS_Call(ctx, *lookup, JS_UNDEFINED, 1, &name);
  JS_FreeValue(ctx, name);
  if (JS_IsException(found)) return -1;
  if (!JS_IsObject(found)) {
    JS_FreeValue(ctx, found);
    return FALSE;
  }
  if (desc == NULL) {
    JS_FreeValue(ctx, found);
  } else {
    desc->flags = JS_PROP_WRITABLE | JS_PROP_CONFIGURABLE;
    desc->value = found;
    desc->getter = JS_UNDEFINED;
    desc->setter = JS_UNDEFINED;
  }
  return TRUE;
}

void namedFinalize(JSRuntime* rt, JSValue obj) {
  JSValue* lookup = lookupOf(obj);
  if (lookup == NULL) return;
  JS_FreeValueRT(rt, *lookup);
  delete lookup;
}

void namedMark(JSRuntime* rt, JSValueConst obj, JS_MarkFunc* mark) {
  JSValue* lookup = lookupOf(obj);
  if (lookup != NULL) JS_MarkValue(rt, *lookup, mark);
}

JSClassExoticMethods namedExotic = {namedOwnProperty, NULL, NULL, NULL, NULL, NULL, NULL};
JSClassDef namedDef = {"WindowProperties", namedFinalize, namedMark, NULL, &namedExotic};

// kelvraHost.namedProperties(lookup, prototype)
JSValue hostNamedProperties(JSContext* ctx, JSValueConst, int argc, JSValueConst* argv) {
  if (argc < 2 || !JS_IsFunction(ctx, argv[0])) return JS_ThrowTypeError(ctx, "a lookup function");
  JSValue object = JS_NewObjectProtoClass(ctx, argv[1], namedClass);
  if (!JS_IsException(object)) JS_SetOpaque(object, new JSValue(JS_DupValue(ctx, argv[0])));
  return object;
}

void trackRejection(JSContext* ctx, JSValueConst promise, JSValueConst reason, JS_BOOL handled,
                    void*) {
  std::vector<std::pair<JSValue, JSValue>>& rejected = partsOf(ctx)->rejected;
  if (!handled) {
    rejected.push_back(std::make_pair(JS_DupValue(ctx, promise), JS_DupValue(ctx, reason)));
    return;
  }
  for (auto it = rejected.begin(); it != rejected.end(); ++it) {
    if (JS_VALUE_GET_PTR(it->first) != JS_VALUE_GET_PTR(promise)) continue;
    JS_FreeValue(ctx, it->first);
    JS_FreeValue(ctx, it->second);
    rejected.erase(it);
    return;
  }
}

// The engine asks between operations whether to go on: not once the watchdog said stop.
int interrupted(JSRuntime*, void*) { return scriptStop() != kScriptNotStopped ? 1 : 0; }

// The watchdog watches the outermost entry into script only: what a plug-in
// evaluates during a run is part of that run. Once out, the references of the
// wrappers collected meanwhile are given back.
class Entry {
 public:
  Entry(ScriptSession::Parts* parts) : parts_(parts) {
    if (parts_->running++ == 0) watchScript(parts_->timeoutSeconds);
  }
  ~Entry() {
    if (--parts_->running != 0) return;
    unwatchScript();
    releaseCollectedWrappers();
  }

 private:
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
  ScriptSession::Parts* parts_;
  ScriptCallback callback_;  // script the plug-in runs is the script's time
};

JSValue throwProbe(JSContext* ctx, JSValueConst, int, JSValueConst*) {
  return JS_ThrowInternalError(ctx, "position");
}

// A run the watchdog stopped has failed, whatever the engine made of the stop.
bool stopped(ScriptError* error) {
  if (scriptStop() == kScriptNotStopped) return false;
  error->failed = true;
  return true;
}

}  // namespace

ScriptSession::ScriptSession(const ConsoleSink& console, const TimerSink& timers,
                             unsigned long timeoutSeconds)
    : parts_(new Parts) {
  parts_->console = console;
  parts_->timers = timers;
  parts_->timeoutSeconds = timeoutSeconds;
  parts_->session = this;
}

ScriptSession::~ScriptSession() {
  close();
  delete parts_;
}

bool ScriptSession::start(ScriptError* error) {
  *error = ScriptError();
  Parts& p = *parts_;
  p.runtime = JS_NewRuntime();
  context_ = p.runtime != NULL ? JS_NewContext(p.runtime) : NULL;
  if (context_ == NULL) {
    error->failed = true;
    error->message = "the script engine could not be started";
    return false;
  }
  if (namedClass == 0) JS_NewClassID(&namedClass);
  if (context_ != NULL && JS_NewClass(p.runtime, namedClass, &namedDef) < 0) {
    error->failed = true;
    error->message = "the script engine's window classes could not be set up";
    return false;
  }
  JS_SetContextOpaque(context_, &p);
  JS_SetInterruptHandler(p.runtime, interrupted, NULL);
  JS_SetHostPromiseRejectionTracker(p.runtime, trackRejection, NULL);
  JSValue global = JS_GetGlobalObject(context_);
  JSValue host = JS_NewObject(context_);
  // (The engine's function-list macros are C99 initializers, not C++.)
  JS_SetPropertyStr(context_, host, "log",
                    JS_NewCFunctionMagic(context_, hostLog, "log", 1, JS_CFUNC_generic_magic, 0));
  JS_SetPropertyStr(context_, host, "error",
                    JS_NewCFunctionMagic(context_, hostLog, "error", 1, JS_CFUNC_generic_magic, 1));
  JS_SetPropertyStr(context_, host, "setTimer",
                    JS_NewCFunction(context_, hostSetTimer, "setTimer", 2));
  JS_SetPropertyStr(context_, host, "clearTimer",
                    JS_NewCFunction(context_, hostClearTimer, "clearTimer", 1));
  JS_SetPropertyStr(context_, host, "evaluate",
                    JS_NewCFunction(context_, hostEvaluate, "evaluate", 1));
  JS_SetPropertyStr(context_, host, "report", JS_NewCFunction(context_, hostReport, "report", 1));
  JS_SetPropertyStr(context_, host, "now", JS_NewCFunction(context_, hostNow, "now", 0));
  JS_SetPropertyStr(context_, host, "install",
                    JS_NewCFunction(context_, hostInstall, "install", 1));
  JS_SetPropertyStr(context_, host, "namedProperties",
                    JS_NewCFunction(context_, hostNamedProperties, "namedProperties", 2));
  bool ready = installNPRuntime(context_, host, [this](JSValueConst exception) {
    parts_->toConsole(context_, exception);
  });
  JS_SetPropertyStr(context_, global, "kelvraHost", host);
  JS_FreeValue(context_, global);
  if (!ready) {
    error->failed = true;
    error->message = "the script engine's NPAPI classes could not be set up";
    return false;
  }
  std::string runtime;
  if (!pageRuntime(&runtime)) {
    error->failed = true;
    error->message = "the program holds no page runtime (resource KELVRA_PAGE_RUNTIME)";
    return false;
  }
  {
    Entry entry(&p);
    JSValue done = JS_Eval(context_, runtime.c_str(), runtime.size(), kPreludeFile,
                           JS_EVAL_TYPE_GLOBAL);
    if (JS_IsException(done)) {
      JSValue exception = JS_GetException(context_);
      p.describe(context_, exception, error);
      JS_FreeValue(context_, exception);
      error->message = "(host prelude) " + error->message;
      return false;
    }
    JS_FreeValue(context_, done);
  }
  if (!JS_IsObject(p.api)) {
    error->failed = true;
    error->message = "(host prelude) the page runtime did not install itself";
    return false;
  }
  return true;
}

bool ScriptSession::define(const char* name, JSValue value) {
  if (context_ == NULL) return false;
  JSValue global = JS_GetGlobalObject(context_);
  int set = JS_SetPropertyStr(context_, global, name, value);
  JS_FreeValue(context_, global);
  return set >= 0;
}

bool ScriptSession::run(const std::string& source, const std::string& file, ScriptError* error) {
  if (context_ == NULL) return false;
  parts_->sources[file].push_back(source);
  {
    Entry entry(parts_);
    JSValue done =
        JS_Eval(context_, source.c_str(), source.size(), file.c_str(), JS_EVAL_TYPE_GLOBAL);
    if (JS_IsException(done)) {
      JSValue exception = JS_GetException(context_);
      parts_->describe(context_, exception, error);
      JS_FreeValue(context_, exception);
    }
    JS_FreeValue(context_, done);
  }
  if (stopped(error) || error->failed) return false;
  return settle(error);
}

bool ScriptSession::evaluate(const std::string& source, JSValue* result) {
  if (result != NULL) *result = JS_UNDEFINED;
  if (context_ == NULL) return false;
  Entry entry(parts_);
  JSValue value =
      JS_Eval(context_, source.c_str(), source.size(), kEvaluatedFile, JS_EVAL_TYPE_GLOBAL);
  if (JS_IsException(value)) {
    JSValue exception = JS_GetException(context_);
    parts_->toConsole(context_, exception);
    JS_FreeValue(context_, exception);
    return false;
  }
  if (result != NULL) {
    *result = value;
  } else {
    JS_FreeValue(context_, value);
  }
  return scriptStop() == kScriptNotStopped;
}

bool ScriptSession::fireTimer(long id, ScriptError* error) {
  JSValue argument = JS_NewInt32(context_, static_cast<int32_t>(id));
  return call("fireTimer", 1, &argument, NULL, error);
}

bool ScriptSession::call(const char* step, int argc, JSValueConst* argv, JSValue* result,
                         ScriptError* error) {
  if (result != NULL) *result = JS_UNDEFINED;
  if (context_ == NULL) return false;
  {
    Entry entry(parts_);
    JSValue function = JS_GetPropertyStr(context_, parts_->api, step);
    JSValue done = JS_Call(context_, function, parts_->api, argc, argv);
    JS_FreeValue(context_, function);
    if (JS_IsException(done)) {
      JSValue exception = JS_GetException(context_);
      parts_->describe(context_, exception, error);
      JS_FreeValue(context_, exception);
    } else if (result != NULL) {
      *result = JS_DupValue(context_, done);
    }
    JS_FreeValue(context_, done);
  }
  if (stopped(error) || error->failed) {
    if (result != NULL) {
      JS_FreeValue(context_, *result);
      *result = JS_UNDEFINED;
    }
    return false;
  }
  return settle(error);
}

void ScriptSession::setReport(const std::function<void(const std::string&)>& report) {
  parts_->report = report;
}

bool ScriptSession::settle(ScriptError* error) {
  if (context_ == NULL) return true;
  Entry entry(parts_);
  while (JS_IsJobPending(parts_->runtime) && !error->failed) {
    JSContext* jobContext = NULL;
    if (JS_ExecutePendingJob(parts_->runtime, &jobContext) < 0) {
      JSValue exception = JS_GetException(jobContext);
      parts_->describe(jobContext, exception, error);
      JS_FreeValue(jobContext, exception);
    }
  }
  if (!error->failed) parts_->unhandledRejection(context_, error);
  return !stopped(error) && !error->failed;
}

void ScriptSession::close() {
  Parts& p = *parts_;
  if (p.runtime == NULL) return;
  if (context_ != NULL) {
    p.forgetRejections(context_);
    JS_FreeValue(context_, p.api);
    p.api = JS_UNDEFINED;
    invalidateScriptObjects();
    JS_FreeContext(context_);
  }
  JS_FreeRuntime(p.runtime);  // collects what is left: the wrappers' finalizers run
  uninstallNPRuntime();       // ... and their references go back
  context_ = NULL;
  p.runtime = NULL;
  p.sources.clear();
}

JSValue throwValue(JSContext* ctx, JSValue value) {
  // A throwaway Error, thrown by a native function of its own (which, unlike the
  // caller, is sure to have a frame of the engine's), takes the stack at this point.
  JSValue thrower = JS_NewCFunction(ctx, throwProbe, "position", 0);
  JS_FreeValue(ctx, JS_Call(ctx, thrower, JS_UNDEFINED, 0, NULL));
  JS_FreeValue(ctx, thrower);
  JSValue probe = JS_GetException(ctx);
  lastThrown = Thrown();
  if (JS_VALUE_HAS_REF_COUNT(value) &&
      pagePosition(stackOf(ctx, probe), &lastThrown.file, &lastThrown.line)) {
    lastThrown.value = JS_VALUE_GET_PTR(value);
  }
  JS_FreeValue(ctx, probe);
  return JS_Throw(ctx, value);
}

JSValue throwError(JSContext* ctx, const char* message) {
  JSValue error = JS_NewError(ctx);
  JS_DefinePropertyValueStr(ctx, error, "message", JS_NewString(ctx, message),
                            JS_PROP_WRITABLE | JS_PROP_CONFIGURABLE);
  return JS_Throw(ctx, error);
}

}  // namespace host
