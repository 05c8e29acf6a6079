// The module's face to the browser, through the real DLL: its binary make-up
// (exports, imports, resources), the four exports, and the instance callbacks that
// carry no launcher logic.
#include <windows.h>
#include <objbase.h>
#include <stddef.h>
#include <string.h>
#include <winternl.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "identity.h"
#include <gmock/gmock.h>

#include "import_patch.h"
#include "pe_image.h"
#include "plugin_fixture.h"

namespace kelvra_test {
namespace {

using ::testing::ElementsAre;

// The browser table's end as the module needs it: its last service, setexception.
const size_t kServicesEnd = offsetof(NPNetscapeFuncs, setexception) + sizeof(void*);
// The plug-in table's end as the module fills it: its last callback, getvalue.
const size_t kCallbacksEnd = offsetof(NPPluginFuncs, getvalue) + sizeof(void*);

class EntryTest : public PluginFixture {
 protected:
  // Runs `body` on a new thread, which starts outside any COM apartment.
  static void onFreshThread(const std::function<void()>& body) { std::thread(body).join(); }

  // Whether the calling thread is in an apartment: CoInitialize answers S_FALSE then.
  // The probe's own reference is given back at once.
  static HRESULT probeApartment() {
    HRESULT hr = CoInitialize(NULL);
    if (SUCCEEDED(hr)) CoUninitialize();
    return hr;
  }
};

// --- The module file --------------------------------------------------------------

TEST_F(EntryTest, ExportsExactlyTheFourEntryPointsByNameAtOrdinalsOneToFour) {
  ASSERT_TRUE(load());
  PeImage image(plugin.module);
  const IMAGE_DATA_DIRECTORY& dir =
      image.headers().OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  const IMAGE_EXPORT_DIRECTORY* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(
      image.at(dir.VirtualAddress, sizeof(IMAGE_EXPORT_DIRECTORY)));
  ASSERT_NE(nullptr, exports);
  EXPECT_EQ(4u, exports->NumberOfFunctions);
  std::vector<std::string> found = image.exports();
  std::sort(found.begin(), found.end());
  EXPECT_THAT(found, ElementsAre("NP_GetEntryPoints@1", "NP_GetMIMEDescription@4",
                                 "NP_Initialize@2", "NP_Shutdown@3"));
}

TEST_F(EntryTest, ImportsOnlySystemLibraries) {
  ASSERT_TRUE(load());
  wchar_t system[MAX_PATH];
  UINT length = GetSystemDirectoryW(system, MAX_PATH);
  ASSERT_GT(length, 0u);
  std::vector<PeImport> imports = PeImage(plugin.module).imports();
  for (const PeImport& import : imports) {
    const std::string& name = import.library;
    SCOPED_TRACE(name);
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    // MinGW's runtime DLLs (libstdc++-6, libgcc_s_*, libwinpthread-1) all start so.
    EXPECT_NE(0u, lower.find("lib"));
    std::wstring path = std::wstring(system, length) + L"\\" + widen(name);
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str()));
  }
  EXPECT_FALSE(imports.empty());
}

// The loader's notice of each DLL it maps (ntdll's LdrRegisterDllNotification, which the
// SDK headers do not declare), collected in lower case while a watch is registered.
struct LoaderNotice {
  ULONG flags;
  const UNICODE_STRING* fullName;
  const UNICODE_STRING* baseName;
  void* base;
  ULONG size;
};
const ULONG kDllLoaded = 1;

class DllLoadWatch {
 public:
  DllLoadWatch() {
    typedef LONG(NTAPI * Register)(ULONG, void(CALLBACK*)(ULONG, const LoaderNotice*, void*), void*, void**);
    Register registerNotice = procAddress<Register>(GetModuleHandleW(L"ntdll.dll"), "LdrRegisterDllNotification");
    if (registerNotice != NULL && registerNotice(0, &DllLoadWatch::notice, this, &cookie_) != 0) cookie_ = NULL;
  }
  ~DllLoadWatch() {
    typedef LONG(NTAPI * Unregister)(void*);
    Unregister unregisterNotice = procAddress<Unregister>(GetModuleHandleW(L"ntdll.dll"), "LdrUnregisterDllNotification");
    if (cookie_ != NULL && unregisterNotice != NULL) unregisterNotice(cookie_);
  }
  bool watching() const { return cookie_ != NULL; }
  std::vector<std::string> loaded;

