#include "plugin/registry.h"

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

}  // namespace

void addRecord(NP_KELVRA_INSTANCE* record) {
  RegistryLock lock;
  proxyState.objList.push_back(record);
}

NP_KELVRA_INSTANCE* findRecordByInstance(NPP instance) {
  RegistryLock lock;
  auto found = findRecord(&NP_KELVRA_INSTANCE::instance, instance);
  return found == proxyState.objList.end() ? NULL : *found;
}

IKelvraLauncher* findLauncherByObject(NPObject* object) {
  RegistryLock lock;
  auto found = findRecord(&NP_KELVRA_INSTANCE::npobject, object);
  return found == proxyState.objList.end() ? NULL : (*found)->launcher;
}

NP_KELVRA_INSTANCE* removeRecordByInstance(NPP instance) {
  RegistryLock lock;
  auto found = findRecord(&NP_KELVRA_INSTANCE::instance, instance);
  if (found == proxyState.objList.end()) return NULL;
  NP_KELVRA_INSTANCE* record = *found;
  proxyState.objList.erase(found);
  return record;
}
