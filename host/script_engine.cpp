#include "script_engine.h"

#include <activscp.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "com_object.h"
#include "plugin_loader.h"
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

// Host objects enter the engine as named items under these names and become the
// page's globals through variables of the prelude: the engine does not call a named
// item itself as a function (plugin()), while it calls a variable's value.
const wchar_t kItemPrefix[] = L"kelvraHost_";
const wchar_t kConsoleSinkName[] = L"kelvraHostConsole";

// console.* join their arguments as script's String() shows them, so that every
// value prints as the page's author expects.
const wchar_t kPrelude[] =
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
    L"})(kelvraHostConsole);\n";

// Source context cookies: which text an error belongs to.
const DWORD kPreludeCookie = 0;
const DWORD kPageCookie = 1;

// The native end of console: "log" and "error", one text argument each.
class ConsoleSinkObject : public comhelp::NoTypeInfo<comhelp::Unknown<IDispatch>> {
 public:
  explicit ConsoleSinkObject(const ConsoleSink& sink) : sink_(sink) {}

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (names == NULL || ids == NULL || count != 1) return DISP_E_UNKNOWNNAME;
    if (wcscmp(names[0], L"log") == 0) {
      ids[0] = 1;
    } else if (wcscmp(names[0], L"error") == 0) {
      ids[0] = 2;
    } else {
      ids[0] = DISPID_UNKNOWN;
      return DISP_E_UNKNOWNNAME;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    if (result != NULL) VariantInit(result);
    if ((id != 1 && id != 2) || (flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
    if (params == NULL || params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
    VARIANT text;
    VariantInit(&text);
    HRESULT converted = VariantChangeType(&text, &params->rgvarg[0], 0, VT_BSTR);
    if (FAILED(converted)) return converted;
    sink_(id == 2, narrow(std::wstring(V_BSTR(&text), SysStringLen(V_BSTR(&text)))));
    VariantClear(&text);
    return S_OK;
  }

 protected:
  bool implements(REFIID iid) const override { return IsEqualIID(iid, IID_IDispatch); }

 private:
  ConsoleSink sink_;
};

struct Item {
  std::wstring name;
  IDispatch* object;
};

class Site : public comhelp::Unknown<IActiveScriptSite> {
 public:
  Site(const std::vector<Item>& items, ScriptError* error) : items_(items), error_(error) {}

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
    for (size_t i = 0; name != NULL && i < items_.size(); ++i) {
      if (items_[i].name == name) return items_[i].object;
    }
    return NULL;
  }

  std::vector<Item> items_;
  ScriptError* error_;
  Poll poll_{this};
};

HRESULT Site::OnScriptError(IActiveScriptError* failure) {
  if (failure == NULL || error_->failed) return S_OK;  // the first error ends the run
  error_->failed = true;
  EXCEPINFO info;
  memset(&info, 0, sizeof info);
  if (SUCCEEDED(failure->GetExceptionInfo(&info))) {
    if (info.pfnDeferredFillIn != NULL) info.pfnDeferredFillIn(&info);
    if (info.bstrDescription != NULL) {
      error_->message = narrow(std::wstring(info.bstrDescription, SysStringLen(info.bstrDescription)));
    } else {
      char code[32];
      snprintf(code, sizeof code, "error 0x%08lX", static_cast<unsigned long>(info.scode));
      error_->message = code;
    }
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
  }
  DWORD cookie = kPageCookie;
  ULONG line = 0;
  LONG column = 0;
  if (SUCCEEDED(failure->GetSourcePosition(&cookie, &line, &column))) {
    error_->line = line + 1;
    error_->column = column + 1;
  }
  if (cookie == kPreludeCookie) error_->message = "(host console) " + error_->message;
  BSTR text = NULL;
  if (SUCCEEDED(failure->GetSourceLineText(&text)) && text != NULL) {
    error_->sourceLine = narrow(std::wstring(text, SysStringLen(text)));
    SysFreeString(text);
  }
  return S_OK;
}

HRESULT parse(IActiveScriptParse* parser, const wchar_t* text, DWORD cookie) {
  EXCEPINFO info;
  memset(&info, 0, sizeof info);
  HRESULT result = parser->ParseScriptText(text, NULL, NULL, NULL, cookie, 0, 0, NULL, &info);
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrHelpFile);
  return result;
}

}  // namespace

bool runScript(const std::wstring& source, const NamedObject* objects, size_t objectCount,
               const ConsoleSink& console, ScriptError* error, unsigned long timeoutSeconds) {
  *error = ScriptError();
  IActiveScript* engine = NULL;
  HRESULT result = CoCreateInstance(kCLSID_JScript, NULL, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                                    reinterpret_cast<void**>(&engine));
  if (FAILED(result)) {
    error->failed = true;
    error->message = "the JScript engine is not available";
    return false;
  }
  ConsoleSinkObject* sink = new ConsoleSinkObject(console);
  std::vector<Item> items(1, Item{kConsoleSinkName, sink});
  std::wstring prelude = kPrelude;
  for (size_t i = 0; i < objectCount; ++i) {
    std::wstring global = objects[i].name;
    if (objects[i].object == NULL) {
      prelude += L"var " + global + L" = null;\n";
    } else {
      items.push_back(Item{kItemPrefix + global, objects[i].object});
      prelude += L"var " + global + L" = " + kItemPrefix + global + L";\n";
    }
  }
  IActiveScriptParse* parser = NULL;
  Site* site = new Site(items, error);
  result = engine->QueryInterface(kIID_IActiveScriptParse, reinterpret_cast<void**>(&parser));
  if (SUCCEEDED(result)) result = engine->SetScriptSite(site);
  if (SUCCEEDED(result)) result = parser->InitNew();
  for (size_t i = 0; SUCCEEDED(result) && i < items.size(); ++i) {
    result = engine->AddNamedItem(items[i].name.c_str(), SCRIPTITEM_ISVISIBLE);
  }
  if (SUCCEEDED(result)) result = engine->SetScriptState(SCRIPTSTATE_STARTED);
  bool setUp = SUCCEEDED(result);
  if (setUp) result = parse(parser, prelude.c_str(), kPreludeCookie);
  if (SUCCEEDED(result)) {
    watchScript(engine, timeoutSeconds);
    result = parse(parser, source.c_str(), kPageCookie);
    unwatchScript();
  }
  if (scriptStop() != kScriptNotStopped) {
    // The engine's own report of the stop, if any, says less than this.
    error->failed = true;
    error->message = scriptStop() == kScriptTimedOut ? "stopped: the script did not end in time"
                                                     : "stopped: interrupted";
  }
  if (FAILED(result) && !error->failed) {
    error->failed = true;
    char text[80];
    snprintf(text, sizeof text, "%s failed with 0x%08lX", setUp ? "the script" : "starting JScript",
             static_cast<unsigned long>(result));
    error->message = text;
  }
  engine->Close();  // drops the engine's references to the named objects and the site
  if (parser != NULL) parser->Release();
  engine->Release();
  site->Release();
  sink->Release();
  return !error->failed;
}

}  // namespace host
