#include "plugin/lifecycle.h"

#include <stdlib.h>

#include "base/browser.h"
#include "base/registry.h"
#include "diag/ProxyState.h"
#include "launcher/launcher.h"
#include "plugin/hostcheck.h"
#include "script/npobject.h"

namespace {

// The instance announced as being created for the length of one NPP_New.
class PendingScope {
public:
  explicit PendingScope(NPP instance) { beginPendingInstance(&pending_, instance); }
  ~PendingScope() { endPendingInstance(&pending_); }
  PendingScope(const PendingScope&) = delete;
  PendingScope& operator=(const PendingScope&) = delete;

  // Whether the browser destroyed the instance from inside one of NPP_New's calls out.
  bool destroyed() const { return isPendingInstanceDestroyed(&pending_); }

private:
  PendingInstance pending_;
};

// Gives back what an NPP_New that registers nothing obtained, launcher first as in
// NPP_Destroy.
void discardRecord(NP_KELVRA_INSTANCE* record) {
  if (record->launcher != NULL) record->launcher->Release();
  if (record->npobject != NULL) npnfuncs->releaseobject(record->npobject);
  free(record);
}

NPError abandonDestroyed(NP_KELVRA_INSTANCE* record) {
  proxyState.logMessage("newv NPP_Destroy during NPP_New: nothing registered");
  if (record != NULL) discardRecord(record);
  return NPERR_INVALID_INSTANCE_ERROR;
}

}  // namespace

NPError NPP_New(NPMIMEType, NPP instance, uint16_t, int16_t, char*[], char*[], NPSavedData*) {
  proxyState.logMessage("newv");
  // No browser table: NP_Initialize has not succeeded.
  if (npnfuncs == NULL) return NPERR_GENERIC_ERROR;
  PendingScope pending(instance);
  bool isKelvraHost = isHostAllowed(instance, allowedDomain);
  if (!isKelvraHost) {
    proxyState.logMessage("newv isKelvraHost = FALSE");
    return NPERR_NO_ERROR;
  }
  if (pending.destroyed()) return abandonDestroyed(NULL);
  NP_KELVRA_INSTANCE* record = static_cast<NP_KELVRA_INSTANCE*>(malloc(sizeof(NP_KELVRA_INSTANCE)));
  if (record == NULL) {
    proxyState.logMessage("newv malloc(sizeof(NP_KELVRA_INSTANCE) -> NULL");
    return NPERR_OUT_OF_MEMORY_ERROR;
  }
  record->instance = instance;
  record->npobject = NULL;
  record->launcher = GetIKelvraLauncherInstance();
  if (record->launcher == NULL) {
    proxyState.logMessage("newv GetIKelvraLauncherInstance() = NULL");
    free(record);
    return NPERR_INVALID_INSTANCE_ERROR;
  }
  if (pending.destroyed()) return abandonDestroyed(record);
  record->npobject = npnfuncs->createobject(instance, &npcRefObject);
  if (record->npobject == NULL) {
    proxyState.logMessage("newv npnfuncs->createobject(instance, &npcRefObject) = NULL");
    discardRecord(record);
    return NPERR_INVALID_INSTANCE_ERROR;
  }
  if (pending.destroyed()) return abandonDestroyed(record);
  if (!addRecord(record)) {
    proxyState.logMessage("newv objList.push_back(record) -> out of memory");
    discardRecord(record);
    return NPERR_OUT_OF_MEMORY_ERROR;
  }
  return NPERR_NO_ERROR;
}

NPError NPP_Destroy(NPP instance, NPSavedData**) {
  proxyState.logMessage("destroy");
  NP_KELVRA_INSTANCE* record = removeRecordByInstance(instance);
  if (record == NULL) {
    // Re-entered from an NPP_New of this instance: that NPP_New takes its parts down.
    return markPendingInstanceDestroyed(instance) ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
  }
  // NP_Shutdown may have released the launcher of a record the browser left behind.
  if (record->launcher != NULL) record->launcher->Release();
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

void releaseLeftoverLaunchers() {
  // One at a time, each Release outside the registry lock.
  for (IKelvraLauncher* launcher = takeRegisteredLauncher(); launcher != NULL;
       launcher = takeRegisteredLauncher()) {
    launcher->Release();
  }
}
