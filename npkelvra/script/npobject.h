/* The class of the scriptable object that page script calls by method name. */
#ifndef NPKELVRA_SCRIPT_NPOBJECT_H
#define NPKELVRA_SCRIPT_NPOBJECT_H

#include "npapi.h"  // npruntime.h builds on it, as in the published SDK
#include "npruntime.h"

extern NPClass npcRefObject;

#endif
