// The benchmark: for representative methods, the cost per call through the whole path
// (invoke -> handler -> adapter -> launcher stand-in -> result -> log lines) against
// the floor for the same work in the same run: the launcher stand-in called directly
// (with the BSTRs it takes built and the text it answers converted) plus the very log
// bytes the plug-in wrote for one such call, written with one WriteFile per line.
// Then how the cost per call grows with 1, 10, 100 and 1000 live embeddings, calling
// the last one created. Each repetition times a batch of the plug-in's calls and, right
// after it, a batch of the floor's, so that a ratio compares two batches run under the
// same load (the machine may be busy with other work); the figures are medians over the
// repetitions, after a warm-up. Figures only, nothing is asserted. (What the page host
// adds to a call from page script is bench/page_bench.js's, against the first table.)
//
//   kelvra_bench.exe [--quick]   (--quick: a few short batches, to see that it runs;
//                                 its figures mean little)
#include <windows.h>
#include <objbase.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "harness.h"
#include "launcher_standin.h"
#include "method_model.h"

using namespace kelvra_test;
using kelvra_bench::PluginSession;

namespace {

// Calls before the timing, calls per batch, batches per figure.
struct Rounds {
  int warmUp;
  int batch;
  int repetitions;
};
const Rounds kFull = {1000, 200, 61};
const Rounds kQuick = {20, 10, 3};
const size_t kTextSize = 2048;

const wchar_t kHelloText[] = L"Hello from the launcher";
const wchar_t kValueText[] = L"C:\\Games\\Kelvra\\Launcher";

struct Case {
  const char* method;
  int slot;
  std::vector<std::string> texts;
};

void answerWell(LauncherStandIn& launcher) {
  launcher.setAnswer(kSlotHello, answerText(S_OK, kHelloText));
  launcher.setAnswer(kSlotGetKeyValue, answerText(S_OK, kValueText));
}

// A script call as the browser makes it: the class's invoke, then the result released.
struct PluginCall {
  NPObject* object;
  NPIdentifier id;
  std::vector<NPVariant> args;

  void run() {
    NPVariant result;
    object->_class->invoke(object, id, args.data(), static_cast<uint32_t>(args.size()), &result);
    browser::releaseValue(&result);
  }
};

BSTR bstrOf(const std::string& text) {
  const int units = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, NULL, 0);
  BSTR bstr = SysAllocStringLen(NULL, static_cast<UINT>(units - 1));
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, bstr, units);
  return bstr;
}

void takeText(BSTR text, char* buffer) {
  if (text != NULL) WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, static_cast<int>(kTextSize), NULL, NULL);
  SysFreeString(text);
}

// The least the same work can cost.
struct FloorCall {
  IKelvraLauncher* launcher;
  const Case* which;
  HANDLE file;
  std::vector<std::string> lines;

  void run() {
    char text[kTextSize];
    BSTR answer = NULL;
    switch (which->slot) {
      case kSlotPreStartGame:
        launcher->PreStartGame();
        break;
      case kSlotStartGame: {
        BSTR ticket = bstrOf(which->texts[0]);
        BSTR script = bstrOf(which->texts[1]);
        launcher->StartGame(ticket, script);
        SysFreeString(script);
        SysFreeString(ticket);
        break;
      }
      case kSlotGetKeyValue: {
        BSTR key = bstrOf(which->texts[0]);
        launcher->GetKeyValue(key, &answer);
        takeText(answer, text);
        SysFreeString(key);
        break;
      }
      case kSlotHello:
        launcher->Hello(&answer);
        takeText(answer, text);
        break;
    }
    for (const std::string& line : lines) {
      DWORD written = 0;
      WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, NULL);
    }
  }
};

// One uncontended entry into and exit from a critical section: the registry lock each
// script call takes once, to find its launcher.
struct SectionPair {
  CRITICAL_SECTION* section;

  void run() {
    EnterCriticalSection(section);
    LeaveCriticalSection(section);
  }
};

// The browser's own share of a script call, done by the stand-in whatever the plug-in
// does: the method name's text handed out and freed again, and for a text result the
// block the plug-in takes and the browser frees once it has read it.
struct BrowserShare {
  NPIdentifier id;
  uint32_t resultBlock;  // 0: the method answers no text

