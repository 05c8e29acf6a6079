#include "plugin/hostname.h"

#include <string.h>

namespace {

// Only a to z fold; every other byte, UTF-8 sequences included, compares as it is.
char asciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool sameAsciiCaseless(const char* a, const char* b, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (asciiUpper(a[i]) != asciiUpper(b[i])) return false;
  }
  return true;
}

}  // namespace

bool hostMatchesDomain(const char* host, size_t length, const char* domain) {
  if (host == NULL || length == 0 || memchr(host, '\0', length) != NULL) return false;
  // "[::1]:8080" and the like: an address is never the maker's site.
  if (host[0] == '[') return false;
  const char* colon = static_cast<const char*>(memchr(host, ':', length));
  size_t nameLength = colon != NULL ? static_cast<size_t>(colon - host) : length;
  if (nameLength > 0 && host[nameLength - 1] == '.') --nameLength;

  size_t domainLength = strlen(domain);
  if (domainLength == 0 || nameLength < domainLength) return false;
  const char* tail = host + nameLength - domainLength;
  if (!sameAsciiCaseless(tail, domain, domainLength)) return false;
  // The domain itself, or a name below it: a label boundary must precede it.
  return nameLength == domainLength || tail[-1] == '.';
}

bool isHttpsScheme(const char* protocol, size_t length) {
  static const char kHttps[] = "https:";
  const size_t schemeLength = sizeof kHttps - 1;
  return protocol != NULL && length == schemeLength &&
         sameAsciiCaseless(protocol, kHttps, schemeLength);
}
