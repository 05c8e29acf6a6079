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

// The length of the name in "name[:port]" text, or 0 when the text is not that: a
// name of host characters, and after a ':' a port of one to five digits up to 65535.
size_t nameOfHostAndPort(const char* text, size_t length) {
  size_t name = 0;
  while (name < length && isHostCharacter(text[name])) ++name;
  if (name == 0 || name == length) return name;
  if (text[name] != ':') return 0;
  const size_t digits = length - name - 1;
  if (digits == 0 || digits > 5) return 0;
  unsigned long port = 0;
  for (size_t i = name + 1; i < length; ++i) {
    if (!isDigit(text[i])) return 0;
    port = port * 10 + static_cast<unsigned long>(text[i] - '0');
  }
  return port <= 65535 ? name : 0;
}

}  // namespace

bool hostMatchesDomain(const char* host, size_t length, const char* domain) {
  if (host == NULL) return false;
  size_t nameLength = nameOfHostAndPort(host, length);
  // One trailing dot names the same host; any other empty label names none.
  if (nameLength > 0 && host[nameLength - 1] == '.') --nameLength;
  if (nameLength == 0 || host[0] == '.' || host[nameLength - 1] == '.') return false;
  for (size_t i = 1; i < nameLength; ++i) {
    if (host[i] == '.' && host[i - 1] == '.') return false;
  }

  const size_t domainLength = strlen(domain);
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
  parts->hostLength = nameOfHostAndPort(cursor, strlen(cursor));
  return parts->hostLength != 0;
}
