#include "script_values.h"

#include <dispex.h>
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <new>
#include <vector>

#include "com_object.h"
#include "npbrowser.h"
#include "plugin_guard.h"
#include "plugin_loader.h"

namespace host {
namespace {

// {7D3B9A52-0C41-4E8F-9B27-51E6A4C0D913}: answers the wrapper itself, so that an
// NPObject handed to script and back reaches the plug-in as the same object.
const IID kIID_NPObjectDispatch = {
    0x7d3b9a52, 0x0c41, 0x4e8f, {0x9b, 0x27, 0x51, 0xe6, 0xa4, 0xc0, 0xd9, 0x13}};

// {3E1C84D7-5B2A-4F60-A9D3-7C0B62E5F481}: answers an embedding's element object itself.
const IID kIID_ElementDispatch = {
    0x3e1c84d7, 0x5b2a, 0x4f60, {0xa9, 0xd3, 0x7c, 0x0b, 0x62, 0xe5, 0xf4, 0x81}};

// {A6EF9860-C720-11D0-9337-00A0C90DCAA9}: not in every SDK's import libraries.
const IID kIID_IDispatchEx = {
    0xa6ef9860, 0xc720, 0x11d0, {0x93, 0x37, 0x00, 0xa0, 0xc9, 0x0d, 0xca, 0xa9}};

// Firefox's messages for a member that answers false without an exception of its own.
const char kCallFailed[] = "Error calling method on NPObject!";
const char kSetFailed[] = "Error setting property on NPObject!";
const char kConstructFailed[] = "Error calling method on NPObject!";

const ScriptHelpers* helpers = NULL;
DWORD scriptThread = 0;

class NPObjectDispatch;

// One wrapper per NPObject and one NPObject per script object (by IUnknown identity).
std::map<NPObject*, NPObjectDispatch*>& wrappers() {
  static std::map<NPObject*, NPObjectDispatch*> table;
  return table;
}
std::map<IUnknown*, NPObject*>& scriptObjects() {
  static std::map<IUnknown*, NPObject*> table;
  return table;
}

// Identifiers live as long as the process, so one table serves every wrapper:
// DISPID n + 1 stands for identifiers[n] (DISPID 0 is the object's default member).
std::vector<NPIdentifier>& identifiers() {
  static std::vector<NPIdentifier> table;
  return table;
}

DISPID dispidFor(NPIdentifier name) {
  static std::map<NPIdentifier, DISPID> ids;
  DISPID& id = ids[name];
  if (id == 0) {
    identifiers().push_back(name);
    id = static_cast<DISPID>(identifiers().size());
  }
  return id;
}

NPIdentifier identifierFor(DISPID id) {
  return id > 0 && static_cast<size_t>(id) <= identifiers().size() ? identifiers()[id - 1] : NULL;
}

NPIdentifier identifierOf(const wchar_t* name) {
  std::string text = narrow(name != NULL ? name : L"");
  return browser::functions()->getstringidentifier(text.c_str());
}

// An identifier's script name: its text, or an integer's decimal digits.
std::wstring nameOf(NPIdentifier id) {
  NPNetscapeFuncs* npn = browser::functions();
  if (!npn->identifierisstring(id)) return std::to_wstring(npn->intfromidentifier(id));
  NPUTF8* text = npn->utf8fromidentifier(id);
  std::wstring name = widen(text != NULL ? text : "");
  npn->memfree(text);
  return name;
}

BSTR allocString(const std::wstring& text) {
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

void numberToNPVariant(double number, NPVariant* out) {
  // Integral numbers in range go as Int32, as a script engine keeps them; -0 stays a double.
  bool integral = number >= INT32_MIN && number <= INT32_MAX &&
                  number == static_cast<double>(static_cast<int32_t>(number)) &&
                  !(number == 0 && signbit(number));
  if (integral) {
    INT32_TO_NPVARIANT(static_cast<int32_t>(number), *out);
  } else {
    DOUBLE_TO_NPVARIANT(number, *out);
  }
}

// A string for the plug-in: exact length, and a NUL after it for plug-ins that read
// the bytes as a C string, as Firefox's strings have.
NPVariant stringForPlugin(const std::string& text) {
  NPVariant value;
  char* bytes =
      static_cast<char*>(browser::functions()->memalloc(static_cast<uint32_t>(text.size() + 1)));
  if (bytes != NULL) {
    memcpy(bytes, text.data(), text.size());
    bytes[text.size()] = '\0';
  }
  STRINGN_TO_NPVARIANT(bytes, bytes != NULL ? text.size() : 0, value);
  return value;
}

// Calls a script function with positional arguments (in script order).
HRESULT callFunction(IDispatch* function, VARIANT* args, UINT count, VARIANT* result,
                     EXCEPINFO* exception) {
  std::vector<VARIANT> reversed(args, args + count);
  for (UINT i = 0; i < count / 2; ++i) std::swap(reversed[i], reversed[count - 1 - i]);
  DISPPARAMS params = {count > 0 ? &reversed[0] : NULL, NULL, count, 0};
  EXCEPINFO ignored;
  memset(&ignored, 0, sizeof ignored);
  HRESULT hr = function->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_METHOD, &params, result,
                                exception != NULL ? exception : &ignored, NULL);
  if (exception == NULL) {
    freeExceptionTexts(&ignored);
  }
  return hr;
}

// Throws into script: the plug-in's exception message if it set one, else the
// browser's message as a plain error, as Firefox throws them.
HRESULT throwInto(bool pending, const std::string& message, const char* browserMessage,
                  EXCEPINFO* exception) {
  if (exception != NULL) {
    memset(exception, 0, sizeof *exception);
    exception->scode = pending ? kPluginExceptionNumber : E_FAIL;
    exception->bstrDescription = allocString(widen(pending ? message : browserMessage));
  }
  return DISP_E_EXCEPTION;
}

HRESULT failCall(const char* browserMessage, EXCEPINFO* exception) {
  std::string message;
  bool pending = browser::takeException(&message);
  return throwInto(pending, message, browserMessage, exception);
}

// A call that answered true still throws an exception set during it.
HRESULT succeedCall(NPP instance, NPVariant* value, VARIANT* result, EXCEPINFO* exception) {
  HRESULT hr = toVariant(instance, value, result);
  std::string message;
  if (!browser::takeException(&message)) return hr;
  if (result != NULL) VariantClear(result);
  return throwInto(true, message, kCallFailed, exception);
}

// The positional arguments of a call, in script order, as the plug-in receives them.
class Arguments {
 public:
  ~Arguments() {
    for (size_t i = 0; i < values_.size(); ++i) browser::releaseValue(&values_[i]);
  }
  HRESULT convert(NPP instance, const DISPPARAMS* params, UINT* argumentError) {
    if (params == NULL) return S_OK;
    // Named arguments (the `this` of a call, for one) come first in rgvarg, the
    // positional ones after them, last first.
    UINT named = params->cNamedArgs;
    for (UINT i = params->cArgs; i > named; --i) {
      HRESULT result = add(instance, params->rgvarg[i - 1]);
      if (FAILED(result)) {
        if (argumentError != NULL) *argumentError = i - 1;
        return result;
      }
    }
    return S_OK;
  }
  // The value of a property put: the argument named DISPID_PROPERTYPUT.
  HRESULT convertPut(NPP instance, const DISPPARAMS* params) {
    if (params == NULL) return DISP_E_PARAMNOTFOUND;
    for (UINT i = 0; i < params->cNamedArgs; ++i) {
      if (params->rgdispidNamedArgs[i] == DISPID_PROPERTYPUT)
        return add(instance, params->rgvarg[i]);
    }
    return DISP_E_PARAMNOTFOUND;
  }
  HRESULT add(NPP instance, const VARIANT& value) {
    NPVariant converted;
    HRESULT result = toNPVariant(instance, value, &converted);
    if (SUCCEEDED(result)) values_.push_back(converted);
    return result;
  }
  const NPVariant* data() const { return values_.empty() ? NULL : &values_[0]; }
  uint32_t count() const { return static_cast<uint32_t>(values_.size()); }