 private:
  static void CALLBACK notice(ULONG reason, const LoaderNotice* data, void* context) {
    if (reason != kDllLoaded || data == NULL || data->baseName == NULL) return;
    std::string name = narrow(std::wstring(data->baseName->Buffer, data->baseName->Length / sizeof(wchar_t)));
    for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    static_cast<DllLoadWatch*>(context)->loaded.push_back(name);
  }
  void* cookie_ = NULL;
};

// The module's start-up code runs under the loader lock, where loading a DLL can
// deadlock the browser: loading the plug-in maps nothing beyond its own imports (which
// the loader brings in itself; here they are there before).
TEST_F(EntryTest, LoadingMapsNoModuleBeyondItsImports) {
  PeImage file(pluginPath());
  ASSERT_TRUE(file.valid());
  for (const PeImport& import : file.imports()) {
    ASSERT_NE(nullptr, LoadLibraryA(import.library.c_str())) << import.library;
  }
  std::vector<std::string> loaded;
  {
    DllLoadWatch watch;
    ASSERT_TRUE(watch.watching());
    ASSERT_TRUE(load());
    loaded = watch.loaded;
  }
  EXPECT_THAT(loaded, ElementsAre("npkelvraproxy.dll"));
}

TEST_F(EntryTest, VersionResourceCarriesThePluginRegistrationFields) {
  struct Field {
    const char* name;
    const char* value;
  };
  const Field fields[] = {
      {"MIMEType", "application/x-vnd-kelvra-launcher"},
      {"FileExtents", "launcher"},
      {"FileOpenName", "Kelvra Launcher Plugin"},
      {"FileDescription", "Kelvra Launcher Plugin"},
      {"ProductName", "Kelvra Launcher Plugin"},
      {"InternalName", "KelvraLauncherPlugin"},
      {"OriginalFilename", "NPKelvraProxy.dll"},
      {"FileVersion", "1, 2, 7, 22"},
      {"ProductVersion", "1, 2, 7, 22"},
      {"CompanyName", KELVRA_COMPANY_NAME},
      {"LegalCopyright", KELVRA_LEGAL_COPYRIGHT},
  };
  for (const Field& field : fields) {
    EXPECT_EQ(field.value, versionString(pluginPath(), field.name)) << field.name;
  }
  VS_FIXEDFILEINFO fixed;
  ASSERT_TRUE(versionFixedInfo(pluginPath(), &fixed));
  EXPECT_EQ(0x00010002u, fixed.dwFileVersionMS);
  EXPECT_EQ(0x00070016u, fixed.dwFileVersionLS);
  EXPECT_EQ(0x00010002u, fixed.dwProductVersionMS);
  EXPECT_EQ(0x00070016u, fixed.dwProductVersionLS);
  EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed.dwFileType);
  // A browser finds the strings above through the translation table, not a fixed key.
  DWORD ignored = 0;
  std::vector<BYTE> block(GetFileVersionInfoSizeW(pluginPath().c_str(), &ignored));
  ASSERT_FALSE(block.empty());
  ASSERT_TRUE(GetFileVersionInfoW(pluginPath().c_str(), 0, static_cast<DWORD>(block.size()),
                                  block.data()));
  WORD* translation = NULL;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  ASSERT_EQ(2 * sizeof(WORD), length);
  EXPECT_EQ(0x0409, translation[0]);
  EXPECT_EQ(1252, translation[1]);
}

TEST_F(EntryTest, EmbedsTheAsInvokerManifest) {
  ASSERT_TRUE(load());
  HRSRC found = FindResourceW(plugin.module, MAKEINTRESOURCEW(2), MAKEINTRESOURCEW(24));
  ASSERT_NE(nullptr, found);
  HGLOBAL loaded = LoadResource(plugin.module, found);
  ASSERT_NE(nullptr, loaded);
  std::string manifest(static_cast<const char*>(LockResource(loaded)),
                       SizeofResource(plugin.module, found));
  EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\"")) << manifest;
  EXPECT_NE(std::string::npos, manifest.find("uiAccess=\"false\"")) << manifest;
}

