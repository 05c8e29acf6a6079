// Faults around the real DLL: the browser's memalloc and createobject answering NULL,
// the launcher class missing or refusing, COM refused on the plug-in's thread, a
// launcher failing every method, temporary directories that are missing, unwritable
// or too long, and a log file whose writes start failing for real (a file-size limit
// set on a child process). Each leaves the plug-in working or cleanly refusing, with
// nothing leaked and the browser's counts balanced.
#include <gtest/gtest.h>

#include <objbase.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "import_patch.h"
#include "method_model.h"
#include "plugin_fixture.h"

using namespace kelvra_test;
using namespace kelvra_test::model;

namespace {

typedef std::vector<std::string> Lines;

const wchar_t kChildFolderVariable[] = L"KELVRA_FAULTS_LOG_FOLDER";

bool contains(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::wstring extended(const std::wstring& path) { return L"\\\\?\\" + path; }

// Every file anywhere below `folder` (trailing backslash), through \\?\ names.
void collectFiles(const std::wstring& folder, std::vector<std::wstring>* files) {
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(extended(folder + L"*").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      collectFiles(folder + name + L"\\", files);
    } else {
      files->push_back(folder + name);
    }
  } while (FindNextFileW(search, &data));
  FindClose(search);
}

std::vector<std::wstring> filesBelow(const std::wstring& folder) {
  std::vector<std::wstring> files;
  collectFiles(folder, &files);
  return files;
}

// Folders below `parent` such that the answer, with its trailing backslash, is exactly
// `length` characters long.
std::wstring makeFolderOfLength(const std::wstring& parent, size_t length) {
  std::wstring folder = parent;
  size_t remaining = length - parent.size();
  while (remaining > 0) {
    size_t take = remaining;
    if (take > 101) take = remaining - 101 >= 2 ? 101 : remaining - 2;
    folder += std::wstring(take - 1, L'd') + L"\\";
    CreateDirectoryW(extended(folder).c_str(), NULL);
    remaining -= take;
  }
  return folder;
}

// Removes `folder` (trailing backslash) and everything below it.
void removeTree(const std::wstring& folder) {
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(extended(folder + L"*").c_str(), &data);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        removeTree(folder + name + L"\\");
      } else {
        DeleteFileW(extended(folder + name).c_str());
      }
    } while (FindNextFileW(search, &data));
    FindClose(search);
  }
  RemoveDirectoryW(extended(folder).c_str());
}

