/*
 * The instance registry: one record per accepted embedding, found by its browser
 * instance or by its scriptable object. Every operation holds the registry lock
 * for its own length only and calls nothing outside the module.
 */
#ifndef NPKELVRA_PLUGIN_REGISTRY_H
#define NPKELVRA_PLUGIN_REGISTRY_H

#include "npapi.h"
#include "npruntime.h"

struct IKelvraLauncher;

struct NP_KELVRA_INSTANCE {
  NPP instance;
  NPObject* npobject;         // one reference owned by the record
  IKelvraLauncher* launcher;  // one COM reference owned by the record
};

void addRecord(NP_KELVRA_INSTANCE* record);
NP_KELVRA_INSTANCE* findRecordByInstance(NPP instance);
// Borrowed for one script call: no reference is added.
IKelvraLauncher* findLauncherByObject(NPObject* object);
// Unlinks the record; the caller owns it from then on.
NP_KELVRA_INSTANCE* removeRecordByInstance(NPP instance);

#endif