// --- NP_Initialize and NP_Shutdown -------------------------------------------------

// The table must be of major version 0 and reach setexception, the last service the
// module calls. A refusal comes after the entry line and takes no COM initialisation.
TEST_F(EntryTest, InitializeRefusesAMissingNewerOrShortTableAfterItsEntryLine) {
  ASSERT_TRUE(load());
  NPNetscapeFuncs newer = *browser::functions();
  newer.version = 0x0100;
  NPNetscapeFuncs shortOne = *browser::functions();
  shortOne.size = static_cast<uint16_t>(kServicesEnd - 1);
  NPNetscapeFuncs empty = *browser::functions();
  empty.size = 0;
  NPNetscapeFuncs justEnough = *browser::functions();
  justEnough.version = 0x00FF;
  justEnough.size = static_cast<uint16_t>(kServicesEnd);
  NPError answers[5] = {-1, -1, -1, -1, -1};
  HRESULT afterRefusals = E_FAIL;
  onFreshThread([&] {
    answers[0] = plugin.initialize(NULL);
    answers[1] = plugin.initialize(&newer);
    answers[2] = plugin.initialize(&shortOne);
    answers[3] = plugin.initialize(&empty);
    afterRefusals = probeApartment();
    answers[4] = plugin.initialize(&justEnough);
    plugin.shutdown();
  });
  EXPECT_EQ(NPERR_INVALID_FUNCTABLE_ERROR, answers[0]);
  EXPECT_EQ(NPERR_INCOMPATIBLE_VERSION_ERROR, answers[1]);
  EXPECT_EQ(NPERR_INVALID_FUNCTABLE_ERROR, answers[2]);
  EXPECT_EQ(NPERR_INVALID_FUNCTABLE_ERROR, answers[3]);
  EXPECT_EQ(S_OK, afterRefusals);
  EXPECT_EQ(NPERR_NO_ERROR, answers[4]);
  EXPECT_THAT(messages(),
              ElementsAre("NPKelvraProxy: NP_Initialize", "NPKelvraProxy: NP_Initialize",
                          "NPKelvraProxy: NP_Initialize", "NPKelvraProxy: NP_Initialize",
                          "NPKelvraProxy: NP_Initialize", "CoInitialize Ok",
                          "NPKelvraProxy: NP_Shutdown", "CoUninitialize Ok"));
}

// A refused table must not replace the one kept: the page query of a later NPP_New
// goes to the accepted table's services.
TEST_F(EntryTest, RefusedTableIsNotKept) {
  ASSERT_TRUE(start());
  static int refusedCalls;
  refusedCalls = 0;
  NPNetscapeFuncs newer = *browser::functions();
  newer.version = 0x0100;
  newer.getvalue = [](NPP, NPNVariable, void*) -> NPError {
    ++refusedCalls;
    return NPERR_GENERIC_ERROR;
  };
  NPNetscapeFuncs shortOne = newer;
  shortOne.version = browser::functions()->version;
  shortOne.size = static_cast<uint16_t>(kServicesEnd - 1);
  ASSERT_EQ(NPERR_INCOMPATIBLE_VERSION_ERROR, plugin.initialize(&newer));
  ASSERT_EQ(NPERR_INVALID_FUNCTABLE_ERROR, plugin.initialize(&shortOne));
  browser::Counts before = browser::counts();
  NPP instance = newInstance("www.kelvra.com");
  EXPECT_EQ(0, refusedCalls);
  EXPECT_GT(browser::counts().allocations, before.allocations);  // the origin came from our table
  destroy(instance);
}

