#include "js_npruntime.h"

#include <windows.h>
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "browser_side.h"
#include "js_engine.h"
#include "npbrowser.h"
#include "plugin_guard.h"

namespace host {
namespace {

// Firefox's texts, word for word: pages and plug-ins written against Firefox see them.
const char kWrapperClassName[] = "NPObject JS wrapper class";
const char kBadObject[] = "Bad NPObject as private data!";
const char kCallFailed[] = "Error calling method on NPObject!";
const char kSetFailed[] = "Error setting property on NPObject!";
const char kNotConverted[] = "Error converting jsvals to NPVariants!";

// The JS wrapper of an NPObject.
struct Wrapper {
  NPP instance;
  NPObject* object;  // one reference; NULL once its instance is gone
  // Names resolved on it: the member functions read so far (Firefox defines them on
  // the wrapper once) and values script defined there.
  std::map<JSAtom, JSValue> own;
};

// An NPObject standing for a script object.
struct ScriptObject {
  NPObject header;
  NPP instance;
  JSValue value;  // holds the script object; undefined once the page let go of it
};

// A member that is a property and a method at once: it calls the method and
// converts to the property's value.
struct Member {
  JSValue wrapper;
  JSValue value;
  NPIdentifier name;
};

struct Bridge {
  JSContext* ctx = NULL;
  DWORD thread = 0;
  std::function<void(JSValueConst)> scriptError;
  JSAtom toPrimitive = JS_ATOM_NULL;
  JSAtom toStringTag = JS_ATOM_NULL;
  JSValue wrapperToPrimitive = JS_UNDEFINED;
  JSValue memberToPrimitive = JS_UNDEFINED;
  std::map<NPObject*, JSObject*> wrappers;        // no reference: the wrapper lives in script
  std::map<JSObject*, ScriptObject*> scriptObjects;
  std::vector<NPObject*> collected;  // references of finalized wrappers, to give back
  // The page runtime's count of the DOM's own code under way (kelvraHost.domDepth):
  // while it is above 0, an element's lookups pass by the plug-in in its chain.
  JSValue depthBuffer = JS_UNDEFINED;
  const int32_t* depth = NULL;
};

Bridge bridge;
JSClassID wrapperClass = 0, memberClass = 0, elementClass = 0;

NPNetscapeFuncs* npn() { return browser::functions(); }

// --- Names and strings -----------------------------------------------------------

// UTF-8 as Firefox makes it of a script string: a lone surrogate (which the engine
// writes as its three-byte form) becomes U+FFFD.
std::string utf8Of(JSContext* ctx, JSValueConst value) {
  size_t length = 0;
  const char* bytes = JS_ToCStringLen2(ctx, &length, value, 0);
  if (bytes == NULL) return std::string();
  std::string text(bytes, length);
  JS_FreeCString(ctx, bytes);
  for (size_t i = 0; i + 2 < text.size(); ++i) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    unsigned char next = static_cast<unsigned char>(text[i + 1]);
    if (lead == 0xED && next >= 0xA0) text.replace(i, 3, "\xEF\xBF\xBD");
  }
  return text;
}

// Array-index names up to 2^31 - 1 are integer identifiers, as Firefox's integer
// jsids are: digits in their shortest form.
NPIdentifier identifierOf(JSContext* ctx, JSAtom atom) {
  JSValue name = JS_AtomToValue(ctx, atom);
  NPIdentifier id = NULL;
  if (JS_IsString(name)) {
    std::string text = utf8Of(ctx, name);
    bool index = !text.empty() && text.size() <= 10 && (text == "0" || text[0] != '0') &&
                 text.find_first_not_of("0123456789") == std::string::npos &&
                 strtoull(text.c_str(), NULL, 10) <= 2147483647ULL;
    id = index ? npn()->getintidentifier(static_cast<int32_t>(strtoul(text.c_str(), NULL, 10)))
               : npn()->getstringidentifier(text.c_str());
  }
  JS_FreeValue(ctx, name);
  return id;
}

JSAtom atomOf(JSContext* ctx, NPIdentifier id) {
  if (!npn()->identifierisstring(id)) {
    int32_t n = npn()->intfromidentifier(id);
    return n >= 0 ? JS_NewAtomUInt32(ctx, static_cast<uint32_t>(n))
                  : JS_NewAtom(ctx, std::to_string(n).c_str());
  }
  NPUTF8* text = npn()->utf8fromidentifier(id);
  JSAtom atom = JS_NewAtom(ctx, text != NULL ? text : "");
  npn()->memfree(text);
  return atom;
}

std::string nameOf(NPIdentifier id) {
  if (!npn()->identifierisstring(id)) return std::to_string(npn()->intfromidentifier(id));
  NPUTF8* text = npn()->utf8fromidentifier(id);
  std::string name = text != NULL ? text : "";
  npn()->memfree(text);
  return name;
}

bool isSymbol(JSContext* ctx, JSAtom atom) {
  JSValue name = JS_AtomToValue(ctx, atom);
  bool symbol = JS_IsSymbol(name);
  JS_FreeValue(ctx, name);
  return symbol;
}


// --- Calls into the plug-in ------------------------------------------------------

// The plug-in's exception, if it set one since the last look, thrown as a string.
bool thrownByPlugin(JSContext* ctx) {
  std::string message;
  if (!browser::takeException(&message)) return false;
  throwValue(ctx, JS_NewStringLen(ctx, message.data(), message.size()));
  return true;
}

// A member that answered false: the plug-in's exception, else Firefox's error.
JSValue failed(JSContext* ctx, const char* message) {
  if (!thrownByPlugin(ctx)) throwError(ctx, message);
  return JS_EXCEPTION;
}

bool hasProperty(NPObject* object, NPIdentifier name) {
  PluginCall call("NPClass.hasProperty");
  return object->_class->hasProperty != NULL && object->_class->hasProperty(object, name);
}

bool hasMethod(NPObject* object, NPIdentifier name) {
  PluginCall call("NPClass.hasMethod");
  return object->_class->hasMethod != NULL && object->_class->hasMethod(object, name);
}

// Arguments as the plug-in receives them, released after the call.
class Arguments {
 public:
  ~Arguments() {
    for (NPVariant& value : values_) browser::releaseValue(&value);
  }
  bool convert(JSContext* ctx, NPP instance, int count, JSValueConst* args) {
    for (int i = 0; i < count; ++i) {
      NPVariant value;
      if (!toNPVariant(ctx, instance, args[i], &value)) return false;
      values_.push_back(value);
    }
    return true;
  }
  const NPVariant* data() const { return values_.empty() ? NULL : &values_[0]; }
  uint32_t count() const { return static_cast<uint32_t>(values_.size()); }

