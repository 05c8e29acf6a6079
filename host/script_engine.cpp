#include "script_engine.h"

#include <activscp.h>
#include <stdio.h>
#include <string.h>
#include <wctype.h>

#include <vector>

#include "com_object.h"
#include "plugin_loader.h"
#include "script_values.h"
#include "script_watchdog.h"

namespace host {
namespace {

// {F414C260-6AC0-11CF-B6D1-00AA00BBBB58}
const CLSID kCLSID_JScript = {
    0xf414c260, 0x6ac0, 0x11cf, {0xb6, 0xd1, 0x00, 0xaa, 0x00, 0xbb, 0xbb, 0x58}};
// {BB1A2AE2-A4F9-11CF-8F20-00805F2CD064}: not in every SDK's import libraries.
const IID kIID_IActiveScriptParse = {
    0xbb1a2ae2, 0xa4f9, 0x11cf, {0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c, 0xd0, 0x64}};
// {539698A0-CDCA-11CF-A5EB-00AA0047A063}
const IID kIID_IActiveScriptSiteInterruptPoll = {
    0x539698a0, 0xcdca, 0x11cf, {0xa5, 0xeb, 0x00, 0xaa, 0x00, 0x47, 0xa0, 0x63}};

// {4954E0D0-FBC7-11D1-8410-006008C3FBFC}
const IID kIID_IActiveScriptProperty = {
    0x4954e0d0, 0xfbc7, 0x11d1, {0x84, 0x10, 0x00, 0x60, 0x08, 0xc3, 0xfb, 0xfc}};

// SCRIPTPROP_INVOKEVERSIONING values, newest first: Wine's JScript takes the
// ES5 (0x102) and ES6 (0x103) versions together with its HTML flag (0x400), as
// Internet Explorer's documents ask for them; 5.8 and 5.7 are the older modes.
const long kLanguageVersions[] = {0x400 | 0x103, 0x400 | 0x102, 0x103, 0x102, 2, 1};

// Host objects enter the engine as named items under these names and become the
// page's globals through variables of the prelude: the engine does not call a named
// item itself as a function (plugin()), while it calls a variable's value.
const wchar_t kItemPrefix[] = L"kelvraHost_";
const wchar_t kBridgeName[] = L"kelvraHostBridge";

// console.* join their arguments as script's String() shows them, so that every
// value prints as the page's author expects. Timers take a function (with further
// arguments for it) or a string of code, as browsers do. The helpers are what the
// host's values need of script (see ScriptHelpers); errors of kPluginExceptionNumber
// read as their message.
const wchar_t kPrelude[] =
    L"var window = this;\n"
    L"var console = (function (sink) {\n"
    L"  function text(args) {\n"
    L"    var parts = [];\n"
    L"    for (var i = 0; i < args.length; i++) parts.push(String(args[i]));\n"
    L"    return parts.join(' ');\n"
    L"  }\n"
    L"  return {\n"
    L"    log: function () { sink.log(text(arguments)); },\n"
    L"    info: function () { sink.log(text(arguments)); },\n"
    L"    warn: function () { sink.error(text(arguments)); },\n"
    L"    error: function () { sink.error(text(arguments)); }\n"
    L"  };\n"
    L"})(kelvraHostBridge);\n"
    L"var kelvraHostHelpers = (function (bridge) {\n"
    L"  function task(f, args) {\n"
    L"    var rest = [];\n"
    L"    for (var i = 2; i < args.length; i++) rest.push(args[i]);\n"
    L"    if (typeof f == 'function') return function () { f.apply(window, rest); };\n"
    L"    var code = String(f);\n"
    L"    return function () { bridge.evaluate(code); };\n"
    L"  }\n"
    L"  window.setTimeout = function (f, delay) {\n"
    L"    return bridge.setTimer(task(f, arguments), Number(delay) || 0, false);\n"
    L"  };\n"
    L"  window.setInterval = function (f, delay) {\n"
    L"    return bridge.setTimer(task(f, arguments), Number(delay) || 0, true);\n"
    L"  };\n"
    L"  window.clearTimeout = window.clearInterval = function (id) {\n"
    L"    bridge.clearTimer(Number(id) || 0);\n"
    L"  };\n"
    L"  return {\n"
    L"    method: function (target, name) {\n"
    L"      return function () { return bridge.call(target, name, arguments); };\n"
    L"    },\n"
    L"    isFunction: function (value) { return typeof value == 'function'; }\n"
    L"  };\n"
    L"})(kelvraHostBridge);\n"
    L"(function (proto) {\n"
    L"  var number = 0x80044E50 | 0, valueOf = proto.valueOf, toString = proto.toString;\n"
    L"  proto.valueOf = function () {\n"
    L"    return this.number === number ? this.message : valueOf.call(this);\n"
    L"  };\n"
    L"  proto.toString = function () {\n"
    L"    return this.number === number ? this.message : toString.call(this);\n"
    L"  };\n"
    L"})(Error.prototype);\n";

// What JScript says of an uncaught throw of a value that is not an Error.
const char kNotCaught[] = "Exception thrown and not caught";

// Source context cookies: which text an error belongs to.
const DWORD kPreludeCookie = 0;
const DWORD kPageCookie = 1;

// A member of a script object, read by name (for the arguments of a call).
HRESULT readMember(IDispatch* object, const wchar_t* name, VARIANT* value) {
  VariantInit(value);
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  DISPPARAMS none = {NULL, NULL, 0, 0};
  if (SUCCEEDED(hr))
    hr = object->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, value, NULL, NULL);
  return hr;
}

// The native end of the prelude: console lines, timers, evaluation of timer code,
// and the calls of the functions that stand for plug-in methods.
class Bridge : public comhelp::NoTypeInfo<comhelp::Unknown<IDispatch>> {
 public:
  enum { kLog = 1, kError, kSetTimer, kClearTimer, kCall, kEvaluate };
  Bridge(const ConsoleSink& sink, const TimerSink& timers, ScriptSession* session)
      : sink_(sink), timers_(timers), session_(session) {}

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    static const wchar_t* const kNames[] = {L"log",        L"error", L"setTimer",
                                            L"clearTimer", L"call",  L"evaluate"};
    if (names == NULL || ids == NULL || count != 1) return DISP_E_UNKNOWNNAME;
    for (DISPID i = 0; i < 6; ++i) {
      if (wcscmp(names[0], kNames[i]) == 0) {
        ids[0] = i + 1;
        return S_OK;
      }
    }
    ids[0] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT*) override {
    if (result != NULL) VariantInit(result);
    if (id < kLog || id > kEvaluate || (flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
    UINT count = params != NULL ? params->cArgs - params->cNamedArgs : 0;
    // Positional arguments, last first after the named ones.
    auto arg = [params, count](UINT i) -> VARIANT& {
      return params->rgvarg[params->cArgs - 1 - i];
    };
    switch (id) {
      case kLog:
      case kError:
        if (count != 1) return DISP_E_BADPARAMCOUNT;
        sink_(id == kError, narrow(scriptText(arg(0))));
        return S_OK;
      case kSetTimer: {
        if (count != 3 || V_VT(&arg(0)) != VT_DISPATCH || !timers_.add) return DISP_E_BADPARAMCOUNT;
        VARIANT delay;
        VariantInit(&delay);
        VariantChangeType(&delay, &arg(1), 0, VT_R8);
        double ms = V_VT(&delay) == VT_R8 && V_R8(&delay) > 0 ? V_R8(&delay) : 0;
        long timer = timers_.add(V_DISPATCH(&arg(0)),
                                 ms > 2147483647.0 ? 2147483647L : static_cast<long>(ms),
                                 V_VT(&arg(2)) == VT_BOOL && V_BOOL(&arg(2)) != VARIANT_FALSE);
        if (result != NULL) {
          V_VT(result) = VT_I4;
          V_I4(result) = timer;
        }
        return S_OK;
      }
      case kClearTimer: {
        if (count != 1) return DISP_E_BADPARAMCOUNT;
        VARIANT timer;
        VariantInit(&timer);
        if (SUCCEEDED(VariantChangeType(&timer, &arg(0), 0, VT_I4)) && timers_.remove) {
          timers_.remove(V_I4(&timer));
        }
        return S_OK;
      }
      case kEvaluate:
        if (count != 1) return DISP_E_BADPARAMCOUNT;
        session_->evaluate(scriptText(arg(0)), NULL);
        return S_OK;
      default:
        if (count != 3 || V_VT(&arg(0)) != VT_DISPATCH || V_VT(&arg(2)) != VT_DISPATCH) {
          return DISP_E_BADPARAMCOUNT;
        }
        return callMethod(V_DISPATCH(&arg(0)), scriptText(arg(1)), V_DISPATCH(&arg(2)), result,
                          exception);
    }
  }

 protected:
  bool implements(REFIID iid) const override { return IsEqualIID(iid, IID_IDispatch); }

 private:
  // target[name](...args), the arguments read from script's arguments object.
  HRESULT callMethod(IDispatch* target, const std::wstring& name, IDispatch* args, VARIANT* result,
                     EXCEPINFO* exception) {
    VARIANT length;
    HRESULT hr = readMember(args, L"length", &length);
    if (SUCCEEDED(hr)) hr = VariantChangeType(&length, &length, 0, VT_I4);
    if (FAILED(hr)) return hr;
    LONG count = V_I4(&length) > 0 ? V_I4(&length) : 0;
    std::vector<VARIANT> values(count);
    for (LONG i = 0; i < count && SUCCEEDED(hr); ++i) {
      hr = readMember(args, std::to_wstring(i).c_str(), &values[count - 1 - i]);
    }
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name.c_str())};
    if (SUCCEEDED(hr)) hr = target->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    if (SUCCEEDED(hr)) {
      DISPPARAMS params = {count > 0 ? &values[0] : NULL, NULL, static_cast<UINT>(count), 0};
      hr = target->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, result, exception, NULL);
    }
    for (size_t i = 0; i < values.size(); ++i) VariantClear(&values[i]);
    return hr;
  }

  ConsoleSink sink_;
  TimerSink timers_;
  ScriptSession* session_;
};

