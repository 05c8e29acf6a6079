// The demo launcher, reached as callers reach it: through CoCreateInstance, with its
// class served from the DLL's DllGetClassObject (CoRegisterClassObject) and, in the
// registration test only, found through what its DllRegisterServer wrote (the test
// bed expects the class unregistered in its prefix, so that window stays short).
// Its store is checked across instances and across processes (this program runs a
// child copy of itself).
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <string>

#include "base/IKelvraLauncher.h"
#include "demo_launcher.h"
#include "plugin_loader.h"

namespace {

const wchar_t kKeyPrefix[] = L"demo_launcher_test.";
const wchar_t kChildReadEnv[] = L"KELVRA_DEMO_CHILD_READ";    // key=value the child expects
const wchar_t kChildWriteEnv[] = L"KELVRA_DEMO_CHILD_WRITE";  // key=value the child stores

typedef HRESULT(STDAPICALLTYPE* ModuleFunction)();
typedef HRESULT(STDAPICALLTYPE* GetClassObjectFunction)(REFCLSID, REFIID, void**);

std::wstring modulePath() { return programDirectory() + L"KelvraDemoLauncher.dll"; }

std::wstring classKey() {
  wchar_t clsid[40];
  StringFromGUID2(CLSID_KelvraLauncher, clsid, 40);
  return std::wstring(L"Software\\Classes\\CLSID\\") + clsid;
}

std::wstring readRegistryString(HKEY root, const std::wstring& key, const wchar_t* name) {
  wchar_t value[1024];
  DWORD size = sizeof value;
  DWORD type = 0;
  HKEY handle = NULL;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS) {
    return L"<no key>";
  }
  LONG error = RegQueryValueExW(handle, name, NULL, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(handle);
  if (error != ERROR_SUCCESS) return L"<no value>";
  return type == REG_SZ ? std::wstring(value) : L"<not REG_SZ>";
}

// Owns one BSTR for a call.
struct Text {
  explicit Text(const std::wstring& text)
      : bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~Text() { SysFreeString(bstr); }
  BSTR bstr;
};

IKelvraLauncher* create() {
  IKelvraLauncher* launcher = NULL;
  HRESULT result = CoCreateInstance(CLSID_KelvraLauncher, NULL, CLSCTX_INPROC_SERVER,
                                    IID_IKelvraLauncher, reinterpret_cast<void**>(&launcher));
  EXPECT_EQ(S_OK, result);
  return launcher;
}

// GetKeyValue's result, and its text on success.
HRESULT getValue(IKelvraLauncher* launcher, const std::wstring& key, std::wstring* value) {
  Text k(key);
  BSTR out = reinterpret_cast<BSTR>(1);  // must be overwritten, with NULL on failure
  HRESULT result = launcher->GetKeyValue(k.bstr, &out);
  if (SUCCEEDED(result) && out != NULL) {
    value->assign(out, SysStringLen(out));
  } else {
    EXPECT_EQ(static_cast<BSTR>(NULL), out) << "a failed GetKeyValue leaves no text";
  }
  SysFreeString(SUCCEEDED(result) ? out : NULL);
  return result;
}

HRESULT setValue(IKelvraLauncher* launcher, const std::wstring& key, const std::wstring& value) {
  Text k(key), v(value);
  return launcher->SetKeyValue(k.bstr, v.bstr);
}

HRESULT deleteValue(IKelvraLauncher* launcher, const std::wstring& key) {
  Text k(key);
  return launcher->DeleteKeyValue(k.bstr);
}

bool flag(HRESULT (STDMETHODCALLTYPE IKelvraLauncher::*getter)(VARIANT_BOOL*),
          IKelvraLauncher* launcher) {
  VARIANT_BOOL value = 0x1234;
  EXPECT_EQ(S_OK, (launcher->*getter)(&value));
  EXPECT_TRUE(value == VARIANT_TRUE || value == VARIANT_FALSE) << value;
  return value == VARIANT_TRUE;
}

std::wstring textOut(HRESULT (STDMETHODCALLTYPE IKelvraLauncher::*getter)(BSTR*),
                     IKelvraLauncher* launcher) {
  BSTR out = NULL;
  EXPECT_EQ(S_OK, (launcher->*getter)(&out));
  std::wstring text(out, out != NULL ? SysStringLen(out) : 0);
  SysFreeString(out);
  return text;
}

const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

// The DLL, loaded once for the program, and its four exports.
struct DemoModule {
  HMODULE module;
  ModuleFunction registerServer;
  ModuleFunction unregisterServer;
  ModuleFunction canUnloadNow;
  GetClassObjectFunction getClassObject;
};

const DemoModule& demo() {
  static DemoModule loaded = [] {
    DemoModule m;
    m.module = LoadLibraryW(modulePath().c_str());
    m.registerServer = reinterpret_cast<ModuleFunction>(
        reinterpret_cast<void*>(GetProcAddress(m.module, "DllRegisterServer")));
    m.unregisterServer = reinterpret_cast<ModuleFunction>(
        reinterpret_cast<void*>(GetProcAddress(m.module, "DllUnregisterServer")));
    m.canUnloadNow = reinterpret_cast<ModuleFunction>(
        reinterpret_cast<void*>(GetProcAddress(m.module, "DllCanUnloadNow")));
    m.getClassObject = reinterpret_cast<GetClassObjectFunction>(
        reinterpret_cast<void*>(GetProcAddress(m.module, "DllGetClassObject")));
    return m;
  }();
  return loaded;
}

void expectExports() {
  ASSERT_NE(static_cast<HMODULE>(NULL), demo().module);
  ASSERT_NE(static_cast<ModuleFunction>(NULL), demo().registerServer);
  ASSERT_NE(static_cast<ModuleFunction>(NULL), demo().unregisterServer);
  ASSERT_NE(static_cast<ModuleFunction>(NULL), demo().canUnloadNow);
  ASSERT_NE(static_cast<GetClassObjectFunction>(NULL), demo().getClassObject);
}

// Serves the DLL's class in this thread's apartment while it lives.
class ServedClass {
 public:
  ServedClass() {
    if (SUCCEEDED(demo().getClassObject(CLSID_KelvraLauncher, IID_IClassFactory,
                                        reinterpret_cast<void**>(&factory_)))) {
      CoRegisterClassObject(CLSID_KelvraLauncher, factory_, CLSCTX_INPROC_SERVER,
                            REGCLS_MULTIPLEUSE, &cookie_);
    }
  }
  ~ServedClass() {
    if (cookie_ != 0) CoRevokeClassObject(cookie_);
    if (factory_ != NULL) factory_->Release();
  }
  bool served() const { return cookie_ != 0; }

