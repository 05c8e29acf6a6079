// The instance registry: lookups by instance and by scriptable object, removal, and
// The instance registry: lookups by instance and by scriptable object, removal, and
// the registry lock that guards the list and its walk. Records carry fake instance and
// object pointers, which the registry compares and never follows, and real launcher
// objects (the stand-in's), to which a lookup by object adds its caller's reference.
#include <windows.h>
#include <objbase.h>
#include <stdint.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/registry.h"
#include "diag/ProxyState.h"
#include "import_patch.h"
#include "launcher_standin.h"
#include "plugin_loader.h"

namespace {
// From this many more allocations on, operator new fails; -1: never.
std::atomic<int> allocationsBeforeFailure(-1);
}  // namespace

// The program's allocations, failing on demand for the out-of-memory paths.
void* operator new(size_t size) {
  if (allocationsBeforeFailure.load() == 0) throw std::bad_alloc();
  if (allocationsBeforeFailure.load() > 0) --allocationsBeforeFailure;
  void* block = HeapAlloc(GetProcessHeap(), 0, size != 0 ? size : 1);
  if (block == NULL) throw std::bad_alloc();
  return block;
}
void operator delete(void* block) noexcept {
  if (block != NULL) HeapFree(GetProcessHeap(), 0, block);
}
void operator delete(void* block, size_t) noexcept { operator delete(block); }

namespace {

using ::testing::ElementsAre;
using kelvra_test::addressOf;
using kelvra_test::procAddress;
using kelvra_test::patchImports;

NPP fakeInstance(uintptr_t n) { return reinterpret_cast<NPP>(0x10000000u + n * 16u); }
NPObject* fakeObject(uintptr_t n) { return reinterpret_cast<NPObject*>(0x20000000u + n * 16u); }
// Launcher objects by number, created on first use; the fixture owns their one reference.
std::unique_ptr<kelvra_test::LauncherStandIn> standIn;
std::map<uintptr_t, IKelvraLauncher*> launchers;

IKelvraLauncher* testLauncher(uintptr_t n) {
  IKelvraLauncher*& launcher = launchers[n];
  if (launcher == NULL) {
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_KelvraLauncher, NULL, CLSCTX_INPROC_SERVER,
                                     IID_IKelvraLauncher, reinterpret_cast<void**>(&launcher)));
  }
  return launcher;
}

// findLauncherByObject for a test that compares the answer only: the reference it adds
// is given back at once.
IKelvraLauncher* launcherFound(NPObject* object) {
  IKelvraLauncher* launcher = findLauncherByObject(object);
  if (launcher != NULL) launcher->Release();
  return launcher;
}
NP_KELVRA_INSTANCE fakeRecord(uintptr_t n) {
  return NP_KELVRA_INSTANCE{fakeInstance(n), fakeObject(n), testLauncher(n)};
}

std::vector<NP_KELVRA_INSTANCE*> listed() {
  return std::vector<NP_KELVRA_INSTANCE*>(proxyState.objList.begin(), proxyState.objList.end());
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(proxyState.objList.empty());
    ASSERT_TRUE(SUCCEEDED(CoInitialize(NULL)));
    standIn.reset(new kelvra_test::LauncherStandIn());
    ASSERT_EQ(S_OK, standIn->registerFactory());
  }
  // Whatever a failed test left behind must not reach the next one; no lookup may have
  // kept a reference.
  void TearDown() override {
    EXPECT_TRUE(proxyState.objList.empty());
    EXPECT_TRUE(proxyState.firstByObject.empty());
    proxyState.objList.clear();
    for (const auto& entry : launchers) entry.second->Release();
    launchers.clear();
    for (int i = 0; i < standIn->objectsCreated(); ++i) {
      EXPECT_EQ(0, standIn->objectStats(i).references) << "launcher " << i;
      EXPECT_EQ(0, standIn->objectStats(i).overReleases) << "launcher " << i;
    }
    standIn.reset();
    CoUninitialize();
    proxyState.firstByObject.clear();
  }
};

