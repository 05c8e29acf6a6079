/*
 * Launcher creation and the call adapters. Every method of one shape goes through one
 * helper that takes the launcher slot as a pointer to member.
 */
#include "launcher/launcher.h"

#include <windows.h>
#include <comdef.h>
#include <limits.h>
#include <string.h>
#include <wchar.h>

#include <new>

#include "base/session.h"

namespace {

typedef HRESULT (STDMETHODCALLTYPE IKelvraLauncher::*PlainSlot)();
typedef HRESULT (STDMETHODCALLTYPE IKelvraLauncher::*TextOutSlot)(BSTR*);
typedef HRESULT (STDMETHODCALLTYPE IKelvraLauncher::*FlagOutSlot)(VARIANT_BOOL*);
typedef HRESULT (STDMETHODCALLTYPE IKelvraLauncher::*FlagInSlot)(VARIANT_BOOL);
typedef HRESULT (STDMETHODCALLTYPE IKelvraLauncher::*OneTextSlot)(BSTR);
typedef HRESULT (STDMETHODCALLTYPE IKelvraLauncher::*TwoTextSlot)(BSTR, BSTR);

// Building a BSTR may throw; its failure becomes the adapter's answer and the launcher
// is not called. The _bstr_t objects inside `call` free what they hold on the way out.
template <typename Call>
HRESULT withBstrs(Call call) {
  try {
    return call();
  } catch (const _com_error& error) {
    return error.Error();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

// Bytes that the first `units` (at least 1) UTF-16 units take in the ANSI code page, or
// -1 when the system refuses them.
int ansiBytes(const wchar_t* source, int units) {
  const int bytes = WideCharToMultiByte(CP_ACP, 0, source, units, NULL, 0, NULL, NULL);
  return bytes > 0 ? bytes : -1;
}

// Stores the longest whole-character prefix of `source` whose ANSI form fits `room`
// bytes, and its NUL after it. A surrogate pair is kept or dropped as one; the system
// conversion never splits a double-byte character itself.
void storeFittingPrefix(const wchar_t* source, int length, char* destination, int room) {
  int low = 0;  // a prefix known to fit
  int high = length;
  while (low < high) {
    const int mid = low + (high - low + 1) / 2;
    const int bytes = ansiBytes(source, mid);
    if (bytes >= 0 && bytes <= room) {
      low = mid;
    } else {
      high = mid - 1;
    }
  }
  if (low > 0 && low < length && IS_HIGH_SURROGATE(source[low - 1]) &&
      IS_LOW_SURROGATE(source[low])) {
    --low;
  }
  const int written =
      low > 0 ? WideCharToMultiByte(CP_ACP, 0, source, low, destination, room, NULL, NULL) : 0;
  destination[written] = '\0';
}

// The launcher's answer on success: converted into the caller's buffer, then freed.
// A NULL BSTR leaves the buffer as it is (wideToAnsi writes nothing for it).
void takeText(BSTR text, char* destination, size_t size) {
  if (size > 0) wideToAnsi(text, destination, size);
  SysFreeString(text);
}

// Text a launcher handed back together with a failure: never read, but freed, since
// nobody else would free it.
void dropText(BSTR text) {
  if (text != NULL) SysFreeString(text);
}

void copyCut(const char* text, char* destination, size_t size) {
  if (size == 0) return;
  size_t length = strlen(text);
  if (length > size - 1) length = size - 1;
  memcpy(destination, text, length);
  destination[length] = '\0';
}

HRESULT callPlain(IKelvraLauncher* launcher, PlainSlot slot) { return (launcher->*slot)(); }

HRESULT callTextOut(IKelvraLauncher* launcher, TextOutSlot slot, const char* errorText,
                    char* text, size_t size) {
  BSTR answer = NULL;
  const HRESULT hr = (launcher->*slot)(&answer);
  if (FAILED(hr)) {
    copyCut(errorText, text, size);
    dropText(answer);
  } else {
    takeText(answer, text, size);
  }
  return hr;
}

HRESULT callFlagOut(IKelvraLauncher* launcher, FlagOutSlot slot, bool* flag) {
  VARIANT_BOOL answer = VARIANT_FALSE;
  const HRESULT hr = (launcher->*slot)(&answer);
  *flag = answer == VARIANT_TRUE;
  return hr;
}

HRESULT callFlagIn(IKelvraLauncher* launcher, FlagInSlot slot, unsigned char flag) {
  return (launcher->*slot)(flag != 0 ? VARIANT_TRUE : VARIANT_FALSE);
}

HRESULT callOneText(IKelvraLauncher* launcher, OneTextSlot slot, const char* text) {
  return withBstrs([&]() {
    _bstr_t first(text);
    return (launcher->*slot)(first);
  });
}

HRESULT callTwoTexts(IKelvraLauncher* launcher, TwoTextSlot slot, const char* firstText,
                     const char* secondText) {
  return withBstrs([&]() {
    _bstr_t first(firstText);
    _bstr_t second(secondText);
    return (launcher->*slot)(first, second);
  });
}

}  // namespace

IKelvraLauncher* GetIKelvraLauncherInstance() {
  if (!isComInitialized()) return NULL;
  IKelvraLauncher* launcher = NULL;
  const HRESULT hr = CoCreateInstance(CLSID_KelvraLauncher, NULL, CLSCTX_INPROC_SERVER,
                                      IID_IKelvraLauncher, reinterpret_cast<void**>(&launcher));
  return FAILED(hr) ? NULL : launcher;
}

int wideToAnsi(const wchar_t* source, char* destination, size_t size) {
  if (source == NULL || destination == NULL) return -1;
  const size_t length = wcslen(source);
  if (size == 0) size = length + 1;
  const int room = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  // A length of -1 converts the NUL too, so it lands at the converted byte count.
  if (WideCharToMultiByte(CP_ACP, 0, source, -1, destination, room, NULL, NULL) > 0) return 0;
  storeFittingPrefix(source, length > INT_MAX ? INT_MAX : static_cast<int>(length), destination,
                     room - 1);
  return -1;
}

HRESULT KelvraAdapterStartGame(IKelvraLauncher* launcher, const char* ticket, const char* script) {
  return callTwoTexts(launcher, &IKelvraLauncher::StartGame, ticket, script);
}

HRESULT KelvraAdapterHelloWorld(IKelvraLauncher* launcher) {
  return callPlain(launcher, &IKelvraLauncher::HelloWorld);
}

HRESULT KelvraAdapterHello(IKelvraLauncher* launcher, char* text, size_t size) {
  return callTextOut(launcher, &IKelvraLauncher::Hello, "IKelvraLauncher->Hello() Error occured !",
                     text, size);
}

HRESULT KelvraAdapterGet_InstallHost(IKelvraLauncher* launcher, char* text, size_t size) {
  return callTextOut(launcher, &IKelvraLauncher::get_InstallHost,
                     "IKelvraLauncher->get_InstallHost() Error occured !", text, size);
}

HRESULT KelvraAdapterUpdate(IKelvraLauncher* launcher) {
  return callPlain(launcher, &IKelvraLauncher::Update);
}

HRESULT KelvraAdapterPut_AuthenticationTicket(IKelvraLauncher* launcher, const char* ticket) {
  return callOneText(launcher, &IKelvraLauncher::put_AuthenticationTicket, ticket);
}

HRESULT KelvraAdapterGet_IsUpToDate(IKelvraLauncher* launcher, bool* upToDate) {
  return callFlagOut(launcher, &IKelvraLauncher::get_IsUpToDate, upToDate);
}

HRESULT KelvraAdapterPreStartGame(IKelvraLauncher* launcher) {
  return callPlain(launcher, &IKelvraLauncher::PreStartGame);
}

HRESULT KelvraAdapterGet_IsGameStarted(IKelvraLauncher* launcher, bool* started) {
  return callFlagOut(launcher, &IKelvraLauncher::get_IsGameStarted, started);
}

HRESULT KelvraAdapterGet_SetSilentModeEnabled(IKelvraLauncher* launcher, unsigned char enabled) {
  return callFlagIn(launcher, &IKelvraLauncher::SetSilentModeEnabled, enabled);
}

HRESULT KelvraAdapterGetKeyValue(IKelvraLauncher* launcher, const char* key, char* value,
                                 size_t size) {
  return withBstrs([&]() {
    _bstr_t keyText(key);
    BSTR answer = NULL;
    const HRESULT hr = launcher->GetKeyValue(keyText, &answer);
    if (SUCCEEDED(hr)) {
      takeText(answer, value, size);
    } else {
      dropText(answer);
    }
    return hr;
  });
}

HRESULT KelvraAdapterSetKeyValue(IKelvraLauncher* launcher, const char* key, const char* value) {
  return callTwoTexts(launcher, &IKelvraLauncher::SetKeyValue, key, value);
}

HRESULT KelvraAdapterDeleteKeyValue(IKelvraLauncher* launcher, const char* key) {
  return callOneText(launcher, &IKelvraLauncher::DeleteKeyValue, key);
}

HRESULT KelvraAdapterGet_SetStartInHiddenMode(IKelvraLauncher* launcher, unsigned char hidden) {
  return callFlagIn(launcher, &IKelvraLauncher::SetStartInHiddenMode, hidden);
}

HRESULT KelvraAdapterGet_UnhideApp(IKelvraLauncher* launcher) {
  return callPlain(launcher, &IKelvraLauncher::UnhideApp);
}

HRESULT KelvraAdapterBringAppToFront(IKelvraLauncher* launcher) {
  return callPlain(launcher, &IKelvraLauncher::BringAppToFront);
}

HRESULT KelvraAdapterResetLaunchState(IKelvraLauncher* launcher) {
  return callPlain(launcher, &IKelvraLauncher::ResetLaunchState);
}

HRESULT KelvraAdapterSetEditMode(IKelvraLauncher* launcher) {
  return callPlain(launcher, &IKelvraLauncher::SetEditMode);
}