 private:
  IClassFactory* factory_ = NULL;
  DWORD cookie_ = 0;
};

class DemoLauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    expectExports();
    ASSERT_TRUE(SUCCEEDED(CoInitialize(NULL)));
    served_ = new ServedClass();
    ASSERT_TRUE(served_->served());
  }
  void TearDown() override {
    IKelvraLauncher* launcher = create();
    if (launcher != NULL) {
      const wchar_t* keys[] = {L"a", L"b", L"child", L"parent", L"unicode", L"empty", L"long"};
      for (const wchar_t* key : keys) deleteValue(launcher, kKeyPrefix + std::wstring(key));
      launcher->Release();
    }
    delete served_;
    CoUninitialize();
  }
  static std::wstring key(const wchar_t* name) { return kKeyPrefix + std::wstring(name); }

  ServedClass* served_ = NULL;
};

TEST(DemoLauncherRegistration, RegistersPerUserAndUnregistersAgain) {
  expectExports();
  ASSERT_TRUE(SUCCEEDED(CoInitialize(NULL)));
  std::wstring server = classKey() + L"\\InprocServer32";
  // A registration found here (the demo's) is left as it was.
  bool wasRegistered = readRegistryString(HKEY_CURRENT_USER, server, NULL) == modulePath();
  ASSERT_EQ(S_OK, demo().registerServer());
  EXPECT_EQ(modulePath(), readRegistryString(HKEY_CURRENT_USER, server, NULL));
  EXPECT_EQ(L"Apartment", readRegistryString(HKEY_CURRENT_USER, server, L"ThreadingModel"));
  EXPECT_EQ(KELVRA_DEMO_FRIENDLY_NAME, readRegistryString(HKEY_CURRENT_USER, classKey(), NULL));
  IKelvraLauncher* launcher = create();
  ASSERT_NE(static_cast<IKelvraLauncher*>(NULL), launcher);
  EXPECT_EQ(KELVRA_DEMO_GREETING, textOut(&IKelvraLauncher::Hello, launcher));
  launcher->Release();

  EXPECT_EQ(S_OK, demo().unregisterServer());
  EXPECT_EQ(L"<no key>", readRegistryString(HKEY_CURRENT_USER, classKey(), NULL));
  void* none = NULL;
  EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_KelvraLauncher, NULL, CLSCTX_INPROC_SERVER,
                                                  IID_IKelvraLauncher, &none));
  EXPECT_EQ(S_OK, demo().unregisterServer()) << "nothing left to remove";

  if (wasRegistered) {
    EXPECT_EQ(S_OK, demo().registerServer());
  }
  CoFreeUnusedLibraries();
  CoUninitialize();
}

