#include "npbrowser.h"

#include <stdlib.h>
#include <string.h>

#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

namespace browser {
namespace {

struct Identifier {
  bool isString;
  std::string text;
  int32_t value;
};

struct State {
  std::recursive_mutex lock;
  Counts counts = {};
  Faults faults;
  long allocationsSinceArmed = 0;
  std::set<NPObject*> liveObjects;
  std::unordered_map<void*, size_t> blocks;
  std::map<std::string, Identifier*> stringIds;
  std::map<int32_t, Identifier*> intIds;
  std::string lastException;
  NPVariant host;  // the page's location.host; string bytes owned here
  std::string hostText;
  std::string protocol;
  RequestHook requestHook;
  NPObject* window = NULL;
  NPObject* location = NULL;
};

State& state() {
  static State* s = new State();  // outlives every static that may still call in
  return *s;
}

typedef std::lock_guard<std::recursive_mutex> Guard;

void* NPN_MemAlloc(uint32_t size) {
  State& s = state();
  Guard guard(s.lock);
  bool armed = s.faults.failAllocationsFrom >= 0;
  if (armed && s.allocationsSinceArmed++ >= s.faults.failAllocationsFrom) {
    ++s.counts.failedAllocations;
    return NULL;
  }
  void* block = malloc(size == 0 ? 1 : size);
  if (block == NULL) return NULL;
  s.blocks[block] = size;
  ++s.counts.allocations;
  ++s.counts.liveBlocks;
  s.counts.liveBytes += size;
  return block;
}

void NPN_MemFree(void* block) {
  if (block == NULL) return;
  State& s = state();
  Guard guard(s.lock);
  auto found = s.blocks.find(block);
  if (found == s.blocks.end()) {
    ++s.counts.badFrees;
    return;
  }
  ++s.counts.frees;
  --s.counts.liveBlocks;
  s.counts.liveBytes -= found->second;
  s.blocks.erase(found);
  free(block);
}

NPIdentifier NPN_GetStringIdentifier(const NPUTF8* name) {
  if (name == NULL) return NULL;
  return identifier(name);
}

void NPN_GetStringIdentifiers(const NPUTF8** names, int32_t count, NPIdentifier* ids) {
  for (int32_t i = 0; i < count; ++i) ids[i] = NPN_GetStringIdentifier(names[i]);
}

NPIdentifier NPN_GetIntIdentifier(int32_t value) { return intIdentifier(value); }

bool NPN_IdentifierIsString(NPIdentifier id) {
  return id != NULL && static_cast<Identifier*>(id)->isString;
}

NPUTF8* NPN_UTF8FromIdentifier(NPIdentifier id) {
  if (!NPN_IdentifierIsString(id)) return NULL;
  const std::string& text = static_cast<Identifier*>(id)->text;
  char* copy = static_cast<char*>(NPN_MemAlloc(static_cast<uint32_t>(text.size() + 1)));
  if (copy != NULL) memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

int32_t NPN_IntFromIdentifier(NPIdentifier id) {
  return id != NULL && !static_cast<Identifier*>(id)->isString ? static_cast<Identifier*>(id)->value
                                                              : 0;
}

void noteRequest(const std::string& request);

NPObject* NPN_CreateObject(NPP instance, NPClass* objectClass) {
  noteRequest("createobject");
  State& s = state();
  {
    Guard guard(s.lock);
    if (s.faults.failCreateObject || objectClass == NULL) return NULL;
  }
  return createObject(instance, objectClass);
}

NPObject* NPN_RetainObject(NPObject* object) {
  retain(object);
  return object;
}

void NPN_ReleaseObject(NPObject* object) { release(object); }

// The class to dispatch to; NULL (and counted) for an object that is not alive.
NPClass* classOf(NPObject* object) {
  State& s = state();
  Guard guard(s.lock);
  if (s.liveObjects.count(object) == 0) {
    ++s.counts.deadObjectCalls;
    return NULL;
  }
  return object->_class;
}

bool NPN_Invoke(NPP, NPObject* object, NPIdentifier name, const NPVariant* args,
                uint32_t argCount, NPVariant* result) {
  NPClass* c = classOf(object);
  return c != NULL && c->invoke != NULL && c->invoke(object, name, args, argCount, result);
}

bool NPN_InvokeDefault(NPP, NPObject* object, const NPVariant* args, uint32_t argCount,
                       NPVariant* result) {
  NPClass* c = classOf(object);
  return c != NULL && c->invokeDefault != NULL && c->invokeDefault(object, args, argCount, result);
}

bool NPN_GetProperty(NPP, NPObject* object, NPIdentifier name, NPVariant* result) {
  NPClass* c = classOf(object);
  if (c == NULL || c->getProperty == NULL || !c->getProperty(object, name, result)) return false;
  State& s = state();
  Guard guard(s.lock);
  ++s.counts.variantsHandedOut;
  return true;
}

bool NPN_SetProperty(NPP, NPObject* object, NPIdentifier name, const NPVariant* value) {
  NPClass* c = classOf(object);
  return c != NULL && c->setProperty != NULL && c->setProperty(object, name, value);
}

bool NPN_RemoveProperty(NPP, NPObject* object, NPIdentifier name) {
  NPClass* c = classOf(object);
  return c != NULL && c->removeProperty != NULL && c->removeProperty(object, name);
}

bool NPN_HasProperty(NPP, NPObject* object, NPIdentifier name) {
  NPClass* c = classOf(object);
  return c != NULL && c->hasProperty != NULL && c->hasProperty(object, name);
}

bool NPN_HasMethod(NPP, NPObject* object, NPIdentifier name) {
  NPClass* c = classOf(object);
  return c != NULL && c->hasMethod != NULL && c->hasMethod(object, name);
}

bool NPN_Enumerate(NPP, NPObject* object, NPIdentifier** ids, uint32_t* count) {
  NPClass* c = classOf(object);
  return c != NULL && c->enumerate != NULL && c->enumerate(object, ids, count);
}

bool NPN_Construct(NPP, NPObject* object, const NPVariant* args, uint32_t argCount,
                   NPVariant* result) {
  NPClass* c = classOf(object);
  return c != NULL && c->construct != NULL && c->construct(object, args, argCount, result);
}

void NPN_ReleaseVariantValue(NPVariant* value) {
  {
    State& s = state();
    Guard guard(s.lock);
    ++s.counts.variantsReleased;
  }
  releaseValue(value);
}

void NPN_SetException(NPObject*, const NPUTF8* message) {
  State& s = state();
  Guard guard(s.lock);
  ++s.counts.exceptions;
  s.lastException = message != NULL ? message : "";
}

NPError NPN_GetValue(NPP, NPNVariable variable, void* out) {
  if (variable != NPNVWindowNPObject || out == NULL) return NPERR_GENERIC_ERROR;
  State& s = state();
  Guard guard(s.lock);
  if (s.faults.failWindow || s.window == NULL) {
    *static_cast<NPObject**>(out) = NULL;
    return NPERR_GENERIC_ERROR;
  }
  retain(s.window);
  *static_cast<NPObject**>(out) = s.window;
  return NPERR_NO_ERROR;
}

void noteRequest(const std::string& request) {
  RequestHook hook;
  {
    State& s = state();
    Guard guard(s.lock);
    hook = s.requestHook;
  }
  if (hook) hook(request);
}

void notePropertyRead(NPIdentifier name) {
  if (NPN_IdentifierIsString(name)) noteRequest(static_cast<Identifier*>(name)->text);
}

// The page objects answer their properties with owned copies: window its location,
// location its host and protocol.
bool windowGetProperty(NPObject*, NPIdentifier name, NPVariant* result) {
  notePropertyRead(name);
  State& s = state();
  Guard guard(s.lock);
  if (name != identifier("location") || s.faults.failLocation) return false;
  if (s.faults.locationNotObject) {
    *result = stringArgument("https://www.kelvra.com/");
  } else {
    retain(s.location);
    OBJECT_TO_NPVARIANT(s.location, *result);
  }
  return true;
}

bool locationGetProperty(NPObject*, NPIdentifier name, NPVariant* result) {
  notePropertyRead(name);
  State& s = state();
  Guard guard(s.lock);
  if (name == identifier("protocol") && !s.faults.failProtocol) {
    *result = stringArgument(s.protocol);
    return true;
  }
  if (name != identifier("host") || s.faults.failHost) return false;
  if (NPVARIANT_IS_STRING(s.host)) {
    *result = stringArgument(s.hostText);
  } else if (NPVARIANT_IS_OBJECT(s.host)) {
    retain(s.location);
    OBJECT_TO_NPVARIANT(s.location, *result);
  } else {
    *result = s.host;
  }
  return true;
}

NPClass windowClass = {NP_CLASS_STRUCT_VERSION, NULL, NULL, NULL, NULL, NULL, NULL,
                       NULL, windowGetProperty, NULL, NULL, NULL, NULL};
NPClass locationClass = {NP_CLASS_STRUCT_VERSION, NULL, NULL, NULL, NULL, NULL, NULL,
                         NULL, locationGetProperty, NULL, NULL, NULL, NULL};

NPNetscapeFuncs table = [] {
  NPNetscapeFuncs t;
  memset(&t, 0, sizeof t);
  t.size = sizeof t;
  t.version = (NP_VERSION_MAJOR << 8) | NP_VERSION_MINOR;
  t.memalloc = NPN_MemAlloc;
  t.memfree = NPN_MemFree;
  t.getvalue = NPN_GetValue;
  t.getstringidentifier = NPN_GetStringIdentifier;
  t.getstringidentifiers = NPN_GetStringIdentifiers;
  t.getintidentifier = NPN_GetIntIdentifier;
  t.identifierisstring = NPN_IdentifierIsString;
  t.utf8fromidentifier = NPN_UTF8FromIdentifier;
  t.intfromidentifier = NPN_IntFromIdentifier;
  t.createobject = NPN_CreateObject;
  t.retainobject = NPN_RetainObject;
  t.releaseobject = NPN_ReleaseObject;
  t.invoke = NPN_Invoke;
  t.invokeDefault = NPN_InvokeDefault;
  t.getproperty = NPN_GetProperty;
  t.setproperty = NPN_SetProperty;
  t.removeproperty = NPN_RemoveProperty;
  t.hasproperty = NPN_HasProperty;
  t.hasmethod = NPN_HasMethod;
  t.releasevariantvalue = NPN_ReleaseVariantValue;
  t.setexception = NPN_SetException;
  t.enumerate = NPN_Enumerate;
  t.construct = NPN_Construct;
  return t;
}();

}  // namespace

NPNetscapeFuncs* functions() { return &table; }

void reset() {
  State& s = state();
  Guard guard(s.lock);
  if (s.window == NULL) {
    s.window = createObject(NULL, &windowClass);
    s.location = createObject(NULL, &locationClass);
  }
  s.faults = Faults();
  s.allocationsSinceArmed = 0;
  s.lastException.clear();
  long liveObjects = s.counts.liveObjects;
  long liveBlocks = s.counts.liveBlocks;
  long long liveBytes = s.counts.liveBytes;
  s.counts = Counts{};
  s.counts.liveObjects = liveObjects;
  s.counts.liveBlocks = liveBlocks;
  s.counts.liveBytes = liveBytes;
  s.requestHook = RequestHook();
  setHost("www.kelvra.com");
  setProtocol("https:");
}

Counts counts() {
  State& s = state();
  Guard guard(s.lock);
  return s.counts;
}

void setFaults(const Faults& faults) {
  State& s = state();
  Guard guard(s.lock);
  s.faults = faults;
  s.allocationsSinceArmed = 0;
}

bool isLive(NPObject* object) {
  State& s = state();
  Guard guard(s.lock);
  return s.liveObjects.count(object) != 0;
}

std::string lastException() {
  State& s = state();
  Guard guard(s.lock);
  return s.lastException;
}

void setHost(const std::string& host) {
  State& s = state();
  Guard guard(s.lock);
  s.hostText = host;
  s.host.type = NPVariantType_String;
}

void setHostValue(NPVariantType type) {
  State& s = state();
  Guard guard(s.lock);
  s.host.type = type;
  s.host.value.doubleValue = 0;
  if (type == NPVariantType_Bool) s.host.value.boolValue = true;
  if (type == NPVariantType_Int32) s.host.value.intValue = 443;
  if (type == NPVariantType_Double) s.host.value.doubleValue = 1.5;
}

void setProtocol(const std::string& protocol) {
  State& s = state();
  Guard guard(s.lock);
  s.protocol = protocol;
}

void setRequestHook(RequestHook hook) {
  State& s = state();
  Guard guard(s.lock);
  s.requestHook = hook;
}

NPIdentifier identifier(const std::string& name) {
  State& s = state();
  Guard guard(s.lock);
  Identifier*& id = s.stringIds[name];
  if (id == NULL) id = new Identifier{true, name, 0};
  return id;
}

NPIdentifier intIdentifier(int32_t value) {
  State& s = state();
  Guard guard(s.lock);
  Identifier*& id = s.intIds[value];
  if (id == NULL) id = new Identifier{false, std::string(), value};
  return id;
}

NPObject* createObject(NPP instance, NPClass* objectClass) {
  NPObject* object = objectClass->allocate != NULL
                         ? objectClass->allocate(instance, objectClass)
                         : static_cast<NPObject*>(malloc(sizeof(NPObject)));
  if (object == NULL) return NULL;
  object->_class = objectClass;
  object->referenceCount = 1;
  State& s = state();
  Guard guard(s.lock);
  s.liveObjects.insert(object);
  ++s.counts.objectsCreated;
  ++s.counts.liveObjects;
  return object;
}

void retain(NPObject* object) {
  State& s = state();
  Guard guard(s.lock);
  if (s.liveObjects.count(object) == 0) {
    ++s.counts.deadObjectCalls;
    return;
  }
  ++s.counts.retains;
  ++object->referenceCount;
}

void release(NPObject* object) {
  State& s = state();
  {
    Guard guard(s.lock);
    if (s.liveObjects.count(object) == 0) {
      ++s.counts.deadObjectCalls;
      return;
    }
    if (object->referenceCount == 0) {
      ++s.counts.underflows;
      return;
    }
    ++s.counts.releases;
    if (--object->referenceCount != 0) return;
    s.liveObjects.erase(object);
    ++s.counts.objectsDeallocated;
    --s.counts.liveObjects;
  }
  if (object->_class->deallocate != NULL) {
    object->_class->deallocate(object);
  } else {
    free(object);
  }
}

NPVariant stringArgument(const std::string& text) {
  NPVariant value;
  char* bytes = static_cast<char*>(NPN_MemAlloc(static_cast<uint32_t>(text.size())));
  if (bytes != NULL && !text.empty()) memcpy(bytes, text.data(), text.size());
  STRINGN_TO_NPVARIANT(bytes, bytes != NULL ? text.size() : 0, value);
  return value;
}

void releaseValue(NPVariant* value) {
  if (NPVARIANT_IS_STRING(*value)) {
    NPN_MemFree(const_cast<NPUTF8*>(value->value.stringValue.UTF8Characters));
  } else if (NPVARIANT_IS_OBJECT(*value)) {
    release(value->value.objectValue);
  }
  VOID_TO_NPVARIANT(*value);
}

bool invoke(NPObject* object, const std::string& method, const NPVariant* args,
            uint32_t argCount, NPVariant* result) {
  VOID_TO_NPVARIANT(*result);
  // Qualified: the published npruntime.h declares a global NPN_Invoke that ADL finds.
  return browser::NPN_Invoke(NULL, object, identifier(method), args, argCount, result);
}

}  // namespace browser