TEST_F(EntryTest, InitializeStartsComOnceAndShutdownEndsIt) {
  ASSERT_TRUE(load());
  HRESULT afterFirst = E_FAIL, afterSecond = E_FAIL, afterShutdown = E_FAIL;
  NPError first = -1, second = -1, shutdown = -1;
  onFreshThread([&] {
    first = plugin.initialize(browser::functions());
    afterFirst = probeApartment();
    second = plugin.initialize(browser::functions());
    afterSecond = probeApartment();
    shutdown = plugin.shutdown();
    afterShutdown = probeApartment();
  });
  EXPECT_EQ(NPERR_NO_ERROR, first);
  EXPECT_EQ(NPERR_NO_ERROR, second);
  EXPECT_EQ(NPERR_NO_ERROR, shutdown);
  EXPECT_EQ(S_FALSE, afterFirst);     // the module holds the thread's apartment
  EXPECT_EQ(S_FALSE, afterSecond);
  EXPECT_EQ(S_OK, afterShutdown);     // one CoUninitialize gave back all it took
  EXPECT_THAT(messages(), ElementsAre("NPKelvraProxy: NP_Initialize", "CoInitialize Ok",
                                      "NPKelvraProxy: NP_Initialize", "CoInitialize Ok",
                                      "NPKelvraProxy: NP_Shutdown", "CoUninitialize Ok"));
}

// A shutdown without a held initialisation must not give back a reference the
// module never took: the thread's own one survives it.
TEST_F(EntryTest, ShutdownReleasesNothingItDidNotTake) {
  ASSERT_TRUE(load());
  NPError first = -1, second = -1;
  HRESULT afterWithout = E_FAIL, afterTwice = E_FAIL;
  onFreshThread([&] {
    ASSERT_EQ(S_OK, CoInitialize(NULL));
    first = plugin.shutdown();
    afterWithout = probeApartment();
    plugin.initialize(browser::functions());
    plugin.shutdown();
    second = plugin.shutdown();
    afterTwice = probeApartment();
    CoUninitialize();
  });
  EXPECT_EQ(NPERR_NO_ERROR, first);
  EXPECT_EQ(NPERR_NO_ERROR, second);
  EXPECT_EQ(S_FALSE, afterWithout);
  EXPECT_EQ(S_FALSE, afterTwice);
  // "CoUninitialize Ok" only where COM was given back.
  EXPECT_THAT(messages(), ElementsAre("NPKelvraProxy: NP_Shutdown", "NPKelvraProxy: NP_Initialize",
                                      "CoInitialize Ok", "NPKelvraProxy: NP_Shutdown",
                                      "CoUninitialize Ok", "NPKelvraProxy: NP_Shutdown"));
}

// NP_Shutdown from a thread other than the one NP_Initialize ran on is refused and gives
// back nothing there (that thread's own initialisation stays); the module's is given
// back by the NP_Shutdown on its own thread.
TEST_F(EntryTest, ShutdownOnAnotherThreadLeavesThatThreadsComAlone) {
  ASSERT_TRUE(load());
  HRESULT otherAfter = E_FAIL, ownBefore = E_FAIL, ownAfter = E_FAIL;
  onFreshThread([&] {
    ASSERT_EQ(NPERR_NO_ERROR, plugin.initialize(browser::functions()));
    onFreshThread([&] {
      ASSERT_EQ(S_OK, CoInitialize(NULL));
      plugin.shutdown();
      otherAfter = probeApartment();
      CoUninitialize();
    });
    ownBefore = probeApartment();
    plugin.shutdown();
    ownAfter = probeApartment();
  });
  EXPECT_EQ(S_FALSE, otherAfter) << "the other thread's own initialisation was undone";
  EXPECT_EQ(S_FALSE, ownBefore);
  EXPECT_EQ(S_OK, ownAfter);
  EXPECT_THAT(messages(), ElementsAre("NPKelvraProxy: NP_Initialize", "CoInitialize Ok",
                                      "NPKelvraProxy: NP_Shutdown",
                                      "NP_Shutdown refused: called on a thread other than the browser's",
                                      "NPKelvraProxy: NP_Shutdown", "CoUninitialize Ok"));
}

