/*
 * Launcher creation and the call adapters: narrow text and one-byte booleans in,
 * BSTRs and VARIANT_BOOLs to the launcher, its HRESULT back. Adapters borrow the
 * launcher pointer, never log and never let an exception out: a BSTR that cannot be
 * built makes the adapter answer E_OUTOFMEMORY (or the conversion's error) without
 * calling the launcher.
 */
#ifndef NPKELVRA_LAUNCHER_LAUNCHER_H
#define NPKELVRA_LAUNCHER_LAUNCHER_H

#include <stddef.h>

#include "base/IKelvraLauncher.h"

// Size of the buffers that receive the launcher's text.
const size_t kLauncherTextSize = 2048;

// One reference the caller owns, or NULL (COM not up, class missing, creation refused).
IKelvraLauncher* GetIKelvraLauncherInstance();

// Converts to the ANSI code page. A size of 0 stands for the source's length + 1.
// Returns 0 when the whole text fits with its NUL; otherwise stores the longest
// whole-character prefix that fits, NUL-terminated, and returns -1. Returns -1 and
// writes nothing for a NULL pointer.
int wideToAnsi(const wchar_t* source, char* destination, size_t size);

HRESULT KelvraAdapterStartGame(IKelvraLauncher* launcher, const char* ticket, const char* script);
HRESULT KelvraAdapterHelloWorld(IKelvraLauncher* launcher);
// The text adapters write at most `size` bytes, always NUL-terminated (nothing for a
// size of 0): the launcher's text on success, cut to fit; on failure the fixed error
// text, also cut to fit. A NULL BSTR on success leaves the buffer as it is.
HRESULT KelvraAdapterHello(IKelvraLauncher* launcher, char* text, size_t size);
HRESULT KelvraAdapterGet_InstallHost(IKelvraLauncher* launcher, char* text, size_t size);
HRESULT KelvraAdapterUpdate(IKelvraLauncher* launcher);
HRESULT KelvraAdapterPut_AuthenticationTicket(IKelvraLauncher* launcher, const char* ticket);
HRESULT KelvraAdapterGet_IsUpToDate(IKelvraLauncher* launcher, bool* upToDate);
HRESULT KelvraAdapterPreStartGame(IKelvraLauncher* launcher);
HRESULT KelvraAdapterGet_IsGameStarted(IKelvraLauncher* launcher, bool* started);
HRESULT KelvraAdapterGet_SetSilentModeEnabled(IKelvraLauncher* launcher, unsigned char enabled);
// Like the text adapters on success; the value buffer is left untouched when the
// launcher fails.
HRESULT KelvraAdapterGetKeyValue(IKelvraLauncher* launcher, const char* key, char* value,
                                 size_t size);
HRESULT KelvraAdapterSetKeyValue(IKelvraLauncher* launcher, const char* key, const char* value);
HRESULT KelvraAdapterDeleteKeyValue(IKelvraLauncher* launcher, const char* key);
HRESULT KelvraAdapterGet_SetStartInHiddenMode(IKelvraLauncher* launcher, unsigned char hidden);
HRESULT KelvraAdapterGet_UnhideApp(IKelvraLauncher* launcher);
HRESULT KelvraAdapterBringAppToFront(IKelvraLauncher* launcher);
HRESULT KelvraAdapterResetLaunchState(IKelvraLauncher* launcher);
HRESULT KelvraAdapterSetEditMode(IKelvraLauncher* launcher);

#endif
