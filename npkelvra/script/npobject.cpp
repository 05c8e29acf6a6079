#include "script/npobject.h"

#include <stddef.h>
#include <string.h>

#include "base/browser.h"
#include "base/session.h"
#include "diag/ProxyState.h"
#include "script/methods.h"

namespace {

struct MethodEntry {
  const char* name;
  MethodHandler handler;
};

// Sorted by name, byte by byte as strcmp orders them, for a binary search. Constant
// data: the table needs no building, so no call can find it missing or fail to make it.
constexpr MethodEntry methodTable[] = {
    {"BringAppToFront", invokeKelvraAdapterBringAppToFront},
    {"DeleteKeyValue", invokeKelvraAdapterDeleteKeyValue},
    {"GetKeyValue", invokeKelvraAdapterGetKeyValue},
    {"Get_GameStarted", invokeKelvraAdapterGet_IsGameStarted},
    {"Get_InstallHost", invokeKelvraAdapterGet_InstallHost},
    {"Get_IsUpToDate", invokeKelvraAdapterGet_IsUpToDate},
    {"Hello", invokeKelvraAdapterHello},
    {"HelloWorld", invokeKelvraAdapterHelloWorld},
    {"PreStartGame", invokeKelvraAdapterPreStartGame},
    {"Put_AuthenticationTicket", invokeKelvraAdapterPut_AuthenticationTicket},
    {"ResetLaunchState", invokeKelvraAdapterResetLaunchState},
    {"SetEditMode", invokeKelvraAdapterSetEditMode},
    {"SetKeyValue", invokeKelvraAdapterSetKeyValue},
    {"SetSilentModeEnabled", invokeKelvraAdapterGet_SetSilentModeEnabled},
    {"SetStartInHiddenMode", invokeKelvraAdapterGet_SetStartInHiddenMode},
    {"StartGame", invokeKelvraAdapterStartGame},
    {"UnhideApp", invokeKelvraAdapterGet_UnhideApp},
    {"Update", invokeKelvraAdapterUpdate},
};
constexpr size_t kMethodCount = sizeof methodTable / sizeof methodTable[0];

constexpr bool namesAscend(const char* a, const char* b) {
  return *a != *b ? static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b)
                  : *a != '\0' && namesAscend(a + 1, b + 1);
}
constexpr bool tableSorted(const MethodEntry* table, size_t count) {
  return count < 2 || (namesAscend(table[0].name, table[1].name) && tableSorted(table + 1, count - 1));
}
static_assert(kMethodCount == 18, "eighteen script methods");
static_assert(tableSorted(methodTable, kMethodCount), "sorted for the binary search");

// The handler for the identifier's text, or NULL. The text is the browser's block,
// given back with memfree.
MethodHandler findHandler(NPIdentifier name) {
  NPUTF8* text = npnfuncs->utf8fromidentifier(name);
  if (text == NULL) return NULL;
  MethodHandler handler = NULL;
  size_t low = 0;
  size_t high = kMethodCount;
  while (low < high) {
    const size_t mid = low + (high - low) / 2;
    const int order = strcmp(methodTable[mid].name, text);
    if (order == 0) {
      handler = methodTable[mid].handler;
      break;
    }
    if (order < 0) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  npnfuncs->memfree(text);
  return handler;
}

bool hasMethod(NPObject*, NPIdentifier) {
  proxyState.logMessage("hasMethod");
  // True for every name, so that script cannot probe which methods exist.
  return onSessionThread("hasMethod");
}

bool invoke(NPObject* object, NPIdentifier name, const NPVariant* args, uint32_t argCount,
            NPVariant* result) {
  proxyState.logMessage("invoke");
  // After NP_Shutdown there is no browser to ask for the name, nor to tell; on a stray
  // thread the table may be cleared under the call.
  if (!onSessionThread("invoke")) return false;
  SessionCall call;
  MethodHandler handler = findHandler(name);
  if (handler == NULL) {
    npnfuncs->setexception(object, "exception during invocation");
    return false;
  }
  return handler(object, args, argCount, result);
}

bool invokeDefault(NPObject*, const NPVariant*, uint32_t, NPVariant* result) {
  proxyState.logMessage("invokeDefault");
  if (!onSessionThread("invokeDefault")) return false;
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
