/*
 * The instance registry: one record per accepted embedding, found by its browser
 * instance or by its scriptable object. Every operation holds the registry lock
 * for its own length only and calls nothing outside the module, apart from the one
 * AddRef that findLauncherByObject takes for its caller.
 */
#ifndef NPKELVRA_BASE_REGISTRY_H
#define NPKELVRA_BASE_REGISTRY_H

#include "npapi.h"
#include "npruntime.h"

struct IKelvraLauncher;

struct NP_KELVRA_INSTANCE {
  NPP instance;
  NPObject* npobject;         // one reference owned by the record
  IKelvraLauncher* launcher;  // one COM reference owned by the record; NULL once released
};

// An NPP_New that has not registered its record yet. The browser may destroy the
// instance from inside one of NPP_New's calls out; NPP_Destroy then marks the pending
// entry, and NPP_New gives back what it made instead of registering it. Lives on
// NPP_New's stack, so marking it needs no allocation.
struct PendingInstance {
  NPP instance;
  bool destroyed;
  PendingInstance* next;
};

// False when the list cannot grow (out of memory): the record is then not registered.
bool addRecord(NP_KELVRA_INSTANCE* record);
NP_KELVRA_INSTANCE* findRecordByInstance(NPP instance);
// The launcher with one reference added while the lock is held, so that NPP_Destroy
// during the caller's launcher call cannot free it; the caller releases it when its
// call is done. NULL when the object has no record or its record no launcher.
IKelvraLauncher* findLauncherByObject(NPObject* object);
// Unlinks the record; the caller owns it from then on.
NP_KELVRA_INSTANCE* removeRecordByInstance(NPP instance);
// Clears the first registered launcher field that is still set and hands over its
// reference; NULL when none is left. The records themselves stay registered.
IKelvraLauncher* takeRegisteredLauncher();

void beginPendingInstance(PendingInstance* pending, NPP instance);
bool isPendingInstanceDestroyed(const PendingInstance* pending);
void endPendingInstance(PendingInstance* pending);
// Marks the latest pending NPP_New of the instance as destroyed; false when there is none.
bool markPendingInstanceDestroyed(NPP instance);

#endif
