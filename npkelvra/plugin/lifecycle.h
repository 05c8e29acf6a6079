/* The per-embedding callbacks that build, hand out and take down instance records. */
#ifndef NPKELVRA_PLUGIN_LIFECYCLE_H
#define NPKELVRA_PLUGIN_LIFECYCLE_H

// NPP_New and NPP_Destroy are declared, with C linkage, by npapi.h.
#include "npapi.h"

// NPP_GetValue for the scriptable object: logs, retains and stores it through value.
NPError getScriptableObject(NPP instance, void* value);
// NP_Shutdown, before COM goes down: the records the browser never destroyed are
// forgotten and their launchers released (when COM is held on this thread, which
// must not release them otherwise); their scriptable objects are the browser's to
// sweep. An NPP_New under way registers nothing.
void forgetRecords();

#endif
