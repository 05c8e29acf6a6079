// The DLL as shipped (KELVRA_PLUGIN_DLL names dist/NPKelvraProxy.dll), read as a file
// (and loaded once, for its stack guard): the hardening a Windows vendor checks for, no threading runtime of its own in the
// browser's process, no build time stamp, and the debug file it names. Its exports,
// imports, version resource and manifest are checked by blackbox_entry_test, run
// against the same file.
#include <windows.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "import_patch.h"
#include "pe_image.h"
#include "plugin_fixture.h"

namespace kelvra_test {
namespace {

using ::testing::IsSubsetOf;
using ::testing::Not;
using ::testing::StartsWith;

std::wstring folderOf(const std::wstring& path) {
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// The CRC-32 that .gnu_debuglink carries (the zlib polynomial, reflected).
DWORD crc32(const std::string& bytes) {
  DWORD crc = 0xFFFFFFFFu;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

class ShippedDllTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dll.valid()) << narrow(pluginPath()) << " is no 32-bit PE file";
  }

  // The name the DLL gives its debug file (NUL-padded to four bytes, then the CRC).
  std::string debugLinkName() const {
    std::string link = dll.sectionData(".gnu_debuglink");
    return std::string(link.c_str());
  }

  PeImage dll{pluginPath()};
};

TEST_F(ShippedDllTest, CarriesTheHardeningFlagsAndNoTimeStamp) {
  const IMAGE_NT_HEADERS32& nt = dll.headers();
  WORD flags = nt.OptionalHeader.DllCharacteristics;
  EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
  EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
  EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_NO_SEH);
  // A relocatable image must keep its relocations for ASLR to move it.
  EXPECT_NE(0u, nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC].Size);
  EXPECT_TRUE(nt.FileHeader.Characteristics & IMAGE_FILE_DLL);
  EXPECT_EQ(0u, nt.FileHeader.TimeDateStamp);
}

TEST_F(ShippedDllTest, IsStrippedAndNamesItsDebugFileWithItsChecksum) {
  EXPECT_EQ(0u, dll.headers().FileHeader.NumberOfSymbols);
  const IMAGE_SECTION_HEADER* first = IMAGE_FIRST_SECTION(&dll.headers());
  for (WORD i = 0; i < dll.headers().FileHeader.NumberOfSections; ++i) {
    EXPECT_THAT(dll.sectionName(first[i]), Not(StartsWith(".debug")))
        << "debug information left in the DLL";
  }
  std::string link = dll.sectionData(".gnu_debuglink");
  ASSERT_EQ("NPKelvraProxy.dll.debug", debugLinkName());
  size_t crcAt = (debugLinkName().size() + 4) & ~size_t(3);
  ASSERT_GE(link.size(), crcAt + 4);
  DWORD stored;
  memcpy(&stored, link.data() + crcAt, 4);
  std::string debug = readFileShared(folderOf(pluginPath()) + widen(debugLinkName()));
  ASSERT_FALSE(debug.empty());
  EXPECT_EQ(stored, crc32(debug));
}

TEST_F(ShippedDllTest, BringsNoThreadingRuntimeIntoTheBrowser) {
  // winpthread adds a vectored exception handler, a TLS callback of its own and
  // thread suspension; the CRT's own two TLS callbacks (its TLS initialisers and the
  // thread-exit destructors of the win32 thread model) are all there may be.
  std::vector<std::string> imported;
  for (const PeImport& import : dll.imports()) {
    EXPECT_THAT(import.library, Not(StartsWith("libwinpthread")));
    imported.insert(imported.end(), import.functions.begin(), import.functions.end());
  }
  ASSERT_FALSE(imported.empty());
  const char* forbidden[] = {"AddVectoredExceptionHandler", "RemoveVectoredExceptionHandler",
                             "AddVectoredContinueHandler", "SuspendThread", "ResumeThread",
                             "GetThreadContext", "SetThreadContext"};
  for (const char* name : forbidden) {
    EXPECT_THAT(imported, Not(::testing::Contains(std::string(name))));
  }

  PeImage debug(folderOf(pluginPath()) + widen(debugLinkName()));
  ASSERT_TRUE(debug.valid());
  std::vector<PeSymbol> symbols = debug.symbols();
  ASSERT_FALSE(symbols.empty());
  std::vector<std::string> callbacks;
  for (DWORD rva : dll.tlsCallbacks()) {
    std::string name = "?";
    for (const PeSymbol& symbol : symbols) {
      if (symbol.rva == rva && symbol.name.compare(0, 2, "__") == 0) name = symbol.name;
    }
    callbacks.push_back(name);
  }
  EXPECT_THAT(callbacks, IsSubsetOf({"___dyn_tls_init@12", "___dyn_tls_dtor@12"}));
}