 private:
  std::vector<NPVariant> values_;
};

enum CallKind { kInvoke, kInvokeDefault, kConstruct };

// One call of the object's class, answered as Firefox's CallNPMethodInternal does.
JSValue callPlugin(JSContext* ctx, Wrapper* w, CallKind kind, NPIdentifier name, int argc,
                   JSValueConst* argv) {
  Arguments arguments;
  if (!arguments.convert(ctx, w->instance, argc, argv)) return throwError(ctx, kNotConverted);
  NPObject* object = w->object;
  NPClass* objectClass = object->_class;
  std::string stale;
  browser::takeException(&stale);  // only what this call sets counts
  NPVariant value;
  VOID_TO_NPVARIANT(value);
  bool ok = false;
  const char* message = kCallFailed;
  std::string what = kind == kConstruct       ? "NPClass.construct"
                     : kind == kInvokeDefault ? "NPClass.invokeDefault"
                                              : "NPClass.invoke(" + nameOf(name) + ")";
  {
    PluginCall call(what.c_str());
    if (kind == kConstruct) {
      ok = objectClass->construct != NULL &&
           objectClass->construct(object, arguments.data(), arguments.count(), &value);
      if (objectClass->construct == NULL) {
        message = "Attempt to construct object from class with no constructor.";
      }
    } else if (kind == kInvokeDefault) {
      ok = objectClass->invokeDefault != NULL &&
           objectClass->invokeDefault(object, arguments.data(), arguments.count(), &value);
      if (objectClass->invokeDefault == NULL) {
        message = "Attempt to call a default method on object with no invokeDefault method.";
      }
    } else {
      ok = objectClass->invoke != NULL &&
           objectClass->invoke(object, name, arguments.data(), arguments.count(), &value);
      if (objectClass->invoke == NULL) {
        message = "Attempt to call a method on object with no invoke method.";
      }
    }
  }
  if (!ok) {
    // Whatever the plug-in may have stored in a failed call is not its result.
    return failed(ctx, message);
  }
  JSValue result = toScriptValue(ctx, w->instance, &value);
  if (thrownByPlugin(ctx)) {
    // An exception set during a call that answered true is thrown all the same.
    JS_FreeValue(ctx, result);
    return JS_EXCEPTION;
  }
  return result;
}

// --- The wrapper class -----------------------------------------------------------

Wrapper* wrapperOf(JSValueConst value) {
  return static_cast<Wrapper*>(JS_GetOpaque(value, wrapperClass));
}

// The wrapper of a live object, or NULL with Firefox's error thrown.
Wrapper* liveWrapper(JSContext* ctx, JSValueConst value) {
  Wrapper* w = wrapperOf(value);
  if (w == NULL || w->object == NULL || !browser::isLive(w->object)) {
    throwError(ctx, kBadObject);
    return NULL;
  }
  return w;
}

// The wrapper of a live object whose members can be asked for: a class without
// hasProperty or hasMethod answers Firefox's error.
Wrapper* memberWrapper(JSContext* ctx, JSValueConst value) {
  Wrapper* w = liveWrapper(ctx, value);
  if (w != NULL && (w->object->_class->hasProperty == NULL || w->object->_class->hasMethod == NULL)) {
    throwError(ctx, kBadObject);
    return NULL;
  }
  return w;
}

// The wrapper on `value` or on its prototype chain (where an element has it), as
// Firefox looks for the NPObject of a call's `this`; a new reference, or undefined.
JSValue wrapperInChain(JSContext* ctx, JSValueConst value) {
  JSValue current = JS_DupValue(ctx, value);
  while (JS_IsObject(current) && wrapperOf(current) == NULL) {
    JSValue next = JS_GetPrototype(ctx, current);
    JS_FreeValue(ctx, current);
    current = next;
  }
  if (JS_IsObject(current)) return current;
  JS_FreeValue(ctx, current);
  return JS_UNDEFINED;
}

// What a name the object does not have reads as: the prototype chain's answer.
JSValue inheritedGet(JSContext* ctx, JSValueConst obj, JSAtom atom, JSValueConst receiver) {
  JSValue proto = JS_GetPrototype(ctx, obj);
  JSValue value = JS_IsObject(proto) ? JS_GetPropertyInternal(ctx, proto, atom, receiver, 0)
                                     : JS_UNDEFINED;
  JS_FreeValue(ctx, proto);
  return value;
}

// An assignment that goes on along the prototype chain from `start` as an ordinary
// object's would, and lands on `receiver` unless a setter or a read-only property
// on the way takes it.
int inheritedSet(JSContext* ctx, JSValueConst start, JSAtom atom, JSValueConst value,
                 JSValueConst receiver, int flags) {
  JSValue current = JS_GetPrototype(ctx, start);
  while (JS_IsObject(current)) {
    JSPropertyDescriptor desc;
    int found = JS_GetOwnProperty(ctx, &desc, current, atom);
    if (found < 0) {
      JS_FreeValue(ctx, current);
      return -1;
    }
    if (found) {
      JS_FreeValue(ctx, current);
      bool accessor = (desc.flags & JS_PROP_GETSET) != 0;
      bool writable = (desc.flags & JS_PROP_WRITABLE) != 0;
      JSValue setter = JS_DupValue(ctx, desc.setter);
      JS_FreeValue(ctx, desc.value);
      JS_FreeValue(ctx, desc.getter);
      JS_FreeValue(ctx, desc.setter);
      if (accessor && JS_IsFunction(ctx, setter)) {
        JSValue done = JS_Call(ctx, setter, receiver, 1, &value);
        JS_FreeValue(ctx, setter);
        if (JS_IsException(done)) return -1;
        JS_FreeValue(ctx, done);
        return TRUE;
      }
      JS_FreeValue(ctx, setter);
      if (accessor || !writable) {
        if ((flags & JS_PROP_THROW) != 0) {
          const char* name = JS_AtomToCString(ctx, atom);
          JS_ThrowTypeError(ctx, "'%s' is read-only", name != NULL ? name : "?");
          JS_FreeCString(ctx, name);
          return -1;
        }
        return FALSE;
      }
      break;
    }
    JSValue next = JS_GetPrototype(ctx, current);
    JS_FreeValue(ctx, current);
    current = next;
  }
  JS_FreeValue(ctx, current);
  return JS_DefinePropertyValue(ctx, receiver, atom, JS_DupValue(ctx, value),
                                JS_PROP_C_W_E | (flags & JS_PROP_THROW));
}

// A member function: calls the method of its name on the NPObject of its `this`.
JSValue callMethod(JSContext* ctx, JSValueConst thisValue, int argc, JSValueConst* argv, int,
                   JSValue* data) {
  JSValue self = JS_IsObject(thisValue) ? JS_DupValue(ctx, thisValue) : JS_GetGlobalObject(ctx);
  JSValue holder = wrapperInChain(ctx, self);
  JS_FreeValue(ctx, self);
  Wrapper* w = liveWrapper(ctx, holder);
  JSValue result = JS_EXCEPTION;
  if (w != NULL) {
    JSAtom atom = JS_ValueToAtom(ctx, data[0]);
    NPIdentifier name = identifierOf(ctx, atom);
    JS_FreeAtom(ctx, atom);
    result = callPlugin(ctx, w, kInvoke, name, argc, argv);
  }
  JS_FreeValue(ctx, holder);
  return result;
}

JSValue newMethod(JSContext* ctx, JSAtom atom) {
  JSValue name = JS_AtomToValue(ctx, atom);
  JSValue method = JS_NewCFunctionData(ctx, callMethod, 0, 0, 1, &name);
  JS_FreeValue(ctx, name);
  if (!JS_IsException(method)) {
    JS_DefinePropertyValueStr(ctx, method, "name", JS_AtomToString(ctx, atom),
                              JS_PROP_CONFIGURABLE);
  }
  return method;
}

// The object's getProperty, with the result voided first.
bool getField(Wrapper* w, NPIdentifier name, NPVariant* field) {
  VOID_TO_NPVARIANT(*field);
  PluginCall call("NPClass.getProperty");
  return w->object->_class->getProperty != NULL &&
         w->object->_class->getProperty(w->object, name, field);
}

JSValue newMember(JSContext* ctx, JSValueConst wrapper, Wrapper* w, NPIdentifier name) {
  NPVariant field;
  bool got = getField(w, name, &field);
  if (!got) {
    browser::releaseValue(&field);
    return thrownByPlugin(ctx) ? JS_EXCEPTION : JS_UNDEFINED;
  }
  JSValue value = toScriptValue(ctx, w->instance, &field);
  if (thrownByPlugin(ctx)) {
    JS_FreeValue(ctx, value);
    return JS_EXCEPTION;
  }
  JSValue object = JS_NewObjectClass(ctx, static_cast<int>(memberClass));
  if (JS_IsException(object)) {
    JS_FreeValue(ctx, value);
    return object;
  }
  JS_SetOpaque(object, new Member{JS_DupValue(ctx, wrapper), value, name});
  JS_DefinePropertyValue(ctx, object, bridge.toPrimitive,
                         JS_DupValue(ctx, bridge.memberToPrimitive), JS_PROP_CONFIGURABLE);
  return object;
}

// What the object has of a name, as Firefox's resolve and get hooks ask it: a
// property (read through getProperty; with a method of that name too, a member
// object), or a method (a member function, kept for the next reads). False when it
// has neither; -1 for an exception.
int resolve(JSContext* ctx, JSValueConst obj, Wrapper* w, JSAtom atom, JSValue* value) {
  auto found = w->own.find(atom);
  if (found != w->own.end()) {
    if (value != NULL) *value = JS_DupValue(ctx, found->second);
    return TRUE;
  }
  NPIdentifier name = identifierOf(ctx, atom);
  if (name == NULL) return FALSE;
  bool property = hasProperty(w->object, name);
  if (thrownByPlugin(ctx)) return -1;
  if (property) {
    if (value == NULL) return TRUE;
    bool method = hasMethod(w->object, name);
    if (thrownByPlugin(ctx)) return -1;
    if (method) {
      *value = newMember(ctx, obj, w, name);
      return JS_IsException(*value) ? -1 : TRUE;
    }
    NPVariant field;
    bool got = getField(w, name, &field);
    // A getProperty that answers false reads as undefined, as in Firefox.
    *value = got ? toScriptValue(ctx, w->instance, &field) : JS_UNDEFINED;
    if (!got) browser::releaseValue(&field);
    if (thrownByPlugin(ctx)) {
      JS_FreeValue(ctx, *value);
      return -1;
    }
    return TRUE;
  }
  bool method = hasMethod(w->object, name);
  if (thrownByPlugin(ctx)) return -1;
  if (!method) return FALSE;
  JSValue function = newMethod(ctx, atom);
  if (JS_IsException(function)) return -1;
  w->own[JS_DupAtom(ctx, atom)] = JS_DupValue(ctx, function);
  if (value != NULL) {
    *value = function;
  } else {
    JS_FreeValue(ctx, function);
  }
  return TRUE;
}

// A lookup that reached the wrapper through an element's prototype chain from the
// DOM's own code: a browser's native DOM never asks the plug-in, so neither does it here.
bool fromTheDom(JSValueConst obj, JSValueConst receiver) {
  bool element = !JS_IsObject(receiver) || JS_VALUE_GET_PTR(receiver) != JS_VALUE_GET_PTR(obj);
  return element && bridge.depth != NULL && *bridge.depth > 0;
}

JSValue wrapperGet(JSContext* ctx, JSValueConst obj, JSAtom atom, JSValueConst receiver) {
  Wrapper* w = memberWrapper(ctx, obj);
  if (w == NULL) return JS_EXCEPTION;
  if (fromTheDom(obj, receiver)) return inheritedGet(ctx, obj, atom, receiver);
  if (isSymbol(ctx, atom)) {
    JSValue value = inheritedGet(ctx, obj, atom, receiver);
    bool self = JS_VALUE_GET_PTR(receiver) == JS_VALUE_GET_PTR(obj);
    if (!JS_IsUndefined(value) || !self) return value;
    // What Firefox's get hook answers for the wrapper itself.
    if (atom == bridge.toPrimitive) return JS_DupValue(ctx, bridge.wrapperToPrimitive);
    if (atom == bridge.toStringTag) return JS_NewString(ctx, kWrapperClassName);
    return value;
  }
  JSValue value = JS_UNDEFINED;
  int found = resolve(ctx, obj, w, atom, &value);
  if (found < 0) return JS_EXCEPTION;
  return found ? value : inheritedGet(ctx, obj, atom, receiver);
}

int wrapperHas(JSContext* ctx, JSValueConst obj, JSAtom atom) {
  Wrapper* w = memberWrapper(ctx, obj);
  if (w == NULL) return -1;
  bool dom = bridge.depth != NULL && *bridge.depth > 0;  // `in` tells no receiver
  int found = isSymbol(ctx, atom) || dom ? FALSE : resolve(ctx, obj, w, atom, NULL);
  if (found != FALSE) return found;
  JSValue proto = JS_GetPrototype(ctx, obj);
  int inherited = JS_IsObject(proto) ? JS_HasProperty(ctx, proto, atom) : FALSE;
  JS_FreeValue(ctx, proto);
  return inherited;
}

int wrapperSet(JSContext* ctx, JSValueConst obj, JSAtom atom, JSValueConst value,
               JSValueConst receiver, int flags) {
  Wrapper* w = memberWrapper(ctx, obj);
  if (w == NULL) return -1;
  if (fromTheDom(obj, receiver)) return inheritedSet(ctx, obj, atom, value, receiver, flags);
  NPIdentifier name = isSymbol(ctx, atom) ? NULL : identifierOf(ctx, atom);
  bool property = name != NULL && hasProperty(w->object, name);
  if (thrownByPlugin(ctx)) return -1;
  if (property) {
    NPVariant converted;
    if (!toNPVariant(ctx, w->instance, value, &converted)) {
      throwError(ctx, "Error converting jsval to NPVariant!");
      return -1;
    }
    bool ok;
    {
      PluginCall call("NPClass.setProperty");
      ok = w->object->_class->setProperty != NULL &&
           w->object->_class->setProperty(w->object, name, &converted);
    }
    browser::releaseValue(&converted);
    if (thrownByPlugin(ctx)) return -1;
    if (!ok) {
      throwError(ctx, kSetFailed);
      return -1;
    }
    return TRUE;
  }
  // A name the plug-in does not take: on an element's chain it lands on the element.
  if (name == NULL || JS_VALUE_GET_PTR(receiver) != JS_VALUE_GET_PTR(obj)) {
    return inheritedSet(ctx, obj, atom, value, receiver, flags);
  }
  bool method = w->own.count(atom) != 0 || hasMethod(w->object, name);
  if (thrownByPlugin(ctx)) return -1;
  throwError(ctx, method ? "Trying to set unsupported property on NPObject!"
                         : "Trying to add unsupported property on NPObject!");
  return -1;
}

int wrapperDelete(JSContext* ctx, JSValueConst obj, JSAtom atom) {
  Wrapper* w = memberWrapper(ctx, obj);
  if (w == NULL) return -1;
  auto found = w->own.find(atom);
  if (found != w->own.end()) {
    JS_FreeAtom(ctx, found->first);
    JS_FreeValue(ctx, found->second);
    w->own.erase(found);
  }
  NPIdentifier name = isSymbol(ctx, atom) ? NULL : identifierOf(ctx, atom);
  // As in Firefox: deleting what the object does not have succeeds.
  bool property = name != NULL && hasProperty(w->object, name);
  if (thrownByPlugin(ctx)) return -1;
  if (!property) return TRUE;
  bool removed;
  {
    PluginCall call("NPClass.removeProperty");
    removed = w->object->_class->removeProperty != NULL &&
              w->object->_class->removeProperty(w->object, name);
  }
  if (thrownByPlugin(ctx)) return -1;
  return removed ? TRUE : FALSE;
}

int wrapperOwnProperty(JSContext* ctx, JSPropertyDescriptor* desc, JSValueConst obj,
                       JSAtom atom) {
  Wrapper* w = memberWrapper(ctx, obj);
  if (w == NULL) return -1;
  if (isSymbol(ctx, atom)) return FALSE;
  JSValue value = JS_UNDEFINED;
  int found = resolve(ctx, obj, w, atom, desc != NULL ? &value : NULL);
  if (found > 0 && desc != NULL) {
    desc->flags = JS_PROP_C_W_E;
    desc->value = value;
    desc->getter = JS_UNDEFINED;
    desc->setter = JS_UNDEFINED;
  }
  return found;
}

int wrapperOwnKeys(JSContext* ctx, JSPropertyEnum** table, uint32_t* length, JSValueConst obj) {
  *table = NULL;
  *length = 0;
  Wrapper* w = memberWrapper(ctx, obj);
  if (w == NULL) return -1;
  NPClass* objectClass = w->object->_class;
  if (objectClass->enumerate == NULL) return 0;
  NPIdentifier* names = NULL;
  uint32_t count = 0;
  bool ok;
  {
    PluginCall call("NPClass.enumerate");
    ok = objectClass->enumerate(w->object, &names, &count);
  }
  if (!ok) {
    failed(ctx, "Error enumerating properties on scriptable plugin object");
    return -1;
  }
  if (thrownByPlugin(ctx)) {
    npn()->memfree(names);
    return -1;
  }
  *table = static_cast<JSPropertyEnum*>(js_mallocz(ctx, sizeof(JSPropertyEnum) * (count + 1)));
  if (*table == NULL) {
    npn()->memfree(names);
    return -1;
  }
  for (uint32_t i = 0; i < count; ++i) (*table)[i].atom = atomOf(ctx, names[i]);
  *length = count;
  npn()->memfree(names);
  return 0;
}

// Defining a value on the wrapper: a property of the plug-in's is set, a method's
// name keeps the value instead of the member function; other names are refused, as
// Firefox's addProperty hook refuses them.
int wrapperDefine(JSContext* ctx, JSValueConst obj, JSAtom atom, JSValueConst value, JSValueConst,
                  JSValueConst, int flags) {
  Wrapper* w = memberWrapper(ctx, obj);
  if (w == NULL) return -1;
  NPIdentifier name = isSymbol(ctx, atom) ? NULL : identifierOf(ctx, atom);
  bool hasValue = (flags & JS_PROP_HAS_VALUE) != 0;
  if (name != NULL && hasValue && hasProperty(w->object, name)) {
    return wrapperSet(ctx, obj, atom, value, obj, flags);
  }
  if (thrownByPlugin(ctx)) return -1;
  bool method = name != NULL && (w->own.count(atom) != 0 || hasMethod(w->object, name));
  if (thrownByPlugin(ctx)) return -1;
  if (!method || !hasValue) {
    throwError(ctx, "Trying to add unsupported property on NPObject!");
    return -1;
  }
  auto found = w->own.find(atom);
  if (found != w->own.end()) {
    JS_FreeValue(ctx, found->second);
    found->second = JS_DupValue(ctx, value);
  } else {
    w->own[JS_DupAtom(ctx, atom)] = JS_DupValue(ctx, value);
  }
  return TRUE;
}

JSValue wrapperCall(JSContext* ctx, JSValueConst function, JSValueConst, int argc,
                    JSValueConst* argv, int flags) {
  Wrapper* w = liveWrapper(ctx, function);
  if (w == NULL) return JS_EXCEPTION;
  bool construct = (flags & JS_CALL_FLAG_CONSTRUCTOR) != 0;
  return callPlugin(ctx, w, construct ? kConstruct : kInvokeDefault, NULL, argc, argv);
}

// Firefox's [Symbol.toPrimitive] of a wrapper: the object's toString only, never
// valueOf (a plug-in's valueOf may not take no arguments).
JSValue wrapperToPrimitive(JSContext* ctx, JSValueConst thisValue, int, JSValueConst*) {
  if (!JS_IsObject(thisValue)) return JS_DupValue(ctx, thisValue);
  JSValue toString = JS_GetPropertyStr(ctx, thisValue, "toString");
  if (JS_IsException(toString)) return toString;
  if (JS_IsFunction(ctx, toString)) {
    JSValue text = JS_Call(ctx, toString, thisValue, 0, NULL);
    JS_FreeValue(ctx, toString);
    if (JS_IsException(text) || !JS_IsObject(text)) return text;
    JS_FreeValue(ctx, text);
  } else {
    JS_FreeValue(ctx, toString);
  }
  return JS_ThrowTypeError(ctx, "can't convert %s to primitive type", kWrapperClassName);
}

void wrapperMark(JSRuntime* rt, JSValueConst value, JS_MarkFunc* mark) {
  Wrapper* w = wrapperOf(value);
  if (w == NULL) return;
  for (const auto& own : w->own) JS_MarkValue(rt, own.second, mark);
}

void wrapperFinalize(JSRuntime* rt, JSValue value) {
  Wrapper* w = wrapperOf(value);
  if (w == NULL) return;
  for (const auto& own : w->own) {
    JS_FreeAtomRT(rt, own.first);
    JS_FreeValueRT(rt, own.second);
  }
  if (w->object != NULL) {
    bridge.wrappers.erase(w->object);
    // Giving the reference back may run the plug-in's deallocate, which may call
    // the browser: not while the engine collects.
    bridge.collected.push_back(w->object);
  }
  delete w;
}

JSClassExoticMethods wrapperExotic = {wrapperOwnProperty, wrapperOwnKeys, wrapperDelete,
                                      wrapperDefine,      wrapperHas,     wrapperGet,
                                      wrapperSet};
JSClassDef wrapperDef = {kWrapperClassName, wrapperFinalize, wrapperMark, wrapperCall,
                         &wrapperExotic};

// --- Member objects --------------------------------------------------------------

Member* memberOf(JSValueConst value) {
  return static_cast<Member*>(JS_GetOpaque(value, memberClass));
}

JSValue memberCall(JSContext* ctx, JSValueConst function, JSValueConst, int argc,
                   JSValueConst* argv, int) {
  Member* member = memberOf(function);
  Wrapper* w = member != NULL ? liveWrapper(ctx, member->wrapper) : NULL;
  if (w == NULL) return JS_EXCEPTION;
  return callPlugin(ctx, w, kInvoke, member->name, argc, argv);
}

// The member converts to the property's value.
JSValue memberToPrimitive(JSContext* ctx, JSValueConst thisValue, int argc, JSValueConst* argv) {
  Member* member = memberOf(thisValue);
  if (member == NULL) return JS_DupValue(ctx, thisValue);
  if (!JS_IsObject(member->value)) return JS_DupValue(ctx, member->value);
  bool number = argc > 0 && JS_IsString(argv[0]) && utf8Of(ctx, argv[0]) == "number";
  if (number) {
    double n;
    return JS_ToFloat64(ctx, &n, member->value) < 0 ? JS_EXCEPTION : JS_NewFloat64(ctx, n);
  }
  return JS_ToString(ctx, member->value);
}

void memberMark(JSRuntime* rt, JSValueConst value, JS_MarkFunc* mark) {
  Member* member = memberOf(value);
  if (member == NULL) return;
  JS_MarkValue(rt, member->wrapper, mark);
  JS_MarkValue(rt, member->value, mark);
}

void memberFinalize(JSRuntime* rt, JSValue value) {
  Member* member = memberOf(value);
  if (member == NULL) return;
  JS_FreeValueRT(rt, member->wrapper);
  JS_FreeValueRT(rt, member->value);
  delete member;
}

JSClassDef memberDef = {"NPObject Ambiguous Member class", memberFinalize, memberMark,
                        memberCall, NULL};

// --- Elements --------------------------------------------------------------------

// An <embed> or <object> is callable, as Firefox's legacy caller has it: the call
// goes to the plug-in's scriptable object in its prototype chain.
JSValue elementCall(JSContext* ctx, JSValueConst function, JSValueConst thisValue, int argc,
                    JSValueConst* argv, int) {
  JSValue proto = JS_GetPrototype(ctx, function);
  JSValue scriptable = wrapperInChain(ctx, proto);
  JS_FreeValue(ctx, proto);
  if (!JS_IsObject(scriptable)) return throwError(ctx, "Component is not available");
  JSValue result = JS_Call(ctx, scriptable, thisValue, argc, argv);
  JS_FreeValue(ctx, scriptable);
  return result;
}

JSClassDef elementDef = {"HTMLElement", NULL, NULL, elementCall, NULL};

JSValue newElement(JSContext* ctx, JSValueConst, int argc, JSValueConst* argv) {
  if (argc < 1 || !JS_IsObject(argv[0])) return JS_ThrowTypeError(ctx, "no prototype");
  return JS_NewObjectProtoClass(ctx, argv[0], elementClass);
}

JSValue shareDomDepth(JSContext* ctx, JSValueConst, int argc, JSValueConst* argv) {
  size_t size = 0;
  uint8_t* bytes = argc > 0 ? JS_GetArrayBuffer(ctx, &size, argv[0]) : NULL;
  if (bytes == NULL || size < sizeof(int32_t)) return JS_ThrowTypeError(ctx, "no depth buffer");
  JS_FreeValue(ctx, bridge.depthBuffer);
  bridge.depthBuffer = JS_DupValue(ctx, argv[0]);  // it stays where it is while held
  bridge.depth = reinterpret_cast<const int32_t*>(bytes);
  return JS_UNDEFINED;
}

// --- Script objects as the plug-in sees them -------------------------------------

ScriptObject* scriptObjectOf(NPObject* object) { return reinterpret_cast<ScriptObject*>(object); }

NPObject* allocateScriptObject(NPP, NPClass*) {
  ScriptObject* object = static_cast<ScriptObject*>(calloc(1, sizeof(ScriptObject)));
  if (object != NULL) object->value = JS_UNDEFINED;
  return object != NULL ? &object->header : NULL;
}

void letGo(ScriptObject* script) {
  if (JS_IsUndefined(script->value)) return;
  bridge.scriptObjects.erase(static_cast<JSObject*>(JS_VALUE_GET_PTR(script->value)));
  if (bridge.ctx != NULL) JS_FreeValue(bridge.ctx, script->value);
  script->value = JS_UNDEFINED;
}

void deallocateScriptObject(NPObject* object) {
  letGo(scriptObjectOf(object));
  free(object);
}

// The context for a plug-in's call on a script object: NULL (the call answers false)
// once the page let go of it, or off the script thread.
JSContext* usable(NPObject* object) {
  if (bridge.ctx == NULL || !onScriptThread() || JS_IsUndefined(scriptObjectOf(object)->value)) {
    return NULL;
  }
  return bridge.ctx;
}

// An exception of script the plug-in called: to the console, and the call fails.
bool scriptFailed(JSContext* ctx) {
  JSValue exception = JS_GetException(ctx);
  if (bridge.scriptError) bridge.scriptError(exception);
  JS_FreeValue(ctx, exception);
  return false;
}

// A script result for the plug-in, owned by it.
bool resultForPlugin(JSContext* ctx, NPP instance, JSValue value, NPVariant* result) {
  VOID_TO_NPVARIANT(*result);
  if (JS_IsException(value)) return scriptFailed(ctx);
  bool ok = toNPVariant(ctx, instance, value, result);
  JS_FreeValue(ctx, value);
  return ok;
}

class ScriptArguments {
 public:
  ScriptArguments(JSContext* ctx, NPP instance, const NPVariant* args, uint32_t count)
      : ctx_(ctx) {
    for (uint32_t i = 0; i < count; ++i) {
      NPVariant copy = args[i];
      // toScriptValue takes over its input; the plug-in keeps its own arguments.
      if (NPVARIANT_IS_STRING(copy)) {
        copy = stringForPlugin(std::string(copy.value.stringValue.UTF8Characters != NULL
                                               ? copy.value.stringValue.UTF8Characters
                                               : "",
                                           copy.value.stringValue.UTF8Length));
      } else if (NPVARIANT_IS_OBJECT(copy)) {
        browser::retain(copy.value.objectValue);
      }
      values_.push_back(toScriptValue(ctx, instance, &copy));
    }
  }
  ~ScriptArguments() {
    for (JSValue value : values_) JS_FreeValue(ctx_, value);
  }
  int count() const { return static_cast<int>(values_.size()); }
  JSValue* data() { return values_.empty() ? NULL : &values_[0]; }