struct Item {
  std::wstring name;
  IDispatch* object;
};

// The engine's site: named items, and where errors go. An error during a run is the
// run's (the first one wins); one at any other time (an evaluation, script that a
// plug-in calls from the event loop) goes to the console.
class Site : public comhelp::Unknown<IActiveScriptSite> {
 public:
  explicit Site(const ConsoleSink& console) : console_(console) {}

  std::vector<Item> items;
  ScriptError* error = NULL;  // the current run's; NULL outside a run

  HRESULT STDMETHODCALLTYPE GetLCID(LCID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item,
                                        ITypeInfo** typeInfo) override {
    if (typeInfo != NULL) *typeInfo = NULL;
    if (item != NULL) *item = NULL;
    if ((mask & SCRIPTINFO_IUNKNOWN) == 0) return TYPE_E_ELEMENTNOTFOUND;  // no type info
    if (item == NULL) return E_POINTER;
    IDispatch* object = lookup(name);
    if (object == NULL) return TYPE_E_ELEMENTNOTFOUND;
    object->AddRef();
    *item = object;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnStateChange(SCRIPTSTATE) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnScriptError(IActiveScriptError* failure) override;
  HRESULT STDMETHODCALLTYPE OnEnterScript() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnLeaveScript() override { return S_OK; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == NULL || !IsEqualIID(iid, kIID_IActiveScriptSiteInterruptPoll)) {
      return comhelp::Unknown<IActiveScriptSite>::QueryInterface(iid, out);
    }
    AddRef();
    *out = &poll_;
    return S_OK;
  }