TEST_F(EntryTest, InitializeInAMultithreadedApartmentLogsFailAndTheNextOneRetries) {
  ASSERT_TRUE(load());
  NPError answer = -1;
  HRESULT afterShutdown = E_FAIL;
  onFreshThread([&] {
    ASSERT_EQ(S_OK, CoInitializeEx(NULL, COINIT_MULTITHREADED));
    answer = plugin.initialize(browser::functions());
    plugin.shutdown();
    // Still the thread's own apartment: the module took nothing and gave nothing back.
    afterShutdown = CoInitializeEx(NULL, COINIT_MULTITHREADED);
    if (SUCCEEDED(afterShutdown)) CoUninitialize();
    CoUninitialize();
  });
  // The failed start is not remembered: the next NP_Initialize, on a thread outside
  // any apartment, starts COM.
  HRESULT afterRetry = E_FAIL;
  onFreshThread([&] {
    plugin.initialize(browser::functions());
    afterRetry = probeApartment();
    plugin.shutdown();
  });
  EXPECT_EQ(NPERR_NO_ERROR, answer);
  EXPECT_EQ(S_FALSE, afterShutdown);
  EXPECT_EQ(S_FALSE, afterRetry);
  EXPECT_THAT(messages(), ElementsAre("NPKelvraProxy: NP_Initialize", "CoInitialize fail",
                                      "NPKelvraProxy: NP_Shutdown",
                                      "NPKelvraProxy: NP_Initialize", "CoInitialize Ok",
                                      "NPKelvraProxy: NP_Shutdown", "CoUninitialize Ok"));
}

// --- NP_GetEntryPoints -------------------------------------------------------------

TEST_F(EntryTest, GetEntryPointsRefusesANullRecordAfterItsLine) {
  ASSERT_TRUE(load());
  EXPECT_EQ(NPERR_INVALID_FUNCTABLE_ERROR, plugin.getEntryPoints(NULL));
  EXPECT_THAT(messages(), ElementsAre("NP_GetEntryPoints"));
}

TEST_F(EntryTest, GetEntryPointsFillsItsFiveCallbacksAndVersionOnly) {
  ASSERT_TRUE(load());
  NPPluginFuncs supplied;
  memset(&supplied, 0xA5, sizeof supplied);
  supplied.size = 0x1234;  // whatever the browser says, it stays
  NPPluginFuncs filled = supplied;
  ASSERT_EQ(NPERR_NO_ERROR, plugin.getEntryPoints(&filled));
  EXPECT_EQ(19, filled.version);
  const void* pattern;
  memset(&pattern, 0xA5, sizeof pattern);
  const void* callbacks[] = {reinterpret_cast<void*>(filled.newp),
                             reinterpret_cast<void*>(filled.destroy),
                             reinterpret_cast<void*>(filled.setwindow),
                             reinterpret_cast<void*>(filled.event),
                             reinterpret_cast<void*>(filled.getvalue)};
  for (const void* callback : callbacks) {
    EXPECT_NE(nullptr, callback);
    EXPECT_NE(pattern, callback);
  }
  // Every other byte, size included, is as supplied.
  NPPluginFuncs expected = supplied;
  expected.version = filled.version;
  expected.newp = filled.newp;
  expected.destroy = filled.destroy;
  expected.setwindow = filled.setwindow;
  expected.event = filled.event;
  expected.getvalue = filled.getvalue;
  EXPECT_EQ(0, memcmp(&expected, &filled, sizeof filled));
  EXPECT_EQ(0x1234, filled.size);
  EXPECT_THAT(messages(), ElementsAre("NP_GetEntryPoints"));
}

// The module writes only into a table whose declared size reaches its last callback;
// a shorter one is refused untouched.
TEST_F(EntryTest, GetEntryPointsRefusesATableTooShortForItsCallbacks) {
  ASSERT_TRUE(load());
  const size_t sizes[] = {0, 2, offsetof(NPPluginFuncs, newp), offsetof(NPPluginFuncs, event),
                          kCallbacksEnd - 1, kCallbacksEnd};
  for (size_t size : sizes) {
    SCOPED_TRACE(size);
    NPPluginFuncs supplied;
    memset(&supplied, 0xA5, sizeof supplied);
    supplied.size = static_cast<uint16_t>(size);
    NPPluginFuncs filled = supplied;
    const bool fits = size >= kCallbacksEnd;
    EXPECT_EQ(fits ? NPERR_NO_ERROR : NPERR_INVALID_FUNCTABLE_ERROR,
              plugin.getEntryPoints(&filled));
    if (fits) {
      EXPECT_EQ(19, filled.version);
      EXPECT_NE(supplied.getvalue, filled.getvalue);
    } else {
      EXPECT_EQ(0, memcmp(&supplied, &filled, sizeof filled));
    }
  }
}

