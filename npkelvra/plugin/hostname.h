/*
 * The page host rules themselves, on location text: no browser call and no Windows
 * call, so that CI builds them natively under the address and undefined-behaviour
 * sanitizers and fuzzes them.
 */
#ifndef NPKELVRA_PLUGIN_HOSTNAME_H
#define NPKELVRA_PLUGIN_HOSTNAME_H

#include <stddef.h>

// Whether location.protocol text of the given byte length is "https:", ASCII letters
// compared without case.
bool isHttpsScheme(const char* protocol, size_t length);

// The comparison itself, on location.host text of the given byte length: the host
// name (port and one trailing dot dropped) must be the domain or end in "." + domain,
// ASCII letters compared without case. NUL bytes and IPv6 literals never match.
bool hostMatchesDomain(const char* host, size_t length, const char* domain);

#endif
