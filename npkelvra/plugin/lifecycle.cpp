#include "plugin/lifecycle.h"

#include <stdlib.h>

#include "base/browser.h"
#include "base/registry.h"
#include "base/session.h"
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

  // Whether the browser destroyed the instance, or shut the module down, from inside
  // one of NPP_New's calls out.
  PendingInstance now() const { return readPendingInstance(&pending_); }

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

// NPP_New's answer when it was overtaken, or NPERR_NO_ERROR to go on.
NPError abandonIfOvertaken(const PendingScope& pending, NP_KELVRA_INSTANCE* record) {
  const PendingInstance state = pending.now();
  if (!state.destroyed && !state.shutDown) return NPERR_NO_ERROR;
  proxyState.logMessage(state.shutDown ? "newv NP_Shutdown during NPP_New: nothing registered"
                                       : "newv NPP_Destroy during NPP_New: nothing registered");
  if (record != NULL) discardRecord(record);
  // After a shutdown the module answers as before NP_Initialize.
  return state.shutDown ? NPERR_GENERIC_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}

}  // namespace

NPError NPP_New(NPMIMEType, NPP instance, uint16_t, int16_t, char*[], char*[], NPSavedData*) {
  proxyState.logMessage("newv");
  // No session here: NP_Initialize has not succeeded, NP_Shutdown came or waits for the
  // call under way to return (a browser creating an embedding from inside it), or the
  // call came on a stray thread.
  if (!sessionOpen("newv")) return NPERR_GENERIC_ERROR;
  SessionCall call;
  PendingScope pending(instance);
  bool isKelvraHost = isHostAllowed(instance, allowedDomain);
  if (!isKelvraHost) {
    proxyState.logMessage("newv isKelvraHost = FALSE");
    return NPERR_NO_ERROR;
  }
  NPError overtaken = abandonIfOvertaken(pending, NULL);
  if (overtaken != NPERR_NO_ERROR) return overtaken;
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
  overtaken = abandonIfOvertaken(pending, record);
  if (overtaken != NPERR_NO_ERROR) return overtaken;
  record->npobject = npnfuncs->createobject(instance, &npcRefObject);
  if (record->npobject == NULL) {
    proxyState.logMessage("newv npnfuncs->createobject(instance, &npcRefObject) = NULL");
    discardRecord(record);
    return NPERR_INVALID_INSTANCE_ERROR;
  }
  overtaken = abandonIfOvertaken(pending, record);
  if (overtaken != NPERR_NO_ERROR) return overtaken;
  if (!addRecord(record)) {
    proxyState.logMessage("newv objList.push_back(record) -> out of memory");
    discardRecord(record);
    return NPERR_OUT_OF_MEMORY_ERROR;
  }
  return NPERR_NO_ERROR;
}

NPError NPP_Destroy(NPP instance, NPSavedData**) {
  proxyState.logMessage("destroy");
  if (!onSessionThread("destroy")) return NPERR_INVALID_INSTANCE_ERROR;
  SessionCall call;
  NP_KELVRA_INSTANCE* record = removeRecordByInstance(instance);
  if (record == NULL) {
    // Re-entered from an NPP_New of this instance: that NPP_New takes its parts down.
    return markPendingInstanceDestroyed(instance) ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
  }
  record->launcher->Release();
  npnfuncs->releaseobject(record->npobject);
  free(record);
  return NPERR_NO_ERROR;
}

NPError getScriptableObject(NPP instance, void* value) {
  if (!onSessionThread("getvalue - scriptable object")) return NPERR_INVALID_INSTANCE_ERROR;
  NP_KELVRA_INSTANCE* record = findRecordByInstance(instance);
  proxyState.logMessage("getvalue - scriptable object : NPP instance=%p objList.find(instance)=%p",
                        static_cast<void*>(instance), static_cast<void*>(record));
  if (record == NULL) return NPERR_INVALID_INSTANCE_ERROR;
  if (value == NULL) return NPERR_INVALID_PARAM;
  // The browser owns this reference; the record keeps its own.
  *static_cast<NPObject**>(value) = npnfuncs->retainobject(record->npobject);
  return NPERR_NO_ERROR;
}

void forgetRecords() {
  // Launchers go while COM is still up; the objects are the browser's to sweep.
  const bool releasable = holdsComOnThisThread();
  markPendingInstancesShutDown();
  for (NP_KELVRA_INSTANCE* record = removeFirstRecord(); record != NULL; record = removeFirstRecord()) {
    if (releasable) record->launcher->Release();
    free(record);
  }
}
