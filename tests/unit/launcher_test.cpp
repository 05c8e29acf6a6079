// The launcher client against the stand-in launcher, reached through CoCreateInstance:
// creation, the slot and argument order of every adapter, BSTR ownership, VARIANT_BOOL
// reading, the ANSI conversions and the COM support pieces _bstr_t relies on.
#include <windows.h>
#include <comdef.h>
#include <string.h>

#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/session.h"
#include "launcher/launcher.h"
#include "launcher_standin.h"

using namespace kelvra_test;

namespace {

const char kHelloError[] = "IKelvraLauncher->Hello() Error occured !";
const char kInstallHostError[] = "IKelvraLauncher->get_InstallHost() Error occured !";
const unsigned char kGuardByte = 0xCD;
const size_t kGuardSize = 4096;  // wide enough to catch an overrun before it hits the heap

// A buffer of `size` bytes followed by a guard region, all filled with one byte.
struct GuardedBuffer {
  explicit GuardedBuffer(size_t size, unsigned char fill = 0)
      : size(size), bytes(size + kGuardSize, static_cast<char>(kGuardByte)) {
    memset(bytes.data(), fill, size);
  }
  char* data() { return bytes.data(); }
  std::string text() const { return std::string(bytes.data()); }
  bool guardIntact() const {
    for (size_t i = size; i < bytes.size(); ++i) {
      if (static_cast<unsigned char>(bytes[i]) != kGuardByte) return false;
    }
    return true;
  }
  bool allBytesAre(unsigned char fill) const {
    for (size_t i = 0; i < size; ++i) {
      if (static_cast<unsigned char>(bytes[i]) != fill) return false;
    }
    return true;
  }
  size_t size;
  std::vector<char> bytes;
};

// The test thread's own COM initialisation (the stand-in's factory needs it to register),
// the stand-in registered, the module's COM up, and a watch on the test program's BSTRs,
// which must balance at the end of every test.
class LauncherClient : public ::testing::Test {
 protected:
  LauncherClient() : watch(GetModuleHandleW(NULL)) {}

  void SetUp() override {
    ASSERT_GT(watch.patchedImports(), 0) << "no BSTR import to watch";
    ASSERT_TRUE(SUCCEEDED(CoInitialize(NULL)));
    ASSERT_EQ(S_OK, standIn.registerFactory());
    ensureComInitialized();
    ASSERT_TRUE(isComInitialized());
  }

  void TearDown() override {
    for (IKelvraLauncher* launcher : created) launcher->Release();
    for (int i = 0; i < standIn.objectsCreated(); ++i) {
      EXPECT_EQ(0, standIn.objectStats(i).overReleases) << "object " << i;
    }
    EXPECT_EQ(0, standIn.liveObjects());
    EXPECT_EQ(0, watch.outstanding()) << "BSTRs left unfreed";
    EXPECT_EQ(0, watch.badFrees()) << "BSTRs freed twice or never allocated";
    releaseCom();
    standIn.revokeFactory();
    CoUninitialize();
  }

  // A launcher from the module's creation path, released by TearDown.
  IKelvraLauncher* create() {
    IKelvraLauncher* launcher = GetIKelvraLauncherInstance();
    if (launcher != NULL) created.push_back(launcher);
    return launcher;
  }

  BstrWatch watch;
  LauncherStandIn standIn;
  std::vector<IKelvraLauncher*> created;
};

// LauncherClient with the launcher the test works on already created.
class LauncherInUse : public LauncherClient {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(LauncherClient::SetUp());
    launcher = create();
    ASSERT_NE(nullptr, launcher);
  }

  IKelvraLauncher* launcher = nullptr;
};

// ---------------------------------------------------------------------------------------
// Creation

typedef LauncherClient LauncherCreation;

TEST_F(LauncherCreation, WithoutModuleComAnswersNullAndNeverAsksTheFactory) {
  releaseCom();
  ASSERT_FALSE(isComInitialized());
  EXPECT_EQ(nullptr, GetIKelvraLauncherInstance());
  EXPECT_EQ(0, standIn.createRequests());

  ensureComInitialized();
  EXPECT_NE(nullptr, create());
  EXPECT_EQ(1, standIn.createRequests());
}

TEST_F(LauncherCreation, CreatedObjectCarriesExactlyOneReference) {
  IKelvraLauncher* launcher = create();
  ASSERT_NE(nullptr, launcher);
  EXPECT_EQ(1, standIn.objectsCreated());
  EXPECT_EQ(1, standIn.liveObjects());
  EXPECT_EQ(1, standIn.objectStats(0).references);
}

