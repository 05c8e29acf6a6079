/* The per-embedding callbacks that build, hand out and take down instance records. */
#ifndef NPKELVRA_PLUGIN_LIFECYCLE_H
#define NPKELVRA_PLUGIN_LIFECYCLE_H

#include "npapi.h"

NPError NPP_New(NPMIMEType pluginType, NPP instance, uint16_t mode, int16_t argc, char* argn[],
                char* argv[], NPSavedData* saved);
NPError NPP_Destroy(NPP instance, NPSavedData** save);
// NPP_GetValue for the scriptable object: logs, retains and stores it through value.
NPError getScriptableObject(NPP instance, void* value);
// NP_Shutdown, before COM goes down: the launchers of records the browser never
// destroyed are released. Their scriptable objects stay with the records, for a late
// NPP_Destroy to give back; the browser may already have swept them itself.
void releaseLeftoverLaunchers();

#endif
