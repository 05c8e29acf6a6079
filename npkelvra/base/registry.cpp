#include "base/registry.h"

#include <iterator>
#include <new>

#include "base/IKelvraLauncher.h"
#include "diag/ProxyState.h"

namespace {

// Holds the registry lock for one operation, with no time-out. When the lock could
// not be initialised the single plug-in thread runs unlocked.
class RegistryLock {
public:
  RegistryLock() : held_(proxyState.registryLockReady) {
    if (held_) EnterCriticalSection(&proxyState.registryLock);
  }
  ~RegistryLock() {
    if (held_) LeaveCriticalSection(&proxyState.registryLock);
  }
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;

private:
  const bool held_;
};

typedef std::list<NP_KELVRA_INSTANCE*>::iterator Cursor;

// The walk behind the lookups by instance: the first record from `from` on whose field
// equals the key, compared by pointer value only. The caller holds the lock.
template <typename Key>
Cursor findRecord(Key NP_KELVRA_INSTANCE::*field, Key key, Cursor from) {
  for (Cursor cursor = from; cursor != proxyState.objList.end(); ++cursor) {
    if ((*cursor)->*field == key) return cursor;
  }
  return proxyState.objList.end();
}

// By scriptable object, the key of every script call: through the index of first
// records rather than along the list.
Cursor findRecordByObject(NPObject* object) {
  auto found = proxyState.firstByObject.find(object);
  return found == proxyState.firstByObject.end() ? proxyState.objList.end() : found->second;
}

// The NPP_New calls still in progress, the latest first. Guarded by the registry lock.
PendingInstance* pendingInstances = NULL;

}  // namespace

bool addRecord(NP_KELVRA_INSTANCE* record) {
  RegistryLock lock;
  std::list<NP_KELVRA_INSTANCE*>& records = proxyState.objList;
  try {
    records.push_back(record);
  } catch (const std::bad_alloc&) {
    return false;
  }
  try {
    // An object already listed keeps its earlier record as its first.
    proxyState.firstByObject.emplace(record->npobject, std::prev(records.end()));
  } catch (const std::bad_alloc&) {
    // The registry stays as it was.
    records.pop_back();
    return false;
  }
  return true;
}

NP_KELVRA_INSTANCE* findRecordByInstance(NPP instance) {
  RegistryLock lock;
  auto found = findRecord(&NP_KELVRA_INSTANCE::instance, instance, proxyState.objList.begin());
  return found == proxyState.objList.end() ? NULL : *found;
}

IKelvraLauncher* findLauncherByObject(NPObject* object) {
  RegistryLock lock;
  auto found = findRecordByObject(object);
  if (found == proxyState.objList.end()) return NULL;
  IKelvraLauncher* launcher = (*found)->launcher;
  if (launcher != NULL) launcher->AddRef();
  return launcher;
}

NP_KELVRA_INSTANCE* removeRecordByInstance(NPP instance) {
  RegistryLock lock;
  auto found = findRecord(&NP_KELVRA_INSTANCE::instance, instance, proxyState.objList.begin());
  if (found == proxyState.objList.end()) return NULL;
  NP_KELVRA_INSTANCE* record = *found;
  auto first = proxyState.firstByObject.find(record->npobject);
  if (first != proxyState.firstByObject.end() && first->second == found) {
    // The object's next record, if it has one, becomes its first.
    Cursor next = findRecord(&NP_KELVRA_INSTANCE::npobject, record->npobject, std::next(found));
    if (next == proxyState.objList.end()) {
      proxyState.firstByObject.erase(first);
    } else {
      first->second = next;
    }
  }
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