TEST_F(RegistryTest, EmptyRegistryFindsAndRemovesNothing) {
  EXPECT_EQ(nullptr, findRecordByInstance(fakeInstance(1)));
  EXPECT_EQ(nullptr, launcherFound(fakeObject(1)));
  EXPECT_EQ(nullptr, removeRecordByInstance(fakeInstance(1)));
  EXPECT_EQ(nullptr, findRecordByInstance(NULL));
  EXPECT_EQ(nullptr, launcherFound(NULL));
  EXPECT_TRUE(proxyState.objList.empty());
}

TEST_F(RegistryTest, LookupsWithSeveralRecords) {
  NP_KELVRA_INSTANCE records[3] = {fakeRecord(1), fakeRecord(2), fakeRecord(3)};
  for (NP_KELVRA_INSTANCE& r : records) addRecord(&r);
  EXPECT_THAT(listed(), ElementsAre(&records[0], &records[1], &records[2]));

  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(&records[i], findRecordByInstance(records[i].instance));
    EXPECT_EQ(records[i].launcher, launcherFound(records[i].npobject));
  }
  // Keys of one field never match another field, nor an object that has no record.
  EXPECT_EQ(nullptr, findRecordByInstance(reinterpret_cast<NPP>(records[0].npobject)));
  EXPECT_EQ(nullptr, launcherFound(reinterpret_cast<NPObject*>(records[0].instance)));
  EXPECT_EQ(nullptr, launcherFound(fakeObject(9)));
  EXPECT_EQ(nullptr, findRecordByInstance(fakeInstance(9)));
  EXPECT_EQ(nullptr, removeRecordByInstance(fakeInstance(9)));
  // Lookups leave the list as it was.
  EXPECT_THAT(listed(), ElementsAre(&records[0], &records[1], &records[2]));

  for (NP_KELVRA_INSTANCE& r : records) EXPECT_EQ(&r, removeRecordByInstance(r.instance));
}

// The lookup by object hands its caller a reference of its own, so that the record's
// may go while the caller still uses the launcher; a record whose launcher was taken
// answers NULL and adds nothing.
TEST_F(RegistryTest, LauncherLookupAddsOneReferenceForItsCaller) {
  NP_KELVRA_INSTANCE record = fakeRecord(1);
  NP_KELVRA_INSTANCE other = fakeRecord(2);
  addRecord(&record);
  addRecord(&other);
  IKelvraLauncher* found = findLauncherByObject(record.npobject);
  ASSERT_EQ(record.launcher, found);
  EXPECT_EQ(2, standIn->objectStats(0).references);
  EXPECT_EQ(1, standIn->objectStats(0).addRefs);
  found->Release();

  IKelvraLauncher* const first = record.launcher;
  IKelvraLauncher* const second = other.launcher;
  EXPECT_EQ(first, takeRegisteredLauncher());
  EXPECT_EQ(nullptr, record.launcher);
  EXPECT_EQ(second, takeRegisteredLauncher());
  EXPECT_EQ(nullptr, takeRegisteredLauncher());
  EXPECT_EQ(nullptr, findLauncherByObject(record.npobject));
  EXPECT_EQ(1, standIn->objectStats(0).addRefs);
  EXPECT_EQ(&record, removeRecordByInstance(record.instance));
  EXPECT_EQ(&other, removeRecordByInstance(other.instance));
}

TEST_F(RegistryTest, RemovingTheFirstLeavesTheOthersFindable) {
  NP_KELVRA_INSTANCE first = fakeRecord(1), second = fakeRecord(2), third = fakeRecord(3);
  addRecord(&first);
  addRecord(&second);
  addRecord(&third);

  EXPECT_EQ(&first, removeRecordByInstance(first.instance));
  EXPECT_EQ(nullptr, findRecordByInstance(first.instance));
  // Script may still hold the removed record's object: it reaches no launcher.
  EXPECT_EQ(nullptr, launcherFound(first.npobject));
  EXPECT_EQ(nullptr, removeRecordByInstance(first.instance));
  EXPECT_EQ(&second, findRecordByInstance(second.instance));
  EXPECT_EQ(second.launcher, launcherFound(second.npobject));
  EXPECT_EQ(&third, findRecordByInstance(third.instance));
  EXPECT_THAT(listed(), ElementsAre(&second, &third));

  // A removal from the middle keeps the ends linked.
  EXPECT_EQ(&third, removeRecordByInstance(third.instance));
  EXPECT_EQ(nullptr, removeRecordByInstance(third.instance));
  EXPECT_EQ(second.launcher, launcherFound(second.npobject));
  EXPECT_EQ(&second, removeRecordByInstance(second.instance));
  EXPECT_EQ(nullptr, launcherFound(second.npobject));
  EXPECT_EQ(nullptr, removeRecordByInstance(second.instance));
}

