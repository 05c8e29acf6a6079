// The module's face to the browser: the four exports, the identity answers of
// NPP_GetValue, and the window and event callbacks.
#include <stddef.h>

#include "base/browser.h"
#include "base/session.h"
#include "diag/ProxyState.h"
#include "identity.h"
#include "plugin/lifecycle.h"

namespace {

const char pluginName[] = KELVRA_PLUGIN_NAME;
const char pluginDescription[] = KELVRA_PLUGIN_DESCRIPTION;
const char mimeDescription[] = KELVRA_MIME_DESCRIPTION;

// NPAPI 0.19: the first version with the scripting runtime the module relies on.
const uint16_t kPluginApiVersion = (0 << 8) | 19;

// The table must reach the last service the module calls.
const size_t kServicesEnd = offsetof(NPNetscapeFuncs, setexception) + sizeof(void*);
// The browser's table must reach the last callback the module fills in.
const size_t kCallbacksEnd = offsetof(NPPluginFuncs, getvalue) + sizeof(void*);

}  // namespace

// The callbacks below are declared by npapi.h, with C linkage.
NPError NPP_GetValue(NPP instance, NPPVariable variable, void* value) {
  if (variable == NPPVpluginScriptableNPObject) return getScriptableObject(instance, value);
  const char* line;
  const char* text = NULL;
  switch (variable) {
    case NPPVpluginNameString:
      line = "getvalue - name string";
      text = pluginName;
      break;
    case NPPVpluginDescriptionString:
      line = "getvalue - description string";
      text = pluginDescription;
      break;
    case NPPVpluginNeedsXEmbed:
      line = "getvalue - xembed";
      break;
    default:
      proxyState.logMessage("getvalue - default");
      return NPERR_GENERIC_ERROR;
  }
  proxyState.logMessage("%s", line);
  if (value == NULL) return NPERR_INVALID_PARAM;
  if (text != NULL) {
    *static_cast<const char**>(value) = text;
  } else {
    // The browser passes the address of one NPBool.
    *static_cast<NPBool*>(value) = 0;
  }
  return NPERR_NO_ERROR;
}

NPError NPP_SetWindow(NPP, NPWindow*) {
  proxyState.logMessage("setWindow");
  return NPERR_NO_ERROR;
}

int16_t NPP_HandleEvent(NPP, void*) {
  proxyState.logMessage("handleEvent");
  return 0;
}

extern "C" {

NPError OSCALL NP_GetEntryPoints(NPPluginFuncs* pFuncs) {
  proxyState.logMessage("NP_GetEntryPoints");
  if (pFuncs == NULL || pFuncs->size < kCallbacksEnd) return NPERR_INVALID_FUNCTABLE_ERROR;
  pFuncs->version = kPluginApiVersion;
  pFuncs->newp = NPP_New;
  pFuncs->destroy = NPP_Destroy;
  pFuncs->setwindow = NPP_SetWindow;
  pFuncs->event = NPP_HandleEvent;
  pFuncs->getvalue = NPP_GetValue;
  return NPERR_NO_ERROR;
}

NPError OSCALL NP_Initialize(NPNetscapeFuncs* bFuncs) {
  proxyState.logMessage("NPKelvraProxy: NP_Initialize");
  if (bFuncs == NULL) return NPERR_INVALID_FUNCTABLE_ERROR;
  if ((bFuncs->version >> 8) > NP_VERSION_MAJOR) return NPERR_INCOMPATIBLE_VERSION_ERROR;
  if (bFuncs->size < kServicesEnd) return NPERR_INVALID_FUNCTABLE_ERROR;
  beginSession(bFuncs);
  proxyState.logMessage(isComInitialized() ? "CoInitialize Ok" : "CoInitialize fail");
  return NPERR_NO_ERROR;
}

NPError OSCALL NP_Shutdown(void) {
  proxyState.logMessage("NPKelvraProxy: NP_Shutdown");
  // Only the thread that began the session ends it.
  if (!onSessionThread("NP_Shutdown")) return NPERR_NO_ERROR;
  forgetRecords();
  if (endSession()) proxyState.logMessage("NP_Shutdown during a call: COM stays up until it returns");
  return NPERR_NO_ERROR;
}

const char* NP_GetMIMEDescription(void) {
  proxyState.logMessage("NPKelvraProxy: NP_GetMIMEDescription");
  return mimeDescription;
}

}  // extern "C"
