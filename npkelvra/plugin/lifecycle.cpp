#include "plugin/lifecycle.h"

#include <stdlib.h>

#include "diag/ProxyState.h"
#include "launcher/launcher.h"
#include "plugin/browser.h"
#include "plugin/hostcheck.h"
#include "plugin/registry.h"
#include "script/npobject.h"

NPError NPP_New(NPMIMEType, NPP instance, uint16_t, int16_t, char*[], char*[], NPSavedData*) {
  proxyState.logMessage("newv");
  bool isKelvraHost = isHostAllowed(instance, allowedDomain);
  if (!isKelvraHost) {
    proxyState.logMessage("newv isKelvraHost = FALSE");
    return NPERR_NO_ERROR;
  }
  NP_KELVRA_INSTANCE* record = static_cast<NP_KELVRA_INSTANCE*>(malloc(sizeof(NP_KELVRA_INSTANCE)));
  if (record == NULL) {
    proxyState.logMessage("newv malloc(sizeof(NP_KELVRA_INSTANCE) -> NULL");
    return NPERR_OUT_OF_MEMORY_ERROR;
  }
  record->instance = instance;
  record->launcher = GetIKelvraLauncherInstance();
  if (record->launcher == NULL) {
    proxyState.logMessage("newv GetIKelvraLauncherInstance() = NULL");
    free(record);
    return NPERR_INVALID_INSTANCE_ERROR;
  }
  record->npobject = npnfuncs->createobject(instance, &npcRefObject);
  if (record->npobject == NULL) {
    proxyState.logMessage("newv npnfuncs->createobject(instance, &npcRefObject) = NULL");
    record->launcher->Release();
    free(record);
    return NPERR_INVALID_INSTANCE_ERROR;
  }
  addRecord(record);
  return NPERR_NO_ERROR;
}

NPError NPP_Destroy(NPP instance, NPSavedData**) {
  proxyState.logMessage("destroy");
  NP_KELVRA_INSTANCE* record = removeRecordByInstance(instance);
  if (record == NULL) return NPERR_INVALID_INSTANCE_ERROR;
  record->launcher->Release();
  npnfuncs->releaseobject(record->npobject);
  free(record);
  return NPERR_NO_ERROR;
}

NPError getScriptableObject(NPP instance, void* value) {
  NP_KELVRA_INSTANCE* record = findRecordByInstance(instance);
  proxyState.logMessage("getvalue - scriptable object : NPP instance=%p objList.find(instance)=%p",
                        static_cast<void*>(instance), static_cast<void*>(record));
  if (record == NULL) return NPERR_INVALID_INSTANCE_ERROR;
  if (value == NULL) return NPERR_INVALID_PARAM;
  // The browser owns this reference; the record keeps its own.
  *static_cast<NPObject**>(value) = npnfuncs->retainobject(record->npobject);
  return NPERR_NO_ERROR;
}