 private:
  JSContext* ctx_;
  std::vector<JSValue> values_;
};

JSValue scriptGet(JSContext* ctx, NPObject* object, NPIdentifier name) {
  JSAtom atom = atomOf(ctx, name);
  JSValue value = JS_GetProperty(ctx, scriptObjectOf(object)->value, atom);
  JS_FreeAtom(ctx, atom);
  return value;
}

bool scriptHasMethod(NPObject* object, NPIdentifier name) {
  JSContext* ctx = usable(object);
  if (ctx == NULL) return false;
  JSValue value = scriptGet(ctx, object, name);
  if (JS_IsException(value)) return scriptFailed(ctx);
  bool callable = JS_IsFunction(ctx, value);
  JS_FreeValue(ctx, value);
  return callable;
}

// Firefox's doInvoke: a method is called with the object as `this`, the object
// itself (invokeDefault) with itself as `this`.
bool scriptCall(NPObject* object, NPIdentifier name, bool construct, const NPVariant* args,
                uint32_t count, NPVariant* result) {
  VOID_TO_NPVARIANT(*result);
  JSContext* ctx = usable(object);
  if (ctx == NULL) return false;
  ScriptObject* script = scriptObjectOf(object);
  JSValue function = name != NULL ? scriptGet(ctx, object, name) : JS_DupValue(ctx, script->value);
  if (JS_IsException(function)) return scriptFailed(ctx);
  ScriptArguments arguments(ctx, script->instance, args, count);
  JSValue value =
      construct ? JS_CallConstructor(ctx, function, arguments.count(), arguments.data())
                : JS_Call(ctx, function, script->value, arguments.count(), arguments.data());
  JS_FreeValue(ctx, function);
  return resultForPlugin(ctx, script->instance, value, result);
}

bool scriptInvoke(NPObject* object, NPIdentifier name, const NPVariant* args, uint32_t count,
                  NPVariant* result) {
  return scriptCall(object, name, false, args, count, result);
}

bool scriptInvokeDefault(NPObject* object, const NPVariant* args, uint32_t count,
                         NPVariant* result) {
  return scriptCall(object, NULL, false, args, count, result);
}

bool scriptConstruct(NPObject* object, const NPVariant* args, uint32_t count, NPVariant* result) {
  return scriptCall(object, NULL, true, args, count, result);
}

bool scriptHasProperty(NPObject* object, NPIdentifier name) {
  JSContext* ctx = usable(object);
  if (ctx == NULL) return false;
  JSAtom atom = atomOf(ctx, name);
  int has = JS_HasProperty(ctx, scriptObjectOf(object)->value, atom);
  JS_FreeAtom(ctx, atom);
  return has < 0 ? scriptFailed(ctx) : has != 0;
}

bool scriptGetProperty(NPObject* object, NPIdentifier name, NPVariant* result) {
  VOID_TO_NPVARIANT(*result);
  JSContext* ctx = usable(object);
  if (ctx == NULL) return false;
  return resultForPlugin(ctx, scriptObjectOf(object)->instance, scriptGet(ctx, object, name),
                         result);
}

bool scriptSetProperty(NPObject* object, NPIdentifier name, const NPVariant* value) {
  JSContext* ctx = usable(object);
  if (ctx == NULL) return false;
  ScriptArguments arguments(ctx, scriptObjectOf(object)->instance, value, 1);
  JSAtom atom = atomOf(ctx, name);
  int set = JS_SetProperty(ctx, scriptObjectOf(object)->value, atom,
                           JS_DupValue(ctx, arguments.data()[0]));
  JS_FreeAtom(ctx, atom);
  return set < 0 ? scriptFailed(ctx) : set != 0;
}

// True when the name is gone afterwards (not inherited either), as in Firefox.
bool scriptRemoveProperty(NPObject* object, NPIdentifier name) {
  JSContext* ctx = usable(object);
  if (ctx == NULL) return false;
  JSAtom atom = atomOf(ctx, name);
  JSValue target = scriptObjectOf(object)->value;
  int removed = JS_DeleteProperty(ctx, target, atom, 0);
  int still = removed > 0 ? JS_HasProperty(ctx, target, atom) : 0;
  JS_FreeAtom(ctx, atom);
  if (removed < 0 || still < 0) return scriptFailed(ctx);
  return removed > 0 && still == 0;
}

bool scriptEnumerate(NPObject* object, NPIdentifier** names, uint32_t* count) {
  *names = NULL;
  *count = 0;
  JSContext* ctx = usable(object);
  if (ctx == NULL) return false;
  JSPropertyEnum* table = NULL;
  uint32_t length = 0;
  if (JS_GetOwnPropertyNames(ctx, &table, &length, scriptObjectOf(object)->value,
                             JS_GPN_STRING_MASK | JS_GPN_ENUM_ONLY) < 0) {
    return scriptFailed(ctx);
  }
  std::vector<NPIdentifier> found;
  for (uint32_t i = 0; i < length; ++i) {
    found.push_back(identifierOf(ctx, table[i].atom));
    JS_FreeAtom(ctx, table[i].atom);
  }
  js_free(ctx, table);
  if (found.empty()) return true;
  *names = static_cast<NPIdentifier*>(
      npn()->memalloc(static_cast<uint32_t>(found.size() * sizeof(NPIdentifier))));
  if (*names == NULL) return false;
  memcpy(*names, &found[0], found.size() * sizeof(NPIdentifier));
  *count = static_cast<uint32_t>(found.size());
  return true;
}

NPClass scriptObjectClass = {
    NP_CLASS_STRUCT_VERSION, allocateScriptObject, deallocateScriptObject, NULL,
    scriptHasMethod,         scriptInvoke,         scriptInvokeDefault,    scriptHasProperty,
    scriptGetProperty,       scriptSetProperty,    scriptRemoveProperty,   scriptEnumerate,
    scriptConstruct};

}  // namespace