 protected:
  bool implements(REFIID iid) const override { return IsEqualIID(iid, IID_IActiveScriptSite); }

 private:
  // The engine's question between statements: go on unless the watchdog said stop.
  class Poll : public IActiveScriptSiteInterruptPoll {
   public:
    explicit Poll(Site* site) : site_(site) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
      return site_->QueryInterface(iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return site_->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return site_->Release(); }
    HRESULT STDMETHODCALLTYPE QueryContinue() override {
      return scriptStop() == kScriptNotStopped ? S_OK : S_FALSE;
    }

   private:
    Site* site_;
  };

  IDispatch* lookup(LPCOLESTR name) const {
    for (size_t i = 0; name != NULL && i < items.size(); ++i) {
      if (items[i].name == name) return items[i].object;
    }
    return NULL;
  }

  ConsoleSink console_;
  Poll poll_{this};
};

void describe(IActiveScriptError* failure, ScriptError* error) {
  EXCEPINFO info;
  memset(&info, 0, sizeof info);
  if (SUCCEEDED(failure->GetExceptionInfo(&info))) {
    if (info.pfnDeferredFillIn != NULL) info.pfnDeferredFillIn(&info);
    if (info.bstrDescription != NULL) {
      error->message =
          narrow(std::wstring(info.bstrDescription, SysStringLen(info.bstrDescription)));
    } else {
      char code[32];
      snprintf(code, sizeof code, "error 0x%08lX", static_cast<unsigned long>(info.scode));
      error->message = code;
    }
    freeExceptionTexts(&info);
  }
  DWORD cookie = kPageCookie;
  ULONG line = 0;
  LONG column = 0;
  if (SUCCEEDED(failure->GetSourcePosition(&cookie, &line, &column))) {
    error->line = line + 1;
    error->column = column + 1;
  }
  if (cookie == kPreludeCookie) error->message = "(host prelude) " + error->message;
  BSTR text = NULL;
  if (SUCCEEDED(failure->GetSourceLineText(&text)) && text != NULL) {
    error->sourceLine = narrow(std::wstring(text, SysStringLen(text)));
    SysFreeString(text);
  }
}