TEST_F(DemoLauncherTest, AnswersFixedTextsAndFlagsThatFollowTheCalls) {
  IKelvraLauncher* launcher = create();
  ASSERT_NE(static_cast<IKelvraLauncher*>(NULL), launcher);
  EXPECT_EQ(S_OK, launcher->HelloWorld());
  EXPECT_EQ(KELVRA_DEMO_GREETING, textOut(&IKelvraLauncher::Hello, launcher));
  EXPECT_EQ(KELVRA_DEMO_INSTALL_HOST, textOut(&IKelvraLauncher::get_InstallHost, launcher));

  EXPECT_FALSE(flag(&IKelvraLauncher::get_IsUpToDate, launcher));
  EXPECT_EQ(S_OK, launcher->Update());
  EXPECT_TRUE(flag(&IKelvraLauncher::get_IsUpToDate, launcher));

  // No game starts without a ticket, given now or before.
  Text empty(L""), ticket(L"ticket-1"), script(L"level=2");
  EXPECT_EQ(E_INVALIDARG, launcher->StartGame(empty.bstr, script.bstr));
  EXPECT_EQ(E_INVALIDARG, launcher->put_AuthenticationTicket(empty.bstr));
  EXPECT_FALSE(flag(&IKelvraLauncher::get_IsGameStarted, launcher));
  EXPECT_EQ(S_FALSE, launcher->BringAppToFront()) << "no game to bring forward";
  EXPECT_EQ(S_OK, launcher->put_AuthenticationTicket(ticket.bstr));
  EXPECT_EQ(S_OK, launcher->StartGame(empty.bstr, script.bstr));
  EXPECT_TRUE(flag(&IKelvraLauncher::get_IsGameStarted, launcher));
  EXPECT_EQ(S_OK, launcher->BringAppToFront());

  EXPECT_EQ(S_OK, launcher->SetStartInHiddenMode(VARIANT_TRUE));
  EXPECT_EQ(S_FALSE, launcher->BringAppToFront()) << "hidden";
  EXPECT_EQ(S_OK, launcher->UnhideApp());
  EXPECT_EQ(S_FALSE, launcher->UnhideApp()) << "nothing left to unhide";
  EXPECT_EQ(S_OK, launcher->BringAppToFront());
  EXPECT_EQ(S_OK, launcher->SetSilentModeEnabled(VARIANT_TRUE));
  EXPECT_EQ(S_OK, launcher->SetEditMode());

  EXPECT_EQ(S_OK, launcher->ResetLaunchState());
  EXPECT_FALSE(flag(&IKelvraLauncher::get_IsGameStarted, launcher));
  EXPECT_EQ(S_OK, launcher->PreStartGame());
  EXPECT_TRUE(flag(&IKelvraLauncher::get_IsGameStarted, launcher));

  // Flags belong to one object.
  IKelvraLauncher* other = create();
  ASSERT_NE(static_cast<IKelvraLauncher*>(NULL), other);
  EXPECT_FALSE(flag(&IKelvraLauncher::get_IsGameStarted, other));
  EXPECT_FALSE(flag(&IKelvraLauncher::get_IsUpToDate, other));
  other->Release();
  launcher->Release();
}

TEST_F(DemoLauncherTest, StoreKeepsSetsOverwritesAndDeletesValues) {
  IKelvraLauncher* launcher = create();
  ASSERT_NE(static_cast<IKelvraLauncher*>(NULL), launcher);
  std::wstring value;
  EXPECT_EQ(kNotFound, getValue(launcher, key(L"a"), &value));
  EXPECT_LT(getValue(launcher, key(L"a"), &value), 0) << "a negative HRESULT";
  EXPECT_EQ(kNotFound, deleteValue(launcher, key(L"a")));

  EXPECT_EQ(S_OK, setValue(launcher, key(L"a"), L"one"));
  EXPECT_EQ(S_OK, getValue(launcher, key(L"a"), &value));
  EXPECT_EQ(L"one", value);
  EXPECT_EQ(L"one", readRegistryString(HKEY_CURRENT_USER, KELVRA_DEMO_STORE_KEY,
                                       key(L"a").c_str()));
  EXPECT_EQ(S_OK, setValue(launcher, key(L"a"), L"two"));
  EXPECT_EQ(S_OK, getValue(launcher, key(L"a"), &value));
  EXPECT_EQ(L"two", value);

  EXPECT_EQ(S_OK, setValue(launcher, key(L"unicode"), L"gr\u00fc\u00df \u20ac \u65e5"));
  EXPECT_EQ(S_OK, getValue(launcher, key(L"unicode"), &value));
  EXPECT_EQ(L"gr\u00fc\u00df \u20ac \u65e5", value);
  EXPECT_EQ(S_OK, setValue(launcher, key(L"empty"), L""));
  value = L"not yet";
  EXPECT_EQ(S_OK, getValue(launcher, key(L"empty"), &value));
  EXPECT_EQ(L"", value);

  EXPECT_EQ(S_OK, deleteValue(launcher, key(L"a")));
  EXPECT_EQ(kNotFound, getValue(launcher, key(L"a"), &value));
  EXPECT_EQ(kNotFound, deleteValue(launcher, key(L"a")));
  launcher->Release();
}

