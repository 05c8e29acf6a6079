#include "script_values.h"

#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <new>
#include <vector>

#include "com_object.h"
#include "npbrowser.h"
#include "plugin_loader.h"

namespace host {
namespace {

// {7D3B9A52-0C41-4E8F-9B27-51E6A4C0D913}: answers the wrapper itself, so that an
// NPObject handed to script and back reaches the plug-in as the same object.
const IID kIID_NPObjectDispatch = {
    0x7d3b9a52, 0x0c41, 0x4e8f, {0x9b, 0x27, 0x51, 0xe6, 0xa4, 0xc0, 0xd9, 0x13}};

// A script object as the plug-in sees it: the browser's object of the host's class.
struct ScriptObject {
  NPObject header;
  IDispatch* dispatch;
};

NPObject* allocateScriptObject(NPP, NPClass*) {
  ScriptObject* object = static_cast<ScriptObject*>(calloc(1, sizeof(ScriptObject)));
  return object != NULL ? &object->header : NULL;
}

void deallocateScriptObject(NPObject* object) {
  ScriptObject* script = reinterpret_cast<ScriptObject*>(object);
  if (script->dispatch != NULL) script->dispatch->Release();
  free(script);
}

NPClass scriptObjectClass = {NP_CLASS_STRUCT_VERSION, allocateScriptObject,
                             deallocateScriptObject, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
                             NULL, NULL, NULL};

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

HRESULT objectToNPVariant(NPP instance, IDispatch* dispatch, NPVariant* out) {
  if (dispatch == NULL) {
    NULL_TO_NPVARIANT(*out);
    return S_OK;
  }
  NPObject* object = wrappedObject(dispatch);
  if (object != NULL) {
    browser::retain(object);
  } else {
    object = browser::createObject(instance, &scriptObjectClass);
    if (object == NULL) return E_OUTOFMEMORY;
    dispatch->AddRef();
    reinterpret_cast<ScriptObject*>(object)->dispatch = dispatch;
  }
  OBJECT_TO_NPVARIANT(object, *out);
  return S_OK;
}

BSTR allocString(const std::wstring& text) {
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

// The message script sees when a plug-in's member answers false: the one that the
// plug-in set during the call, else the browser's own.
std::wstring failureMessage(long exceptionsBefore, const char* browserMessage) {
  std::string message =
      browser::counts().exceptions != exceptionsBefore ? browser::lastException() : browserMessage;
  return widen(message);
}

class NPObjectDispatch : public comhelp::NoTypeInfo<comhelp::Unknown<IDispatch>> {
 public:
  NPObjectDispatch(NPP instance, NPObject* object) : instance_(instance), object_(object) {}
  virtual ~NPObjectDispatch() { browser::release(object_); }

  NPObject* object() const { return object_; }

  // Every name has an identifier; whether the object knows it shows on use, as in a
  // browser.
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (names == NULL || ids == NULL || count == 0) return E_INVALIDARG;
    std::string name = narrow(names[0]);
    NPIdentifier id = browser::functions()->getstringidentifier(name.c_str());
    ids[0] = id != NULL ? dispidFor(id) : DISPID_UNKNOWN;
    for (UINT i = 1; i < count; ++i) ids[i] = DISPID_UNKNOWN;  // no named parameters
    return id != NULL && count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception,
                                   UINT* argumentError) override;

 protected:
  // Script engines ask for IDispatchEx and more first; the plain interface is all.
  bool implements(REFIID iid) const override {
    return IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, kIID_NPObjectDispatch);
  }