bool installNPRuntime(JSContext* ctx, JSValueConst hostObject,
                      const std::function<void(JSValueConst exception)>& scriptError) {
  JSRuntime* rt = JS_GetRuntime(ctx);
  if (wrapperClass == 0) {
    JS_NewClassID(&wrapperClass);
    JS_NewClassID(&memberClass);
    JS_NewClassID(&elementClass);
  }
  if (JS_NewClass(rt, wrapperClass, &wrapperDef) < 0 ||
      JS_NewClass(rt, memberClass, &memberDef) < 0 ||
      JS_NewClass(rt, elementClass, &elementDef) < 0) {
    return false;
  }
  // Wrappers and member objects have Object.prototype as their prototype.
  JSValue plain = JS_NewObject(ctx);
  JSValue objectPrototype = JS_GetPrototype(ctx, plain);
  JS_FreeValue(ctx, plain);
  JS_SetClassProto(ctx, wrapperClass, JS_DupValue(ctx, objectPrototype));
  JS_SetClassProto(ctx, memberClass, objectPrototype);

  bridge.ctx = ctx;
  bridge.thread = GetCurrentThreadId();
  bridge.scriptError = scriptError;
  JSValue global = JS_GetGlobalObject(ctx);
  JSValue symbol = JS_GetPropertyStr(ctx, global, "Symbol");
  JS_FreeValue(ctx, global);
  JSValue toPrimitive = JS_GetPropertyStr(ctx, symbol, "toPrimitive");
  JSValue toStringTag = JS_GetPropertyStr(ctx, symbol, "toStringTag");
  bridge.toPrimitive = JS_ValueToAtom(ctx, toPrimitive);
  bridge.toStringTag = JS_ValueToAtom(ctx, toStringTag);
  JS_FreeValue(ctx, toPrimitive);
  JS_FreeValue(ctx, toStringTag);
  JS_FreeValue(ctx, symbol);
  bridge.wrapperToPrimitive =
      JS_NewCFunction(ctx, wrapperToPrimitive, "[Symbol.toPrimitive]", 1);
  bridge.memberToPrimitive = JS_NewCFunction(ctx, memberToPrimitive, "[Symbol.toPrimitive]", 1);
  JS_SetPropertyStr(ctx, hostObject, "element", JS_NewCFunction(ctx, newElement, "element", 1));
  JS_SetPropertyStr(ctx, hostObject, "domDepth",
                    JS_NewCFunction(ctx, shareDomDepth, "domDepth", 1));
  return bridge.toPrimitive != JS_ATOM_NULL && bridge.toStringTag != JS_ATOM_NULL;
}

