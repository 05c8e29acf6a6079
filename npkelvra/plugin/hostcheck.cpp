#include "plugin/hostcheck.h"

#include <string.h>

#include "base/browser.h"
#include "diag/ProxyState.h"
#include "identity.h"
#include "plugin/host_rule.h"

const char* const allowedDomain = KELVRA_ALLOWED_DOMAIN;

namespace {

const char kContains[] = "location.host contains substring=%s";
const char kDoesNotContain[] = "location.host DOES NOT contain substring=%s";
const char kNotHttps[] = "page protocol=%s is not https:";

// Text from the browser or the page as a log line may hold it: at most `room` - 4 of
// its bytes, then "..." where it was cut, a control byte as '?', and a NUL.
template <size_t room>
const char* forLog(const char* text, size_t length, char (&out)[room]) {
  const size_t shown = length <= room - 1 ? length : room - 4;
  for (size_t i = 0; i < shown; ++i) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    out[i] = byte < 0x20 || byte == 0x7F ? '?' : text[i];
  }
  if (shown < length) memcpy(out + shown, "...", 3);
  out[shown < length ? shown + 3 : shown] = '\0';
  return out;
}

// The verdict on a page whose host and scheme are known, logged: the domain first, as
// the location is read, then the scheme.
bool judge(const char* host, size_t hostLength, const char* protocol, size_t protocolLength,
           const char* domain) {
  if (!hostMatchesDomain(host, hostLength, domain)) {
    proxyState.logMessage(kDoesNotContain, domain);
    return false;
  }
  if (!isHttpsScheme(protocol, protocolLength)) {
    // A page that is not https: can be rewritten on its way, so it counts as foreign.
    char shown[36];
    proxyState.logMessage(kNotHttps, forLog(protocol, protocolLength, shown));
    return false;
  }
  proxyState.logMessage(kContains, domain);
  return true;
}

bool isOriginAllowed(const char* origin, const char* domain) {
  char shown[260];
  proxyState.logMessage("document origin from the browser: %s", forLog(origin, strlen(origin), shown));
  PageOrigin parts;
  if (!parseOrigin(origin, &parts)) {
    proxyState.logMessage(kDoesNotContain, domain);
    return false;
  }
  return judge(parts.host, parts.hostLength, parts.protocol, parts.protocolLength, domain);
}

// Through the page's objects, for a browser that does not tell the origin. Every value
// obtained is released; location.protocol is asked for only once the host has matched.
bool isLocationAllowed(NPP instance, const char* domain) {
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
      NPObject* page = NPVARIANT_TO_OBJECT(location);
      NPVariant host;
      VOID_TO_NPVARIANT(host);
      if (npnfuncs->getproperty(instance, page, npnfuncs->getstringidentifier("host"), &host)) {
        if (NPVARIANT_IS_STRING(host)) {
          const NPString& hostText = NPVARIANT_TO_STRING(host);
          if (!hostMatchesDomain(hostText.UTF8Characters, hostText.UTF8Length, domain)) {
            proxyState.logMessage(kDoesNotContain, domain);
          } else {
            NPVariant protocol;
            VOID_TO_NPVARIANT(protocol);
            const bool read = npnfuncs->getproperty(
                instance, page, npnfuncs->getstringidentifier("protocol"), &protocol);
            const NPString none = {"", 0};
            const NPString& protocolText =
                read && NPVARIANT_IS_STRING(protocol) ? NPVARIANT_TO_STRING(protocol) : none;
            allowed = judge(hostText.UTF8Characters, hostText.UTF8Length,
                            protocolText.UTF8Characters, protocolText.UTF8Length, domain);
            if (read) npnfuncs->releasevariantvalue(&protocol);
          }
        }
        npnfuncs->releasevariantvalue(&host);
      }
    }
    npnfuncs->releasevariantvalue(&location);
  }
  npnfuncs->releaseobject(window);
  return allowed;
}

}  // namespace

bool isHostAllowed(NPP instance, const char* domain) {
  char* origin = NULL;
  if (npnfuncs->getvalue(instance, NPNVdocumentOrigin, &origin) == NPERR_NO_ERROR &&
      origin != NULL) {
    const bool allowed = isOriginAllowed(origin, domain);
    npnfuncs->memfree(origin);
    return allowed;
  }
  return isLocationAllowed(instance, domain);
}