// The system's counter failing, as its contract allows: the DLL's start-up code reads it
// through kernel32's export, patched before each load.
long counterCalls = 0;
BOOL WINAPI failingCounter(LARGE_INTEGER*) {
  ++counterCalls;
  return FALSE;
}

// The protector's guard and failure are the module's own: each load sets the guard
// anew (from nothing that loads a DLL), every bit of it changing from load to load,
// with a working counter or a failing one; no library of the protector comes along.
TEST_F(ShippedDllTest, IsBuiltWithTheStackProtectorAndSetsItsGuardAtLoad) {
  PeImage debug(folderOf(pluginPath()) + widen(debugLinkName()));
  ASSERT_TRUE(debug.valid());
  DWORD guardRva = 0;
  std::vector<std::string> names;
  for (const PeSymbol& symbol : debug.symbols()) {
    names.push_back(symbol.name);
    if (symbol.name == "___stack_chk_guard") guardRva = symbol.rva;
  }
  EXPECT_THAT(names, ::testing::Contains("___stack_chk_fail"));
  EXPECT_THAT(names, ::testing::Contains("_NP_Initialize@4"));
  for (const PeImport& import : dll.imports()) {
    EXPECT_THAT(import.library, Not(StartsWith("libssp")));
  }
  ASSERT_NE(0u, guardRva);
  const BYTE* stored = dll.at(guardRva, sizeof(DWORD));
  ASSERT_NE(nullptr, stored);
  DWORD initial;
  memcpy(&initial, stored, sizeof initial);

  // A temporary folder that does not exist turns each load's log off.
  wchar_t tmp[MAX_PATH], temp[MAX_PATH];
  GetEnvironmentVariableW(L"TMP", tmp, MAX_PATH);
  GetEnvironmentVariableW(L"TEMP", temp, MAX_PATH);
  SetEnvironmentVariableW(L"TMP", L"C:\\no-such-folder");
  SetEnvironmentVariableW(L"TEMP", L"C:\\no-such-folder");
  const int kLoads = 32;
  for (bool counterFails : {false, true}) {
    SCOPED_TRACE(counterFails ? "QueryPerformanceCounter failing" : "QueryPerformanceCounter working");
    counterCalls = 0;
    DWORD changed = 0, previous = 0;
    for (int i = 0; i < kLoads; ++i) {
      std::unique_ptr<ExportPatch> counter;
      if (counterFails) {
        counter.reset(new ExportPatch(GetModuleHandleW(L"kernel32.dll"), "QueryPerformanceCounter",
                                      addressOf(&failingCounter)));
        ASSERT_TRUE(counter->applied());
      }
      LoadedPlugin plugin = {};
      ASSERT_TRUE(loadPlugin(pluginPath(), &plugin));
      DWORD loaded;
      memcpy(&loaded, reinterpret_cast<const BYTE*>(plugin.module) + guardRva, sizeof loaded);
      unloadPlugin(&plugin);
      EXPECT_NE(initial, loaded) << "the guard was not set at load " << i;
      if (i > 0) changed |= loaded ^ previous;
      previous = loaded;
    }
    EXPECT_EQ(0xFFFFFFFFu, changed) << "bits that changed between loads";
    EXPECT_EQ(counterFails ? kLoads : 0, counterCalls);
  }
  SetEnvironmentVariableW(L"TMP", tmp);
  SetEnvironmentVariableW(L"TEMP", temp);
}

}  // namespace
}  // namespace kelvra_test
