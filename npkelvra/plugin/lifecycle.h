/* The per-embedding callbacks that build, hand out and take down instance records. */
#ifndef NPKELVRA_PLUGIN_LIFECYCLE_H
#define NPKELVRA_PLUGIN_LIFECYCLE_H

// NPP_New and NPP_Destroy are declared, with C linkage, by npapi.h.
#include "npapi.h"

// NPP_GetValue for the scriptable object: logs, retains and stores it through value.
NPError getScriptableObject(NPP instance, void* value);
// NP_Shutdown, before COM goes down: the launchers of records the browser never
// destroyed are released. Their scriptable objects stay with the records, for a late
// NPP_Destroy to give back; the browser may already have swept them itself.
void releaseLeftoverLaunchers();

#endif