void invalidateScriptObjects() {
  while (!bridge.scriptObjects.empty()) letGo(bridge.scriptObjects.begin()->second);
  if (bridge.ctx == NULL) return;
  JS_FreeValue(bridge.ctx, bridge.wrapperToPrimitive);
  JS_FreeValue(bridge.ctx, bridge.memberToPrimitive);
  JS_FreeAtom(bridge.ctx, bridge.toPrimitive);
  JS_FreeAtom(bridge.ctx, bridge.toStringTag);
  JS_FreeValue(bridge.ctx, bridge.depthBuffer);
  bridge.depthBuffer = JS_UNDEFINED;
  bridge.depth = NULL;
  bridge.wrapperToPrimitive = bridge.memberToPrimitive = JS_UNDEFINED;
  bridge.toPrimitive = bridge.toStringTag = JS_ATOM_NULL;
}

void releaseCollectedWrappers() {
  while (!bridge.collected.empty()) {
    NPObject* object = bridge.collected.back();
    bridge.collected.pop_back();
    browser::release(object);
  }
}

void uninstallNPRuntime() {
  bridge.ctx = NULL;
  bridge.thread = 0;
  bridge.scriptError = nullptr;
  bridge.wrappers.clear();
  releaseCollectedWrappers();
}

bool onScriptThread() { return bridge.thread == 0 || GetCurrentThreadId() == bridge.thread; }

