/*
 * The rule a page must pass to reach the launcher, on the texts the browser gives: the
 * page's host on the maker's domain, its scheme https. Needs nothing of the system.
 */
#ifndef NPKELVRA_PLUGIN_HOST_RULE_H
#define NPKELVRA_PLUGIN_HOST_RULE_H

#include <stddef.h>

// Whether location.host text of the given byte length names the domain: the host name
// (port and one trailing dot dropped) must be the domain or end in "." + domain, ASCII
// letters compared without case. NUL bytes and IPv6 literals never match.
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
// '.' that starts with a letter, "://", a host of at least one byte with no control,
// blank, '/', '?', '#', '@', '\', '[', ']' or ':', and a port of one to five digits up
// to 65535 after a ':'. Anything else (a path, user information, "null") is no origin.
bool parseOrigin(const char* origin, PageOrigin* parts);

#endif