  void run() {
    NPNetscapeFuncs* services = browser::functions();
    services->memfree(services->utf8fromidentifier(id));
    if (resultBlock != 0) services->memfree(services->memalloc(resultBlock));
  }
};

// Microseconds per call over one batch.
template <typename Call>
double timeBatch(Call& call, int count) {
  const double began = kelvra_bench::seconds();
  for (int i = 0; i < count; ++i) call.run();
  return (kelvra_bench::seconds() - began) * 1e6 / count;
}

std::vector<std::string> linesOf(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find("\r\n", start);
    end = end == std::string::npos ? bytes.size() : end + 2;
    lines.push_back(bytes.substr(start, end - start));
    start = end;
  }
  return lines;
}

struct Embedding {
  NPP instance;
  NPObject* object;
};

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc == 2 && strcmp(argv[1], "--quick") == 0;
  if (argc > 2 || (argc == 2 && !quick)) {
    fprintf(stderr, "usage: kelvra_bench.exe [--quick]\n");
    return 2;
  }
  const Rounds& rounds = quick ? kQuick : kFull;
  if (FAILED(CoInitialize(NULL))) return 2;
  LauncherStandIn launcher;
  if (FAILED(launcher.registerFactory())) return 2;
  answerWell(launcher);
  browser::reset();
  PluginSession session;
  if (!session.open(L"kelvra-bench-") || session.logPath().empty()) {
    fprintf(stderr, "the plug-in did not load, or wrote no log\n");
    return 2;
  }
  std::vector<Embedding> embeddings;
  auto addEmbedding = [&]() {
    Embedding embedding;
    embedding.instance = session.newEmbedding();
    embedding.object = embedding.instance != NULL ? session.scriptableObject(embedding.instance) : NULL;
    if (embedding.object == NULL) {
      fprintf(stderr, "an embedding was refused\n");
      exit(2);
    }
    embeddings.push_back(embedding);
  };
  addEmbedding();

  IKelvraLauncher* direct = NULL;
  if (FAILED(CoCreateInstance(CLSID_KelvraLauncher, NULL, CLSCTX_INPROC_SERVER, IID_IKelvraLauncher,
                              reinterpret_cast<void**>(&direct)))) {
    return 2;
  }
  const std::wstring floorPath = session.folder() + L"floor.log";
  HANDLE floorFile = CreateFileW(floorPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (floorFile == INVALID_HANDLE_VALUE) return 2;
  model::FileTail tail(session.logPath());
  tail.readNew();

  const Case cases[] = {
      {"PreStartGame", kSlotPreStartGame, {}},
      {"StartGame", kSlotStartGame, {"ticket-0123456789abcdef", "script=play&mode=full"}},
      {"GetKeyValue", kSlotGetKeyValue, {"install.path"}},
      {"Hello", kSlotHello, {}},
  };
  printf("%d repetitions of a batch of %d calls after %d warm-up calls, medians; floor = launcher "
         "called directly + the plug-in's log bytes for that call, one WriteFile per line\n\n",
         rounds.repetitions, rounds.batch, rounds.warmUp);
  if (quick) printf("(--quick: a run to see that the benchmark works; its figures measure nothing)\n\n");
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  SectionPair lock{&section};
  printf("%-14s %5s %5s %10s %8s %6s %8s %8s %12s\n", "method", "lines", "bytes", "plug-in us",
         "floor us", "ratio", "lock us", "browser", "ratio without");
  std::vector<FloorCall> floors;
  for (const Case& c : cases) {
    PluginCall plugin{embeddings.back().object, browser::identifier(c.method), {}};
    for (const std::string& text : c.texts) plugin.args.push_back(browser::stringArgument(text));
    NPVariant sample;
    plugin.object->_class->invoke(plugin.object, plugin.id, plugin.args.data(),
                                  static_cast<uint32_t>(plugin.args.size()), &sample);
    BrowserShare share{plugin.id, NPVARIANT_IS_STRING(sample) ? sample.value.stringValue.UTF8Length + 1 : 0};
    browser::releaseValue(&sample);
    // The lines of one call, captured and written again by the floor.
    floors.push_back(FloorCall{direct, &c, floorFile, linesOf(tail.readNew())});
    FloorCall& floor = floors.back();
    size_t bytes = 0;
    for (const std::string& line : floor.lines) bytes += line.size();

    timeBatch(plugin, rounds.warmUp);
    timeBatch(floor, rounds.warmUp);
    timeBatch(lock, rounds.warmUp);
    timeBatch(share, rounds.warmUp);
    std::vector<double> pluginTimes, floorTimes, ratios, ratiosWithout, lockTimes, shareTimes;
    for (int rep = 0; rep < rounds.repetitions; ++rep) {
      launcher.clearCalls();
      answerWell(launcher);
      const double pluginTime = timeBatch(plugin, rounds.batch);
      const double floorTime = timeBatch(floor, rounds.batch);
      const double shareTime = timeBatch(share, rounds.batch);
      pluginTimes.push_back(pluginTime);
      floorTimes.push_back(floorTime);
      shareTimes.push_back(shareTime);
      ratios.push_back(pluginTime / floorTime);
      ratiosWithout.push_back((pluginTime - shareTime) / floorTime);
      lockTimes.push_back(timeBatch(lock, rounds.batch));
    }
    printf("%-14s %5u %5u %10.2f %8.2f %6.2f %8.3f %8.2f %12.2f\n", c.method,
           static_cast<unsigned>(floor.lines.size()), static_cast<unsigned>(bytes),
           kelvra_bench::median(pluginTimes), kelvra_bench::median(floorTimes),
           kelvra_bench::median(ratios), kelvra_bench::median(lockTimes),
           kelvra_bench::median(shareTimes), kelvra_bench::median(ratiosWithout));
    fflush(stdout);
    for (NPVariant& arg : plugin.args) browser::releaseValue(&arg);
    tail.readNew();
  }
  DeleteCriticalSection(&section);
  printf("(goal: ratio <= 1.15; ratios are medians of the repetitions' own plug-in / floor.\n"
         " lock: one uncontended critical-section entry + exit, the registry lock every call\n"
         " takes once; browser: the stand-in's services the call uses, the name's text and a\n"
         " text result's block; the last column leaves the browser's share out)\n\n");

  // Against the floor of the same repetition, so that a change of load between the
  // counts does not pass for a cost of the embeddings.
  printf("%-10s %16s %16s %10s %10s\n", "embeddings", "PreStartGame us", "Hello us", "ratio", "vs 1");
  FloorCall& preStartFloor = floors.front();
  double firstRatio = 0;
  const size_t counts[] = {1, 10, 100, 1000};
  for (size_t count : counts) {
    while (embeddings.size() < count) addEmbedding();
    PluginCall preStart{embeddings.back().object, browser::identifier("PreStartGame"), {}};
    PluginCall hello{embeddings.back().object, browser::identifier("Hello"), {}};
    timeBatch(preStart, rounds.warmUp);
    timeBatch(hello, rounds.warmUp);
    timeBatch(preStartFloor, rounds.warmUp);
    std::vector<double> preStartTimes, helloTimes, ratios;
    for (int rep = 0; rep < rounds.repetitions; ++rep) {
      launcher.clearCalls();
      answerWell(launcher);
      const double preStartTime = timeBatch(preStart, rounds.batch);
      ratios.push_back(preStartTime / timeBatch(preStartFloor, rounds.batch));
      preStartTimes.push_back(preStartTime);
      helloTimes.push_back(timeBatch(hello, rounds.batch));
    }
    const double ratio = kelvra_bench::median(ratios);
    if (count == 1) firstRatio = ratio;
    printf("%-10u %16.2f %16.2f %10.2f %10.3f\n", static_cast<unsigned>(count),
           kelvra_bench::median(preStartTimes), kelvra_bench::median(helloTimes), ratio,
           ratio / firstRatio);
    fflush(stdout);
  }
  printf("(ratio: PreStartGame against its floor; vs 1: that ratio against the one with a\n"
         " single embedding. goal: vs 1 <= 1.5 at 1000)\n");

  for (const Embedding& embedding : embeddings) {
    session.destroy(embedding.instance);
    browser::release(embedding.object);
  }
  direct->Release();
  CloseHandle(floorFile);
  session.close();

  launcher.revokeFactory();
  CoUninitialize();
  return 0;
}
