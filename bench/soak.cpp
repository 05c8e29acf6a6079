// The soak: a million mixed script calls and more through the real DLL across several
// embeddings, with creation and destruction interleaved, in rounds of which each has a
// fresh launcher stand-in. Prints the process's private memory and handle count at the
// start, the middle and the end, and the ownership counts; exits 1 when memory or
// handles grow beyond a small slack, a count does not balance or a result is wrong.
//
//   kelvra_soak.exe [calls]      (default 1000000)
#include <windows.h>
#include <objbase.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"
#include "launcher_standin.h"
#include "method_model.h"

using namespace kelvra_test;
using namespace kelvra_test::model;
using kelvra_bench::PluginSession;

namespace {

const int kRounds = 20;
const int kLiveEmbeddings = 4;
// Calls between a destruction and a creation; a short run replaces one at least four
// times a round, so that it too calls objects whose embedding is gone.
const long kChurnEvery = 5000;
const long kClearCallsEvery = 2000; // the stand-in's call records, dropped between checks
const SIZE_T kMemorySlack = 1 << 20;
const long kHandleSlack = 4;

const char* const kUnknownNames[] = {"hello", "StartGame ", "", "GetKeyValues", "\xC3\xA9"};
const wchar_t kHelloText[] = L"Hello from the launcher";
const wchar_t kHostText[] = L"install.kelvra.com";
const wchar_t kValueText[] = L"C:\\Games\\Kelvra";

// Even rounds answer well, odd rounds fail every method.
void answerFor(LauncherStandIn& launcher, int round) {
  const bool failing = round % 2 != 0;
  for (const MethodModel& row : kMethods) {
    LauncherAnswer answer;
    if (failing) {
      answer = row.family == kTextResult || row.family == kKeyValueResult ? answerNullText(E_FAIL)
                                                                           : answerResult(E_FAIL);
    } else if (row.family == kFlagResult) {
      answer = answerFlag(S_OK, VARIANT_TRUE);
    } else if (row.slot == kSlotHello) {
      answer = answerText(S_OK, kHelloText);
    } else if (row.slot == kSlotGetInstallHost) {
      answer = answerText(S_OK, kHostText);
    } else if (row.slot == kSlotGetKeyValue) {
      answer = answerText(S_OK, kValueText);
    } else {
      answer = answerResult(row.slot % 2 == 0 ? S_OK : S_FALSE);
    }
    launcher.setAnswer(row.slot, answer);
  }
}

std::string textOf(const NPVariant& value) {
  return std::string(value.value.stringValue.UTF8Characters, value.value.stringValue.UTF8Length);
}

std::string narrowOf(const wchar_t* text) { return scriptTextOf(text, 2047); }

// What a call on a live embedding with well-formed arguments answers in this round.
bool resultExpected(const MethodModel& row, int round, const NPVariant& result) {
  const bool failing = round % 2 != 0;
  switch (row.family) {
    case kIntegerResult:
      return NPVARIANT_IS_INT32(result) &&
             NPVARIANT_TO_INT32(result) == (failing ? E_FAIL : row.slot % 2 == 0 ? S_OK : S_FALSE);
    case kFlagResult:
      return NPVARIANT_IS_BOOLEAN(result) && NPVARIANT_TO_BOOLEAN(result) == !failing;
    case kTextResult: {
      const std::string expected = failing ? row.errorText
                                           : narrowOf(row.slot == kSlotHello ? kHelloText : kHostText);
      return NPVARIANT_IS_STRING(result) && textOf(result) == expected;
    }
    case kKeyValueResult:
      return failing ? NPVARIANT_IS_INT32(result) && NPVARIANT_TO_INT32(result) == -1
                     : NPVARIANT_IS_STRING(result) && textOf(result) == narrowOf(kValueText);
  }
  return false;
}

struct Embedding {
  NPP instance;
  NPObject* object;  // the browser's reference
};

class Soak {
 public:
  Soak(PluginSession& session, Random& random) : session_(session), random_(random) {
    for (const MethodModel& row : kMethods) {
      ids_.push_back(browser::identifier(row.name));
      args_.push_back(wellFormedArguments(row));
      surplus_.push_back(wellFormedArguments(row));
      surplus_.back().push_back(browser::stringArgument("surplus"));
    }
    for (const char* name : kUnknownNames) unknownIds_.push_back(browser::identifier(name));
  }

  ~Soak() {
    for (std::vector<NPVariant>& list : args_) release(list);
    for (std::vector<NPVariant>& list : surplus_) release(list);
  }