bool toNPVariant(JSContext* ctx, NPP instance, JSValueConst value, NPVariant* out) {
  VOID_TO_NPVARIANT(*out);
  switch (JS_VALUE_GET_NORM_TAG(value)) {
    case JS_TAG_UNDEFINED:
      return true;
    case JS_TAG_NULL:
      NULL_TO_NPVARIANT(*out);
      return true;
    case JS_TAG_BOOL:
      BOOLEAN_TO_NPVARIANT(JS_VALUE_GET_BOOL(value) != 0, *out);
      return true;
    case JS_TAG_INT:
      INT32_TO_NPVARIANT(JS_VALUE_GET_INT(value), *out);
      return true;
    case JS_TAG_FLOAT64: {
      // Int32 only for a 32-bit integer; -0 stays a double, as in Firefox.
      double number = JS_VALUE_GET_FLOAT64(value);
      bool integral = number >= INT32_MIN && number <= INT32_MAX &&
                      number == static_cast<double>(static_cast<int32_t>(number)) &&
                      !(number == 0 && signbit(number));
      if (integral) {
        INT32_TO_NPVARIANT(static_cast<int32_t>(number), *out);
      } else {
        DOUBLE_TO_NPVARIANT(number, *out);
      }
      return true;
    }
    case JS_TAG_STRING:
      *out = stringForPlugin(utf8Of(ctx, value));
      return true;
    case JS_TAG_OBJECT: {
      NPObject* object = scriptNPObject(ctx, instance, value);
      if (object == NULL) return false;
      OBJECT_TO_NPVARIANT(object, *out);
      return true;
    }
    default:
      return false;  // symbols and the like: Firefox's "Unknown primitive type!"
  }
}

