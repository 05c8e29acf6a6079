#include "base/registry.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

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

// The walk behind the lookups by instance: the first node from `from` on whose record's
// field equals the key, compared by pointer value only. The caller holds the lock.
template <typename Key>
RecordNode* findNode(Key NP_KELVRA_INSTANCE::*field, Key key, RecordNode* from) {
  for (RecordNode* node = from; node != NULL; node = node->next) {
    if (node->record->*field == key) return node;
  }
  return NULL;
}

// Where `object` stands in the index, or where it would go.
size_t indexPosition(const NPObject* object) {
  const ObjectIndex& index = proxyState.firstByObject;
  const uintptr_t key = reinterpret_cast<uintptr_t>(object);
  size_t low = 0;
  size_t high = index.count;
  while (low < high) {
    const size_t mid = low + (high - low) / 2;
    if (reinterpret_cast<uintptr_t>(index.entries[mid].object) < key) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

ObjectIndexEntry* indexEntry(const NPObject* object) {
  ObjectIndex& index = proxyState.firstByObject;
  const size_t at = indexPosition(object);
  return at < index.count && index.entries[at].object == object ? &index.entries[at] : NULL;
}

// Room for one more entry; false when the index cannot grow.
bool reserveIndexEntry() {
  ObjectIndex& index = proxyState.firstByObject;
  if (index.count < index.capacity) return true;
  const size_t capacity = index.capacity == 0 ? 8 : 2 * index.capacity;
  if (capacity > SIZE_MAX / sizeof(ObjectIndexEntry)) return false;
  ObjectIndexEntry* grown = static_cast<ObjectIndexEntry*>(malloc(capacity * sizeof(ObjectIndexEntry)));
  if (grown == NULL) return false;
  if (index.count != 0) memcpy(grown, index.entries, index.count * sizeof(ObjectIndexEntry));
  free(index.entries);
  index.entries = grown;
  index.capacity = capacity;
  return true;
}

// Takes the node's record out of the registry, keeping the index right; the caller holds
// the lock and owns the record from then on.
NP_KELVRA_INSTANCE* takeNode(RecordNode* node) {
  NP_KELVRA_INSTANCE* record = node->record;
  ObjectIndexEntry* first = indexEntry(record->npobject);
  if (first != NULL && first->node == node) {
    // The object's next record, if it has one, becomes its first.
    RecordNode* next = findNode(&NP_KELVRA_INSTANCE::npobject, record->npobject, node->next);
    if (next != NULL) {
      first->node = next;
    } else {
      ObjectIndex& index = proxyState.firstByObject;
      const size_t at = static_cast<size_t>(first - index.entries);
      memmove(first, first + 1, (index.count - at - 1) * sizeof(ObjectIndexEntry));
      --index.count;
    }
  }
  RecordList& list = proxyState.objList;
  (node->prev != NULL ? node->prev->next : list.first) = node->next;
  (node->next != NULL ? node->next->prev : list.last) = node->prev;
  free(node);
  return record;
}

// The NPP_New calls still in progress, the latest first. Guarded by the registry lock.
PendingInstance* pendingInstances = NULL;

}  // namespace

bool addRecord(NP_KELVRA_INSTANCE* record) {
  RegistryLock lock;
  RecordNode* node = static_cast<RecordNode*>(malloc(sizeof(RecordNode)));
  if (node == NULL) return false;
  // An object already listed keeps its earlier record as its first.
  ObjectIndex& index = proxyState.firstByObject;
  const size_t at = indexPosition(record->npobject);
  if (at == index.count || index.entries[at].object != record->npobject) {
    if (!reserveIndexEntry()) {
      free(node);
      return false;
    }
    memmove(&index.entries[at + 1], &index.entries[at], (index.count - at) * sizeof(ObjectIndexEntry));
    index.entries[at].object = record->npobject;
    index.entries[at].node = node;
    ++index.count;
  }
  RecordList& list = proxyState.objList;
  node->record = record;
  node->next = NULL;
  node->prev = list.last;
  (list.last != NULL ? list.last->next : list.first) = node;
  list.last = node;
  return true;
}

NP_KELVRA_INSTANCE* findRecordByInstance(NPP instance) {
  RegistryLock lock;
  RecordNode* found = findNode(&NP_KELVRA_INSTANCE::instance, instance, proxyState.objList.first);
  return found == NULL ? NULL : found->record;
}

IKelvraLauncher* findLauncherByObject(NPObject* object) {
  RegistryLock lock;
  const ObjectIndexEntry* entry = indexEntry(object);
  if (entry == NULL) return NULL;
  IKelvraLauncher* launcher = entry->node->record->launcher;
  if (launcher != NULL) launcher->AddRef();
  return launcher;
}

NP_KELVRA_INSTANCE* removeRecordByInstance(NPP instance) {
  RegistryLock lock;
  RecordNode* found = findNode(&NP_KELVRA_INSTANCE::instance, instance, proxyState.objList.first);
  return found == NULL ? NULL : takeNode(found);
}

IKelvraLauncher* takeRegisteredLauncher() {
  RegistryLock lock;
  for (RecordNode* node = proxyState.objList.first; node != NULL; node = node->next) {
    IKelvraLauncher* launcher = node->record->launcher;
    if (launcher == NULL) continue;
    node->record->launcher = NULL;
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