HRESULT Site::OnScriptError(IActiveScriptError* failure) {
  if (failure == NULL) return S_OK;
  ScriptError found;
  describe(failure, &found);
  if (error == NULL) {
    console_(true, "script error: line " + std::to_string(found.line) + ": " + found.message);
  } else if (!error->failed) {  // the first error ends the run
    *error = found;
    error->failed = true;
  }
  return S_OK;
}

HRESULT parse(IActiveScriptParse* parser, const wchar_t* text, DWORD cookie, DWORD flags,
              VARIANT* result) {
  EXCEPINFO info;
  memset(&info, 0, sizeof info);
  HRESULT hr = parser->ParseScriptText(text, NULL, NULL, NULL, cookie, 0, flags, result, &info);
  freeExceptionTexts(&info);
  return hr;
}

void failWith(ScriptError* error, const char* what, HRESULT hr) {
  if (error->failed) return;
  error->failed = true;
  char text[96];
  snprintf(text, sizeof text, "%s failed with 0x%08lX", what, static_cast<unsigned long>(hr));
  error->message = text;
}

// The first version of kLanguageVersions the engine takes; 0 when it takes none.
long chooseLanguageVersion(IActiveScript* engine) {
  IActiveScriptProperty* property = NULL;
  if (FAILED(engine->QueryInterface(kIID_IActiveScriptProperty,
                                    reinterpret_cast<void**>(&property)))) {
    return 0;
  }
  long chosen = 0;
  for (long version : kLanguageVersions) {
    VARIANT value;
    V_VT(&value) = VT_I4;
    V_I4(&value) = version;
    if (SUCCEEDED(property->SetProperty(SCRIPTPROP_INVOKEVERSIONING, NULL, &value))) {
      chosen = version;
      break;
    }
  }
  property->Release();
  return chosen;
}

// The expression of the throw statement at `column` of `line` when reading it
// again cannot change anything: a literal, or a name with properties (no calls, no
// operators). Empty otherwise.
std::wstring rereadableThrow(const std::wstring& line, long column) {
  size_t at = line.find(L"throw", column > 0 ? static_cast<size_t>(column - 1) : 0);
  if (at == std::wstring::npos) return std::wstring();
  std::wstring expression = line.substr(at + 5);
  size_t end = expression.find_last_not_of(L" \t;");
  expression = end == std::wstring::npos ? L"" : expression.substr(0, end + 1);
  size_t start = expression.find_first_not_of(L" \t");
  if (start == std::wstring::npos || start == 0) return std::wstring();
  expression = expression.substr(start);
  wchar_t quote = expression[0];
  if (quote == L'"' || quote == L'\'') {
    bool closed = expression.size() > 1 && expression.back() == quote &&
                  expression.find(quote, 1) == expression.size() - 1;
    return closed && expression.find(L'\\') == std::wstring::npos ? expression : std::wstring();
  }
  for (wchar_t c : expression) {
    if (!iswalnum(c) && c != L'_' && c != L'$' && c != L'.' && c != L'-') return std::wstring();
  }
  return expression;
}

// The watchdog watches the outermost run of script only: what a plug-in evaluates
// during a run, or the run's own second look at a thrown value, is part of that run.
class WatchedRun {
 public:
  WatchedRun(IActiveScript* engine, unsigned long timeoutSeconds, int* running)
      : running_(running) {
    if ((*running_)++ == 0) watchScript(engine, timeoutSeconds);
  }
  ~WatchedRun() {
    if (--*running_ == 0) unwatchScript();
  }

 private:
  WatchedRun(const WatchedRun&) = delete;
  WatchedRun& operator=(const WatchedRun&) = delete;
  int* running_;
};

// A run the watchdog stopped has failed, whatever the engine made of the stop.
bool stopped(ScriptError* error) {
  if (scriptStop() == kScriptNotStopped) return false;
  error->failed = true;
  error->message = scriptStop() == kScriptTimedOut ? "stopped: the script did not end in time"
                                                   : "stopped: interrupted";
  return true;
}

}  // namespace

