/*
 * The demo launcher: IKelvraLauncher with honest, simple behaviour. Flags follow the
 * calls of one object; the key-value store is shared by every object and process of
 * the user, because it lives in the registry. The answers set for the run
 * (answers.h) take the place of that behaviour, method by method.
 */
#include <windows.h>
#include <oaidl.h>
#include <olectl.h>

#include <new>
#include <string>

#include "IKelvraLauncher.h"
#include "answers.h"
#include "com_object.h"
#include "demo_launcher.h"

namespace {

HMODULE thisModule = NULL;
LONG liveObjects = 0;  // launchers and factories not yet released
LONG serverLocks = 0;  // IClassFactory::LockServer(TRUE) not yet undone

HRESULT win32Result(LONG error) { return HRESULT_FROM_WIN32(static_cast<DWORD>(error)); }

// A BSTR's whole text (NULL reads as empty).
std::wstring textOf(BSTR text) { return std::wstring(text, text != NULL ? SysStringLen(text) : 0); }

HRESULT copyOut(const std::wstring& text, BSTR* out) {
  if (out == NULL) return E_POINTER;
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out != NULL ? S_OK : E_OUTOFMEMORY;
}

HRESULT storeFlag(bool flag, VARIANT_BOOL* out) {
  if (out == NULL) return E_POINTER;
  *out = flag ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

// A registry value name for a key; an empty name would be the key's default value,
// which is no entry of the store.
bool validKey(BSTR key) { return key != NULL && SysStringLen(key) > 0 && key[0] != 0; }

class DemoLauncher : public comhelp::VtableOnly<comhelp::Unknown<IKelvraLauncher>> {
 public:
  explicit DemoLauncher(const demo::Answers& answers) : answers_(answers) {
    InterlockedIncrement(&liveObjects);
  }
  virtual ~DemoLauncher() { InterlockedDecrement(&liveObjects); }

  // IKelvraLauncher
  HRESULT STDMETHODCALLTYPE StartGame(BSTR ticket, BSTR) override {
    return answer(demo::kStartGame, [&] {
      // A game starts only for an authenticated user: this ticket or an earlier one.
      if (!textOf(ticket).empty()) ticket_ = textOf(ticket);
      if (ticket_.empty()) return E_INVALIDARG;
      gameStarted_ = true;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE HelloWorld() override {
    return answer(demo::kHelloWorld, [] { return S_OK; });
  }
  HRESULT STDMETHODCALLTYPE Hello(BSTR* text) override {
    return textAnswer(demo::kHello, text, [&] { return copyOut(KELVRA_DEMO_GREETING, text); });
  }
  HRESULT STDMETHODCALLTYPE get_InstallHost(BSTR* host) override {
    return textAnswer(demo::kGet_InstallHost, host,
                      [&] { return copyOut(KELVRA_DEMO_INSTALL_HOST, host); });
  }
  HRESULT STDMETHODCALLTYPE Update() override {
    return answer(demo::kUpdate, [&] {
      upToDate_ = true;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE put_AuthenticationTicket(BSTR ticket) override {
    return answer(demo::kPut_AuthenticationTicket, [&] {
      if (textOf(ticket).empty()) return E_INVALIDARG;
      ticket_ = textOf(ticket);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE get_IsUpToDate(VARIANT_BOOL* upToDate) override {
    return flagAnswer(demo::kGet_IsUpToDate, upToDate_, upToDate);
  }
  HRESULT STDMETHODCALLTYPE PreStartGame() override {
    return answer(demo::kPreStartGame, [&] {
      gameStarted_ = true;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE get_IsGameStarted(VARIANT_BOOL* started) override {
    return flagAnswer(demo::kGet_GameStarted, gameStarted_, started);
  }
  // The demo shows no user interface, so silent mode changes nothing it does.
  HRESULT STDMETHODCALLTYPE SetSilentModeEnabled(VARIANT_BOOL) override {
    return answer(demo::kSetSilentModeEnabled, [] { return S_OK; });
  }
  HRESULT STDMETHODCALLTYPE GetKeyValue(BSTR key, BSTR* value) override {
    return textAnswer(demo::kGetKeyValue, value, [&] { return storedValue(key, value); });
  }
  HRESULT STDMETHODCALLTYPE SetKeyValue(BSTR key, BSTR value) override {
    return answer(demo::kSetKeyValue, [&] { return storeValue(key, value); });
  }
  HRESULT STDMETHODCALLTYPE DeleteKeyValue(BSTR key) override {
    return answer(demo::kDeleteKeyValue, [&] { return deleteValue(key); });
  }
  HRESULT STDMETHODCALLTYPE SetStartInHiddenMode(VARIANT_BOOL hidden) override {
    return answer(demo::kSetStartInHiddenMode, [&] {
      hidden_ = hidden != VARIANT_FALSE;
      return S_OK;
    });
  }
  // S_FALSE: there was nothing to unhide.
  HRESULT STDMETHODCALLTYPE UnhideApp() override {
    return answer(demo::kUnhideApp, [&] {
      bool wasHidden = hidden_;
      hidden_ = false;
      return wasHidden ? S_OK : S_FALSE;
    });
  }
  // S_FALSE: nothing to bring forward, as no game runs or the application is hidden.
  HRESULT STDMETHODCALLTYPE BringAppToFront() override {
    return answer(demo::kBringAppToFront, [&] { return gameStarted_ && !hidden_ ? S_OK : S_FALSE; });
  }
  HRESULT STDMETHODCALLTYPE ResetLaunchState() override {
    return answer(demo::kResetLaunchState, [&] {
      gameStarted_ = false;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE SetEditMode() override {
    return answer(demo::kSetEditMode, [] { return S_OK; });
  }

 protected:
  bool implements(REFIID iid) const override {
    return IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, IID_IKelvraLauncher);
  }

 private:
  // The method's set answer, once its set delay has passed.
  const demo::Answer& waitFor(demo::Method method) const {
    const demo::Answer& set = answers_.methods[method];
    if (set.delayMs != 0) Sleep(set.delayMs);
    return set;
  }
  // A set HRESULT takes the place of the method's work.
  template <typename Work>
  HRESULT answer(demo::Method method, Work work) {
    const demo::Answer& set = waitFor(method);
    return set.hasResult ? set.result : work();
  }
  // A set text is handed out unless a failure is set; a set success HRESULT goes with it.
  template <typename Work>
  HRESULT textAnswer(demo::Method method, BSTR* out, Work work) {
    const demo::Answer& set = waitFor(method);
    if (set.hasText && !(set.hasResult && FAILED(set.result))) {
      HRESULT copied = copyOut(set.text, out);
      return FAILED(copied) || !set.hasResult ? copied : set.result;
    }
    if (!set.hasResult) return work();
    if (out != NULL) *out = NULL;
    return set.result;
  }
  // A set flag is stored whatever HRESULT is set, so that a failing query can
  // still write one; a set HRESULT alone stores nothing.
  HRESULT flagAnswer(demo::Method method, bool kept, VARIANT_BOOL* out) {
    const demo::Answer& set = waitFor(method);
    if (set.flag < 0 && set.hasResult) return set.result;
    HRESULT stored = storeFlag(set.flag < 0 ? kept : set.flag == 1, out);
    return FAILED(stored) || !set.hasResult ? stored : set.result;
  }

  static HRESULT storedValue(BSTR key, BSTR* value) {
    if (value == NULL) return E_POINTER;
    *value = NULL;
    if (!validKey(key)) return E_INVALIDARG;
    HKEY store = NULL;
    LONG error = RegOpenKeyExW(HKEY_CURRENT_USER, KELVRA_DEMO_STORE_KEY, 0, KEY_QUERY_VALUE, &store);
    if (error != ERROR_SUCCESS) return win32Result(error);
    wchar_t data[KELVRA_DEMO_MAX_VALUE_LENGTH + 1];
    DWORD type = 0;
    DWORD size = sizeof data;
    error = RegQueryValueExW(store, key, NULL, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(store);
    if (error != ERROR_SUCCESS) return win32Result(error);
    if (type != REG_SZ) return win32Result(ERROR_INVALID_DATA);
    size_t units = size / sizeof(wchar_t);
    if (units > 0 && data[units - 1] == 0) --units;  // stored with its terminator
    return copyOut(std::wstring(data, units), value);
  }
  static HRESULT storeValue(BSTR key, BSTR value) {
    std::wstring text = textOf(value);
    if (!validKey(key) || text.size() > KELVRA_DEMO_MAX_VALUE_LENGTH) return E_INVALIDARG;
    HKEY store = NULL;
    LONG error = RegCreateKeyExW(HKEY_CURRENT_USER, KELVRA_DEMO_STORE_KEY, 0, NULL, 0,
                                 KEY_SET_VALUE, NULL, &store, NULL);
    if (error != ERROR_SUCCESS) return win32Result(error);
    error = RegSetValueExW(store, key, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(store);
    return win32Result(error);
  }
  static HRESULT deleteValue(BSTR key) {
    if (!validKey(key)) return E_INVALIDARG;
    HKEY store = NULL;
    LONG error = RegOpenKeyExW(HKEY_CURRENT_USER, KELVRA_DEMO_STORE_KEY, 0, KEY_SET_VALUE, &store);
    if (error != ERROR_SUCCESS) return win32Result(error);
    error = RegDeleteValueW(store, key);
    RegCloseKey(store);
    return win32Result(error);
  }
  bool gameStarted_ = false;
  bool upToDate_ = false;
  bool hidden_ = false;
  std::wstring ticket_;  // the last ticket given, for a StartGame without one
  const demo::Answers answers_;
};

class DemoFactory : public comhelp::Unknown<IClassFactory> {
 public:
  DemoFactory() { InterlockedIncrement(&liveObjects); }
  virtual ~DemoFactory() { InterlockedDecrement(&liveObjects); }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == NULL) return E_POINTER;
    *out = NULL;
    if (outer != NULL) return CLASS_E_NOAGGREGATION;
    // Read afresh for every object: the host sets them for its run.
    demo::Answers answers;
    std::string reason;
    if (!demo::answersOfProcess(&answers, &reason)) return E_INVALIDARG;
    // "Not installed" as activation reports a class without registration.
    if (answers.notInstalled) return REGDB_E_CLASSNOTREG;
    DemoLauncher* launcher = new (std::nothrow) DemoLauncher(answers);
    if (launcher == NULL) return E_OUTOFMEMORY;
    HRESULT result = launcher->QueryInterface(iid, out);
    launcher->Release();  // the caller's reference, if any, is the only one left
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      InterlockedIncrement(&serverLocks);
    } else {
      InterlockedDecrement(&serverLocks);
    }
    return S_OK;
  }

 protected:
  bool implements(REFIID iid) const override { return IsEqualIID(iid, IID_IClassFactory); }
};

// CLSID\{...} of the launcher class.
std::wstring classKey() {
  wchar_t clsid[40];
  StringFromGUID2(CLSID_KelvraLauncher, clsid, 40);
  return std::wstring(L"CLSID\\") + clsid;
}

// The per-user registration, below HKCU\Software\Classes.
std::wstring userClassKey() { return std::wstring(KELVRA_DEMO_USER_CLASSES_KEY) + classKey(); }

LONG setString(HKEY key, const wchar_t* name, const std::wstring& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

std::wstring modulePath() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(thisModule, path, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::wstring(path, length) : std::wstring();
}

LONG writeRegistration(HKEY root, const std::wstring& keyName) {
  std::wstring path = modulePath();
  if (path.empty()) return ERROR_FILENAME_EXCED_RANGE;
  HKEY classEntry = NULL;
  LONG error = RegCreateKeyExW(root, keyName.c_str(), 0, NULL, 0, KEY_WRITE, NULL, &classEntry,
                               NULL);
  if (error != ERROR_SUCCESS) return error;
  HKEY server = NULL;
  error = setString(classEntry, NULL, KELVRA_DEMO_FRIENDLY_NAME);
  if (error == ERROR_SUCCESS) {
    error = RegCreateKeyExW(classEntry, L"InprocServer32", 0, NULL, 0, KEY_WRITE, NULL, &server,
                            NULL);
  }
  if (error == ERROR_SUCCESS) {
    error = setString(server, NULL, path);
    if (error == ERROR_SUCCESS) error = setString(server, L"ThreadingModel", L"Apartment");
    RegCloseKey(server);
  }
  RegCloseKey(classEntry);
  return error;
}

// Whether root\keyName\InprocServer32 names this module. Seen through
// HKEY_CLASSES_ROOT, it tells whether COM activation finds this module: Windows
// merges the per-user classes in, not every system that runs Windows programs does.
bool namesThisModule(HKEY root, const std::wstring& keyName) {
  wchar_t server[MAX_PATH];
  DWORD size = sizeof server - sizeof(wchar_t);
  DWORD type = 0;
  HKEY key = NULL;
  if (RegOpenKeyExW(root, (keyName + L"\\InprocServer32").c_str(), 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  LONG error = RegQueryValueExW(key, NULL, NULL, &type, reinterpret_cast<BYTE*>(server), &size);
  RegCloseKey(key);
  if (error != ERROR_SUCCESS || type != REG_SZ) return false;
  server[size / sizeof(wchar_t)] = 0;
  return lstrcmpiW(server, modulePath().c_str()) == 0;
}

LONG removeTree(HKEY root, const std::wstring& keyName) {
  LONG error = RegDeleteTreeW(root, keyName.c_str());
  return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    thisModule = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == NULL) return E_POINTER;
  *out = NULL;
  if (!IsEqualCLSID(clsid, CLSID_KelvraLauncher)) return CLASS_E_CLASSNOTAVAILABLE;
  DemoFactory* factory = new (std::nothrow) DemoFactory();
  if (factory == NULL) return E_OUTOFMEMORY;
  HRESULT result = factory->QueryInterface(iid, out);
  factory->Release();
  return result;
}

STDAPI DllCanUnloadNow() {
  return liveObjects == 0 && serverLocks == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
  LONG error = writeRegistration(HKEY_CURRENT_USER, userClassKey());
  // Where per-user classes stay invisible to activation, register for the machine too.
  if (error == ERROR_SUCCESS && !namesThisModule(HKEY_CLASSES_ROOT, classKey())) {
    error = writeRegistration(HKEY_CLASSES_ROOT, classKey());
  }
  if (error != ERROR_SUCCESS) {
    DllUnregisterServer();
    return SELFREG_E_CLASS;
  }
  return S_OK;
}

// Removes the entries that name this module, and no other module's registration.
STDAPI DllUnregisterServer() {
  LONG error = namesThisModule(HKEY_CURRENT_USER, userClassKey())
                   ? removeTree(HKEY_CURRENT_USER, userClassKey())
                   : ERROR_SUCCESS;
  if (error == ERROR_SUCCESS && namesThisModule(HKEY_CLASSES_ROOT, classKey())) {
    error = removeTree(HKEY_CLASSES_ROOT, classKey());
  }
  return error == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}
