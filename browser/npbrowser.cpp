#include "npbrowser.h"

#include <ctype.h>
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
  bool exceptionPending = false;
  std::string lastStatus;
  std::string origin;
  bool originSet = false;
  std::map<int, long> setValues;
  long popupDepth = 0;
  const Embedder* embedder = NULL;
  std::multiset<const void*> owed;  // resources of results not yet released
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

// The resource a variant carries for its receiver to give back, or NULL.
const void* resourceOf(const NPVariant& value) {
  if (NPVARIANT_IS_STRING(value)) return value.value.stringValue.UTF8Characters;
  if (NPVARIANT_IS_OBJECT(value)) return value.value.objectValue;
  return NULL;
}

// A result variant the browser filled for the plug-in: counted as handed out.
bool handedOut(bool filled, const NPVariant* value) {
  if (!filled) return false;
  State& s = state();
  Guard guard(s.lock);
  ++s.counts.variantsHandedOut;
  const void* resource = resourceOf(*value);
  if (resource != NULL) {
    s.owed.insert(resource);
    s.counts.valuesOwed = static_cast<long>(s.owed.size());
  }
  return true;
}

// A result handed out comes back: released, or handed on to the browser as the
// plug-in's own result.
void settleOwed(const void* resource) {
  State& s = state();
  Guard guard(s.lock);
  auto owed = resource != NULL ? s.owed.find(resource) : s.owed.end();
  if (owed != s.owed.end()) {
    s.owed.erase(owed);
    s.counts.valuesOwed = static_cast<long>(s.owed.size());
  }
}

const Embedder* embedder() {
  State& s = state();
  Guard guard(s.lock);
  return s.embedder;
}

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

// An object handed out as a result may come back this way too: its reference is the
// result's, whichever of the two calls gives it back.
void NPN_ReleaseObject(NPObject* object) {
  settleOwed(object);
  release(object);
}

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

// NPN_Invoke's result starts void, as in Firefox: a plug-in may release it whatever
// the call answered.
bool NPN_Invoke(NPP, NPObject* object, NPIdentifier name, const NPVariant* args,
                uint32_t argCount, NPVariant* result) {
  if (result == NULL) return false;
  VOID_TO_NPVARIANT(*result);
  NPClass* c = classOf(object);
  return handedOut(c != NULL && c->invoke != NULL &&
                       c->invoke(object, name, args, argCount, result),
                   result);
}

bool NPN_InvokeDefault(NPP, NPObject* object, const NPVariant* args, uint32_t argCount,
                       NPVariant* result) {
  if (result == NULL) return false;
  NPClass* c = classOf(object);
  return handedOut(c != NULL && c->invokeDefault != NULL &&
                       c->invokeDefault(object, args, argCount, result),
                   result);
}

bool NPN_GetProperty(NPP, NPObject* object, NPIdentifier name, NPVariant* result) {
  if (result == NULL) return false;
  NPClass* c = classOf(object);
  return handedOut(c != NULL && c->getProperty != NULL && c->getProperty(object, name, result),
                   result);
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
  if (result == NULL) return false;
  NPClass* c = classOf(object);
  return handedOut(c != NULL && c->construct != NULL &&
                       c->construct(object, args, argCount, result),
                   result);
}

bool NPN_Evaluate(NPP instance, NPObject* object, NPString* script, NPVariant* result) {
  if (result == NULL) return false;
  VOID_TO_NPVARIANT(*result);
  const Embedder* page = embedder();
  if (script == NULL || classOf(object) == NULL || page == NULL || page->evaluate == NULL) {
    return false;
  }
  return handedOut(page->evaluate(instance, object, script, result), result);
}

void NPN_ReleaseVariantValue(NPVariant* value) {
  if (value == NULL) return;
  {
    State& s = state();
    Guard guard(s.lock);
    ++s.counts.variantsReleased;
  }
  releaseValue(value);
}

// As in Firefox: a NULL message is ignored, a later one replaces an earlier one.
void NPN_SetException(NPObject*, const NPUTF8* message) {
  if (message == NULL) return;
  State& s = state();
  Guard guard(s.lock);
  ++s.counts.exceptions;
  s.lastException = message;
  s.exceptionPending = true;
}