bool isDirectory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(extended(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

unsigned long long fileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

class Faults : public PluginFixture {
 protected:
  struct Embedding {
    NPP instance = NULL;
    NPObject* object = NULL;  // the browser's reference
  };

  void TearDown() override {
    watch.reset();
    if (loadedOn) plugin.shutdown();
    loadedOn = false;
    PluginFixture::TearDown();
  }

  // start() on a private temporary directory, then the BSTR watch and the baseline.
  void begin() {
    ASSERT_TRUE(start());
    watchAndCount();
  }

  // The plug-in loaded while the process's temporary directory is `folder`.
  void beginOn(const std::wstring& folder) {
    setProcessTemporaryDirectory(folder);
    ASSERT_TRUE(loadPlugin(pluginPath(), &plugin));
    loadedOn = true;
    ASSERT_EQ(NPERR_NO_ERROR, startPlugin(plugin, browser::functions(), &funcs));
    watchAndCount();
  }

  // NP_Shutdown and unload of a beginOn() load.
  void endLoad() {
    watch.reset();
    plugin.shutdown();
    unloadPlugin(&plugin);
    loadedOn = false;
  }

  void watchAndCount() {
    watch.reset(new BstrWatch(plugin.module));
    before = browser::counts();
  }

  Embedding open() {
    Embedding embedding;
    NPError error = NPERR_GENERIC_ERROR;
    embedding.instance = newInstance("www.kelvra.com", &error);
    EXPECT_EQ(NPERR_NO_ERROR, error);
    embedding.object = scriptableObject(embedding.instance);
    EXPECT_NE(nullptr, embedding.object);
    return embedding;
  }

  void close(const Embedding& embedding) {
    EXPECT_EQ(NPERR_NO_ERROR, destroy(embedding.instance));
    if (embedding.object != NULL) browser::release(embedding.object);
  }

  NPVariant run(const Embedding& embedding, const MethodModel& row) {
    NPVariant result;
    EXPECT_TRUE(call(embedding.object, row.name, wellFormedArguments(row), &result)) << row.name;
    return result;
  }

  // Every method once, against a launcher that answers well; results checked.
  void expectAllMethodsWork(const Embedding& embedding) {
    for (const MethodModel& row : kMethods) {
      launcher.clearCalls();
      launcher.setAnswer(row.slot, row.family == kFlagResult ? answerFlag(S_FALSE, VARIANT_TRUE)
                                    : row.family == kIntegerResult ? answerResult(S_FALSE)
                                                                    : answerText(S_OK, L"launcher text"));
      NPVariant result = run(embedding, row);
      EXPECT_EQ(1u, launcher.callCount()) << row.name;
      EXPECT_EQ(row.slot, launcher.lastCall().slot) << row.name;
      switch (row.family) {
        case kIntegerResult:
          EXPECT_TRUE(NPVARIANT_IS_INT32(result) && NPVARIANT_TO_INT32(result) == S_FALSE) << row.name;
          break;
        case kFlagResult:
          EXPECT_TRUE(NPVARIANT_IS_BOOLEAN(result) && NPVARIANT_TO_BOOLEAN(result)) << row.name;
          break;
        case kTextResult:
        case kKeyValueResult:
          EXPECT_EQ("launcher text", textOf(result)) << row.name;
          break;
      }
      browser::releaseValue(&result);
    }
    launcher.clearCalls();
  }

  // A fresh embedding that works end to end, then goes again.
  void expectWorking() {
    Embedding embedding = open();
    ASSERT_NE(nullptr, embedding.object);
    expectAllMethodsWork(embedding);
    close(embedding);
  }

  void expectClean() { expectNothingLeaked(before, launcher, watch.get()); }

  // NPP_New refused with `error` and the line; no record, no object left behind.
  void expectPageRefused(NPError error, const std::string& line) {
    const long objects = browser::counts().objectsCreated;
    mark();
    NPError answer = NPERR_NO_ERROR;
    NPP instance = newInstance("www.kelvra.com", &answer);
    EXPECT_EQ(error, answer);
    EXPECT_TRUE(contains(messagesSinceMark(), line)) << line;
    EXPECT_EQ(nullptr, scriptableObject(instance));
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, destroy(instance));
    EXPECT_EQ(objects, browser::counts().objectsCreated);
    EXPECT_EQ(0, launcher.liveObjects());
  }

  std::unique_ptr<BstrWatch> watch;
  browser::Counts before = {};
  bool loadedOn = false;
};

TEST_F(Faults, MemallocNullForAStringResultAnswersMinusOne) {
  begin();
  Embedding embedding = open();
  struct Case {
    const char* method;
    const char* lineName;
  } cases[] = {{"Hello", "KelvraAdapterHello"},
               {"Get_InstallHost", "KelvraAdapterGet_InstallHost"},
               {"GetKeyValue", "invokeKelvraAdapterGetKeyValue"}};
  for (const Case& c : cases) {
    const MethodModel& row = method(c.method);
    launcher.setAnswer(row.slot, answerText(S_OK, L"launcher text"));
    std::vector<NPVariant> args = wellFormedArguments(row);
    browser::Faults faults;
    faults.failAllocationsFrom = 1;  // the method name's copy passes, the result's block does not
    browser::setFaults(faults);
    mark();
    NPVariant result;
    EXPECT_TRUE(call(embedding.object, c.method, args, &result));
    browser::setFaults(browser::Faults());
    ASSERT_TRUE(NPVARIANT_IS_INT32(result)) << c.method << " type " << result.type;
    EXPECT_EQ(-1, NPVARIANT_TO_INT32(result));
    EXPECT_TRUE(contains(messagesSinceMark(), std::string(c.lineName) + " npnfuncs->memalloc(14) = NULL"))
        << c.method;
    EXPECT_GE(browser::counts().failedAllocations, 1);

    result = run(embedding, row);
    EXPECT_EQ("launcher text", textOf(result)) << c.method << " after the fault";
    browser::releaseValue(&result);
  }
  close(embedding);
  expectClean();
}

TEST_F(Faults, MemallocNullForTheMethodNameRefusesTheCallAsUnknown) {
  begin();
  Embedding embedding = open();
  for (const MethodModel& row : kMethods) {
    launcher.clearCalls();
    std::vector<NPVariant> args = wellFormedArguments(row);
    browser::Faults faults;
    faults.failAllocationsFrom = 0;
    browser::setFaults(faults);
    const long exceptions = browser::counts().exceptions;
    NPVariant result;
    EXPECT_FALSE(call(embedding.object, row.name, args, &result)) << row.name;
    browser::setFaults(browser::Faults());
    EXPECT_EQ(exceptions + 1, browser::counts().exceptions) << row.name;
    EXPECT_EQ("exception during invocation", browser::lastException());
    EXPECT_EQ(0u, launcher.callCount()) << row.name;
    EXPECT_TRUE(NPVARIANT_IS_VOID(result));
  }
  expectAllMethodsWork(embedding);
  close(embedding);
  expectClean();
}

TEST_F(Faults, MemallocNullWhileTheHostIsReadRefusesThePage) {
  begin();
  browser::Faults faults;
  faults.failAllocationsFrom = 0;
  browser::setFaults(faults);
  const long requests = launcher.createRequests();
  NPError error = NPERR_GENERIC_ERROR;
  NPP instance = newInstance("www.kelvra.com", &error);
  browser::setFaults(browser::Faults());
  EXPECT_EQ(NPERR_NO_ERROR, error);
  EXPECT_EQ(nullptr, scriptableObject(instance));
  EXPECT_EQ(requests, launcher.createRequests());
  EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, destroy(instance));
  expectWorking();
  expectClean();
}