JSValue toScriptValue(JSContext* ctx, NPP instance, NPVariant* in) {
  JSValue value = JS_UNDEFINED;
  switch (in->type) {
    case NPVariantType_Void:
      break;
    case NPVariantType_Null:
      value = JS_NULL;
      break;
    case NPVariantType_Bool:
      value = JS_NewBool(ctx, in->value.boolValue);
      break;
    case NPVariantType_Int32:
      value = JS_NewInt32(ctx, in->value.intValue);
      break;
    case NPVariantType_Double:
      value = JS_NewFloat64(ctx, in->value.doubleValue);
      break;
    case NPVariantType_String: {
      const NPString& text = in->value.stringValue;
      value = JS_NewStringLen(ctx, text.UTF8Characters != NULL ? text.UTF8Characters : "",
                              text.UTF8Characters != NULL ? text.UTF8Length : 0);
      break;
    }
    case NPVariantType_Object: {
      NPObject* object = in->value.objectValue;
      if (object == NULL) {
        value = JS_NULL;
      } else if (object->_class == &scriptObjectClass) {
        // One of script's own objects comes back as itself (null once the page let go).
        JSValue own = scriptObjectOf(object)->value;
        value = JS_IsUndefined(own) ? JS_NULL : JS_DupValue(ctx, own);
      } else {
        value = wrapNPObject(ctx, instance, object);  // takes the result's reference
        VOID_TO_NPVARIANT(*in);
      }
      break;
    }
  }
  browser::releaseValue(in);
  return value;
}

