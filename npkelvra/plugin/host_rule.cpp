#include "plugin/host_rule.h"

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

bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isSchemeCharacter(char c) {
  return isLetter(c) || isDigit(c) || c == '+' || c == '-' || c == '.';
}

bool isHostCharacter(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  return byte > 0x20 && byte != 0x7F && strchr("/?#@\\[]:", c) == NULL;
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

bool parseOrigin(const char* origin, PageOrigin* parts) {
  const char* cursor = origin;
  if (!isLetter(*cursor)) return false;
  while (isSchemeCharacter(*cursor)) ++cursor;
  if (strncmp(cursor, "://", 3) != 0) return false;
  parts->protocol = origin;
  parts->protocolLength = static_cast<size_t>(cursor - origin) + 1;

  cursor += 3;
  parts->host = cursor;
  while (isHostCharacter(*cursor)) ++cursor;
  parts->hostLength = static_cast<size_t>(cursor - parts->host);
  if (parts->hostLength == 0) return false;

  if (*cursor == ':') {
    ++cursor;
    unsigned long port = 0;
    int digits = 0;
    for (; isDigit(*cursor) && digits < 6; ++cursor, ++digits) port = port * 10 + static_cast<unsigned long>(*cursor - '0');
    if (digits == 0 || digits > 5 || port > 65535) return false;
  }
  return *cursor == '\0';
}