TEST_F(Faults, CreateObjectNullRefusesThePageAndReleasesItsLauncher) {
  begin();
  browser::Faults faults;
  faults.failCreateObject = true;
  browser::setFaults(faults);
  const int created = launcher.objectsCreated();
  expectPageRefused(NPERR_INVALID_INSTANCE_ERROR,
                    "newv npnfuncs->createobject(instance, &npcRefObject) = NULL");
  browser::setFaults(browser::Faults());
  ASSERT_EQ(created + 1, launcher.objectsCreated());
  const LauncherObjectStats stats = launcher.objectStats(created);
  EXPECT_FALSE(stats.alive);
  EXPECT_EQ(0, stats.references);
  EXPECT_EQ(0, stats.calls);
  expectWorking();
  expectClean();
}

TEST_F(Faults, LauncherClassMissingOrRefusingCreationRefusesThePage) {
  begin();
  launcher.revokeFactory();
  const long requests = launcher.createRequests();
  expectPageRefused(NPERR_INVALID_INSTANCE_ERROR, "newv GetIKelvraLauncherInstance() = NULL");
  EXPECT_EQ(requests, launcher.createRequests());
  ASSERT_EQ(S_OK, launcher.registerFactory());

  const HRESULT refusals[] = {E_OUTOFMEMORY, CLASS_E_CLASSNOTAVAILABLE, E_ACCESSDENIED,
                              E_NOINTERFACE, static_cast<HRESULT>(0x80000000)};
  for (HRESULT refusal : refusals) {
    launcher.refuseCreation(refusal);
    const long asked = launcher.createRequests();
    expectPageRefused(NPERR_INVALID_INSTANCE_ERROR, "newv GetIKelvraLauncherInstance() = NULL");
    EXPECT_EQ(asked + 1, launcher.createRequests()) << std::hex << refusal;
  }
  launcher.refuseCreation(S_OK);
  EXPECT_EQ(0, launcher.objectsCreated());
  expectWorking();
  expectClean();
}

TEST_F(Faults, ComRefusedOnAThreadInTheMultithreadedApartment) {
  browser::Counts baseline = browser::counts();
  long fixtureRequests = launcher.createRequests();
  std::thread pluginThread([&] {
    ASSERT_EQ(S_OK, CoInitializeEx(NULL, COINIT_MULTITHREADED));
    {
      // A launcher this apartment could reach: a CoCreateInstance would find it.
      LauncherStandIn reachable;
      ASSERT_EQ(S_OK, reachable.registerFactory());
      ASSERT_TRUE(start());
      EXPECT_TRUE(contains(messages(), "CoInitialize fail"));
      expectPageRefused(NPERR_INVALID_INSTANCE_ERROR, "newv GetIKelvraLauncherInstance() = NULL");
      EXPECT_EQ(0, reachable.createRequests());
      stop();
      // The plug-in left the thread's own initialisation alone.
      EXPECT_EQ(S_FALSE, CoInitializeEx(NULL, COINIT_MULTITHREADED));
      CoUninitialize();
      reachable.revokeFactory();
    }
    CoUninitialize();
  });
  pluginThread.join();
  EXPECT_EQ(fixtureRequests, launcher.createRequests());
  expectNothingLeaked(baseline, launcher);

  // The same module on a thread where COM can start works as usual.
  begin();
  expectWorking();
  expectClean();
}