  // One round of `calls` calls with a launcher stand-in of its own.
  void round(int index, long calls) {
    LauncherStandIn launcher;
    if (FAILED(launcher.registerFactory())) {
      ++faults;
      return;
    }
    answerFor(launcher, index);
    std::vector<Embedding> live;
    std::vector<NPObject*> stale;  // objects whose embedding is gone, still held by script
    for (int i = 0; i < kLiveEmbeddings; ++i) open(&live);
    const long churnEvery = churnInterval(calls);
    for (long call = 1; call <= calls; ++call) {
      if (call % kClearCallsEvery == 0) {
        launcher.clearCalls();
        answerFor(launcher, index);
      }
      if (call % churnEvery == 0) {
        for (NPObject* object : stale) browser::release(object);
        stale.clear();
        const size_t victim = random_.below(static_cast<uint32_t>(live.size()));
        if (session_.destroy(live[victim].instance) != NPERR_NO_ERROR) ++faults;
        stale.push_back(live[victim].object);
        live.erase(live.begin() + static_cast<long>(victim));
        open(&live);
      }
      mixedCall(index, live, stale);
    }
    for (const Embedding& embedding : live) {
      if (session_.destroy(embedding.instance) != NPERR_NO_ERROR) ++faults;
      browser::release(embedding.object);
    }
    for (NPObject* object : stale) browser::release(object);
    if (launcher.liveObjects() != 0) ++faults;
    for (int i = 0; i < launcher.objectsCreated(); ++i) {
      if (launcher.objectStats(i).overReleases != 0) ++faults;
    }
    launcher.revokeFactory();
  }

  static long churnInterval(long roundCalls) {
    return std::max(1L, std::min(kChurnEvery, roundCalls / 4));
  }

  long calls = 0;
  long wrongResults = 0;
  long faults = 0;

 private:
  static void release(std::vector<NPVariant>& list) {
    for (NPVariant& value : list) browser::releaseValue(&value);
  }

  void open(std::vector<Embedding>* live) {
    Embedding embedding;
    embedding.instance = session_.newEmbedding();
    embedding.object = embedding.instance != NULL ? session_.scriptableObject(embedding.instance) : NULL;
    if (embedding.object == NULL) {
      ++faults;
      if (embedding.instance != NULL) session_.destroy(embedding.instance);
      return;
    }
    live->push_back(embedding);
  }

  // Mostly well-formed calls; some with a surplus argument, some unknown, some on an
  // object whose embedding is gone.
  void mixedCall(int round, const std::vector<Embedding>& live, const std::vector<NPObject*>& stale) {
    const uint32_t kind = random_.below(100);
    const uint32_t which = random_.below(kMethodCount);
    const MethodModel& row = kMethods[which];
    NPObject* object = live[random_.below(static_cast<uint32_t>(live.size()))].object;
    NPIdentifier id = ids_[which];
    std::vector<NPVariant>* args = &args_[which];
    bool known = true;
    bool present = true;
    bool wellFormed = true;
    if (kind < 4) {
      args = &surplus_[which];
      wellFormed = row.argCount == kAnyArguments;
    } else if (kind < 7) {
      id = unknownIds_[random_.below(static_cast<uint32_t>(unknownIds_.size()))];
      known = false;
    } else if (kind < 10 && !stale.empty()) {
      object = stale[random_.below(static_cast<uint32_t>(stale.size()))];
      present = false;
    }
    // As the browser calls its plug-in's object: through the class itself. (The
    // services table's invoke is the plug-in's way into the browser's objects; its
    // results count as values the browser handed out.)
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    const bool answered = object->_class->invoke(object, id, args->data(),
                                                 static_cast<uint32_t>(args->size()), &result);
    ++calls;
    bool right;
    if (!known) {
      right = !answered && NPVARIANT_IS_VOID(result);
    } else if (!present || !wellFormed) {
      const bool flagDefault = row.family == kFlagResult && !present;
      right = answered && (flagDefault ? NPVARIANT_IS_BOOLEAN(result) && !NPVARIANT_TO_BOOLEAN(result)
                                       : NPVARIANT_IS_INT32(result) && NPVARIANT_TO_INT32(result) == -1);
    } else {
      right = answered && resultExpected(row, round, result);
    }
    if (!right) ++wrongResults;
    browser::releaseValue(&result);
  }

