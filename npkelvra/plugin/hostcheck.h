/* Whether the embedding page belongs to the maker's domain. */
#ifndef NPKELVRA_PLUGIN_HOSTCHECK_H
#define NPKELVRA_PLUGIN_HOSTCHECK_H

#include <stddef.h>

#include "npapi.h"

// The domain the plug-in serves.
extern const char* const allowedDomain;

// Asks the browser for window.location.host and, for a host on the domain, for
// window.location.protocol; true only for an https: page on the domain. Logs the
// outcome of a string host (a page on another scheme reads as not containing it).
bool isHostAllowed(NPP instance, const char* domain);

// Whether location.protocol text of the given byte length is "https:", ASCII letters
// compared without case.
bool isHttpsScheme(const char* protocol, size_t length);

// The comparison itself, on location.host text of the given byte length: the host
// name (port and one trailing dot dropped) must be the domain or end in "." + domain,
// ASCII letters compared without case. NUL bytes and IPv6 literals never match.
bool hostMatchesDomain(const char* host, size_t length, const char* domain);

#endif