 private:
  NPP instance_;
  NPObject* object_;
};

// The positional arguments of a call, in script order, as the plug-in receives them.
class Arguments {
 public:
  ~Arguments() {
    for (size_t i = 0; i < values_.size(); ++i) browser::releaseValue(&values_[i]);
  }
  HRESULT convert(NPP instance, const DISPPARAMS* params, UINT* argumentError) {
    if (params == NULL) return S_OK;
    // Named arguments come first in rgvarg, the positional ones after them, last first.
    UINT named = params->cNamedArgs;
    for (UINT i = params->cArgs; i > named; --i) {
      NPVariant value;
      HRESULT result = toNPVariant(instance, params->rgvarg[i - 1], &value);
      if (FAILED(result)) {
        if (argumentError != NULL) *argumentError = i - 1;
        return result;
      }
      values_.push_back(value);
    }
    return S_OK;
  }
  // The value of a property put: the argument named DISPID_PROPERTYPUT.
  HRESULT convertPut(NPP instance, const DISPPARAMS* params) {
    if (params == NULL) return DISP_E_PARAMNOTFOUND;
    for (UINT i = 0; i < params->cNamedArgs; ++i) {
      if (params->rgdispidNamedArgs[i] != DISPID_PROPERTYPUT) continue;
      NPVariant value;
      HRESULT result = toNPVariant(instance, params->rgvarg[i], &value);
      if (SUCCEEDED(result)) values_.push_back(value);
      return result;
    }
    return DISP_E_PARAMNOTFOUND;
  }
  const NPVariant* data() const { return values_.empty() ? NULL : &values_[0]; }
  uint32_t count() const { return static_cast<uint32_t>(values_.size()); }

 private:
  std::vector<NPVariant> values_;
};

HRESULT NPObjectDispatch::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                 VARIANT* result, EXCEPINFO* exception, UINT* argumentError) {
  if (result != NULL) VariantInit(result);
  NPIdentifier name = identifierFor(id);
  if (id != DISPID_VALUE && name == NULL) return DISP_E_MEMBERNOTFOUND;
  if (!browser::isLive(object_)) return E_UNEXPECTED;
  NPClass* objectClass = object_->_class;
  bool isPut = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  bool isCall = (flags & DISPATCH_METHOD) != 0;
  if (!isCall && !isPut && id == DISPID_VALUE) {
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
  long exceptionsBefore = browser::counts().exceptions;
  bool answered = false;
  const char* browserMessage = NULL;
  if (isCall) {
    browserMessage = "Error calling method on NPObject.";
    if (id == DISPID_VALUE) {
      answered = objectClass->invokeDefault != NULL &&
                 objectClass->invokeDefault(object_, arguments.data(), arguments.count(), &value);
    } else {
      answered = objectClass->invoke != NULL &&
                 objectClass->invoke(object_, name, arguments.data(), arguments.count(), &value);
    }
  } else if (isPut) {
    browserMessage = "Error setting property on NPObject.";
    answered = objectClass->setProperty != NULL &&
               objectClass->setProperty(object_, name, arguments.data());
  } else {
    // A property the object does not answer reads as undefined.
    if (objectClass->getProperty == NULL || !objectClass->getProperty(object_, name, &value)) {
      return S_OK;
    }
    answered = true;
  }
  if (!answered) {
    // Whatever the plug-in may have stored in a failed call is not its result.
    if (exception != NULL) {
      memset(exception, 0, sizeof *exception);
      exception->scode = E_FAIL;
      exception->bstrDescription = allocString(failureMessage(exceptionsBefore, browserMessage));
    }
    return DISP_E_EXCEPTION;
  }
  return toVariant(instance_, &value, result);
}

}  // namespace

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
      *out = browser::stringArgument(text != NULL ? narrow(std::wstring(text, SysStringLen(text)))
                                                  : std::string());
      break;
    }
    case VT_DISPATCH:
      result = objectToNPVariant(instance, V_DISPATCH(value), out);
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
        // One of script's own objects comes back as itself.
        V_VT(&value) = VT_DISPATCH;
        V_DISPATCH(&value) = reinterpret_cast<ScriptObject*>(object)->dispatch;
        V_DISPATCH(&value)->AddRef();
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

}  // namespace host
