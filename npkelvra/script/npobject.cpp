#include "script/npobject.h"

#include <map>
#include <new>
#include <string>

#include "base/browser.h"
#include "diag/ProxyState.h"
#include "script/methods.h"

namespace {

// Names compare exactly and case-sensitively, byte by byte in place: lookups by C text
// allocate nothing, and measure no length, which the runtime's compare does at every
// step of the descent.
struct NameOrder {
  typedef void is_transparent;
  static bool less(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
      ++a;
      ++b;
    }
    return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b);
  }
  bool operator()(const std::string& a, const std::string& b) const { return less(a.c_str(), b.c_str()); }
  bool operator()(const std::string& a, const char* b) const { return less(a.c_str(), b); }
  bool operator()(const char* a, const std::string& b) const { return less(a, b.c_str()); }
};
typedef std::map<std::string, MethodHandler, NameOrder> MethodTable;

// Built on the first call, destroyed at module unload.
const MethodTable& methodTable() {
  static const MethodTable table = {
      {"HelloWorld", invokeKelvraAdapterHelloWorld},
      {"Hello", invokeKelvraAdapterHello},
      {"StartGame", invokeKelvraAdapterStartGame},
      {"Get_InstallHost", invokeKelvraAdapterGet_InstallHost},
      {"Update", invokeKelvraAdapterUpdate},
      {"Put_AuthenticationTicket", invokeKelvraAdapterPut_AuthenticationTicket},
      {"Get_GameStarted", invokeKelvraAdapterGet_IsGameStarted},
      {"SetSilentModeEnabled", invokeKelvraAdapterGet_SetSilentModeEnabled},
      {"SetStartInHiddenMode", invokeKelvraAdapterGet_SetStartInHiddenMode},
      {"UnhideApp", invokeKelvraAdapterGet_UnhideApp},
      {"DeleteKeyValue", invokeKelvraAdapterDeleteKeyValue},
      {"Get_IsUpToDate", invokeKelvraAdapterGet_IsUpToDate},
      {"PreStartGame", invokeKelvraAdapterPreStartGame},
      {"GetKeyValue", invokeKelvraAdapterGetKeyValue},
      {"SetKeyValue", invokeKelvraAdapterSetKeyValue},
      {"BringAppToFront", invokeKelvraAdapterBringAppToFront},
      {"ResetLaunchState", invokeKelvraAdapterResetLaunchState},
      {"SetEditMode", invokeKelvraAdapterSetEditMode},
  };
  return table;
}

// The handler for the identifier's text, or NULL. The text is the caller's to free.
MethodHandler findHandler(NPIdentifier name) {
  NPUTF8* text = npnfuncs->utf8fromidentifier(name);
  if (text == NULL) return NULL;
  MethodHandler handler = NULL;
  try {
    const MethodTable& table = methodTable();
    MethodTable::const_iterator found = table.find(text);
    if (found != table.end()) handler = found->second;
  } catch (const std::bad_alloc&) {
    // The table could not be built this time; the call is refused like an unknown name.
  }
  npnfuncs->memfree(text);
  return handler;
}

bool hasMethod(NPObject*, NPIdentifier) {
  // True for every name, so that script cannot probe which methods exist.
  proxyState.logMessage("hasMethod");
  return true;
}

bool invoke(NPObject* object, NPIdentifier name, const NPVariant* args, uint32_t argCount,
            NPVariant* result) {
  proxyState.logMessage("invoke");
  MethodHandler handler = findHandler(name);
  if (handler == NULL) {
    npnfuncs->setexception(object, "exception during invocation");
    return false;
  }
  return handler(object, args, argCount, result);
}

bool invokeDefault(NPObject*, const NPVariant*, uint32_t, NPVariant* result) {
  proxyState.logMessage("invokeDefault");
  INT32_TO_NPVARIANT(42, *result);
  return true;
}

bool hasProperty(NPObject*, NPIdentifier) {
  proxyState.logMessage("hasProperty");
  return false;
}

bool getProperty(NPObject*, NPIdentifier, NPVariant*) {
  proxyState.logMessage("getProperty");
  return false;
}

}  // namespace

NPClass npcRefObject = {
    NP_CLASS_STRUCT_VERSION,
    NULL,  // allocate: the browser allocates a plain object
    NULL,  // deallocate
    NULL,  // invalidate
    hasMethod,
    invoke,
    invokeDefault,
    hasProperty,
    getProperty,
    NULL,  // setProperty
    NULL,  // removeProperty
    NULL,  // enumerate
    NULL,  // construct
};