// What Firefox on Windows answers; the page's objects come from the embedder.
NPError NPN_GetValue(NPP instance, NPNVariable variable, void* out) {
  if (out == NULL) return NPERR_INVALID_PARAM;
  if (variable == NPNVdocumentOrigin) noteRequest("origin");
  State& s = state();
  Guard guard(s.lock);
  switch (variable) {
    case NPNVWindowNPObject:
    case NPNVPluginElementNPObject: {
      NPObject* object = NULL;
      if (variable == NPNVWindowNPObject && !s.faults.failWindow) {
        object = s.embedder != NULL && s.embedder->window != NULL ? s.embedder->window(instance)
                                                                  : s.window;
      } else if (variable == NPNVPluginElementNPObject && s.embedder != NULL &&
                 s.embedder->element != NULL) {
        object = s.embedder->element(instance);
      }
      *static_cast<NPObject**>(out) = object;
      if (object == NULL) return NPERR_GENERIC_ERROR;
      retain(object);
      return NPERR_NO_ERROR;
    }
    case NPNVnetscapeWindow: {
      void* window = s.embedder != NULL && s.embedder->nativeWindow != NULL
                         ? s.embedder->nativeWindow(instance)
                         : NULL;
      *static_cast<void**>(out) = window;
      return window != NULL ? NPERR_NO_ERROR : NPERR_GENERIC_ERROR;
    }
    case NPNVjavascriptEnabledBool:
    case NPNVSupportsWindowless:
      *static_cast<NPBool*>(out) = true;
      return NPERR_NO_ERROR;
    case NPNVasdEnabledBool:
    case NPNVisOfflineBool:
    case NPNVSupportsXEmbedBool:
    case NPNVprivateModeBool:
    case NPNVsupportsAdvancedKeyHandling:
    case NPNVsupportsAsyncBitmapSurfaceBool:
    case NPNVsupportsAsyncWindowsDXGISurfaceBool:
    case NPNVmuteAudioBool:
      *static_cast<NPBool*>(out) = false;
      return NPERR_NO_ERROR;
    case NPNVdocumentOrigin: {
      if (s.faults.failOrigin) return NPERR_GENERIC_ERROR;
      // Serialised from the location as Firefox does, unless a test set it; a page whose
      // host is no string has an opaque origin.
      const std::string origin = s.originSet ? s.origin
                                 : NPVARIANT_IS_STRING(s.host) ? s.protocol + "//" + s.hostText.c_str()
                                                               : "null";
      char* text = static_cast<char*>(NPN_MemAlloc(static_cast<uint32_t>(origin.size() + 1)));
      *static_cast<char**>(out) = text;
      if (text == NULL) return NPERR_OUT_OF_MEMORY_ERROR;
      memcpy(text, origin.c_str(), origin.size() + 1);
      return NPERR_NO_ERROR;
    }
    case NPNVCSSZoomFactor:
      *static_cast<double*>(out) = 1.0;
      return NPERR_NO_ERROR;
    default:
      // X11, Java, XPCOM and DOM-interface pointers: nothing a Windows page offers.
      return NPERR_GENERIC_ERROR;
  }
}

// The variables Firefox accepts from a plug-in; each answer is kept for inspection.
NPError NPN_SetValue(NPP, NPPVariable variable, void* value) {
  long number = 0;
  switch (variable) {
    case NPPVpluginWindowBool:
    case NPPVpluginTransparentBool:
    case NPPVpluginKeepLibraryInMemory:
    case NPPVpluginUsesDOMForCursorBool:
    case NPPVpluginIsPlayingAudio:
    case NPPVpluginWantsAllNetworkStreams:
    case NPPVpluginUrlRequestsDisplayedBool:
      // Booleans travel in the pointer itself.
      number = value != NULL ? 1 : 0;
      break;
    case NPPVpluginDrawingModel:
      number = static_cast<long>(reinterpret_cast<intptr_t>(value));
      break;
    default:
      return NPERR_GENERIC_ERROR;
  }
  State& s = state();
  Guard guard(s.lock);
  s.setValues[variable] = number;
  return NPERR_NO_ERROR;
}

