#include "plugin/registry.h"

#include <new>

#include "diag/ProxyState.h"
#include "launcher/IKelvraLauncher.h"

namespace {

// Holds the registry mutex for one operation. The wait has no time-out; when the
// mutex could not be created the wait fails at once and the single plug-in thread
// runs unlocked.
class RegistryLock {
public:
  RegistryLock() { WaitForSingleObject(proxyState.registryMutex, INFINITE); }
  ~RegistryLock() { ReleaseMutex(proxyState.registryMutex); }
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;
};

// The one walk behind every lookup: the first record whose field equals the key,
// compared by pointer value only. The caller holds the lock.
template <typename Key>
std::list<NP_KELVRA_INSTANCE*>::iterator findRecord(Key NP_KELVRA_INSTANCE::*field, Key key) {
  std::list<NP_KELVRA_INSTANCE*>& records = proxyState.objList;
  for (auto cursor = records.begin(); cursor != records.end(); ++cursor) {
    if ((*cursor)->*field == key) return cursor;
  }
  return records.end();
}

// The NPP_New calls still in progress, the latest first. Guarded by the registry lock.
PendingInstance* pendingInstances = NULL;

}  // namespace

bool addRecord(NP_KELVRA_INSTANCE* record) {
  RegistryLock lock;
  try {
    proxyState.objList.push_back(record);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

NP_KELVRA_INSTANCE* findRecordByInstance(NPP instance) {
  RegistryLock lock;
  auto found = findRecord(&NP_KELVRA_INSTANCE::instance, instance);
  return found == proxyState.objList.end() ? NULL : *found;
}

IKelvraLauncher* findLauncherByObject(NPObject* object) {
  RegistryLock lock;
  auto found = findRecord(&NP_KELVRA_INSTANCE::npobject, object);
  if (found == proxyState.objList.end()) return NULL;
  IKelvraLauncher* launcher = (*found)->launcher;
  if (launcher != NULL) launcher->AddRef();
  return launcher;
}

NP_KELVRA_INSTANCE* removeRecordByInstance(NPP instance) {
  RegistryLock lock;
  auto found = findRecord(&NP_KELVRA_INSTANCE::instance, instance);
  if (found == proxyState.objList.end()) return NULL;
  NP_KELVRA_INSTANCE* record = *found;
  proxyState.objList.erase(found);
  return record;
}

IKelvraLauncher* takeRegisteredLauncher() {
  RegistryLock lock;
  for (NP_KELVRA_INSTANCE* record : proxyState.objList) {
    if (record->launcher == NULL) continue;
    IKelvraLauncher* launcher = record->launcher;
    record->launcher = NULL;
    return launcher;
  }
  return NULL;
}

void beginPendingInstance(PendingInstance* pending, NPP instance) {
  RegistryLock lock;
  pending->instance = instance;
  pending->destroyed = false;
  pending->next = pendingInstances;
  pendingInstances = pending;
}

bool isPendingInstanceDestroyed(const PendingInstance* pending) {
  RegistryLock lock;
  return pending->destroyed;
}

void endPendingInstance(PendingInstance* pending) {
  RegistryLock lock;
  for (PendingInstance** link = &pendingInstances; *link != NULL; link = &(*link)->next) {
    if (*link == pending) {
      *link = pending->next;
      return;
    }
  }
}

bool markPendingInstanceDestroyed(NPP instance) {
  RegistryLock lock;
  for (PendingInstance* pending = pendingInstances; pending != NULL; pending = pending->next) {
    if (pending->instance == instance && !pending->destroyed) {
      pending->destroyed = true;
      return true;
    }
  }
  return false;
}