TEST_F(Faults, LauncherFailingEveryMethod) {
  begin();
  Embedding embedding = open();
  const HRESULT failures[] = {E_FAIL, E_OUTOFMEMORY, RPC_E_DISCONNECTED, E_UNEXPECTED,
                              static_cast<HRESULT>(0x80000000)};
  for (HRESULT failure : failures) {
    for (const MethodModel& row : kMethods) {
      for (bool textWithFailure : {false, true}) {
        launcher.clearCalls();
        launcher.setHook([failure, textWithFailure](const LauncherCall& call,
                                                    LauncherAnswer& answer) {
          // Out parameters untouched or NULL, as a failing COM method should leave them, or
          // a text handed back all the same, which the module must still free.
          answer = textWithFailure ? answerText(failure, L"left behind")
                   : call.slot % 2 == 0 ? answerNullText(failure) : answerResult(failure);
        });
        NPVariant result = run(embedding, row);
        EXPECT_EQ(1u, launcher.callCount()) << row.name;
        switch (row.family) {
          case kIntegerResult:
            EXPECT_TRUE(NPVARIANT_IS_INT32(result) && NPVARIANT_TO_INT32(result) == failure)
                << row.name;
            break;
          case kFlagResult:
            EXPECT_TRUE(NPVARIANT_IS_BOOLEAN(result) && !NPVARIANT_TO_BOOLEAN(result)) << row.name;
            break;
          case kTextResult:
            EXPECT_EQ(row.errorText, textOf(result)) << row.name;
            break;
          case kKeyValueResult:
            EXPECT_TRUE(NPVARIANT_IS_INT32(result) && NPVARIANT_TO_INT32(result) == -1) << row.name;
            break;
        }
        browser::releaseValue(&result);
      }
    }
  }
  EXPECT_GT(launcher.bstrsHandedOut(), 0);
  launcher.setHook(AnswerHook());
  expectAllMethodsWork(embedding);
  close(embedding);
  expectClean();
}

// The system refusing to convert text, for the module's MultiByteToWideChar.
int WINAPI refuseConversion(UINT, DWORD, LPCCH, int, LPWSTR, int) {
  SetLastError(ERROR_NO_UNICODE_TRANSLATION);
  return 0;
}

// Another MinGW-built module in the browser (a plug-in, a shell extension, an input
// method) brings the toolchain's shared unwinder into the process before the plug-in
// loads. Each path where the plug-in runs out of memory or is refused a conversion
// must answer as it does alone, never end the process.
TEST_F(Faults, FailurePathsHoldWithAnotherModulesUnwinderLoadedFirst) {
  HMODULE unwinder = LoadLibraryW(L"libgcc_s_dw2-1.dll");
  ASSERT_NE(nullptr, unwinder) << "the toolchain's libgcc_s_dw2-1.dll belongs beside the test";
  begin();
  Embedding embedding = open();
  {
    // The method table's first use, with no memory to be had.
    HeapWatch heap(plugin.module);
    heap.failAllocations(0, 1000);
    NPVariant result;
    EXPECT_TRUE(call(embedding.object, "HelloWorld", {}, &result));
    EXPECT_TRUE(NPVARIANT_IS_INT32(result) && NPVARIANT_TO_INT32(result) == S_OK);
    EXPECT_EQ(1u, launcher.callCount());
  }
  for (int failing = 0; failing < 2; ++failing) {
    launcher.clearCalls();
    const ULONG_PTR system = addressOf(procAddress<decltype(&refuseConversion)>(
        GetModuleHandleW(L"kernel32.dll"), "MultiByteToWideChar"));
    const ULONG_PTR refusal = addressOf(&refuseConversion);
    if (failing == 0) {
      watch->failAllocations(0, 1);
    } else {
      ASSERT_GT(patchImports(plugin.module, &system, &refusal, 1), 0);
    }
    NPVariant result;
    EXPECT_TRUE(call(embedding.object, "Put_AuthenticationTicket",
                     {browser::stringArgument("tkt-123456789")}, &result));
    if (failing == 1) patchImports(plugin.module, &refusal, &system, 1);
    const HRESULT expected = failing == 0 ? E_OUTOFMEMORY : HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_TRUE(NPVARIANT_IS_INT32(result) && NPVARIANT_TO_INT32(result) == expected)
        << (failing == 0 ? "allocation" : "conversion");
    EXPECT_EQ(0u, launcher.callCount());
  }
  {
    // The registry's insert: the record is NPP_New's first block, the list's the next.
    HeapWatch heap(plugin.module);
    heap.failAllocations(1, 1);
    NPError error = NPERR_NO_ERROR;
    NPP instance = newInstance("www.kelvra.com", &error);
    EXPECT_EQ(NPERR_OUT_OF_MEMORY_ERROR, error);
    EXPECT_EQ(nullptr, scriptableObject(instance));
  }
  expectAllMethodsWork(embedding);
  close(embedding);
  expectClean();
  FreeLibrary(unwinder);
}