TEST_F(LauncherCreation, UnregisteredClassAnswersNull) {
  standIn.revokeFactory();
  EXPECT_EQ(nullptr, GetIKelvraLauncherInstance());
  EXPECT_EQ(0, standIn.createRequests());
}

TEST_F(LauncherCreation, RefusedCreationAnswersNull) {
  const HRESULT refusals[] = {E_FAIL, E_OUTOFMEMORY, CLASS_E_CLASSNOTAVAILABLE};
  for (HRESULT refusal : refusals) {
    standIn.refuseCreation(refusal);
    EXPECT_EQ(nullptr, GetIKelvraLauncherInstance()) << std::hex << refusal;
  }
  EXPECT_EQ(3, standIn.createRequests());
  EXPECT_EQ(0, standIn.objectsCreated());

  standIn.refuseCreation(S_OK);
  EXPECT_NE(nullptr, create());
}

TEST_F(LauncherCreation, EachEmbeddingGetsItsOwnObject) {
  IKelvraLauncher* first = create();
  IKelvraLauncher* second = create();
  IKelvraLauncher* third = create();
  ASSERT_TRUE(first && second && third);
  EXPECT_NE(first, second);
  EXPECT_NE(second, third);

  EXPECT_EQ(S_OK, KelvraAdapterUpdate(second));
  EXPECT_EQ(S_OK, KelvraAdapterHelloWorld(third));
  EXPECT_EQ(S_OK, KelvraAdapterUpdate(first));
  const std::vector<LauncherCall> calls = standIn.calls();
  ASSERT_EQ(3u, calls.size());
  EXPECT_EQ(1, calls[0].object);
  EXPECT_EQ(2, calls[1].object);
  EXPECT_EQ(kSlotHelloWorld, calls[1].slot);
  EXPECT_EQ(0, calls[2].object);

  second->Release();
  created.erase(created.begin() + 1);
  EXPECT_EQ(2, standIn.liveObjects());
  EXPECT_FALSE(standIn.objectStats(1).alive);
}

// ---------------------------------------------------------------------------------------
// Every adapter: its slot, the launcher's HRESULT unchanged, no reference taken or given

struct AdapterCase {
  const char* name;
  int slot;
  std::function<HRESULT(IKelvraLauncher*)> call;
};

std::vector<AdapterCase> allAdapters() {
  static char text[kLauncherTextSize];
  static bool flag;
  return {
      {"StartGame", kSlotStartGame, [](IKelvraLauncher* l) { return KelvraAdapterStartGame(l, "t", "s"); }},
      {"HelloWorld", kSlotHelloWorld, [](IKelvraLauncher* l) { return KelvraAdapterHelloWorld(l); }},
      {"Hello", kSlotHello, [](IKelvraLauncher* l) { return KelvraAdapterHello(l, text, sizeof text); }},
      {"Get_InstallHost", kSlotGetInstallHost,
       [](IKelvraLauncher* l) { return KelvraAdapterGet_InstallHost(l, text, sizeof text); }},
      {"Update", kSlotUpdate, [](IKelvraLauncher* l) { return KelvraAdapterUpdate(l); }},
      {"Put_AuthenticationTicket", kSlotPutAuthenticationTicket,
       [](IKelvraLauncher* l) { return KelvraAdapterPut_AuthenticationTicket(l, "t"); }},
      {"Get_IsUpToDate", kSlotGetIsUpToDate,
       [](IKelvraLauncher* l) { return KelvraAdapterGet_IsUpToDate(l, &flag); }},
      {"PreStartGame", kSlotPreStartGame, [](IKelvraLauncher* l) { return KelvraAdapterPreStartGame(l); }},
      {"Get_IsGameStarted", kSlotGetIsGameStarted,
       [](IKelvraLauncher* l) { return KelvraAdapterGet_IsGameStarted(l, &flag); }},
      {"Get_SetSilentModeEnabled", kSlotSetSilentModeEnabled,
       [](IKelvraLauncher* l) { return KelvraAdapterGet_SetSilentModeEnabled(l, 1); }},
      {"GetKeyValue", kSlotGetKeyValue,
       [](IKelvraLauncher* l) { return KelvraAdapterGetKeyValue(l, "k", text, sizeof text); }},
      {"SetKeyValue", kSlotSetKeyValue, [](IKelvraLauncher* l) { return KelvraAdapterSetKeyValue(l, "k", "v"); }},
      {"DeleteKeyValue", kSlotDeleteKeyValue,
       [](IKelvraLauncher* l) { return KelvraAdapterDeleteKeyValue(l, "k"); }},
      {"Get_SetStartInHiddenMode", kSlotSetStartInHiddenMode,
       [](IKelvraLauncher* l) { return KelvraAdapterGet_SetStartInHiddenMode(l, 0); }},
      {"Get_UnhideApp", kSlotUnhideApp, [](IKelvraLauncher* l) { return KelvraAdapterGet_UnhideApp(l); }},
      {"BringAppToFront", kSlotBringAppToFront,
       [](IKelvraLauncher* l) { return KelvraAdapterBringAppToFront(l); }},
      {"ResetLaunchState", kSlotResetLaunchState,
       [](IKelvraLauncher* l) { return KelvraAdapterResetLaunchState(l); }},
      {"SetEditMode", kSlotSetEditMode, [](IKelvraLauncher* l) { return KelvraAdapterSetEditMode(l); }},
  };
}

