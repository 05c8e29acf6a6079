/*
 * The eighteen script methods. Each checks its arguments, calls its launcher
 * adapter and encodes the answer for script; every one answers true, reporting
 * failures in the result and the log, never as script exceptions.
 */
#ifndef NPKELVRA_SCRIPT_METHODS_H
#define NPKELVRA_SCRIPT_METHODS_H

#include "npapi.h"  // npruntime.h builds on it, as in the published SDK
#include "npruntime.h"

typedef bool (*MethodHandler)(NPObject* object, const NPVariant* args, uint32_t argCount,
                              NPVariant* result);

#define KELVRA_HANDLER(name) \
  bool name(NPObject* object, const NPVariant* args, uint32_t argCount, NPVariant* result)

KELVRA_HANDLER(invokeKelvraAdapterHelloWorld);
KELVRA_HANDLER(invokeKelvraAdapterHello);
KELVRA_HANDLER(invokeKelvraAdapterStartGame);
KELVRA_HANDLER(invokeKelvraAdapterGet_InstallHost);
KELVRA_HANDLER(invokeKelvraAdapterUpdate);
KELVRA_HANDLER(invokeKelvraAdapterPut_AuthenticationTicket);
KELVRA_HANDLER(invokeKelvraAdapterGet_IsGameStarted);
KELVRA_HANDLER(invokeKelvraAdapterGet_SetSilentModeEnabled);
KELVRA_HANDLER(invokeKelvraAdapterGet_SetStartInHiddenMode);
KELVRA_HANDLER(invokeKelvraAdapterGet_UnhideApp);
KELVRA_HANDLER(invokeKelvraAdapterDeleteKeyValue);
KELVRA_HANDLER(invokeKelvraAdapterGet_IsUpToDate);
KELVRA_HANDLER(invokeKelvraAdapterPreStartGame);
KELVRA_HANDLER(invokeKelvraAdapterGetKeyValue);
KELVRA_HANDLER(invokeKelvraAdapterSetKeyValue);
KELVRA_HANDLER(invokeKelvraAdapterBringAppToFront);
KELVRA_HANDLER(invokeKelvraAdapterResetLaunchState);
KELVRA_HANDLER(invokeKelvraAdapterSetEditMode);

#endif