TEST_F(EntryTest, MimeDescriptionNamesTypeExtensionAndContact) {
  ASSERT_TRUE(load());
  EXPECT_STREQ("application/x-vnd-kelvra-launcher:.launcher:plugin-support@kelvra.com",
               plugin.mimeDescription());
  EXPECT_THAT(messages(), ElementsAre("NPKelvraProxy: NP_GetMIMEDescription"));
}

// --- The callbacks without launcher logic ------------------------------------------

class CallbackTest : public EntryTest {
 protected:
  void SetUp() override {
    EntryTest::SetUp();
    ASSERT_TRUE(start());
    mark();
  }
  NPP_t instance = {};
};

TEST_F(CallbackTest, GetValueAnswersNameAndDescription) {
  const char* name = NULL;
  const char* description = NULL;
  EXPECT_EQ(NPERR_NO_ERROR, funcs.getvalue(&instance, NPPVpluginNameString, &name));
  EXPECT_EQ(NPERR_NO_ERROR,
            funcs.getvalue(&instance, NPPVpluginDescriptionString, &description));
  EXPECT_STREQ("KelvraLauncherPlugin", name);
  EXPECT_STREQ("<a href=\"https://www.kelvra.com/\">KelvraLauncherPlugin</a> plugin.",
               description);
  EXPECT_THAT(messagesSinceMark(),
              ElementsAre("getvalue - name string", "getvalue - description string"));
}

TEST_F(CallbackTest, GetValueAnswersXEmbedFalseInOneByte) {
  unsigned char bytes[4];
  memset(bytes, 0xCC, sizeof bytes);
  EXPECT_EQ(NPERR_NO_ERROR, funcs.getvalue(&instance, NPPVpluginNeedsXEmbed, &bytes[1]));
  EXPECT_EQ(0xCC, bytes[0]);
  EXPECT_EQ(0, bytes[1]);
  EXPECT_EQ(0xCC, bytes[2]);
  EXPECT_EQ(0xCC, bytes[3]);
  EXPECT_THAT(messagesSinceMark(), ElementsAre("getvalue - xembed"));
}

TEST_F(CallbackTest, GetValueRefusesOtherVariablesAndLeavesTheValue) {
  const int others[] = {0, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 16, 100};
  for (int variable : others) {
    void* value = &instance;
    EXPECT_EQ(NPERR_GENERIC_ERROR,
              funcs.getvalue(&instance, static_cast<NPPVariable>(variable), &value))
        << variable;
    EXPECT_EQ(&instance, value) << variable;
  }
  std::vector<std::string> log = messagesSinceMark();
  EXPECT_EQ(std::vector<std::string>(sizeof others / sizeof others[0], "getvalue - default"), log);
}

TEST_F(CallbackTest, GetValueWithNullValueAnswersInvalidParamAfterTheRowLine) {
  const struct {
    NPPVariable variable;
    const char* line;
  } rows[] = {{NPPVpluginNameString, "getvalue - name string"},
              {NPPVpluginDescriptionString, "getvalue - description string"},
              {NPPVpluginNeedsXEmbed, "getvalue - xembed"}};
  std::vector<std::string> expected;
  for (const auto& row : rows) {
    EXPECT_EQ(NPERR_INVALID_PARAM, funcs.getvalue(&instance, row.variable, NULL)) << row.line;
    expected.push_back(row.line);
  }
  EXPECT_EQ(expected, messagesSinceMark());
}

TEST_F(CallbackTest, WindowAndEventCallbacksLogAndAnswerZero) {
  NPWindow window = {};
  EXPECT_EQ(NPERR_NO_ERROR, funcs.setwindow(&instance, &window));
  EXPECT_EQ(0, funcs.event(&instance, NULL));
  EXPECT_THAT(messagesSinceMark(), ElementsAre("setWindow", "handleEvent"));
}

}  // namespace
}  // namespace kelvra_test