typedef LauncherClient LauncherAdapters;

TEST_F(LauncherAdapters, EachCallsItsOwnSlotOnce) {
  IKelvraLauncher* launcher = create();
  ASSERT_NE(nullptr, launcher);
  const std::vector<AdapterCase> adapters = allAdapters();
  ASSERT_EQ(static_cast<size_t>(kLastLauncherSlot - kFirstLauncherSlot + 1), adapters.size());
  for (const AdapterCase& adapter : adapters) {
    standIn.clearCalls();
    adapter.call(launcher);
    const std::vector<LauncherCall> calls = standIn.calls();
    ASSERT_EQ(1u, calls.size()) << adapter.name;
    EXPECT_EQ(adapter.slot, calls[0].slot)
        << adapter.name << " reached " << launcherSlotName(calls[0].slot);
  }
}

TEST_F(LauncherAdapters, EachReturnsTheLaunchersResultUnchanged) {
  IKelvraLauncher* launcher = create();
  ASSERT_NE(nullptr, launcher);
  for (const AdapterCase& adapter : allAdapters()) {
    const HRESULT results[] = {S_OK, S_FALSE, 0x7, static_cast<HRESULT>(0x80040200 + adapter.slot),
                               E_FAIL};
    for (HRESULT result : results) {
      standIn.setAnswer(adapter.slot, answerResult(result));
      EXPECT_EQ(result, adapter.call(launcher)) << adapter.name;
    }
  }
}

TEST_F(LauncherAdapters, NoneTakesOrDropsAReference) {
  IKelvraLauncher* launcher = create();
  ASSERT_NE(nullptr, launcher);
  const LauncherObjectStats before = standIn.objectStats(0);
  for (const AdapterCase& adapter : allAdapters()) adapter.call(launcher);
  const LauncherObjectStats after = standIn.objectStats(0);
  EXPECT_EQ(1, after.references);
  EXPECT_EQ(before.addRefs, after.addRefs);
  EXPECT_EQ(before.releases, after.releases);
  EXPECT_EQ(before.queryInterfaces, after.queryInterfaces);
  EXPECT_EQ(18, after.calls);
}

TEST_F(LauncherAdapters, CallsFromSeveralThreadsAreRecordedPerObject) {
  const int kThreads = 4;
  const int kCallsEach = 150;
  std::vector<IKelvraLauncher*> launchers;
  for (int i = 0; i < kThreads; ++i) {
    launchers.push_back(create());
    ASSERT_NE(nullptr, launchers.back());
  }
  std::vector<std::thread> threads;
  std::vector<DWORD> threadIds(kThreads);
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i]() {
      threadIds[i] = GetCurrentThreadId();
      for (int n = 0; n < kCallsEach; ++n) {
        KelvraAdapterSetKeyValue(launchers[i], "key", std::to_string(n).c_str());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::vector<int> seen(kThreads, 0);
  for (const LauncherCall& call : standIn.calls()) {
    ASSERT_GE(call.object, 0);
    ASSERT_LT(call.object, kThreads);
    EXPECT_EQ(threadIds[call.object], call.thread);
    ASSERT_EQ(2u, call.texts.size());
    EXPECT_EQ(std::to_wstring(seen[call.object]), call.texts[1].text);
    ++seen[call.object];
  }
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(kCallsEach, seen[i]) << "object " << i;
  EXPECT_EQ(2L * kThreads * kCallsEach, watch.frees());
}

// ---------------------------------------------------------------------------------------
// Text arguments: one BSTR per text in argument order, alive for the call, freed after it

typedef LauncherInUse LauncherTextIn;

TEST_F(LauncherTextIn, TwoTextsArriveInArgumentOrder) {
  char value[kLauncherTextSize] = {0};

  KelvraAdapterStartGame(launcher, "ticket-1", "script-2");
  LauncherCall call = standIn.lastCall();
  ASSERT_EQ(2u, call.texts.size());
  EXPECT_EQ(L"ticket-1", call.texts[0].text);
  EXPECT_EQ(L"script-2", call.texts[1].text);

  KelvraAdapterSetKeyValue(launcher, "the-key", "the-value");
  call = standIn.lastCall();
  ASSERT_EQ(2u, call.texts.size());
  EXPECT_EQ(L"the-key", call.texts[0].text);
  EXPECT_EQ(L"the-value", call.texts[1].text);

  KelvraAdapterPut_AuthenticationTicket(launcher, "auth");
  KelvraAdapterDeleteKeyValue(launcher, "gone");
  KelvraAdapterGetKeyValue(launcher, "wanted", value, sizeof value);
  const std::vector<LauncherCall> calls = standIn.calls();
  ASSERT_EQ(5u, calls.size());
  const wchar_t* expected[] = {L"auth", L"gone", L"wanted"};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(1u, calls[2 + i].texts.size());
    EXPECT_EQ(expected[i], calls[2 + i].texts[0].text);
  }
}

