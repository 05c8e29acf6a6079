/*
 * The rule a page must pass to reach the launcher, on the texts the browser gives: the
 * page's host on the maker's domain, its scheme https. Needs nothing of the system.
 */
#ifndef NPKELVRA_PLUGIN_HOST_RULE_H
#define NPKELVRA_PLUGIN_HOST_RULE_H

#include <stddef.h>

// Whether "name[:port]" text of the given byte length (location.host, or an origin's
// host) names the domain. The name is of host characters (no control, blank, '/', '?',
// '#', '@', '\', '[', ']' or ':', so no NUL and no IPv6 literal), the port one to five
// digits up to 65535; with one trailing dot dropped, the name has no empty label and
// is the domain or ends in "." + domain, ASCII letters compared without case.
bool hostMatchesDomain(const char* host, size_t length, const char* domain);

// Whether location.protocol text of the given byte length is "https:", ASCII letters
// compared without case.
bool isHttpsScheme(const char* protocol, size_t length);

// A document origin as the browser serialises it, "scheme://host[:port]", split into its
// parts (pointers into the text).
struct PageOrigin {
  const char* protocol;  // the scheme and its colon, as location.protocol gives them
  size_t protocolLength;
  const char* host;      // without the port
  size_t hostLength;
};

// Splits a NUL-terminated origin strictly: a scheme of letters, digits, '+', '-' and
// '.' that starts with a letter, "://", then a name and port as hostMatchesDomain takes
// them. Anything else (a path, user information, "null") is no origin.
bool parseOrigin(const char* origin, PageOrigin* parts);

#endif
