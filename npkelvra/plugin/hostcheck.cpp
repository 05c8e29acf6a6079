#include "plugin/hostcheck.h"

#include "base/browser.h"
#include "diag/ProxyState.h"
#include "identity.h"

const char* const allowedDomain = KELVRA_ALLOWED_DOMAIN;

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