TEST_F(LauncherTextIn, BstrsAreAliveDuringTheCallAndFreedOnceAfterIt) {
  KelvraAdapterStartGame(launcher, "abc", "defgh");
  const LauncherCall call = standIn.lastCall();
  ASSERT_EQ(2u, call.texts.size());
  for (const ReceivedText& text : call.texts) {
    EXPECT_FALSE(text.isNull);
    EXPECT_EQ(1, text.watchState) << "the BSTR was not a live one during the call";
    EXPECT_FALSE(watch.isLive(text.pointer)) << "the BSTR outlived the call";
  }
  EXPECT_EQ(3u, call.texts[0].length);
  EXPECT_EQ(5u, call.texts[1].length);
  EXPECT_EQ(2, watch.allocations());
  EXPECT_EQ(2, watch.frees());
}

TEST_F(LauncherTextIn, EmptyTextIsAnEmptyNonNullBstr) {
  KelvraAdapterSetKeyValue(launcher, "", "");
  const LauncherCall call = standIn.lastCall();
  ASSERT_EQ(2u, call.texts.size());
  for (const ReceivedText& text : call.texts) {
    EXPECT_FALSE(text.isNull);
    EXPECT_EQ(0u, text.length);
  }
}

TEST_F(LauncherTextIn, EmbeddedNulCutsTheText) {
  const char ticket[] = "ab\0cd";
  KelvraAdapterPut_AuthenticationTicket(launcher, ticket);
  const LauncherCall call = standIn.lastCall();
  ASSERT_EQ(1u, call.texts.size());
  EXPECT_EQ(2u, call.texts[0].length);
  EXPECT_EQ(L"ab", call.texts[0].text);
}

TEST_F(LauncherTextIn, BytesAboveAsciiFollowTheAnsiCodePage) {
  if (GetACP() != 1252) GTEST_SKIP() << "expects code page 1252, have " << GetACP();
  // 0xE9 is e-acute in 1252; C3 A9 is e-acute in UTF-8, which must not be decoded.
  KelvraAdapterStartGame(launcher, "caf\xE9", "\xC3\xA9\x80");
  const LauncherCall call = standIn.lastCall();
  ASSERT_EQ(2u, call.texts.size());
  EXPECT_EQ(std::wstring(L"caf\x00E9"), call.texts[0].text);
  EXPECT_EQ(std::wstring(L"\x00C3\x00A9\x20AC"), call.texts[1].text);
}

struct TextInCase {
  const char* name;
  int bstrs;
  std::function<HRESULT(IKelvraLauncher*, char*, size_t)> call;
};

TEST_F(LauncherTextIn, FailedBstrAllocationAnswersOutOfMemoryWithoutCalling) {
  const TextInCase cases[] = {
      {"StartGame", 2, [](IKelvraLauncher* l, char*, size_t) { return KelvraAdapterStartGame(l, "a", "b"); }},
      {"SetKeyValue", 2, [](IKelvraLauncher* l, char*, size_t) { return KelvraAdapterSetKeyValue(l, "a", "b"); }},
      {"Put_AuthenticationTicket", 1,
       [](IKelvraLauncher* l, char*, size_t) { return KelvraAdapterPut_AuthenticationTicket(l, "a"); }},
      {"DeleteKeyValue", 1,
       [](IKelvraLauncher* l, char*, size_t) { return KelvraAdapterDeleteKeyValue(l, "a"); }},
      {"GetKeyValue", 1,
       [](IKelvraLauncher* l, char* value, size_t size) { return KelvraAdapterGetKeyValue(l, "a", value, size); }},
  };
  for (const TextInCase& adapter : cases) {
    for (int failing = 0; failing < adapter.bstrs; ++failing) {
      standIn.clearCalls();
      standIn.setAnswer(kSlotGetKeyValue, answerText(S_OK, L"never"));
      GuardedBuffer value(kLauncherTextSize, 'Q');
      watch.failAllocations(failing, 1);
      EXPECT_EQ(E_OUTOFMEMORY, adapter.call(launcher, value.data(), value.size))
          << adapter.name << ", BSTR " << failing;
      EXPECT_EQ(0u, standIn.callCount()) << adapter.name << " called the launcher";
      EXPECT_EQ(0, watch.outstanding()) << adapter.name << " leaked a BSTR";
      EXPECT_TRUE(value.allBytesAre('Q')) << adapter.name;
    }
  }
  watch.failAllocations(0, 0);
}