// Whether a URL can be a request's at all, as Firefox parses it: relative, or of a
// scheme, and with an authority, a host and a port of digits up to 65535 (so that
// "http://localhost:-8/" is none).
bool wellFormed(const char* url) {
  std::string text(url);
  size_t colon = text.find(':');
  if (urlScheme(text).empty() || text.compare(colon + 1, 2, "//") != 0) return true;
  size_t start = colon + 3;
  size_t end = text.find_first_of("/?#", start);
  std::string authority = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  authority = authority.substr(authority.rfind('@') == std::string::npos ? 0 : authority.rfind('@') + 1);
  size_t portAt = authority.rfind(':');
  if (portAt == std::string::npos || authority.find(']', portAt) != std::string::npos) return true;
  std::string port = authority.substr(portAt + 1);
  if (port.empty()) return true;
  if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
  return strtoul(port.c_str(), NULL, 10) <= 65535;
}

NPError NPN_RequestUrl(NPP instance, const char* url, const char* target, bool post,
                       uint32_t length, const char* data, bool dataIsFile, bool notify,
                       void* notifyData) {
  // As in Firefox: a post needs a buffer, even of no bytes; a malformed URL is refused
  // at once, with no notification.
  if (url == NULL || (post && data == NULL)) return NPERR_INVALID_PARAM;
  if (!wellFormed(url)) return NPERR_INVALID_URL;
  const Embedder* page = embedder();
  if (page == NULL || page->requestUrl == NULL) return NPERR_GENERIC_ERROR;
  UrlRequest request = {instance, url, target, post, data, length, dataIsFile, notify, notifyData};
  return page->requestUrl(request);
}

NPError NPN_GetURL(NPP instance, const char* url, const char* target) {
  return NPN_RequestUrl(instance, url, target, false, 0, NULL, false, false, NULL);
}

NPError NPN_GetURLNotify(NPP instance, const char* url, const char* target, void* notifyData) {
  return NPN_RequestUrl(instance, url, target, false, 0, NULL, false, true, notifyData);
}

NPError NPN_PostURL(NPP instance, const char* url, const char* target, uint32_t length,
                    const char* data, NPBool file) {
  return NPN_RequestUrl(instance, url, target, true, length, data, file != 0, false, NULL);
}

NPError NPN_PostURLNotify(NPP instance, const char* url, const char* target, uint32_t length,
                          const char* data, NPBool file, void* notifyData) {
  return NPN_RequestUrl(instance, url, target, true, length, data, file != 0, true, notifyData);
}

// Streams come from the page and are read whole, in order: no byte ranges.
NPError NPN_RequestRead(NPStream*, NPByteRange*) { return NPERR_STREAM_NOT_SEEKABLE; }

// A stream from the plug-in into a window of the page, which the page takes; without
// a page no window shows one. A NULL instance is Firefox's NPERR_INVALID_INSTANCE_ERROR.
NPError NPN_NewStream(NPP instance, NPMIMEType type, const char* target, NPStream** stream) {
  if (stream != NULL) *stream = NULL;
  if (instance == NULL) return NPERR_INVALID_INSTANCE_ERROR;
  if (stream == NULL) return NPERR_INVALID_PARAM;
  const Embedder* page = embedder();
  return page != NULL && page->newStream != NULL ? page->newStream(instance, type, target, stream)
                                                 : NPERR_GENERIC_ERROR;
}

// Answers the bytes taken, or -1, which a plug-in reads as failure, as in Firefox.
int32_t NPN_Write(NPP instance, NPStream* stream, int32_t length, void* buffer) {
  if (instance == NULL || stream == NULL || length < 0 || (buffer == NULL && length > 0)) {
    return -1;
  }
  const Embedder* page = embedder();
  return page != NULL && page->write != NULL ? page->write(instance, stream, length, buffer) : -1;
}

NPError NPN_DestroyStream(NPP instance, NPStream* stream, NPReason reason) {
  const Embedder* page = embedder();
  if (stream == NULL) return NPERR_INVALID_PARAM;
  return page != NULL && page->destroyStream != NULL ? page->destroyStream(instance, stream, reason)
                                                     : NPERR_GENERIC_ERROR;
}

void NPN_Status(NPP, const char* message) {
  State& s = state();
  Guard guard(s.lock);
  ++s.counts.statusMessages;
  s.lastStatus = message != NULL ? message : "";
}

const char* NPN_UserAgent(NPP) { return kUserAgent; }

