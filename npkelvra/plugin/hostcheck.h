/* Whether the embedding page belongs to the maker's domain. */
#ifndef NPKELVRA_PLUGIN_HOSTCHECK_H
#define NPKELVRA_PLUGIN_HOSTCHECK_H

#include <stddef.h>

#include "npapi.h"

// The domain the plug-in serves.
extern const char* const allowedDomain;

// Asks the browser for window.location.host and logs the outcome of a string host.
bool isHostAllowed(NPP instance, const char* domain);

// The comparison itself, on location.host text of the given byte length: the host
// name (port and one trailing dot dropped) must be the domain or end in "." + domain,
// ASCII letters compared without case. NUL bytes and IPv6 literals never match.
bool hostMatchesDomain(const char* host, size_t length, const char* domain);

#endif
