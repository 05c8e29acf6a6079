#include "plugin/hostcheck.h"

#include <string.h>

#include "base/browser.h"
#include "diag/ProxyState.h"
#include "identity.h"

const char* const allowedDomain = KELVRA_ALLOWED_DOMAIN;

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

namespace {

// location.protocol, asked for only once the host has matched; every value obtained
// is released.
bool isSecurePage(NPP instance, NPObject* location) {
  NPVariant protocol;
  VOID_TO_NPVARIANT(protocol);
  if (!npnfuncs->getproperty(instance, location, npnfuncs->getstringidentifier("protocol"),
                             &protocol)) {
    return false;
  }
  const bool secure =
      NPVARIANT_IS_STRING(protocol) &&
      isHttpsScheme(NPVARIANT_TO_STRING(protocol).UTF8Characters,
                    NPVARIANT_TO_STRING(protocol).UTF8Length);
  npnfuncs->releasevariantvalue(&protocol);
  return secure;
}

}  // namespace

bool isHostAllowed(NPP instance, const char* domain) {
  NPObject* window = NULL;
  if (npnfuncs->getvalue(instance, NPNVWindowNPObject, &window) != NPERR_NO_ERROR ||
      window == NULL) {
    return false;
  }
  bool allowed = false;
  NPVariant location;
  VOID_TO_NPVARIANT(location);
  if (npnfuncs->getproperty(instance, window, npnfuncs->getstringidentifier("location"),
                            &location)) {
    if (NPVARIANT_IS_OBJECT(location) && NPVARIANT_TO_OBJECT(location) != NULL) {
      NPVariant host;
      VOID_TO_NPVARIANT(host);
      if (npnfuncs->getproperty(instance, NPVARIANT_TO_OBJECT(location),
                                npnfuncs->getstringidentifier("host"), &host)) {
        if (NPVARIANT_IS_STRING(host)) {
          const NPString& text = NPVARIANT_TO_STRING(host);
          // A page that is not https: can be rewritten on its way, so it counts as foreign.
          allowed = hostMatchesDomain(text.UTF8Characters, text.UTF8Length, domain) &&
                    isSecurePage(instance, NPVARIANT_TO_OBJECT(location));
          proxyState.logMessage(allowed ? "location.host contains substring=%s"
                                        : "location.host DOES NOT contain substring=%s",
                                domain);
        }
        npnfuncs->releasevariantvalue(&host);
      }
    }
    npnfuncs->releasevariantvalue(&location);
  }
  npnfuncs->releaseobject(window);
  return allowed;
}
