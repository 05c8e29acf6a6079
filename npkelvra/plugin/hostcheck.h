/* Whether the embedding page belongs to the maker's domain. */
#ifndef NPKELVRA_PLUGIN_HOSTCHECK_H
#define NPKELVRA_PLUGIN_HOSTCHECK_H

#include "npapi.h"
#include "plugin/hostname.h"

// The domain the plug-in serves.
extern const char* const allowedDomain;

// Asks the browser for window.location.host and, for a host on the domain, for
// window.location.protocol; true only for an https: page on the domain. Logs the
// outcome of a string host (a page on another scheme reads as not containing it).
bool isHostAllowed(NPP instance, const char* domain);

#endif