uint32_t NPN_MemFlush(uint32_t) { return 0; }  // nothing cached to give back
void NPN_ReloadPlugins(NPBool) {}
void* NPN_GetJavaEnv() { return NULL; }
void* NPN_GetJavaPeer(NPP) { return NULL; }

void countInvalidation() {
  State& s = state();
  Guard guard(s.lock);
  ++s.counts.invalidations;
}

void NPN_InvalidateRect(NPP, NPRect*) { countInvalidation(); }
void NPN_InvalidateRegion(NPP, NPRegion) { countInvalidation(); }
void NPN_ForceRedraw(NPP) { countInvalidation(); }

void NPN_PushPopupsEnabledState(NPP, NPBool) {
  State& s = state();
  Guard guard(s.lock);
  ++s.counts.popupStatePushes;
  ++s.popupDepth;
}

void NPN_PopPopupsEnabledState(NPP) {
  State& s = state();
  Guard guard(s.lock);
  if (s.popupDepth == 0) return;
  --s.popupDepth;
  ++s.counts.popupStatePops;
}

void NPN_PluginThreadAsyncCall(NPP instance, void (*call)(void*), void* data) {
  const Embedder* page = embedder();
  if (call != NULL && page != NULL && page->asyncCall != NULL) {
    page->asyncCall(instance, call, data);
  }
}

// No cookies and a direct connection: the page is served from files.
NPError NPN_GetValueForURL(NPP, NPNURLVariable variable, const char* url, char** value,
                           uint32_t* length) {
  if (url == NULL || value == NULL || length == NULL) return NPERR_INVALID_PARAM;
  *value = NULL;
  *length = 0;
  if (variable != NPNURLVProxy) return NPERR_GENERIC_ERROR;
  static const char kDirect[] = "DIRECT";
  *value = static_cast<char*>(NPN_MemAlloc(sizeof kDirect));
  if (*value == NULL) return NPERR_OUT_OF_MEMORY_ERROR;
  memcpy(*value, kDirect, sizeof kDirect);
  *length = sizeof kDirect - 1;
  return NPERR_NO_ERROR;
}

NPError NPN_SetValueForURL(NPP, NPNURLVariable variable, const char* url, const char*, uint32_t) {
  if (url == NULL) return NPERR_INVALID_PARAM;
  return variable == NPNURLVCookie ? NPERR_NO_ERROR : NPERR_GENERIC_ERROR;
}

NPError NPN_GetAuthenticationInfo(NPP, const char*, const char*, int32_t, const char*, const char*,
                                  char** user, uint32_t* userLength, char** password,
                                  uint32_t* passwordLength) {
  if (user != NULL) *user = NULL;
  if (password != NULL) *password = NULL;
  if (userLength != NULL) *userLength = 0;
  if (passwordLength != NULL) *passwordLength = 0;
  return NPERR_GENERIC_ERROR;
}

uint32_t NPN_ScheduleTimer(NPP instance, uint32_t interval, NPBool repeat,
                           void (*fire)(NPP, uint32_t)) {
  const Embedder* page = embedder();
  if (fire == NULL || page == NULL || page->scheduleTimer == NULL) return 0;
  return page->scheduleTimer(instance, interval, repeat != 0, fire);
}

void NPN_UnscheduleTimer(NPP instance, uint32_t timer) {
  const Embedder* page = embedder();
  if (page != NULL && page->unscheduleTimer != NULL) page->unscheduleTimer(instance, timer);
}