struct ScriptSession::Parts {
  ConsoleSink console;
  TimerSink timers;
  unsigned long timeoutSeconds = 0;
  int running = 0;  // script runs under way, nested ones too
  IActiveScript* engine = NULL;
  IActiveScriptParse* parser = NULL;
  Site* site = NULL;
  Bridge* bridge = NULL;
  ScriptHelpers helpers = {NULL, NULL};
};

ScriptSession::ScriptSession(const ConsoleSink& console, const TimerSink& timers,
                             unsigned long timeoutSeconds)
    : parts_(new Parts) {
  parts_->console = console;
  parts_->timers = timers;
  parts_->timeoutSeconds = timeoutSeconds;
}

ScriptSession::~ScriptSession() {
  close();
  delete parts_;
}

bool ScriptSession::start(const NamedObject* objects, size_t objectCount,
                          const std::wstring& prelude, ScriptError* error) {
  *error = ScriptError();
  Parts& p = *parts_;
  HRESULT hr = CoCreateInstance(kCLSID_JScript, NULL, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                                reinterpret_cast<void**>(&p.engine));
  if (FAILED(hr)) {
    p.engine = NULL;
    error->failed = true;
    error->message = "the JScript engine is not available";
    return false;
  }
  version_ = chooseLanguageVersion(p.engine);
  p.bridge = new Bridge(p.console, p.timers, this);
  p.site = new Site(p.console);
  p.site->items.push_back(Item{kBridgeName, p.bridge});
  std::wstring globals = kPrelude;
  for (size_t i = 0; i < objectCount; ++i) {
    std::wstring global = objects[i].name;
    if (objects[i].object == NULL) {
      globals += L"var " + global + L" = null;\n";
    } else {
      p.site->items.push_back(Item{kItemPrefix + global, objects[i].object});
      globals += L"var " + global + L" = " + kItemPrefix + global + L";\n";
    }
  }
  globals += prelude;
  hr = p.engine->QueryInterface(kIID_IActiveScriptParse, reinterpret_cast<void**>(&p.parser));
  if (FAILED(hr)) p.parser = NULL;
  if (SUCCEEDED(hr)) hr = p.engine->SetScriptSite(p.site);
  if (SUCCEEDED(hr)) hr = p.parser->InitNew();
  for (size_t i = 0; SUCCEEDED(hr) && i < p.site->items.size(); ++i) {
    hr = p.engine->AddNamedItem(p.site->items[i].name.c_str(), SCRIPTITEM_ISVISIBLE);
  }
  if (SUCCEEDED(hr)) hr = p.engine->SetScriptState(SCRIPTSTATE_STARTED);
  if (SUCCEEDED(hr)) hr = p.engine->GetScriptDispatch(NULL, &global_);
  if (FAILED(hr)) {
    global_ = NULL;
    failWith(error, "starting JScript", hr);
    return false;
  }
  p.site->error = error;
  hr = parse(p.parser, globals.c_str(), kPreludeCookie, 0, NULL);
  VARIANT helper;
  const wchar_t* const names[] = {L"method", L"isFunction"};
  IDispatch** slots[] = {&p.helpers.method, &p.helpers.isFunction};
  IDispatch* helpers = NULL;
  if (SUCCEEDED(hr) && SUCCEEDED(readMember(global_, L"kelvraHostHelpers", &helper)) &&
      V_VT(&helper) == VT_DISPATCH) {
    helpers = V_DISPATCH(&helper);
    for (int i = 0; i < 2; ++i) {
      VARIANT function;
      if (SUCCEEDED(readMember(helpers, names[i], &function)) && V_VT(&function) == VT_DISPATCH) {
        *slots[i] = V_DISPATCH(&function);
      } else {
        VariantClear(&function);
      }
    }
    setScriptHelpers(&p.helpers);
  }
  if (helpers != NULL) helpers->Release();
  if (FAILED(hr)) failWith(error, "the host prelude", hr);
  p.site->error = NULL;
  return !error->failed;
}

bool ScriptSession::define(const std::wstring& name, IDispatch* object, ScriptError* error) {
  Parts& p = *parts_;
  if (p.engine == NULL) return false;
  std::wstring line = L"var " + name + L" = null;\n";
  if (object != NULL) {
    p.site->items.push_back(Item{kItemPrefix + name, object});
    HRESULT hr = p.engine->AddNamedItem((kItemPrefix + name).c_str(), SCRIPTITEM_ISVISIBLE);
    if (FAILED(hr)) {
      failWith(error, "adding a global", hr);
      return false;
    }
    line = L"var " + name + L" = " + kItemPrefix + name + L";\n";
  }
  p.site->error = error;
  HRESULT hr = parse(p.parser, line.c_str(), kPreludeCookie, 0, NULL);
  p.site->error = NULL;
  if (FAILED(hr)) failWith(error, "adding a global", hr);
  return !error->failed;
}