TEST_F(DemoLauncherTest, StoreRefusesEmptyKeysAndOverlongValues) {
  IKelvraLauncher* launcher = create();
  ASSERT_NE(static_cast<IKelvraLauncher*>(NULL), launcher);
  std::wstring value;
  EXPECT_EQ(E_INVALIDARG, setValue(launcher, L"", L"x"));
  EXPECT_EQ(E_INVALIDARG, getValue(launcher, L"", &value));
  EXPECT_EQ(E_INVALIDARG, deleteValue(launcher, L""));
  BSTR out = NULL;
  EXPECT_EQ(E_INVALIDARG, launcher->GetKeyValue(NULL, &out)) << "a NULL key";
  EXPECT_EQ(static_cast<BSTR>(NULL), out);
  Text someKey(key(L"a"));
  EXPECT_EQ(E_POINTER, launcher->GetKeyValue(someKey.bstr, NULL));
  std::wstring longest(KELVRA_DEMO_MAX_VALUE_LENGTH, L'x');
  EXPECT_EQ(S_OK, setValue(launcher, key(L"long"), longest));
  EXPECT_EQ(S_OK, getValue(launcher, key(L"long"), &value));
  EXPECT_EQ(longest, value);
  EXPECT_EQ(E_INVALIDARG, setValue(launcher, key(L"long"), longest + L"x"));
  EXPECT_EQ(S_OK, getValue(launcher, key(L"long"), &value));
  EXPECT_EQ(longest, value) << "a refused value changes nothing";
  launcher->Release();
}

TEST_F(DemoLauncherTest, StorePersistsAcrossInstances) {
  IKelvraLauncher* first = create();
  ASSERT_NE(static_cast<IKelvraLauncher*>(NULL), first);
  EXPECT_EQ(S_OK, setValue(first, key(L"b"), L"kept"));
  first->Release();
  IKelvraLauncher* second = create();
  ASSERT_NE(static_cast<IKelvraLauncher*>(NULL), second);
  std::wstring value;
  EXPECT_EQ(S_OK, getValue(second, key(L"b"), &value));
  EXPECT_EQ(L"kept", value);
  second->Release();
}

// Runs this program again with only the child's test; answers its exit code. A quiet
// child's output goes nowhere (for a run that is meant to fail).
DWORD runChild(const std::wstring& read, const std::wstring& write, bool quiet) {
  SetEnvironmentVariableW(kChildReadEnv, read.c_str());
  SetEnvironmentVariableW(kChildWriteEnv, write.c_str());
  wchar_t program[MAX_PATH];
  GetModuleFileNameW(NULL, program, MAX_PATH);
  std::wstring command = std::wstring(L"\"") + program +
                         L"\" --gtest_filter=DemoLauncherChild.DISABLED_ReadsAndWrites "
                         L"--gtest_also_run_disabled_tests";
  STARTUPINFOW startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
  HANDLE nowhere = quiet ? CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit,
                                       OPEN_EXISTING, 0, NULL)
                         : INVALID_HANDLE_VALUE;
  if (nowhere != INVALID_HANDLE_VALUE) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = nowhere;
  }
  PROCESS_INFORMATION process;
  DWORD code = 99;
  if (CreateProcessW(NULL, &command[0], NULL, NULL, nowhere != INVALID_HANDLE_VALUE, 0, NULL, NULL,
                     &startup, &process)) {
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  if (nowhere != INVALID_HANDLE_VALUE) CloseHandle(nowhere);
  SetEnvironmentVariableW(kChildReadEnv, NULL);
  SetEnvironmentVariableW(kChildWriteEnv, NULL);
  return code;
}