TEST_F(Faults, MissingTemporaryDirectoryLeavesThePluginWorkingUnlogged) {
  const std::wstring parent = makeTemporaryDirectory(L"kelvra-faults-");
  const std::wstring missing = parent + L"missing\\";
  beginOn(missing);
  expectWorking();
  endLoad();
  expectClean();
  EXPECT_FALSE(isDirectory(missing));
  EXPECT_TRUE(filesBelow(parent).empty());
  removeTree(parent);
}

TEST_F(Faults, UnwritableTemporaryDirectoryLeavesThePluginWorkingUnlogged) {
  // A path through a plain file, and a folder of the running system that takes no files
  // (the process runs as a user who could write anywhere else).
  const std::wstring parent = makeTemporaryDirectory(L"kelvra-faults-");
  const std::wstring plainFile = parent + L"plain.txt";
  HANDLE file = CreateFileW(plainFile.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  CloseHandle(file);
  std::vector<std::wstring> folders = {plainFile + L"\\"};
  if (isDirectory(L"Z:\\proc\\")) folders.push_back(L"Z:\\proc\\");
  for (const std::wstring& folder : folders) {
    SCOPED_TRACE(narrow(folder));
    beginOn(folder);
    expectWorking();
    endLoad();
    expectClean();
  }
  EXPECT_EQ(std::vector<std::wstring>({plainFile}), filesBelow(parent));
  EXPECT_EQ(0u, fileSize(plainFile));
  if (folders.size() > 1) {
    EXPECT_TRUE(findFiles(L"Z:\\proc\\", L"KLV-*").empty());
  }
  removeTree(parent);
}

TEST_F(Faults, TemporaryPathTooLongForTheNameBuffer) {
  // The name "KLV-XXXXXXXX.log" takes 16 characters after the folder, its NUL one more:
  // a folder of 243 characters just fits the 260 of the name buffer.
  struct Case {
    size_t length;
    bool logged;
  } cases[] = {{243, true}, {244, false}, {255, false}, {300, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE("folder of " + std::to_string(c.length) + " characters");
    const std::wstring base = makeTemporaryDirectory(L"kelvra-faults-");
    const std::wstring folder = makeFolderOfLength(base, c.length);
    ASSERT_EQ(c.length, folder.size());
    ASSERT_TRUE(isDirectory(folder));
    beginOn(folder);
    expectWorking();
    endLoad();
    expectClean();
    const std::vector<std::wstring> files = filesBelow(base);
    if (c.logged) {
      ASSERT_EQ(1u, files.size());
      EXPECT_EQ(259u, files[0].size());
      EXPECT_EQ(0u, files[0].find(folder + L"KLV-"));
    } else {
      EXPECT_TRUE(files.empty()) << narrow(files.empty() ? std::wstring() : files[0]);
    }
    removeTree(base);
  }
}

// The parent half of the log-failure test: runs the child below under a file-size
// limit, so that a write of the log really fails part-way through the run.
TEST_F(Faults, LogBecomingUnwritableMidRunLeavesThePluginWorking) {
  typedef char*(CDECL * UnixName)(const WCHAR*);
  const UnixName unixName = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unixName == NULL || !isDirectory(L"Z:\\bin\\") ||
      GetFileAttributesW(L"Z:\\bin\\sh") == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "the file-size limit is set through the Unix shell, which needs Wine";
  }
  wchar_t program[MAX_PATH];
  GetModuleFileNameW(NULL, program, MAX_PATH);
  char* programUnix = unixName(program);
  ASSERT_NE(nullptr, programUnix);
  const std::string programPath = programUnix;
  HeapFree(GetProcessHeap(), 0, programUnix);

  const std::wstring folder = makeTemporaryDirectory(L"kelvra-faults-limit-");
  const std::wstring report = folder + L"child.xml";
  SetEnvironmentVariableW(kChildFolderVariable, folder.c_str());
  // 64 blocks: 32 KiB (dash counts 512-byte blocks; 64 KiB with 1 KiB blocks).
  std::string command = "Z:\\bin\\sh -c \"ulimit -f 64; trap '' XFSZ; exec wine '" + programPath +
                        "' --gtest_also_run_disabled_tests --gtest_filter=Faults.DISABLED_LogLimitChild"
                        " '--gtest_output=xml:" + narrow(report) + "' >/dev/null 2>&1\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child = {};
  ASSERT_TRUE(CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &child))
      << GetLastError();
  // Wine hands back no handle to wait on for a Unix process: the finished report is the sign.
  if (child.hThread != NULL) CloseHandle(child.hThread);
  if (child.hProcess != NULL) CloseHandle(child.hProcess);
  SetEnvironmentVariableW(kChildFolderVariable, NULL);
  std::string xml;
  for (int waited = 0; waited < 1800 && xml.find("</testsuites>") == std::string::npos; ++waited) {
    Sleep(100);
    xml = readFileShared(report);
  }
  EXPECT_NE(std::string::npos, xml.find("name=\"DISABLED_LogLimitChild\"")) << xml;
  EXPECT_NE(std::string::npos, xml.find("result=\"completed\"")) << xml;
  EXPECT_EQ(std::string::npos, xml.find("<failure")) << xml;

  // The child's log: whole lines up to the limit, then at most the start of one more.
  const std::vector<std::wstring> logs = findFiles(folder, L"KLV-*.log");
  ASSERT_EQ(1u, logs.size());
  const std::string text = readFileShared(logs[0]);
  EXPECT_LE(text.size(), 65536u);
  EXPECT_GE(text.size(), 16384u);
  const size_t lastEnd = text.rfind("\r\n");
  ASSERT_NE(std::string::npos, lastEnd);
  EXPECT_EQ("", logFault(text.substr(0, lastEnd + 2)));
  EXPECT_LT(text.size() - (lastEnd + 2), 1024u) << "more than one partial line";
  removeTree(folder);
}

