/* Whether the embedding page belongs to the maker's domain. */
#ifndef NPKELVRA_PLUGIN_HOSTCHECK_H
#define NPKELVRA_PLUGIN_HOSTCHECK_H

#include "npapi.h"

// The domain the plug-in serves.
extern const char* const allowedDomain;

// True only for an https: page on the domain (plugin/host_rule.h). The page is the
// document's origin as the browser answers NPNVdocumentOrigin, which page script cannot
// change; only a browser that does not answer it is asked for window.location.host and,
// for a host on the domain, window.location.protocol. Logs the outcome: the origin the
// browser gave, then whether the host is on the domain or, for a host on it, that the
// scheme is not https.
bool isHostAllowed(NPP instance, const char* domain);

#endif