TEST_F(RegistryTest, FirstMatchWinsInInsertionOrder) {
  // Three records that share an instance and an object: each lookup answers the oldest,
  // and removal takes them out oldest first.
  NP_KELVRA_INSTANCE records[3];
  for (uintptr_t i = 0; i < 3; ++i) {
    records[i] = NP_KELVRA_INSTANCE{fakeInstance(5), fakeObject(5), testLauncher(i)};
    addRecord(&records[i]);
  }
  EXPECT_THAT(listed(), ElementsAre(&records[0], &records[1], &records[2]));
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(&records[i], findRecordByInstance(fakeInstance(5)));
    EXPECT_EQ(records[i].launcher, launcherFound(fakeObject(5)));
    EXPECT_EQ(&records[i], removeRecordByInstance(fakeInstance(5)));
  }
  EXPECT_EQ(nullptr, removeRecordByInstance(fakeInstance(5)));

  // Sharing only the object: whichever record goes, the oldest left answers.
  NP_KELVRA_INSTANCE early = {fakeInstance(6), fakeObject(6), testLauncher(6)};
  NP_KELVRA_INSTANCE late = {fakeInstance(7), fakeObject(6), testLauncher(7)};
  addRecord(&early);
  addRecord(&late);
  EXPECT_EQ(&late, removeRecordByInstance(late.instance));
  EXPECT_EQ(early.launcher, launcherFound(fakeObject(6)));
  addRecord(&late);
  EXPECT_EQ(&early, removeRecordByInstance(early.instance));
  EXPECT_EQ(late.launcher, launcherFound(fakeObject(6)));
  EXPECT_EQ(&late, removeRecordByInstance(late.instance));
  EXPECT_EQ(nullptr, launcherFound(fakeObject(6)));
}

// Out of memory while a record is added: refused, and the registry stays as it was.
TEST_F(RegistryTest, AnAdditionThatRunsOutOfMemoryChangesNothing) {
  NP_KELVRA_INSTANCE kept = fakeRecord(1), refused = fakeRecord(2);
  addRecord(&kept);
  // The list's node, then the index's node.
  for (int allocations : {0, 1}) {
    SCOPED_TRACE(allocations);
    allocationsBeforeFailure = allocations;
    EXPECT_FALSE(addRecord(&refused));
    allocationsBeforeFailure = -1;
    EXPECT_THAT(listed(), ElementsAre(&kept));
    EXPECT_EQ(nullptr, launcherFound(refused.npobject));
    EXPECT_EQ(kept.launcher, launcherFound(kept.npobject));
  }
  EXPECT_EQ(&kept, removeRecordByInstance(kept.instance));
}

TEST_F(RegistryTest, NullFieldsAreKeysLikeAnyOther) {
  NP_KELVRA_INSTANCE noObject = {fakeInstance(1), NULL, testLauncher(1)};
  NP_KELVRA_INSTANCE other = fakeRecord(2);
  addRecord(&other);
  addRecord(&noObject);
  EXPECT_EQ(noObject.launcher, launcherFound(NULL));
  EXPECT_EQ(&noObject, removeRecordByInstance(noObject.instance));
  EXPECT_EQ(nullptr, launcherFound(NULL));
  EXPECT_EQ(&other, removeRecordByInstance(other.instance));
}