// ---------------------------------------------------------------------------------------
// Boolean arguments and flag answers

typedef LauncherInUse LauncherFlags;

TEST_F(LauncherFlags, BooleanArgumentIsSentAsMinusOneOrZero) {
  typedef HRESULT (*Setter)(IKelvraLauncher*, unsigned char);
  const Setter setters[] = {KelvraAdapterGet_SetSilentModeEnabled,
                            KelvraAdapterGet_SetStartInHiddenMode};
  const struct {
    unsigned char in;
    VARIANT_BOOL sent;
  } cases[] = {{0, 0}, {1, -1}, {2, -1}, {0x80, -1}, {0xFF, -1}};
  for (Setter setter : setters) {
    for (const auto& c : cases) {
      setter(launcher, c.in);
      const LauncherCall call = standIn.lastCall();
      ASSERT_EQ(1u, call.flags.size());
      EXPECT_EQ(c.sent, call.flags[0]) << launcherSlotName(call.slot) << " with " << int(c.in);
    }
  }
}

TEST_F(LauncherFlags, OnlyMinusOneReadsAsTrue) {
  typedef HRESULT (*Getter)(IKelvraLauncher*, bool*);
  const struct {
    Getter getter;
    int slot;
  } getters[] = {{KelvraAdapterGet_IsUpToDate, kSlotGetIsUpToDate},
                 {KelvraAdapterGet_IsGameStarted, kSlotGetIsGameStarted}};
  const struct {
    LauncherAnswer answer;
    bool expected;
  } cases[] = {
      {answerFlag(S_OK, -1), true},
      {answerFlag(E_FAIL, -1), true},
      {answerFlag(S_OK, 1), false},
      {answerFlag(S_OK, 0x7FFF), false},
      {answerFlag(S_OK, static_cast<VARIANT_BOOL>(0x8000)), false},
      {answerFlag(S_OK, 0), false},
      {answerResult(E_FAIL), false},
      {answerResult(S_OK), false},
  };
  for (const auto& g : getters) {
    for (const auto& c : cases) {
      standIn.setAnswer(g.slot, c.answer);
      bool flag = !c.expected;
      EXPECT_EQ(c.answer.result, g.getter(launcher, &flag));
      EXPECT_EQ(c.expected, flag) << launcherSlotName(g.slot) << " stored " << c.answer.flag
                                  << (c.answer.out == kStoreFlag ? "" : " (nothing)");
    }
  }
}

// ---------------------------------------------------------------------------------------
// Text answers

struct TextOutCase {
  const char* name;
  int slot;
  const char* errorText;
  size_t errorLength;
  HRESULT (*call)(IKelvraLauncher*, char*, size_t);
};

const TextOutCase kTextOut[] = {
    {"Hello", kSlotHello, kHelloError, 40, KelvraAdapterHello},
    {"Get_InstallHost", kSlotGetInstallHost, kInstallHostError, 50, KelvraAdapterGet_InstallHost},
};

typedef LauncherInUse LauncherTextOut;

TEST_F(LauncherTextOut, SuccessDeliversTheTextAndFreesTheBstrOnce) {
  for (const TextOutCase& adapter : kTextOut) {
    standIn.setAnswer(adapter.slot, answerText(S_FALSE, L"abc"));
    GuardedBuffer text(kLauncherTextSize);
    const long before = watch.frees();
    EXPECT_EQ(S_FALSE, adapter.call(launcher, text.data(), text.size)) << adapter.name;
    EXPECT_EQ("abc", text.text()) << adapter.name;
    EXPECT_EQ(before + 1, watch.frees()) << adapter.name;
  }
  EXPECT_EQ(2, standIn.bstrsHandedOut());
  for (BSTR handed : standIn.handedOutBstrs()) EXPECT_FALSE(watch.isLive(handed));
}