// Run only by the test above, in a process whose files cannot grow past the limit.
TEST_F(Faults, DISABLED_LogLimitChild) {
  wchar_t folder[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(kChildFolderVariable, folder, MAX_PATH);
  ASSERT_TRUE(length > 0 && length < MAX_PATH) << "started by LogBecomingUnwritableMidRunLeavesThePluginWorking";
  beginOn(folder);
  const std::vector<std::wstring> logs = findFiles(folder, L"KLV-*.log");
  ASSERT_EQ(1u, logs.size());
  Embedding embedding = open();
  ASSERT_NE(nullptr, embedding.object);

  // Calls until the log stops growing: a write has failed.
  const MethodModel& startGame = method("StartGame");
  int unchanged = 0;
  int calls = 0;
  for (; calls < 5000 && unchanged < 20; ++calls) {
    const unsigned long long size = fileSize(logs[0]);
    NPVariant result;
    EXPECT_TRUE(call(embedding.object, "StartGame",
                     {browser::stringArgument(std::string(300, 't')), browser::stringArgument("s")}, &result));
    EXPECT_TRUE(NPVARIANT_IS_INT32(result) && NPVARIANT_TO_INT32(result) == 0);
    unchanged = fileSize(logs[0]) == size ? unchanged + 1 : 0;
  }
  ASSERT_EQ(20, unchanged) << "the log never stopped growing";
  EXPECT_EQ(startGame.slot, launcher.lastCall().slot);
  const unsigned long long stopped = fileSize(logs[0]);

  // From here every call still answers as it should; the log stays as it was.
  expectAllMethodsWork(embedding);
  expectWorking();
  close(embedding);
  EXPECT_EQ(stopped, fileSize(logs[0]));
  endLoad();
  expectClean();
  printf("log stopped at %llu bytes after %d calls\n", stopped, calls);
}

}  // namespace
