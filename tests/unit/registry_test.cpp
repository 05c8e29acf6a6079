// The instance registry: lookups by instance and by scriptable object, removal, and
// the same from several threads at once.
#include <gtest/gtest.h>

#include <stdint.h>

#include <thread>
#include <vector>

#include "plugin/registry.h"

namespace {

// Records with fake pointer values: the registry compares them and never follows them.
NP_KELVRA_INSTANCE makeRecord(uintptr_t tag) {
  NP_KELVRA_INSTANCE record;
  record.instance = reinterpret_cast<NPP>(tag);
  record.npobject = reinterpret_cast<NPObject*>(tag + 1);
  record.launcher = reinterpret_cast<IKelvraLauncher*>(tag + 2);
  return record;
}

TEST(Registry, EmptyRegistryFindsNothing) {
  NP_KELVRA_INSTANCE stray = makeRecord(0x1000);
  EXPECT_EQ(nullptr, findRecordByInstance(stray.instance));
  EXPECT_EQ(nullptr, findLauncherByObject(stray.npobject));
  EXPECT_EQ(nullptr, removeRecordByInstance(stray.instance));
}

TEST(Registry, RecordsAreFoundByInstanceAndByObjectUntilRemoved) {
  NP_KELVRA_INSTANCE first = makeRecord(0x1000);
  NP_KELVRA_INSTANCE second = makeRecord(0x2000);
  addRecord(&first);
  addRecord(&second);

  EXPECT_EQ(&first, findRecordByInstance(first.instance));
  EXPECT_EQ(&second, findRecordByInstance(second.instance));
  EXPECT_EQ(first.launcher, findLauncherByObject(first.npobject));
  EXPECT_EQ(second.launcher, findLauncherByObject(second.npobject));
  // Keys of one kind never match fields of the other.
  EXPECT_EQ(nullptr, findLauncherByObject(reinterpret_cast<NPObject*>(first.instance)));
  EXPECT_EQ(nullptr, findRecordByInstance(reinterpret_cast<NPP>(first.npobject)));

  EXPECT_EQ(&first, removeRecordByInstance(first.instance));
  EXPECT_EQ(nullptr, findRecordByInstance(first.instance));
  EXPECT_EQ(nullptr, findLauncherByObject(first.npobject));
  EXPECT_EQ(nullptr, removeRecordByInstance(first.instance));
  EXPECT_EQ(&second, findRecordByInstance(second.instance));
  EXPECT_EQ(second.launcher, findLauncherByObject(second.npobject));

  EXPECT_EQ(&second, removeRecordByInstance(second.instance));
  EXPECT_EQ(nullptr, findRecordByInstance(second.instance));
}

TEST(Registry, FirstMatchingRecordWins) {
  NP_KELVRA_INSTANCE older = makeRecord(0x3000);
  NP_KELVRA_INSTANCE newer = makeRecord(0x3000);
  newer.launcher = reinterpret_cast<IKelvraLauncher*>(0x9999);
  addRecord(&older);
  addRecord(&newer);
  EXPECT_EQ(&older, findRecordByInstance(older.instance));
  EXPECT_EQ(older.launcher, findLauncherByObject(older.npobject));
  EXPECT_EQ(&older, removeRecordByInstance(older.instance));
  EXPECT_EQ(&newer, removeRecordByInstance(older.instance));
  EXPECT_EQ(nullptr, removeRecordByInstance(older.instance));
}

// Every thread adds, finds and removes its own records while the others do the same:
// an unlocked list or a shared cursor loses or misreports records here.
TEST(Registry, ConcurrentThreadsKeepTheirOwnRecords) {
  const int kThreads = 4;
  const int kRecords = 300;
  std::vector<std::vector<NP_KELVRA_INSTANCE>> records(kThreads);
  std::vector<int> mistakes(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kRecords; ++i) {
      records[t].push_back(makeRecord(0x100000u * (t + 1) + 0x10u * i));
    }
    threads.emplace_back([&, t] {
      for (NP_KELVRA_INSTANCE& r : records[t]) addRecord(&r);
      for (NP_KELVRA_INSTANCE& r : records[t]) {
        if (findRecordByInstance(r.instance) != &r) ++mistakes[t];
        if (findLauncherByObject(r.npobject) != r.launcher) ++mistakes[t];
      }
      for (NP_KELVRA_INSTANCE& r : records[t]) {
        if (removeRecordByInstance(r.instance) != &r) ++mistakes[t];
        if (findLauncherByObject(r.npobject) != nullptr) ++mistakes[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(0, mistakes[t]) << "thread " << t;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(nullptr, findRecordByInstance(records[t].front().instance));
  }
}

}  // namespace