TEST_F(LauncherTextOut, FailureLeavesTheFixedErrorText) {
  for (const TextOutCase& adapter : kTextOut) {
    standIn.setAnswer(adapter.slot, answerResult(E_FAIL));
    GuardedBuffer text(kLauncherTextSize, 'Q');
    EXPECT_EQ(E_FAIL, adapter.call(launcher, text.data(), text.size));
    EXPECT_EQ(adapter.errorText, text.text());
    EXPECT_EQ(adapter.errorLength, strlen(text.data()));
  }
}

// An out BSTR that comes with a failure should not be there under COM rules; a launcher
// that hands one back all the same would leak it, so it is freed, but never read.
TEST_F(LauncherTextOut, TextThatComesWithAFailureIsFreedUnread) {
  for (const TextOutCase& adapter : kTextOut) {
    standIn.setAnswer(adapter.slot, answerText(E_FAIL, L"launcher text"));
    GuardedBuffer text(kLauncherTextSize, 'Q');
    EXPECT_EQ(E_FAIL, adapter.call(launcher, text.data(), text.size));
    EXPECT_EQ(adapter.errorText, text.text());
  }
  standIn.setAnswer(kSlotGetKeyValue, answerText(E_FAIL, L"value"));
  GuardedBuffer value(kLauncherTextSize, 'Q');
  EXPECT_EQ(E_FAIL, KelvraAdapterGetKeyValue(launcher, "k", value.data(), value.size));
  EXPECT_TRUE(value.allBytesAre('Q'));

  const std::vector<BSTR> handed = standIn.handedOutBstrs();
  ASSERT_EQ(3u, handed.size());
  for (BSTR text : handed) EXPECT_FALSE(watch.isLive(text)) << "left to leak";
}

TEST_F(LauncherTextOut, ErrorTextIsCutToASmallBuffer) {
  for (const TextOutCase& adapter : kTextOut) {
    standIn.setAnswer(adapter.slot, answerResult(E_FAIL));
    GuardedBuffer text(10, 'Q');
    adapter.call(launcher, text.data(), text.size);
    EXPECT_EQ(std::string(adapter.errorText, 9), text.text());
    EXPECT_TRUE(text.guardIntact()) << adapter.name;
  }
}

TEST_F(LauncherTextOut, NullBstrOnSuccessLeavesTheBuffer) {
  for (const TextOutCase& adapter : kTextOut) {
    standIn.setAnswer(adapter.slot, answerNullText(S_OK));
    GuardedBuffer text(kLauncherTextSize, 'Q');
    EXPECT_EQ(S_OK, adapter.call(launcher, text.data(), text.size));
    EXPECT_TRUE(text.allBytesAre('Q')) << adapter.name;
  }
}

TEST_F(LauncherTextOut, EmptyTextGivesAnEmptyString) {
  standIn.setAnswer(kSlotHello, answerText(S_OK, L""));
  GuardedBuffer text(kLauncherTextSize, 'Q');
  EXPECT_EQ(S_OK, KelvraAdapterHello(launcher, text.data(), text.size));
  EXPECT_EQ('\0', text.bytes[0]);
  EXPECT_EQ(1, watch.frees());
}

TEST_F(LauncherTextOut, LongTextIsCutInsideTheBuffer) {
  for (const TextOutCase& adapter : kTextOut) {
    standIn.setAnswer(adapter.slot, answerText(S_OK, std::wstring(3000, L'x')));
    GuardedBuffer text(kLauncherTextSize);
    EXPECT_EQ(S_OK, adapter.call(launcher, text.data(), text.size));
    EXPECT_EQ(std::string(kLauncherTextSize - 1, 'x'), text.text()) << adapter.name;
    EXPECT_TRUE(text.guardIntact()) << adapter.name << " wrote past the buffer";
  }
}

TEST_F(LauncherTextOut, TextFollowsTheAnsiCodePage) {
  if (GetACP() != 1252) GTEST_SKIP() << "expects code page 1252, have " << GetACP();
  // e-acute is one byte in 1252; the CJK character has no 1252 form and becomes '?'.
  standIn.setAnswer(kSlotGetInstallHost, answerText(S_OK, L"h\x00E9-\x4E2D!"));
  GuardedBuffer text(kLauncherTextSize);
  EXPECT_EQ(S_OK, KelvraAdapterGet_InstallHost(launcher, text.data(), text.size));
  EXPECT_EQ("h\xE9-?!", text.text());
}