JSValue wrapNPObject(JSContext* ctx, NPP instance, NPObject* object) {
  auto found = bridge.wrappers.find(object);
  if (found != bridge.wrappers.end()) {
    // The wrapper keeps its own reference; the one handed over goes back.
    browser::release(object);
    return JS_DupValue(ctx, JS_MKPTR(JS_TAG_OBJECT, found->second));
  }
  JSValue wrapper = JS_NewObjectClass(ctx, static_cast<int>(wrapperClass));
  if (JS_IsException(wrapper)) {
    browser::release(object);
    return wrapper;
  }
  JS_SetOpaque(wrapper, new Wrapper{instance, object, {}});
  JS_SetConstructorBit(ctx, wrapper, 1);
  bridge.wrappers[object] = static_cast<JSObject*>(JS_VALUE_GET_PTR(wrapper));
  return wrapper;
}

NPObject* wrappedNPObject(JSValueConst value) {
  Wrapper* w = wrapperOf(value);
  return w != NULL ? w->object : NULL;
}

NPObject* scriptNPObject(JSContext* ctx, NPP instance, JSValueConst value) {
  if (!JS_IsObject(value)) return NULL;
  if (wrapperOf(value) != NULL) {
    NPObject* own = wrappedNPObject(value);
    if (own != NULL) browser::retain(own);
    return own;
  }
  JSObject* key = static_cast<JSObject*>(JS_VALUE_GET_PTR(value));
  auto found = bridge.scriptObjects.find(key);
  if (found != bridge.scriptObjects.end()) {
    browser::retain(&found->second->header);
    return &found->second->header;
  }
  NPObject* object = browser::createObject(instance, &scriptObjectClass);
  if (object == NULL) return NULL;
  ScriptObject* script = scriptObjectOf(object);
  script->instance = instance;
  script->value = JS_DupValue(ctx, value);
  bridge.scriptObjects[key] = script;
  return object;
}

void attachScriptable(JSContext* ctx, JSValueConst element, JSValueConst scriptable) {
  if (!JS_IsObject(element) || wrapperOf(scriptable) == NULL) return;
  JSValue proto = JS_GetPrototype(ctx, element);
  JS_SetPrototype(ctx, scriptable, proto);
  JS_SetPrototype(ctx, element, scriptable);
  JS_FreeValue(ctx, proto);
}

void detachScriptable(JSContext* ctx, JSValueConst element) {
  if (!JS_IsObject(element)) return;
  JSValue scriptable = JS_GetPrototype(ctx, element);
  if (wrapperOf(scriptable) != NULL) {
    JSValue proto = JS_GetPrototype(ctx, scriptable);
    JS_SetPrototype(ctx, element, proto);
    JS_FreeValue(ctx, proto);
  }
  JS_FreeValue(ctx, scriptable);
}

void forgetInstance(NPP instance) {
  for (auto it = bridge.wrappers.begin(); it != bridge.wrappers.end();) {
    Wrapper* w = wrapperOf(JS_MKPTR(JS_TAG_OBJECT, it->second));
    if (w == NULL || w->instance != instance) {
      ++it;
      continue;
    }
    NPObject* object = w->object;
    w->object = NULL;
    it = bridge.wrappers.erase(it);
    if (object->_class->invalidate != NULL) {
      PluginCall call("NPClass.invalidate");
      object->_class->invalidate(object);
    }
    browser::release(object);
  }
  for (auto it = bridge.scriptObjects.begin(); it != bridge.scriptObjects.end();) {
    ScriptObject* script = (it++)->second;
    if (script->instance == instance) letGo(script);
  }
}

}  // namespace host