// Several threads at once, each with its own records: an unlocked list or a walk
// whose cursor another thread moves shows up as a wrong answer or a broken list.
TEST_F(RegistryTest, ConcurrentThreadsKeepTheListConsistent) {
  const int kThreads = 4;
  const int kRecords = 300;
  const int kRounds = 3;
  std::vector<std::vector<NP_KELVRA_INSTANCE>> records(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kRecords; ++i) records[t].push_back(fakeRecord(1 + t * kRecords + i));
  }
  std::atomic<int> ready(0);
  std::atomic<long> wrong(0);
  std::atomic<long> checks(0);
  auto expect = [&](bool good) {
    ++checks;
    if (!good) ++wrong;
  };
  auto work = [&](int t) {
    std::vector<NP_KELVRA_INSTANCE>& mine = records[t];
    ++ready;
    while (ready.load() < kThreads) {
    }
    for (int round = 0; round < kRounds; ++round) {
      for (NP_KELVRA_INSTANCE& r : mine) addRecord(&r);
      for (NP_KELVRA_INSTANCE& r : mine) {
        expect(findRecordByInstance(r.instance) == &r);
        expect(launcherFound(r.npobject) == r.launcher);
      }
      // Every other record out; the rest must stay exactly as they were.
      for (size_t i = 0; i < mine.size(); i += 2) {
        expect(removeRecordByInstance(mine[i].instance) == &mine[i]);
      }
      for (size_t i = 0; i < mine.size(); ++i) {
        const bool removed = i % 2 == 0;
        expect(findRecordByInstance(mine[i].instance) == (removed ? NULL : &mine[i]));
        expect(launcherFound(mine[i].npobject) == (removed ? NULL : mine[i].launcher));
        if (removed) expect(removeRecordByInstance(mine[i].instance) == NULL);
      }
      for (size_t i = 1; i < mine.size(); i += 2) {
        expect(removeRecordByInstance(mine[i].instance) == &mine[i]);
        expect(launcherFound(mine[i].npobject) == NULL);
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(static_cast<long>(kThreads) * kRounds * kRecords * 6, checks.load());
  EXPECT_TRUE(proxyState.objList.empty());
  EXPECT_EQ(0u, proxyState.objList.size());
}

// The registry's four operations, on one record.
struct Operation {
  const char* name;
  std::function<void()> run;
};
std::vector<Operation> operationsOn(NP_KELVRA_INSTANCE& record) {
  return {
      {"addRecord", [&] { addRecord(&record); }},
      {"findRecordByInstance", [&] { findRecordByInstance(record.instance); }},
      {"findLauncherByObject", [&] { launcherFound(record.npobject); }},
      {"removeRecordByInstance", [&] { removeRecordByInstance(record.instance); }},
  };
}

// Every operation takes the registry lock and gives it back before it returns.
TEST_F(RegistryTest, EachOperationHoldsTheRegistryLockForItsOwnLengthOnly) {
  ASSERT_TRUE(proxyState.registryLockReady);
  NP_KELVRA_INSTANCE record = fakeRecord(1);
  for (const Operation& op : operationsOn(record)) {
    SCOPED_TRACE(op.name);
    // Held by this thread: the operation on another thread must not finish meanwhile.
    EnterCriticalSection(&proxyState.registryLock);
    std::atomic<bool> done(false);
    std::thread other([&] {
      op.run();
      done = true;
    });
    Sleep(100);
    EXPECT_FALSE(done.load());
    LeaveCriticalSection(&proxyState.registryLock);
    other.join();
    EXPECT_TRUE(done.load());

    // Run here, the operation must leave the lock free for another thread.
    op.run();
    BOOL free = FALSE;
    std::thread probe([&] {
      free = TryEnterCriticalSection(&proxyState.registryLock);
      if (free) LeaveCriticalSection(&proxyState.registryLock);
    });
    probe.join();
    EXPECT_TRUE(free);
  }
  // Added twice (once per run of addRecord), removed twice.
  EXPECT_EQ(nullptr, removeRecordByInstance(record.instance));
}

// The test program's imports of the critical-section calls, patched: initialisation
// refused, as on an older system short of memory, and the entries into and deletions of
// two chosen sections counted (the hooks allocate nothing: the runtime uses them too).
class SectionWatch {
 public:
  SectionWatch() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    enter = procAddress<SectionFn>(kernel, "EnterCriticalSection");
    remove = procAddress<SectionFn>(kernel, "DeleteCriticalSection");
    real_[0] = addressOf(procAddress<InitializeFn>(kernel, "InitializeCriticalSectionAndSpinCount"));
    real_[1] = addressOf(enter);
    real_[2] = addressOf(remove);
    hooks_[0] = addressOf(&refuseInitialize);
    hooks_[1] = addressOf(&noteEnter);
    hooks_[2] = addressOf(&noteDelete);
    patched = patchImports(GetModuleHandleW(NULL), real_, hooks_, 3);
  }
  ~SectionWatch() {
    patchImports(GetModuleHandleW(NULL), hooks_, real_, 3);
    for (Watched& w : watched) w.section = NULL;
  }
  SectionWatch(const SectionWatch&) = delete;
  SectionWatch& operator=(const SectionWatch&) = delete;

  void watch(int which, const CRITICAL_SECTION* section) {
    watched[which].entries = 0;
    watched[which].deletions = 0;
    watched[which].section = section;
  }
  int entries(int which) const { return watched[which].entries; }
  int deletions(int which) const { return watched[which].deletions; }

  int patched = 0;

 private:
  typedef BOOL(WINAPI* InitializeFn)(CRITICAL_SECTION*, DWORD);
  typedef void(WINAPI* SectionFn)(CRITICAL_SECTION*);
  struct Watched {
    std::atomic<const CRITICAL_SECTION*> section;
    std::atomic<int> entries;
    std::atomic<int> deletions;
  };
  static BOOL WINAPI refuseInitialize(CRITICAL_SECTION*, DWORD) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  static void WINAPI noteEnter(CRITICAL_SECTION* section) {
    for (Watched& w : watched) w.entries += w.section == section ? 1 : 0;
    enter(section);
  }
  static void WINAPI noteDelete(CRITICAL_SECTION* section) {
    for (Watched& w : watched) w.deletions += w.section == section ? 1 : 0;
    remove(section);
  }
  static SectionFn enter;
  static SectionFn remove;
  static Watched watched[2];
  ULONG_PTR real_[3];
  ULONG_PTR hooks_[3];
};
SectionWatch::SectionFn SectionWatch::enter;
SectionWatch::SectionFn SectionWatch::remove;
SectionWatch::Watched SectionWatch::watched[2];

// A lock that could not be initialised is marked so and never deleted; without it the
// registry answers as usual on its one thread and enters no lock at all.
TEST_F(RegistryTest, WithoutItsLockTheRegistryRunsUnlocked) {
  SectionWatch watch;
  ASSERT_EQ(3, watch.patched);
  setProcessTemporaryDirectory(makeTemporaryDirectory(L"kelvra-unit-registry-"));
  std::unique_ptr<ProxyState> refused(new ProxyState());
  EXPECT_FALSE(refused->registryLockReady);
  watch.watch(0, &refused->registryLock);
  watch.watch(1, &refused->logLock);
  refused.reset();
  EXPECT_EQ(0, watch.deletions(0));
  EXPECT_EQ(1, watch.deletions(1));

  // The module's own state in the same condition, then as it is.
  NP_KELVRA_INSTANCE record = fakeRecord(1);
  for (bool ready : {false, true}) {
    SCOPED_TRACE(ready);
    proxyState.registryLockReady = ready;
    watch.watch(0, &proxyState.registryLock);
    addRecord(&record);
    EXPECT_EQ(&record, findRecordByInstance(record.instance));
    EXPECT_EQ(record.launcher, launcherFound(record.npobject));
    EXPECT_EQ(&record, removeRecordByInstance(record.instance));
    EXPECT_EQ(nullptr, launcherFound(record.npobject));
    EXPECT_EQ(ready ? 5 : 0, watch.entries(0));
  }
}

}  // namespace