bool ScriptSession::run(const std::wstring& source, ScriptError* error) {
  Parts& p = *parts_;
  if (p.parser == NULL) return false;
  WatchedRun watched(p.engine, p.timeoutSeconds, &p.running);
  p.site->error = error;
  HRESULT hr = parse(p.parser, source.c_str(), kPageCookie, 0, NULL);
  p.site->error = NULL;
  if (stopped(error)) return false;
  if (FAILED(hr)) failWith(error, "the script", hr);
  // JScript reports a thrown value that is no Error without the value; a browser
  // reports "uncaught exception: value". Read it again where that cannot change
  // anything.
  if (error->failed && error->message == kNotCaught) {
    std::wstring line;
    size_t start = 0;
    for (unsigned long n = 1; n < error->line && start != std::wstring::npos; ++n) {
      start = source.find(L'\n', start);
      if (start != std::wstring::npos) ++start;
    }
    if (start != std::wstring::npos) line = source.substr(start, source.find(L'\n', start) - start);
    std::wstring expression = rereadableThrow(line, error->column);
    VARIANT value;
    if (!expression.empty() && evaluate(L"String(" + expression + L")", &value) &&
        V_VT(&value) == VT_BSTR) {
      error->message = "uncaught exception: " + narrow(scriptText(value));
    }
    VariantClear(&value);
  }
  return !error->failed;
}

bool ScriptSession::evaluate(const std::wstring& source, VARIANT* result) {
  Parts& p = *parts_;
  if (result != NULL) VariantInit(result);
  if (p.parser == NULL) return false;
  WatchedRun watched(p.engine, p.timeoutSeconds, &p.running);
  ScriptError* running = p.site->error;
  p.site->error = NULL;
  VARIANT value;
  VariantInit(&value);
  HRESULT hr = parse(p.parser, source.c_str(), kPageCookie, SCRIPTTEXT_ISEXPRESSION, &value);
  p.site->error = running;
  if (scriptStop() != kScriptNotStopped) hr = E_ABORT;
  if (result != NULL) {
    *result = value;
  } else {
    VariantClear(&value);
  }
  return SUCCEEDED(hr);
}

bool ScriptSession::call(IDispatch* function, ScriptError* error) {
  Parts& p = *parts_;
  WatchedRun watched(p.engine, p.timeoutSeconds, &p.running);
  DISPPARAMS none = {NULL, NULL, 0, 0};
  EXCEPINFO info;
  memset(&info, 0, sizeof info);
  p.site->error = error;
  HRESULT hr =
      function->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_METHOD, &none, NULL, &info, NULL);
  p.site->error = NULL;
  stopped(error);  // a stop says more than the engine's failure
  if (FAILED(hr) && !error->failed) {
    error->failed = true;
    if (info.pfnDeferredFillIn != NULL) info.pfnDeferredFillIn(&info);
    error->message =
        info.bstrDescription != NULL
            ? narrow(std::wstring(info.bstrDescription, SysStringLen(info.bstrDescription)))
            : "a timer's function failed";
  }
  freeExceptionTexts(&info);
  return !error->failed;
}

void ScriptSession::close() {
  Parts& p = *parts_;
  if (p.engine == NULL) return;
  setScriptHelpers(NULL);
  IDispatch** helpers[] = {&p.helpers.method, &p.helpers.isFunction};
  for (IDispatch** helper : helpers) {
    if (*helper != NULL) (*helper)->Release();
    *helper = NULL;
  }
  if (global_ != NULL) global_->Release();
  global_ = NULL;
  p.engine->Close();  // drops the engine's references to the named objects and the site
  if (p.parser != NULL) p.parser->Release();
  p.engine->Release();
  p.site->Release();
  p.bridge->Release();
  p.engine = NULL;
  p.parser = NULL;
  p.site = NULL;
  p.bridge = NULL;
}

bool runScript(const std::wstring& source, const NamedObject* objects, size_t objectCount,
               const ConsoleSink& console, ScriptError* error) {
  ScriptSession session(console, TimerSink());
  return session.start(objects, objectCount, std::wstring(), error) && session.run(source, error);
}

}  // namespace host