TEST_F(DemoLauncherTest, StorePersistsAcrossProcesses) {
  IKelvraLauncher* launcher = create();
  ASSERT_NE(static_cast<IKelvraLauncher*>(NULL), launcher);
  EXPECT_EQ(S_OK, setValue(launcher, key(L"parent"), L"from the parent"));
  launcher->Release();

  EXPECT_EQ(0u, runChild(key(L"parent") + L"=from the parent", key(L"child") + L"=from the child",
                      false));

  launcher = create();
  ASSERT_NE(static_cast<IKelvraLauncher*>(NULL), launcher);
  std::wstring value;
  EXPECT_EQ(S_OK, getValue(launcher, key(L"child"), &value));
  EXPECT_EQ(L"from the child", value);
  launcher->Release();
  // The child fails when what it reads is not what the parent stored.
  EXPECT_NE(0u, runChild(key(L"parent") + L"=something else", key(L"child") + L"=again", true));
}

// The child's half: only run by StorePersistsAcrossProcesses.
TEST(DemoLauncherChild, DISABLED_ReadsAndWrites) {
  wchar_t read[512], write[512];
  ASSERT_NE(0u, GetEnvironmentVariableW(kChildReadEnv, read, 512));
  ASSERT_NE(0u, GetEnvironmentVariableW(kChildWriteEnv, write, 512));
  std::wstring readPair = read, writePair = write;
  size_t readEquals = readPair.find(L'='), writeEquals = writePair.find(L'=');
  ASSERT_NE(std::wstring::npos, readEquals);
  ASSERT_NE(std::wstring::npos, writeEquals);
  expectExports();
  ASSERT_TRUE(SUCCEEDED(CoInitialize(NULL)));
  ServedClass* served = new ServedClass();
  IKelvraLauncher* launcher = create();
  ASSERT_NE(static_cast<IKelvraLauncher*>(NULL), launcher);
  std::wstring value;
  EXPECT_EQ(S_OK, getValue(launcher, readPair.substr(0, readEquals), &value));
  EXPECT_EQ(readPair.substr(readEquals + 1), value);
  EXPECT_EQ(S_OK, setValue(launcher, writePair.substr(0, writeEquals),
                           writePair.substr(writeEquals + 1)));
  launcher->Release();
  delete served;
  CoUninitialize();
}

TEST(DemoLauncherCounting, ReferencesAndUnloadingAreCountedHonestly) {
  expectExports();
  EXPECT_EQ(S_OK, demo().canUnloadNow()) << "nothing alive";
  IClassFactory* factory = NULL;
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
            demo().getClassObject(IID_IDispatch, IID_IClassFactory, &none));
  EXPECT_EQ(NULL, none);
  ASSERT_EQ(S_OK, demo().getClassObject(CLSID_KelvraLauncher, IID_IClassFactory,
                                        reinterpret_cast<void**>(&factory)));
  EXPECT_EQ(S_FALSE, demo().canUnloadNow()) << "the factory is alive";
  IKelvraLauncher* launcher = NULL;
  ASSERT_EQ(S_OK, factory->CreateInstance(NULL, IID_IKelvraLauncher,
                                          reinterpret_cast<void**>(&launcher)));
  IUnknown* outer = factory;
  EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(outer, IID_IUnknown, &none));
  EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(NULL, IID_IClassFactory, &none));
  EXPECT_EQ(S_OK, factory->LockServer(TRUE));
  EXPECT_EQ(0u, factory->Release());
  EXPECT_EQ(S_FALSE, demo().canUnloadNow()) << "a launcher is alive and the server locked";

  EXPECT_EQ(2u, launcher->AddRef());
  IDispatch* dispatch = NULL;
  EXPECT_EQ(S_OK, launcher->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
  EXPECT_EQ(static_cast<IDispatch*>(launcher), dispatch);
  EXPECT_EQ(E_NOINTERFACE, launcher->QueryInterface(IID_IClassFactory, &none));
  EXPECT_EQ(NULL, none);
  EXPECT_EQ(2u, dispatch->Release());
  EXPECT_EQ(1u, launcher->Release());
  EXPECT_EQ(0u, launcher->Release());
  EXPECT_EQ(S_FALSE, demo().canUnloadNow()) << "still locked";

  ASSERT_EQ(S_OK, demo().getClassObject(CLSID_KelvraLauncher, IID_IClassFactory,
                                        reinterpret_cast<void**>(&factory)));
  EXPECT_EQ(S_OK, factory->LockServer(FALSE));
  EXPECT_EQ(0u, factory->Release());
  EXPECT_EQ(S_OK, demo().canUnloadNow()) << "no object was left behind by the refused creations";
}

}  // namespace