 private:
  std::vector<NPVariant> values_;
};

// What the host's objects for script have in common: IDispatchEx without type
// information, late binding by name through GetDispID (one name, no named
// parameters), no namespace parent, and their class's own interface, which
// QueryInterface answers with the object itself.
class HostDispatch : public comhelp::NoTypeInfo<comhelp::Unknown<IDispatchEx>> {
 public:
  explicit HostDispatch(const IID& own) : own_(own) {}

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (names == NULL || ids == NULL || count == 0) return E_INVALIDARG;
    for (UINT i = 1; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    HRESULT hr = GetDispID(names[0], 0, &ids[0]);
    return SUCCEEDED(hr) && count > 1 ? DISP_E_UNKNOWNNAME : hr;
  }
  HRESULT STDMETHODCALLTYPE GetMemberProperties(DISPID, DWORD, DWORD*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetNameSpaceParent(IUnknown** parent) override {
    if (parent != NULL) *parent = NULL;
    return E_NOTIMPL;
  }

 protected:
  bool implements(REFIID iid) const override {
    return IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, kIID_IDispatchEx) ||
           IsEqualIID(iid, own_);
  }

 private:
  const IID& own_;
};

class NPObjectDispatch : public HostDispatch {
 public:
  NPObjectDispatch(NPP instance, NPObject* object)
      : HostDispatch(kIID_NPObjectDispatch), instance_(instance), object_(object) {
    wrappers()[object] = this;
  }
  virtual ~NPObjectDispatch() { invalidate(); }

  void invalidate() {
    if (object_ == NULL) return;
    wrappers().erase(object_);
    browser::release(object_);
    object_ = NULL;
  }

  NPObject* object() const { return object_; }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception,
                                   UINT* argumentError) override {
    return invoke(id, lcid, flags, params, result, exception, argumentError);
  }