  PluginSession& session_;
  Random& random_;
  std::vector<NPIdentifier> ids_;
  std::vector<std::vector<NPVariant>> args_;
  std::vector<std::vector<NPVariant>> surplus_;
  std::vector<NPIdentifier> unknownIds_;
};

}  // namespace

int main(int argc, char** argv) {
  const long total = argc > 1 ? atol(argv[1]) : 1000000;
  if (total < kRounds) {
    fprintf(stderr, "usage: kelvra_soak.exe [calls >= %d]\n", kRounds);
    return 2;
  }
  if (FAILED(CoInitialize(NULL))) return 2;
  browser::reset();
  PluginSession session;
  if (!session.open(L"kelvra-soak-")) {
    fprintf(stderr, "the plug-in did not load\n");
    return 2;
  }
  const std::wstring log = session.logPath();
  int verdict = 0;
  {
    BstrWatch watch(session.module());
    Random random(20260704);
    const browser::Counts baseline = browser::counts();
    const long perRound = total / kRounds;
    kelvra_bench::ProcessFigures start, middle, end;
    kelvra_bench::printFigures("loaded", kelvra_bench::processFigures());
    const double began = kelvra_bench::seconds();
    {
      Soak soak(session, random);
      for (int round = 0; round < kRounds; ++round) {
        soak.round(round, perRound);
        // The first round warms every cache up; growth is measured from its end.
        if (round == 0) kelvra_bench::printFigures("start", start = kelvra_bench::processFigures());
        if (round == kRounds / 2 - 1) kelvra_bench::printFigures("middle", middle = kelvra_bench::processFigures());
        if (round == kRounds - 1) kelvra_bench::printFigures("end", end = kelvra_bench::processFigures());
      }
      const double took = kelvra_bench::seconds() - began;
      printf("%ld calls in %d rounds (%ld embeddings live at a time, one replaced every %ld calls) "
             "in %.1f s, %.2f us per call\n",
             soak.calls, kRounds, static_cast<long>(kLiveEmbeddings), Soak::churnInterval(perRound), took,
             took * 1e6 / static_cast<double>(soak.calls));
      printf("wrong results %ld, lifecycle faults %ld\n", soak.wrongResults, soak.faults);
      if (soak.wrongResults != 0 || soak.faults != 0) verdict = 1;
    }
    const browser::Counts counts = browser::counts();
    printf("browser: objects live %ld (at start %ld), created %ld, deallocated %ld, blocks live %ld "
           "(at start %ld), allocations %ld, frees %ld, variants out %ld / released %ld, misuse %ld\n",
           counts.liveObjects, baseline.liveObjects, counts.objectsCreated, counts.objectsDeallocated,
           counts.liveBlocks, baseline.liveBlocks, counts.allocations, counts.frees,
           counts.variantsHandedOut, counts.variantsReleased,
           counts.badFrees + counts.deadObjectCalls + counts.underflows);
    printf("launcher BSTRs: %ld allocated by the plug-in, %ld freed, %ld outstanding, %ld bad frees\n",
           watch.allocations(), watch.frees(), watch.outstanding(), watch.badFrees());
    const long long memoryGrowth = static_cast<long long>(kelvra_bench::privateBytesOf(end)) -
                                   static_cast<long long>(kelvra_bench::privateBytesOf(start));
    const long handleGrowth = kelvra_bench::handlesOf(end) - kelvra_bench::handlesOf(start);
    printf("growth start -> end: private memory %+lld bytes (slack %lu), handles %+ld (slack %ld)\n",
           memoryGrowth, static_cast<unsigned long>(kMemorySlack), handleGrowth, kHandleSlack);
    if (memoryGrowth > static_cast<long long>(kMemorySlack) || handleGrowth > kHandleSlack) verdict = 1;
    if (counts.liveObjects != baseline.liveObjects || counts.liveBlocks != baseline.liveBlocks ||
        counts.unreleasedVariants() != 0 || counts.badFrees + counts.deadObjectCalls + counts.underflows != 0 ||
        watch.outstanding() != 0 || watch.badFrees() != 0) {
      verdict = 1;
    }
  }
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!log.empty() && GetFileAttributesExW(log.c_str(), GetFileExInfoStandard, &data)) {
    printf("log file %.1f MiB, removed with its folder\n",
           ((static_cast<double>(data.nFileSizeHigh) * 4294967296.0) + data.nFileSizeLow) / 1048576.0);
  }
  session.close();
  CoUninitialize();
  printf("soak %s\n", verdict == 0 ? "PASSED" : "FAILED");
  return verdict;
}