// Firefox on Windows: context menus and coordinate conversion are Mac OS services.
NPError NPN_PopUpContextMenu(NPP, NPMenu*) { return NPERR_GENERIC_ERROR; }
NPBool NPN_ConvertPoint(NPP, double, double, NPCoordinateSpace, double*, double*,
                        NPCoordinateSpace) {
  return false;
}
NPBool NPN_HandleEvent(NPP, void*, NPBool) { return false; }
NPBool NPN_UnfocusInstance(NPP, NPFocusDirection) { return false; }
void NPN_URLRedirectResponse(NPP, void*, NPBool) {}
NPError NPN_InitAsyncSurface(NPP, NPSize*, NPImageFormat, void*, NPAsyncSurface*) {
  return NPERR_GENERIC_ERROR;
}
NPError NPN_FinalizeAsyncSurface(NPP, NPAsyncSurface*) { return NPERR_GENERIC_ERROR; }
void NPN_SetCurrentAsyncSurface(NPP, NPAsyncSurface*, NPRect*) {}

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
  t.geturl = NPN_GetURL;
  t.posturl = NPN_PostURL;
  t.requestread = NPN_RequestRead;
  t.newstream = NPN_NewStream;
  t.write = NPN_Write;
  t.destroystream = NPN_DestroyStream;
  t.status = NPN_Status;
  t.uagent = NPN_UserAgent;
  t.memflush = NPN_MemFlush;
  t.reloadplugins = NPN_ReloadPlugins;
  t.getJavaEnv = NPN_GetJavaEnv;
  t.getJavaPeer = NPN_GetJavaPeer;
  t.geturlnotify = NPN_GetURLNotify;
  t.posturlnotify = NPN_PostURLNotify;
  t.setvalue = NPN_SetValue;
  t.invalidaterect = NPN_InvalidateRect;
  t.invalidateregion = NPN_InvalidateRegion;
  t.forceredraw = NPN_ForceRedraw;
  t.evaluate = NPN_Evaluate;
  t.pushpopupsenabledstate = NPN_PushPopupsEnabledState;
  t.poppopupsenabledstate = NPN_PopPopupsEnabledState;
  t.pluginthreadasynccall = NPN_PluginThreadAsyncCall;
  t.getvalueforurl = NPN_GetValueForURL;
  t.setvalueforurl = NPN_SetValueForURL;
  t.getauthenticationinfo = NPN_GetAuthenticationInfo;
  t.scheduletimer = NPN_ScheduleTimer;
  t.unscheduletimer = NPN_UnscheduleTimer;
  t.popupcontextmenu = NPN_PopUpContextMenu;
  t.convertpoint = NPN_ConvertPoint;
  t.handleevent = NPN_HandleEvent;
  t.unfocusinstance = NPN_UnfocusInstance;
  t.urlredirectresponse = NPN_URLRedirectResponse;
  t.initasyncsurface = NPN_InitAsyncSurface;
  t.finalizeasyncsurface = NPN_FinalizeAsyncSurface;
  t.setcurrentasyncsurface = NPN_SetCurrentAsyncSurface;
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

const char kUserAgent[] = "Mozilla/5.0 (Windows NT 6.1; rv:52.0) Gecko/20100101 Firefox/52.0";

NPNetscapeFuncs* functions() { return &table; }

void setEmbedder(const Embedder* embedder) {
  State& s = state();
  Guard guard(s.lock);
  s.embedder = embedder;
}

void setOrigin(const std::string& origin) {
  State& s = state();
  Guard guard(s.lock);
  s.origin = origin;
  s.originSet = true;
}

std::string lastStatus() {
  State& s = state();
  Guard guard(s.lock);
  return s.lastStatus;
}

long lastSetValue(NPPVariable variable) {
  State& s = state();
  Guard guard(s.lock);
  auto found = s.setValues.find(variable);
  return found != s.setValues.end() ? found->second : -1;
}

bool takeException(std::string* message) {
  State& s = state();
  Guard guard(s.lock);
  if (!s.exceptionPending) return false;
  s.exceptionPending = false;
  *message = s.lastException;
  return true;
}

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
  s.exceptionPending = false;
  s.lastStatus.clear();
  s.setValues.clear();
  s.popupDepth = 0;
  s.owed.clear();
  s.origin.clear();
  s.originSet = false;
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
  settleOwed(resourceOf(*value));
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
  // The browser calls the class itself: the result is its own, not handed out.
  NPClass* c = classOf(object);
  return c != NULL && c->invoke != NULL &&
         c->invoke(object, identifier(method), args, argCount, result);
}

std::string urlScheme(const std::string& url) {
  size_t colon = url.find(':');
  if (colon == std::string::npos || colon < 2) return std::string();  // "C:" is a drive
  std::string scheme;
  for (size_t i = 0; i < colon; ++i) {
    char c = url[i];
    bool ok =
        isalpha(static_cast<unsigned char>(c)) ||
        (i > 0 && (isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.'));
    if (!ok) return std::string();
    scheme += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  }
  return scheme;
}

}  // namespace browser