  // A name is known when the plug-in has a method or a property of it (what `in`
  // asks); assignment makes any name known.
  HRESULT STDMETHODCALLTYPE GetDispID(BSTR name, DWORD flags, DISPID* id) override {
    if (id == NULL) return E_POINTER;
    *id = DISPID_UNKNOWN;
    NPIdentifier identifier = identifierOf(name);
    if (identifier == NULL) return DISP_E_UNKNOWNNAME;
    if ((flags & fdexNameEnsure) == 0 && !hasMethod(identifier) && !hasProperty(identifier)) {
      return DISP_E_UNKNOWNNAME;
    }
    *id = dispidFor(identifier);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE InvokeEx(DISPID id, LCID lcid, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception,
                                     IServiceProvider*) override {
    return invoke(id, lcid, flags, params, result, exception, NULL);
  }
  HRESULT STDMETHODCALLTYPE DeleteMemberByName(BSTR name, DWORD) override {
    return remove(identifierOf(name));
  }
  HRESULT STDMETHODCALLTYPE DeleteMemberByDispID(DISPID id) override {
    return remove(identifierFor(id));
  }
  HRESULT STDMETHODCALLTYPE GetMemberName(DISPID id, BSTR* name) override {
    if (name == NULL) return E_POINTER;
    NPIdentifier identifier = identifierFor(id);
    *name = identifier != NULL ? allocString(nameOf(identifier)) : NULL;
    return *name != NULL ? S_OK : DISP_E_UNKNOWNNAME;
  }
  // for...in: the names the object's enumerate answers, asked afresh at the start.
  HRESULT STDMETHODCALLTYPE GetNextDispID(DWORD, DISPID id, DISPID* next) override {
    if (next == NULL) return E_POINTER;
    *next = DISPID_UNKNOWN;
    if (id == DISPID_STARTENUM) enumerate();
    size_t position = 0;
    if (id != DISPID_STARTENUM) {
      while (position < enumerated_.size() && enumerated_[position] != id) ++position;
      ++position;
    }
    if (position >= enumerated_.size()) return S_FALSE;
    *next = enumerated_[position];
    return S_OK;
  }

 private:
  bool live() const { return object_ != NULL && browser::isLive(object_); }
  bool hasMethod(NPIdentifier name) const {
    PluginCall call("NPClass.hasMethod");
    return live() && object_->_class->hasMethod != NULL &&
           object_->_class->hasMethod(object_, name);
  }
  bool hasProperty(NPIdentifier name) const {
    PluginCall call("NPClass.hasProperty");
    return live() && object_->_class->hasProperty != NULL &&
           object_->_class->hasProperty(object_, name);
  }

  HRESULT invoke(DISPID id, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* exception, UINT* argumentError);
  HRESULT getMember(NPIdentifier name, VARIANT* result, EXCEPINFO* exception);

  HRESULT remove(NPIdentifier name) {
    if (name == NULL || !live()) return S_OK;
    // As in Firefox: deleting what the object does not have succeeds.
    if (!hasProperty(name)) return S_OK;
    PluginCall call("NPClass.removeProperty");
    bool removed =
        object_->_class->removeProperty != NULL && object_->_class->removeProperty(object_, name);
    std::string ignored;
    browser::takeException(&ignored);
    return removed ? S_OK : S_FALSE;
  }

  void enumerate() {
    enumerated_.clear();
    NPIdentifier* names = NULL;
    uint32_t count = 0;
    PluginCall call("NPClass.enumerate");
    if (!live() || object_->_class->enumerate == NULL ||
        !object_->_class->enumerate(object_, &names, &count)) {
      return;
    }
    for (uint32_t i = 0; names != NULL && i < count; ++i) {
      enumerated_.push_back(dispidFor(names[i]));
    }
    browser::functions()->memfree(names);
  }

  NPP instance_;
  NPObject* object_;
  std::vector<DISPID> enumerated_;
};

HRESULT NPObjectDispatch::getMember(NPIdentifier name, VARIANT* result, EXCEPINFO* exception) {
  NPClass* objectClass = object_->_class;
  // Firefox's order: a property first, then a method, read as a function.
  if (hasProperty(name)) {
    NPVariant value;
    VOID_TO_NPVARIANT(value);
    bool got;
    {
      PluginCall call("NPClass.getProperty");
      got = objectClass->getProperty != NULL && objectClass->getProperty(object_, name, &value);
    }
    if (!got) {
      browser::releaseValue(&value);
      return failCall("Error getting property on NPObject!", exception);
    }
    return succeedCall(instance_, &value, result, exception);
  }
  if (!hasMethod(name) || result == NULL || helpers == NULL || helpers->method == NULL) {
    return S_OK;  // undefined
  }
  VARIANT args[2];
  V_VT(&args[0]) = VT_DISPATCH;
  V_DISPATCH(&args[0]) = this;
  V_VT(&args[1]) = VT_BSTR;
  V_BSTR(&args[1]) = allocString(nameOf(name));
  HRESULT hr = callFunction(helpers->method, args, 2, result, exception);
  SysFreeString(V_BSTR(&args[1]));
  return hr;
}

HRESULT NPObjectDispatch::invoke(DISPID id, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                 EXCEPINFO* exception, UINT* argumentError) {
  if (result != NULL) VariantInit(result);
  NPIdentifier name = identifierFor(id);
  if (id != DISPID_VALUE && name == NULL) return DISP_E_MEMBERNOTFOUND;
  if (!live()) return E_UNEXPECTED;
  NPClass* objectClass = object_->_class;
  bool isPut = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  bool isConstruct = (flags & DISPATCH_CONSTRUCT) != 0;
  bool isCall = (flags & DISPATCH_METHOD) != 0;
  if (!isCall && !isPut && !isConstruct) {
    if (id != DISPID_VALUE) return getMember(name, result, exception);
    // The object's value as text, for String(object) and the like.
    if (result == NULL) return S_OK;
    V_VT(result) = VT_BSTR;
    V_BSTR(result) = SysAllocString(L"[object NPObject]");
    return V_BSTR(result) != NULL ? S_OK : E_OUTOFMEMORY;
  }

  Arguments arguments;
  HRESULT converted = isPut ? arguments.convertPut(instance_, params)
                            : arguments.convert(instance_, params, argumentError);
  if (FAILED(converted)) return converted;

  NPVariant value;
  VOID_TO_NPVARIANT(value);
  std::string stale;
  browser::takeException(&stale);  // only what this call sets counts
  bool answered = false;
  const char* browserMessage = kCallFailed;
  // Named for the watchdog's report: the member and, for invoke, the method.
  std::string member = isPut                ? "NPClass.setProperty"
                       : isConstruct        ? "NPClass.construct"
                       : id == DISPID_VALUE ? "NPClass.invokeDefault"
                                            : "NPClass.invoke(" + narrow(nameOf(name)) + ")";
  PluginCall call(member.c_str());
  if (isPut) {
    browserMessage = kSetFailed;
    answered = objectClass->setProperty != NULL &&
               objectClass->setProperty(object_, name, arguments.data());
  } else if (isConstruct) {
    browserMessage = kConstructFailed;
    answered = id == DISPID_VALUE && objectClass->construct != NULL &&
               objectClass->construct(object_, arguments.data(), arguments.count(), &value);
  } else if (id == DISPID_VALUE) {
    answered = objectClass->invokeDefault != NULL &&
               objectClass->invokeDefault(object_, arguments.data(), arguments.count(), &value);
  } else {
    answered = objectClass->invoke != NULL &&
               objectClass->invoke(object_, name, arguments.data(), arguments.count(), &value);
  }
  if (!answered) {
    // Whatever the plug-in may have stored in a failed call is not its result.
    return failCall(browserMessage, exception);
  }
  return succeedCall(instance_, &value, result, exception);
}

// --- An embedding's element -------------------------------------------------------

// Firefox puts the plug-in's scriptable object into the element's prototype chain: a
// name the plug-in knows reaches the plug-in, any other the element (its attributes,
// tagName, getAttribute). Until the instance gives its object, and without one, the
// element alone answers.
class ElementDispatch : public HostDispatch {
 public:
  explicit ElementDispatch(IDispatchEx* element)
      : HostDispatch(kIID_ElementDispatch), element_(element) {}
  ~ElementDispatch() override {
    if (plugin_ != NULL) plugin_->Release();
    element_->Release();
  }
  void attach(IDispatchEx* plugin) {
    if (plugin_ != NULL) plugin_->Release();
    plugin_ = plugin;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT*) override {
    return InvokeEx(id, lcid, flags, params, result, exception, NULL);
  }
  // Assignment to a name neither knows goes where a member of the plug-in's would.
  HRESULT STDMETHODCALLTYPE GetDispID(BSTR name, DWORD flags, DISPID* id) override {
    if (id == NULL) return E_POINTER;
    *id = DISPID_UNKNOWN;
    DWORD lookup = flags & ~static_cast<DWORD>(fdexNameEnsure);
    DISPID inner = DISPID_UNKNOWN;
    if (plugin_ != NULL && SUCCEEDED(plugin_->GetDispID(name, lookup, &inner))) {
      return own(plugin_, inner, id);
    }
    if (SUCCEEDED(element_->GetDispID(name, lookup, &inner))) return own(element_, inner, id);
    if ((flags & fdexNameEnsure) != 0 && SUCCEEDED(first()->GetDispID(name, flags, &inner))) {
      return own(first(), inner, id);
    }
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE InvokeEx(DISPID id, LCID lcid, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception,
                                     IServiceProvider* caller) override {
    if (id == DISPID_VALUE) {
      return first()->InvokeEx(id, lcid, flags, params, result, exception, caller);
    }
    const Member* member = memberOf(id);
    if (member == NULL) return DISP_E_MEMBERNOTFOUND;
    return member->owner->InvokeEx(member->id, lcid, flags, params, result, exception, caller);
  }
  HRESULT STDMETHODCALLTYPE DeleteMemberByName(BSTR name, DWORD flags) override {
    return first()->DeleteMemberByName(name, flags);
  }
  HRESULT STDMETHODCALLTYPE DeleteMemberByDispID(DISPID id) override {
    const Member* member = memberOf(id);
    return member != NULL ? member->owner->DeleteMemberByDispID(member->id) : S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetMemberName(DISPID id, BSTR* name) override {
    if (name == NULL) return E_POINTER;
    *name = NULL;
    const Member* member = memberOf(id);
    return member != NULL ? member->owner->GetMemberName(member->id, name) : DISP_E_UNKNOWNNAME;
  }
  // for...in: the plug-in's names once it is there, else the element's.
  HRESULT STDMETHODCALLTYPE GetNextDispID(DWORD flags, DISPID id, DISPID* next) override {
    if (next == NULL) return E_POINTER;
    *next = DISPID_UNKNOWN;
    IDispatchEx* owner = first();
    DISPID after = DISPID_STARTENUM;
    if (id != DISPID_STARTENUM) {
      const Member* member = memberOf(id);
      if (member == NULL || member->owner != owner) return S_FALSE;
      after = member->id;
    }
    DISPID inner = DISPID_UNKNOWN;
    HRESULT hr = owner->GetNextDispID(flags, after, &inner);
    return hr == S_OK ? own(owner, inner, next) : hr;
  }

 private:
  struct Member {
    IDispatchEx* owner;
    DISPID id;
  };

  IDispatchEx* first() const { return plugin_ != NULL ? plugin_ : element_; }
  // The element's own number for a member of either side (its index, from 1).
  HRESULT own(IDispatchEx* owner, DISPID inner, DISPID* id) {
    for (size_t i = 0; i < members_.size(); ++i) {
      if (members_[i].owner == owner && members_[i].id == inner) {
        *id = static_cast<DISPID>(i + 1);
        return S_OK;
      }
    }
    try {
      members_.push_back(Member{owner, inner});
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    *id = static_cast<DISPID>(members_.size());
    return S_OK;
  }
  const Member* memberOf(DISPID id) const {
    return id >= 1 && static_cast<size_t>(id) <= members_.size() ? &members_[id - 1] : NULL;
  }

  IDispatchEx* element_;
  IDispatchEx* plugin_ = NULL;
  std::vector<Member> members_;
};

// --- Script objects as the plug-in sees them --------------------------------------

struct ScriptObject {
  NPObject header;
  IDispatch* dispatch;
  IUnknown* identity;  // the key of scriptObjects(): no reference of its own, the
                       // dispatch keeps the object alive
};

IDispatch* dispatchOf(NPObject* object) {
  return reinterpret_cast<ScriptObject*>(object)->dispatch;
}

NPObject* allocateScriptObject(NPP, NPClass*) {
  ScriptObject* object = static_cast<ScriptObject*>(calloc(1, sizeof(ScriptObject)));
  return object != NULL ? &object->header : NULL;
}

void letGo(ScriptObject* script) {
  if (script->identity != NULL) scriptObjects().erase(script->identity);
  if (script->dispatch != NULL) script->dispatch->Release();
  script->identity = NULL;
  script->dispatch = NULL;
}

void deallocateScriptObject(NPObject* object) {
  letGo(reinterpret_cast<ScriptObject*>(object));
  free(object);
}

// The member's DISPID on the script object; `ensure` creates a missing one.
bool scriptDispId(NPObject* object, NPIdentifier name, bool ensure, DISPID* id) {
  if (dispatchOf(object) == NULL || !onScriptThread()) return false;  // closed, or off-thread
  BSTR text = allocString(nameOf(name));
  IDispatch* dispatch = dispatchOf(object);
  IDispatchEx* ex = NULL;
  HRESULT hr;
  if (SUCCEEDED(dispatch->QueryInterface(kIID_IDispatchEx, reinterpret_cast<void**>(&ex)))) {
    hr = ex->GetDispID(text, fdexNameCaseSensitive | (ensure ? fdexNameEnsure : 0), id);
    ex->Release();
  } else {
    hr = dispatch->GetIDsOfNames(IID_NULL, &text, 1, 0, id);
  }
  SysFreeString(text);
  return SUCCEEDED(hr);
}

HRESULT scriptInvoke(NPObject* object, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result) {
  IDispatch* dispatch = dispatchOf(object);
  if (dispatch == NULL || !onScriptThread()) return E_UNEXPECTED;
  EXCEPINFO exception;
  memset(&exception, 0, sizeof exception);
  IDispatchEx* ex = NULL;
  HRESULT hr;
  if (SUCCEEDED(dispatch->QueryInterface(kIID_IDispatchEx, reinterpret_cast<void**>(&ex)))) {
    hr = ex->InvokeEx(id, 0, flags, params, result, &exception, NULL);
    ex->Release();
  } else {
    hr = dispatch->Invoke(id, IID_NULL, 0, flags, params, result, &exception, NULL);
  }
  freeExceptionTexts(&exception);
  return hr;
}

// Arguments from the plug-in for script, in rgvarg's reverse order.
struct ScriptArguments {
  std::vector<VARIANT> values;
  ScriptArguments(const NPVariant* args, uint32_t count) : values(count) {
    for (uint32_t i = 0; i < count; ++i) {
      NPVariant copy = args[i];
      // toVariant takes over its input; the plug-in keeps its own arguments.
      if (NPVARIANT_IS_STRING(copy)) {
        copy = stringForPlugin(std::string(copy.value.stringValue.UTF8Characters != NULL
                                               ? copy.value.stringValue.UTF8Characters
                                               : "",
                                           copy.value.stringValue.UTF8Length));
      } else if (NPVARIANT_IS_OBJECT(copy)) {
        browser::retain(copy.value.objectValue);
      }
      toVariant(NULL, &copy, &values[count - 1 - i]);
    }
  }
  ~ScriptArguments() {
    for (size_t i = 0; i < values.size(); ++i) VariantClear(&values[i]);
  }
  DISPPARAMS params() {
    return {values.empty() ? NULL : &values[0], NULL, static_cast<UINT>(values.size()), 0};
  }
};

// A script result for the plug-in, owned by it.
bool scriptResult(HRESULT hr, VARIANT* value, NPVariant* result) {
  bool ok = SUCCEEDED(hr) && SUCCEEDED(toNPVariant(NULL, *value, result));
  VariantClear(value);
  return ok;
}

bool scriptHasMethod(NPObject* object, NPIdentifier name) {
  DISPID id;
  if (!scriptDispId(object, name, false, &id)) return false;
  VARIANT value;
  VariantInit(&value);
  HRESULT hr = scriptInvoke(object, id, DISPATCH_PROPERTYGET, NULL, &value);
  bool callable = false;
  if (SUCCEEDED(hr) && V_VT(&value) == VT_DISPATCH && helpers != NULL && helpers->isFunction) {
    VARIANT answer;
    VariantInit(&answer);
    if (SUCCEEDED(callFunction(helpers->isFunction, &value, 1, &answer, NULL))) {
      callable = V_VT(&answer) == VT_BOOL && V_BOOL(&answer) != VARIANT_FALSE;
    }
    VariantClear(&answer);
  }
  VariantClear(&value);
  return callable;
}

bool scriptCall(NPObject* object, DISPID id, WORD flags, const NPVariant* args, uint32_t count,
                NPVariant* result) {
  ScriptArguments arguments(args, count);
  DISPPARAMS params = arguments.params();
  VARIANT value;
  VariantInit(&value);
  return scriptResult(scriptInvoke(object, id, flags, &params, &value), &value, result);
}

bool scriptInvokeMember(NPObject* object, NPIdentifier name, const NPVariant* args, uint32_t count,
                        NPVariant* result) {
  DISPID id;
  return scriptDispId(object, name, false, &id) &&
         scriptCall(object, id, DISPATCH_METHOD, args, count, result);
}

bool scriptInvokeDefault(NPObject* object, const NPVariant* args, uint32_t count,
                         NPVariant* result) {
  return scriptCall(object, DISPID_VALUE, DISPATCH_METHOD, args, count, result);
}

bool scriptConstruct(NPObject* object, const NPVariant* args, uint32_t count, NPVariant* result) {
  return scriptCall(object, DISPID_VALUE, DISPATCH_CONSTRUCT, args, count, result);
}

bool scriptHasProperty(NPObject* object, NPIdentifier name) {
  DISPID id;
  return scriptDispId(object, name, false, &id);
}

bool scriptGetProperty(NPObject* object, NPIdentifier name, NPVariant* result) {
  DISPID id;
  if (!scriptDispId(object, name, false, &id)) {
    VOID_TO_NPVARIANT(*result);  // a missing property reads as undefined
    return true;
  }
  VARIANT value;
  VariantInit(&value);
  return scriptResult(scriptInvoke(object, id, DISPATCH_PROPERTYGET, NULL, &value), &value, result);
}

bool scriptSetProperty(NPObject* object, NPIdentifier name, const NPVariant* value) {
  DISPID id;
  if (!scriptDispId(object, name, true, &id)) return false;
  ScriptArguments arguments(value, 1);
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params = {&arguments.values[0], &put, 1, 1};
  return SUCCEEDED(scriptInvoke(object, id, DISPATCH_PROPERTYPUT, &params, NULL));
}

bool scriptRemoveProperty(NPObject* object, NPIdentifier name) {
  IDispatchEx* ex = NULL;
  if (dispatchOf(object) == NULL || !onScriptThread() ||
      FAILED(dispatchOf(object)->QueryInterface(kIID_IDispatchEx, reinterpret_cast<void**>(&ex)))) {
    return false;
  }
  BSTR text = allocString(nameOf(name));
  HRESULT hr = ex->DeleteMemberByName(text, fdexNameCaseSensitive);
  SysFreeString(text);
  ex->Release();
  return hr == S_OK;
}

bool scriptEnumerate(NPObject* object, NPIdentifier** names, uint32_t* count) {
  *names = NULL;
  *count = 0;
  IDispatchEx* ex = NULL;
  if (dispatchOf(object) == NULL || !onScriptThread() ||
      FAILED(dispatchOf(object)->QueryInterface(kIID_IDispatchEx, reinterpret_cast<void**>(&ex)))) {
    return false;
  }
  std::vector<NPIdentifier> found;
  DISPID id = DISPID_STARTENUM;
  while (ex->GetNextDispID(fdexEnumDefault, id, &id) == S_OK) {
    BSTR name = NULL;
    if (SUCCEEDED(ex->GetMemberName(id, &name)) && name != NULL) {
      found.push_back(identifierOf(name));
      SysFreeString(name);
    }
  }
  ex->Release();
  if (found.empty()) return true;
  NPNetscapeFuncs* npn = browser::functions();
  *names = static_cast<NPIdentifier*>(
      npn->memalloc(static_cast<uint32_t>(found.size() * sizeof(NPIdentifier))));
  if (*names == NULL) return false;
  memcpy(*names, &found[0], found.size() * sizeof(NPIdentifier));
  *count = static_cast<uint32_t>(found.size());
  return true;
}

NPClass scriptObjectClass = {
    NP_CLASS_STRUCT_VERSION, allocateScriptObject, deallocateScriptObject, NULL,
    scriptHasMethod,         scriptInvokeMember,   scriptInvokeDefault,    scriptHasProperty,
    scriptGetProperty,       scriptSetProperty,    scriptRemoveProperty,   scriptEnumerate,
    scriptConstruct};

}  // namespace

void setScriptHelpers(const ScriptHelpers* scriptHelpers) {
  helpers = scriptHelpers;
  scriptThread = scriptHelpers != NULL ? GetCurrentThreadId() : 0;
}

bool onScriptThread() { return scriptThread == 0 || GetCurrentThreadId() == scriptThread; }

NPObject* scriptObject(NPP instance, IDispatch* dispatch) {
  NPObject* own = wrappedObject(dispatch);
  if (own != NULL) {
    browser::retain(own);
    return own;
  }
  IUnknown* identity = NULL;
  if (FAILED(dispatch->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)))) {
    return NULL;
  }
  identity->Release();
  auto found = scriptObjects().find(identity);
  if (found != scriptObjects().end()) {
    browser::retain(found->second);
    return found->second;
  }
  NPObject* object = browser::createObject(instance, &scriptObjectClass);
  if (object == NULL) return NULL;
  ScriptObject* script = reinterpret_cast<ScriptObject*>(object);
  dispatch->AddRef();
  script->dispatch = dispatch;
  script->identity = identity;
  scriptObjects()[identity] = object;
  return object;
}

HRESULT toNPVariant(NPP instance, const VARIANT& in, NPVariant* out) {
  VOID_TO_NPVARIANT(*out);
  VARIANT direct;
  VariantInit(&direct);
  const VARIANT* value = &in;
  if ((V_VT(&in) & VT_BYREF) != 0) {
    // Some SDKs declare the source without const; neither call changes it.
    if (FAILED(VariantCopyInd(&direct, const_cast<VARIANT*>(&in)))) return DISP_E_TYPEMISMATCH;
    value = &direct;
  }
  HRESULT result = S_OK;
  switch (V_VT(value)) {
    case VT_EMPTY:
      break;
    case VT_NULL:
      NULL_TO_NPVARIANT(*out);
      break;
    case VT_BOOL:
      BOOLEAN_TO_NPVARIANT(V_BOOL(value) != VARIANT_FALSE, *out);
      break;
    case VT_BSTR: {
      BSTR text = V_BSTR(value);
      *out = stringForPlugin(text != NULL ? narrow(std::wstring(text, SysStringLen(text)))
                                          : std::string());
      break;
    }
    case VT_DISPATCH:
      if (V_DISPATCH(value) == NULL) {
        NULL_TO_NPVARIANT(*out);
      } else {
        NPObject* object = scriptObject(instance, V_DISPATCH(value));
        if (object == NULL)
          result = E_OUTOFMEMORY;
        else
          OBJECT_TO_NPVARIANT(object, *out);
      }
      break;
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_INT:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_UINT:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DECIMAL: {
      VARIANT number;
      VariantInit(&number);
      result = VariantChangeType(&number, const_cast<VARIANT*>(value), 0, VT_R8);
      if (SUCCEEDED(result)) numberToNPVariant(V_R8(&number), out);
      break;
    }
    default:
      result = DISP_E_TYPEMISMATCH;
      break;
  }
  VariantClear(&direct);
  return FAILED(result) ? DISP_E_TYPEMISMATCH : S_OK;
}

HRESULT toVariant(NPP instance, NPVariant* in, VARIANT* out) {
  VARIANT value;
  VariantInit(&value);
  HRESULT result = S_OK;
  switch (in->type) {
    case NPVariantType_Void:
      break;
    case NPVariantType_Null:
      V_VT(&value) = VT_NULL;
      break;
    case NPVariantType_Bool:
      V_VT(&value) = VT_BOOL;
      V_BOOL(&value) = in->value.boolValue ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case NPVariantType_Int32:
      V_VT(&value) = VT_I4;
      V_I4(&value) = in->value.intValue;
      break;
    case NPVariantType_Double:
      V_VT(&value) = VT_R8;
      V_R8(&value) = in->value.doubleValue;
      break;
    case NPVariantType_String: {
      const NPString& text = in->value.stringValue;
      V_VT(&value) = VT_BSTR;
      std::string bytes;
      if (text.UTF8Characters != NULL) bytes.assign(text.UTF8Characters, text.UTF8Length);
      V_BSTR(&value) = allocString(widen(bytes));
      if (V_BSTR(&value) == NULL) result = E_OUTOFMEMORY;
      break;
    }
    case NPVariantType_Object: {
      NPObject* object = in->value.objectValue;
      if (object == NULL) {
        V_VT(&value) = VT_NULL;
      } else if (object->_class == &scriptObjectClass) {
        // One of script's own objects comes back as itself (null once the page closed).
        V_DISPATCH(&value) = dispatchOf(object);
        V_VT(&value) = V_DISPATCH(&value) != NULL ? VT_DISPATCH : VT_NULL;
        if (V_DISPATCH(&value) != NULL) V_DISPATCH(&value)->AddRef();
      } else {
        V_VT(&value) = VT_DISPATCH;
        V_DISPATCH(&value) = wrapObject(instance, object);  // takes the result's reference
        if (V_DISPATCH(&value) == NULL) result = E_OUTOFMEMORY;
        VOID_TO_NPVARIANT(*in);
      }
      break;
    }
  }
  browser::releaseValue(in);
  if (FAILED(result)) VariantInit(&value);
  if (out != NULL) {
    *out = value;
  } else {
    VariantClear(&value);
  }
  return result;
}

IDispatch* wrapObject(NPP instance, NPObject* object) {
  auto found = wrappers().find(object);
  if (found != wrappers().end()) {
    // The existing wrapper keeps its own reference; the one handed over goes back.
    found->second->AddRef();
    browser::release(object);
    return found->second;
  }
  NPObjectDispatch* wrapper = new (std::nothrow) NPObjectDispatch(instance, object);
  if (wrapper == NULL) browser::release(object);
  return wrapper;
}

NPObject* wrappedObject(IDispatch* dispatch) {
  NPObjectDispatch* wrapper = NULL;
  if (dispatch == NULL ||
      FAILED(dispatch->QueryInterface(kIID_NPObjectDispatch, reinterpret_cast<void**>(&wrapper)))) {
    return NULL;
  }
  NPObject* object = wrapper->object();
  wrapper->Release();
  return object;
}

IDispatch* elementObject(IDispatch* element) {
  IDispatchEx* ex = NULL;
  if (element == NULL ||
      FAILED(element->QueryInterface(kIID_IDispatchEx, reinterpret_cast<void**>(&ex)))) {
    return NULL;
  }
  ElementDispatch* object = new (std::nothrow) ElementDispatch(ex);
  if (object == NULL) ex->Release();
  return object;
}

void attachScriptable(IDispatch* elementObject, IDispatch* scriptable) {
  ElementDispatch* element = NULL;
  IDispatchEx* plugin = NULL;
  if (elementObject == NULL || scriptable == NULL ||
      FAILED(elementObject->QueryInterface(kIID_ElementDispatch,
                                           reinterpret_cast<void**>(&element)))) {
    return;
  }
  if (SUCCEEDED(scriptable->QueryInterface(kIID_IDispatchEx, reinterpret_cast<void**>(&plugin)))) {
    element->attach(plugin);
  }
  element->Release();
}

void invalidateAll() {
  while (!wrappers().empty()) wrappers().begin()->second->invalidate();
  while (!scriptObjects().empty()) {
    letGo(reinterpret_cast<ScriptObject*>(scriptObjects().begin()->second));
  }
}

void freeExceptionTexts(EXCEPINFO* exception) {
  SysFreeString(exception->bstrSource);
  SysFreeString(exception->bstrDescription);
  SysFreeString(exception->bstrHelpFile);
}

std::wstring scriptText(const VARIANT& value) {
  VARIANT text;
  VariantInit(&text);
  if (V_VT(&value) == VT_EMPTY) return L"undefined";
  if (V_VT(&value) == VT_NULL) return L"null";
  if (V_VT(&value) == VT_BOOL) return V_BOOL(&value) != VARIANT_FALSE ? L"true" : L"false";
  if (FAILED(VariantChangeType(&text, const_cast<VARIANT*>(&value), 0, VT_BSTR))) return L"?";
  std::wstring result(V_BSTR(&text), SysStringLen(V_BSTR(&text)));
  VariantClear(&text);
  return result;
}

}  // namespace host