TEST_F(LauncherTextOut, KeyValueSuccessDeliversTheValue) {
  standIn.setAnswer(kSlotGetKeyValue, answerText(S_OK, L"value-1"));
  GuardedBuffer value(kLauncherTextSize);
  EXPECT_EQ(S_OK, KelvraAdapterGetKeyValue(launcher, "key-1", value.data(), value.size));
  EXPECT_EQ("value-1", value.text());
  EXPECT_EQ(L"key-1", standIn.lastCall().texts.at(0).text);
  EXPECT_EQ(2, watch.frees());  // the key and the answer

  standIn.setAnswer(kSlotGetKeyValue, answerText(S_OK, std::wstring(3000, L'v')));
  GuardedBuffer longValue(kLauncherTextSize);
  EXPECT_EQ(S_OK, KelvraAdapterGetKeyValue(launcher, "k", longValue.data(), longValue.size));
  EXPECT_EQ(kLauncherTextSize - 1, strlen(longValue.data()));
  EXPECT_TRUE(longValue.guardIntact());
}

TEST_F(LauncherTextOut, KeyValueFailureLeavesTheValueBufferUntouched) {
  const LauncherAnswer failures[] = {answerResult(E_FAIL), answerNullText(E_FAIL),
                                     answerResult(static_cast<HRESULT>(0x80070002))};
  for (const LauncherAnswer& failure : failures) {
    standIn.setAnswer(kSlotGetKeyValue, failure);
    GuardedBuffer value(kLauncherTextSize, 'Q');
    EXPECT_EQ(failure.result, KelvraAdapterGetKeyValue(launcher, "k", value.data(), value.size));
    EXPECT_TRUE(value.allBytesAre('Q'));
    EXPECT_TRUE(value.guardIntact());
  }
  standIn.setAnswer(kSlotGetKeyValue, answerNullText(S_OK));
  GuardedBuffer value(kLauncherTextSize, 'Q');
  EXPECT_EQ(S_OK, KelvraAdapterGetKeyValue(launcher, "k", value.data(), value.size));
  EXPECT_TRUE(value.allBytesAre('Q'));
}

// ---------------------------------------------------------------------------------------
// wideToAnsi

TEST(WideToAnsi, SizeZeroPutsTheNulAtTheSourceLength) {
  const std::wstring source = L"launcher";
  const size_t n = source.size();
  GuardedBuffer out(n + 1, 'Q');
  EXPECT_EQ(0, wideToAnsi(source.c_str(), out.data(), 0));
  EXPECT_EQ("launcher", out.text());
  EXPECT_EQ('\0', out.bytes[n]);
  EXPECT_TRUE(out.guardIntact());

  GuardedBuffer empty(1, 'Q');
  EXPECT_EQ(0, wideToAnsi(L"", empty.data(), 0));
  EXPECT_EQ('\0', empty.bytes[0]);
  EXPECT_TRUE(empty.guardIntact());
}

TEST(WideToAnsi, ExactFitAndOneByteShort) {
  GuardedBuffer exact(6, 'Q');
  EXPECT_EQ(0, wideToAnsi(L"hello", exact.data(), exact.size));
  EXPECT_EQ("hello", exact.text());
  EXPECT_TRUE(exact.guardIntact());

  GuardedBuffer shortBy1(5, 'Q');
  EXPECT_EQ(-1, wideToAnsi(L"hello", shortBy1.data(), shortBy1.size));
  EXPECT_EQ("hell", shortBy1.text());
  EXPECT_TRUE(shortBy1.guardIntact());

  GuardedBuffer one(1, 'Q');
  EXPECT_EQ(-1, wideToAnsi(L"hello", one.data(), one.size));
  EXPECT_EQ('\0', one.bytes[0]);
  EXPECT_TRUE(one.guardIntact());
}

TEST(WideToAnsi, NullPointersWriteNothing) {
  GuardedBuffer out(16, 'Q');
  EXPECT_EQ(-1, wideToAnsi(NULL, out.data(), out.size));
  EXPECT_EQ(-1, wideToAnsi(NULL, out.data(), 0));
  EXPECT_TRUE(out.allBytesAre('Q'));
  EXPECT_EQ(-1, wideToAnsi(L"text", NULL, 16));
  EXPECT_EQ(-1, wideToAnsi(L"text", NULL, 0));
}

TEST(WideToAnsi, UsesTheAnsiCodePage) {
  if (GetACP() != 1252) GTEST_SKIP() << "expects code page 1252, have " << GetACP();
  GuardedBuffer out(16, 'Q');
  EXPECT_EQ(0, wideToAnsi(L"\x00E9\x20AC\x4E2D", out.data(), out.size));
  EXPECT_EQ("\xE9\x80?", out.text());  // not the UTF-8 bytes C3 A9 ...
}

TEST(WideToAnsi, CutNeverSplitsASurrogatePair) {
  const wchar_t source[] = L"ab\xD83D\xDE00" L"c";  // U+1F600 between "ab" and "c"
  // The pair is kept whole when its ANSI form fits the room left, else dropped whole.
  char pairAlone[8] = {0};
  const int pairBytes =
      WideCharToMultiByte(CP_ACP, 0, source + 2, 2, pairAlone, sizeof pairAlone, NULL, NULL);
  ASSERT_GT(pairBytes, 0);
  const std::string expected = pairBytes <= 1 ? "ab" + std::string(pairAlone, pairBytes) : "ab";
  GuardedBuffer out(4, 'Q');  // room for "ab", one more byte and the NUL
  EXPECT_EQ(-1, wideToAnsi(source, out.data(), out.size));
  EXPECT_EQ(expected, out.text());
  EXPECT_TRUE(out.guardIntact());
}

// ---------------------------------------------------------------------------------------
// The COM support pieces behind _bstr_t

TEST(ComSupport, ConvertStringToBstrFollowsTheAnsiCodePageUpToTheNul) {
  BSTR empty = _com_util::ConvertStringToBSTR("");
  ASSERT_NE(nullptr, empty);
  EXPECT_EQ(0u, SysStringLen(empty));
  SysFreeString(empty);

  BSTR cut = _com_util::ConvertStringToBSTR("ab\0cd");
  ASSERT_NE(nullptr, cut);
  EXPECT_EQ(std::wstring(L"ab"), std::wstring(cut, SysStringLen(cut)));
  SysFreeString(cut);

  EXPECT_EQ(nullptr, _com_util::ConvertStringToBSTR(NULL));

  if (GetACP() == 1252) {
    BSTR accented = _com_util::ConvertStringToBSTR("\xE9t\xE9");
    ASSERT_NE(nullptr, accented);
    EXPECT_EQ(std::wstring(L"\x00E9t\x00E9"), std::wstring(accented, SysStringLen(accented)));
    SysFreeString(accented);
  }
}

TEST(ComSupport, BstrFromEmptyTextIsNonNull) {
  _bstr_t empty("");
  EXPECT_NE(nullptr, static_cast<const wchar_t*>(empty));
  EXPECT_EQ(0u, empty.length());
}

TEST(ComSupport, AllocationFailureRaisesOutOfMemory) {
  BstrWatch watch(GetModuleHandleW(NULL));
  watch.failAllocations(0, 1);
  HRESULT raised = S_OK;
  try {
    _bstr_t text("abc");
  } catch (const _com_error& error) {
    raised = error.Error();
  }
  EXPECT_EQ(E_OUTOFMEMORY, raised);
  EXPECT_EQ(0, watch.outstanding());
}

HRESULT handledError = S_OK;
void WINAPI noteErrorAndReturn(HRESULT hr, IErrorInfo*) { handledError = hr; }

// A COM error handler that returns leaves the conversion without a BSTR: _bstr_t then
// fails with bad_alloc (which the adapters answer as E_OUTOFMEMORY) instead of going on
// with NULL.
TEST(ComSupport, ErrorHandlerThatReturnsStillEndsInAnAllocationFailure) {
  handledError = S_OK;
  _set_com_error_handler(noteErrorAndReturn);
  BstrWatch watch(GetModuleHandleW(NULL));
  watch.failAllocations(0, 1);
  bool outOfMemory = false;
  try {
    _bstr_t text("abc");
  } catch (const std::bad_alloc&) {
    outOfMemory = true;
  }
  _set_com_error_handler(_com_raise_error);
  EXPECT_TRUE(outOfMemory);
  EXPECT_EQ(E_OUTOFMEMORY, handledError);
  EXPECT_EQ(0, watch.outstanding());
}

TEST(ComSupport, IssueErrorThrowsComError) {
  HRESULT raised = S_OK;
  try {
    _com_issue_error(DISP_E_TYPEMISMATCH);
  } catch (const _com_error& error) {
    raised = error.Error();
  }
  EXPECT_EQ(DISP_E_TYPEMISMATCH, raised);
}

TEST(ComSupport, ConvertBstrToStringGivesAnsiText) {
  BSTR source = SysAllocString(L"key\x00E9");
  ASSERT_NE(nullptr, source);
  char* text = _com_util::ConvertBSTRToString(source);
  ASSERT_NE(nullptr, text);
  if (GetACP() == 1252) {
    EXPECT_STREQ("key\xE9", text);
  }
  EXPECT_EQ(4u, strlen(text));
  delete[] text;
  SysFreeString(source);
  EXPECT_EQ(nullptr, _com_util::ConvertBSTRToString(NULL));
}

}  // namespace
