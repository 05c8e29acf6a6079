// Hostile input through the real DLL: a seeded, bounded run of random script calls
// (random names, random argument arrays, a launcher answering at random) checked
// call by call against a model of the eighteen methods, and a sweep of page hosts
// through NPP_New checked against the host rule. The seed is printed; set
// KELVRA_FUZZ_SEED to run one again.
#include <gtest/gtest.h>

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "plugin_fixture.h"
#include "method_model.h"

using namespace kelvra_test;
using namespace kelvra_test::model;

namespace {

const char kSeedVariable[] = "KELVRA_FUZZ_SEED";
const int kCalls = 15000;
const int kMaxEmbeddings = 60;
const size_t kHugeBytes = (1u << 20) + 17;
const size_t kLauncherTextLimit = 2047;  // the 2048-byte buffer less its NUL
const char kUnknownMethod[] = "exception during invocation";

NPClass plainClass = {NP_CLASS_STRUCT_VERSION, NULL, NULL, NULL, NULL, NULL, NULL,
                      NULL, NULL, NULL, NULL, NULL, NULL};

uint64_t sharedSeed() {
  static const uint64_t seed = [] {
    const uint64_t chosen = seedFrom(kSeedVariable);
    printf("fuzz seed %llu (rerun with %s=%llu)\n", static_cast<unsigned long long>(chosen),
           kSeedVariable, static_cast<unsigned long long>(chosen));
    fflush(stdout);
    return chosen;
  }();
  return seed;
}

// ---- script-side values -------------------------------------------------------------

// Bytes of every kind except NUL, CR and LF (NULs are placed per string, CR and LF
// come only inside marked spans).
std::string randomBytes(Random& random, size_t length) {
  static const char* const multiByte[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                          "\xD0\x96", "\xC3",         "\xE2\x82",
                                          "\xED\xA0\x80", "\xC0\xAF",  "\xF8\x88\x80\x80\x80"};
  std::string bytes;
  bytes.reserve(length + 4);
  while (bytes.size() < length) {
    const uint32_t kind = random.below(100);
    if (kind < 50) {
      bytes += static_cast<char>(0x20 + random.below(0x5F));
    } else if (kind < 72) {
      bytes += static_cast<char>(0x80 + random.below(0x80));
    } else if (kind < 80) {
      char control = static_cast<char>(1 + random.below(31));
      if (control == '\r' || control == '\n') control = '\t';
      bytes += control;
    } else {
      bytes += random.pick(multiByte);
    }
  }
  bytes.resize(length);
  return bytes;
}

std::string lineBreakSpan(Random& random) {
  static const char* const pieces[] = {"\r\n", "\n", "\r", "x", " ", "\n\n", "\r\r\n", "\xE9"};
  std::string span = kSpanBegin;
  const uint32_t count = 1 + random.below(6);
  for (uint32_t i = 0; i < count; ++i) span += random.pick(pieces);
  return span + kSpanEnd;
}

// One NUL in a fifth of the texts, anywhere but inside a marked span.
template <typename Text>
void placeNul(Random& random, Text* text) {
  if (text->empty() || !random.chance(20)) return;
  const size_t at = random.below(static_cast<uint32_t>(text->size()));
  std::string narrow;
  for (auto unit : *text) narrow += static_cast<char>(unit == 0x1b ? 0x1b : 'x');
  const size_t spanAt = narrow.find('\x1b');
  const size_t spanEnd = narrow.rfind('\x1b');
  if (spanAt != std::string::npos && at >= spanAt && at <= spanEnd) return;
  (*text)[at] = 0;
}

std::string randomScriptText(Random& random) {
  const uint32_t kind = random.below(100);
  size_t length;
  if (kind < 10) {
    length = 0;
  } else if (kind < 45) {
    length = 1 + random.below(16);
  } else if (kind < 75) {
    length = 17 + random.below(300);
  } else if (kind < 95) {
    length = 300 + random.below(4700);
  } else {
    length = 2040 + random.below(20);
  }
  std::string text = randomBytes(random, length);
  if (random.chance(15)) text.insert(random.below(static_cast<uint32_t>(text.size() + 1)), lineBreakSpan(random));
  placeNul(random, &text);
  return text;
}

// One argument: the variant handed to the plug-in and, for a string, its bytes.
struct Argument {
  NPVariant value;
  std::string bytes;
  unsigned char rawBool = 0;
};

Argument makeArgument(Random& random, NPVariantType type, size_t hugeLength = 0) {
  Argument argument;
  switch (type) {
    case NPVariantType_Void:
      VOID_TO_NPVARIANT(argument.value);
      break;
    case NPVariantType_Null:
      NULL_TO_NPVARIANT(argument.value);
      break;
    case NPVariantType_Bool: {
      static const unsigned char raws[] = {0, 1, 1, 0, 2, 0x7F, 0x80, 0xFF};
      argument.rawBool = random.pick(raws);
      BOOLEAN_TO_NPVARIANT(false, argument.value);
      memcpy(&argument.value.value.boolValue, &argument.rawBool, 1);
      break;
    }
    case NPVariantType_Int32: {
      static const int32_t values[] = {0, 1, -1, std::numeric_limits<int32_t>::min(),
                                       std::numeric_limits<int32_t>::max(), 42};
      INT32_TO_NPVARIANT(random.chance(50) ? random.pick(values) : static_cast<int32_t>(random.next()),
                         argument.value);
      break;
    }
    case NPVariantType_Double: {
      static const double values[] = {0.0, -0.0, 1.0, NAN, INFINITY, -INFINITY, 1e308, 4.9e-324};
      DOUBLE_TO_NPVARIANT(random.pick(values), argument.value);
      break;
    }
    case NPVariantType_String:
      if (hugeLength != 0) {
        argument.bytes = randomBytes(random, hugeLength);
        if (random.chance(50)) argument.bytes[hugeLength - 1 - random.below(1000)] = '\0';
      } else {
        argument.bytes = randomScriptText(random);
      }
      if (argument.bytes.empty() && random.chance(50)) {
        // An empty string the way some browsers pass it: no characters at all.
        STRINGN_TO_NPVARIANT(NULL, 0, argument.value);
      } else {
        argument.value = browser::stringArgument(argument.bytes);
      }
      break;
    case NPVariantType_Object:
      OBJECT_TO_NPVARIANT(browser::createObject(NULL, &plainClass), argument.value);
      break;
  }
  return argument;
}

NPVariantType randomType(Random& random) {
  static const NPVariantType types[] = {
      NPVariantType_Void,   NPVariantType_Null,   NPVariantType_Bool,   NPVariantType_Bool,
      NPVariantType_Int32,  NPVariantType_Double, NPVariantType_String, NPVariantType_String,
      NPVariantType_String, NPVariantType_Object};
  return random.pick(types);
}

std::vector<Argument> randomArguments(Random& random, const MethodModel* row) {
  std::vector<Argument> args;
  if (row != NULL && row->argCount != kAnyArguments && random.chance(60)) {
    // Well-formed for the method, so that most calls reach the launcher ...
    for (int i = 0; i < row->argCount; ++i) args.push_back(makeArgument(random, row->argType));
    // ... and now and then one argument of another type.
    if (!args.empty() && random.chance(12)) {
      Argument& victim = args[random.below(static_cast<uint32_t>(args.size()))];
      browser::releaseValue(&victim.value);
      victim = makeArgument(random, randomType(random));
    }
    return args;
  }
  const uint32_t count = random.chance(50) ? random.below(4) : random.below(21);
  for (uint32_t i = 0; i < count; ++i) args.push_back(makeArgument(random, randomType(random)));
  return args;
}

// A method name: one of the eighteen, or something near it, or nothing like it.
struct Name {
  std::string bytes;
  bool isInteger = false;
  int32_t integer = 0;
};

Name randomName(Random& random) {
  Name name;
  const std::string base = kMethods[random.below(kMethodCount)].name;
  const uint32_t kind = random.below(100);
  if (kind < 70) {
    name.bytes = base;
  } else if (kind < 76) {
    name.bytes = base;
    const uint32_t at = random.below(static_cast<uint32_t>(base.size()));
    switch (random.below(5)) {
      case 0: name.bytes.erase(at, 1); break;
      case 1: name.bytes.insert(at, 1, static_cast<char>('a' + random.below(26))); break;
      case 2: name.bytes[at] = static_cast<char>(name.bytes[at] == 'x' ? 'y' : 'x'); break;
      case 3: name.bytes += random.chance(50) ? " " : "s"; break;
      default: name.bytes.insert(0, " "); break;
    }
  } else if (kind < 81) {
    name.bytes = base;
    const uint32_t mode = random.below(3);
    for (size_t i = 0; i < name.bytes.size(); ++i) {
      char& c = name.bytes[i];
      const bool flip = mode == 2 ? i == 0 : true;
      if (!flip) continue;
      if (mode != 1 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
      else if (mode != 0 && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
  } else if (kind < 83) {
    name.bytes = std::string();
  } else if (kind < 85) {
    // Very long; a handful of lengths, since the browser keeps every identifier.
    static const size_t lengths[] = {4096, 65536, 200000};
    name.bytes = base;
    while (name.bytes.size() < random.pick(lengths)) name.bytes += base;
  } else if (kind < 89) {
    static const char* const tails[] = {"\xFF", "\xC3", "\xE2\x82", "\xED\xA0\x80", "\x80\x80"};
    name.bytes = random.chance(50) ? base + random.pick(tails) : random.pick(tails) + base;
  } else if (kind < 93) {
    // The plug-in sees the identifier's text only up to its NUL.
    name.bytes = base + std::string(1, '\0') + "junk";
  } else if (kind < 95) {
    name.bytes = std::string(1, '\0') + base;
  } else if (kind < 97) {
    name.isInteger = true;
    name.integer = static_cast<int32_t>(random.below(40)) - 5;
  } else {
    // Look-alikes: Cyrillic o and Latin-1 e in place of ASCII letters.
    name.bytes = base;
    const size_t at = name.bytes.find_first_of("oe");
    if (at != std::string::npos) name.bytes.replace(at, 1, name.bytes[at] == 'o' ? "\xD0\xBE" : "\xC3\xA9");
  }
  return name;
}

// ---- launcher-side answers ----------------------------------------------------------

std::wstring randomLauncherText(Random& random) {
  const uint32_t kind = random.below(100);
  size_t length;
  bool lengthy = false;
  if (kind < 10) {
    length = 0;
  } else if (kind < 55) {
    length = 1 + random.below(40);
  } else if (kind < 80) {
    length = 41 + random.below(1200);
  } else {
    // Past the 2047 bytes the plug-in can hand on.
    static const size_t longLengths[] = {2046, 2047, 2048, 2049, 2100, 5000};
    length = random.pick(longLengths);
    lengthy = true;
  }
  static const wchar_t outside[] = {0x4E2D, 0x0416, 0x03A9, 0xFFFD, 0x0100, 0x2603};
  static const wchar_t inside[] = {0x20AC, 0x2122, 0x00E9, 0x00FF, 0x00A0, 0x0152};
  std::wstring text;
  while (text.size() < length) {
    const uint32_t unit = random.below(100);
    if (unit < 50) {
      text += static_cast<wchar_t>(0x20 + random.below(0x5F));
    } else if (unit < 65) {
      text += random.pick(inside);
    } else if (unit < 82) {
      text += random.pick(outside);
    } else if (unit < 88) {
      wchar_t control = static_cast<wchar_t>(1 + random.below(31));
      if (control == L'\r' || control == L'\n') control = L'\t';
      text += control;
    } else if (!lengthy && unit < 93) {
      text += random.chance(80) ? std::wstring(L"\xD83D\xDE00") : std::wstring(1, L'\xD800');
    } else {
      text += static_cast<wchar_t>(0xA1 + random.below(0x5F));
    }
  }
  if (!lengthy && random.chance(15)) {
    std::wstring span;
    for (unsigned char c : lineBreakSpan(random)) span += static_cast<wchar_t>(c);
    text.insert(0, span);
  }
  placeNul(random, &text);
  return text;
}

bool isTextOutSlot(int slot) {
  return slot == kSlotHello || slot == kSlotGetInstallHost || slot == kSlotGetKeyValue;
}
bool isFlagOutSlot(int slot) { return slot == kSlotGetIsUpToDate || slot == kSlotGetIsGameStarted; }

LauncherAnswer randomAnswer(Random& random, int slot) {
  static const HRESULT results[] = {S_OK, S_OK, S_OK, S_FALSE, 2, 0x7FFFFFFF, E_FAIL,
                                    E_OUTOFMEMORY, E_INVALIDARG, E_ACCESSDENIED,
                                    static_cast<HRESULT>(0x80000000), RPC_E_DISCONNECTED};
  const HRESULT result = random.chance(90) ? random.pick(results) : static_cast<HRESULT>(random.next());
  if (isTextOutSlot(slot)) {
    // A launcher that fails hands nothing out (COM's rule for out parameters).
    if (FAILED(result)) return random.chance(50) ? answerNullText(result) : answerResult(result);
    const uint32_t kind = random.below(100);
    if (kind < 70) return answerText(result, randomLauncherText(random));
    return kind < 85 ? answerNullText(result) : answerResult(result);
  }
  if (isFlagOutSlot(slot) && random.chance(80)) {
    static const VARIANT_BOOL flags[] = {VARIANT_TRUE, VARIANT_TRUE, VARIANT_FALSE, 1, 0x7FFF,
                                         static_cast<VARIANT_BOOL>(0x8000), -2};
    return answerFlag(result, random.pick(flags));
  }
  return answerResult(result);
}

struct Observed {
  LauncherCall call;
  LauncherAnswer answer;
};

// ---- the run ------------------------------------------------------------------------

struct Embedding {
  NPP instance = NULL;
  NPObject* object = NULL;  // the browser's reference, held to the end
  int launcherObject = -1;
  bool live = false;
};

std::string describe(const Name& name, const std::vector<Argument>& args) {
  std::string text = name.isInteger ? "int identifier " + std::to_string(name.integer)
                                    : "\"" + printable(name.bytes, 60) + "\"";
  text += " with " + std::to_string(args.size()) + " argument(s):";
  for (const Argument& arg : args) {
    text += " type" + std::to_string(arg.value.type);
    if (arg.value.type == NPVariantType_String) text += "[" + printable(arg.bytes, 24) + "]";
    if (arg.value.type == NPVariantType_Bool) text += "[" + std::to_string(arg.rawBool) + "]";
  }
  return text;
}

class Fuzz : public PluginFixture {
 protected:
  void SetUp() override {
    PluginFixture::SetUp();
    ASSERT_TRUE(start());
    watch.reset(new BstrWatch(plugin.module));
    ASSERT_GT(watch->patchedImports(), 0);
    ASSERT_EQ(1u, logFiles().size());
    tail.reset(logFiles()[0]);
    before = browser::counts();
  }

  void TearDown() override {
    watch.reset();
    PluginFixture::TearDown();
  }

  void openEmbedding() {
    Embedding embedding;
    const int created = launcher.objectsCreated();
    NPError error = NPERR_GENERIC_ERROR;
    embedding.instance = newInstance("www.kelvra.com", &error);
    ASSERT_EQ(NPERR_NO_ERROR, error);
    embedding.object = scriptableObject(embedding.instance);
    ASSERT_NE(nullptr, embedding.object);
    ASSERT_EQ(created + 1, launcher.objectsCreated());
    embedding.launcherObject = created;
    embedding.live = true;
    embeddings.push_back(embedding);
    tail.readNew();
  }

  void closeEmbedding(Embedding& embedding) {
    EXPECT_EQ(NPERR_NO_ERROR, destroy(embedding.instance));
    embedding.live = false;
    EXPECT_FALSE(launcher.objectStats(embedding.launcherObject).alive);
    tail.readNew();
  }

  int liveCount() const {
    int live = 0;
    for (const Embedding& embedding : embeddings) live += embedding.live ? 1 : 0;
    return live;
  }

  // Creation and destruction interleaved with the calls.
  void churn(Random& random) {
    const int live = liveCount();
    if (live < 1 || (live < 4 && static_cast<int>(embeddings.size()) < kMaxEmbeddings && random.chance(50))) {
      openEmbedding();
      return;
    }
    if (live > 1) {
      std::vector<Embedding*> candidates;
      for (Embedding& embedding : embeddings) {
        if (embedding.live) candidates.push_back(&embedding);
      }
      closeEmbedding(*candidates[random.below(static_cast<uint32_t>(candidates.size()))]);
    }
  }

  Embedding& target(Random& random) {
    std::vector<Embedding*> live, dead;
    for (Embedding& embedding : embeddings) (embedding.live ? live : dead).push_back(&embedding);
    if (!dead.empty() && random.chance(12)) return *dead[random.below(static_cast<uint32_t>(dead.size()))];
    return *live[random.below(static_cast<uint32_t>(live.size()))];
  }

  void checkLauncherArguments(const MethodModel& row, const std::vector<Argument>& args,
                              const Embedding& embedding, const LauncherCall& call) {
    EXPECT_EQ(row.slot, call.slot) << launcherSlotName(call.slot);
    EXPECT_EQ(embedding.launcherObject, call.object);
    EXPECT_FALSE(call.afterFinalRelease);
    const bool textsIn = row.argCount > 0 && row.argType == NPVariantType_String;
    const bool flagIn = row.argCount > 0 && row.argType == NPVariantType_Bool;
    ASSERT_EQ(textsIn ? static_cast<size_t>(row.argCount) : 0u, call.texts.size());
    for (size_t i = 0; i < call.texts.size(); ++i) {
      EXPECT_FALSE(call.texts[i].isNull) << "text " << i;
      EXPECT_TRUE(call.texts[i].text == launcherTextOf(args[i].bytes)) << "text " << i;
    }
    ASSERT_EQ(flagIn ? 1u : 0u, call.flags.size());
    if (flagIn) {
      EXPECT_EQ(args[0].rawBool != 0 ? VARIANT_TRUE : VARIANT_FALSE, call.flags[0]);
    }
  }

  // The model's verdict on one call that reached a method of the table.
  void checkResult(const MethodModel& row, const std::vector<Argument>& args,
                   const std::vector<NPVariant>& values, const Embedding& embedding,
                   const NPVariant& result, const std::string& logged) {
    const bool accepted = argumentsAccepted(row, values.data(), static_cast<uint32_t>(values.size()));
    const bool reaches = embedding.live && (row.family == kFlagResult || row.family == kTextResult || accepted);
    ASSERT_EQ(reaches ? 1u : 0u, observed.size()) << "launcher calls";
    if (!reaches) {
      if (row.family == kFlagResult) {
        ASSERT_TRUE(NPVARIANT_IS_BOOLEAN(result));
        EXPECT_FALSE(NPVARIANT_TO_BOOLEAN(result));
      } else {
        ASSERT_TRUE(NPVARIANT_IS_INT32(result)) << "type " << result.type;
        EXPECT_EQ(-1, NPVARIANT_TO_INT32(result));
      }
      if (row.family == kTextResult) {
        EXPECT_NE(std::string::npos,
                  logged.find(std::string(row.slot == kSlotHello ? "KelvraAdapterHello" : "KelvraAdapterGet_InstallHost") +
                              " result=-1 size=1 ssMess=\r\n"));
      }
      return;
    }
    ++launcherCalls;
    const Observed& seen = observed[0];
    checkLauncherArguments(row, args, embedding, seen.call);
    const HRESULT hr = seen.answer.result;
    const std::string text = seen.answer.out == kStoreText ? scriptTextOf(seen.answer.text, kLauncherTextLimit)
                                                           : std::string();
    switch (row.family) {
      case kIntegerResult:
        ASSERT_TRUE(NPVARIANT_IS_INT32(result)) << "type " << result.type;
        EXPECT_EQ(static_cast<int32_t>(hr), NPVARIANT_TO_INT32(result));
        break;
      case kFlagResult:
        ASSERT_TRUE(NPVARIANT_IS_BOOLEAN(result)) << "type " << result.type;
        EXPECT_EQ(seen.answer.out == kStoreFlag && seen.answer.flag == VARIANT_TRUE,
                  NPVARIANT_TO_BOOLEAN(result));
        break;
      case kTextResult: {
        ASSERT_TRUE(NPVARIANT_IS_STRING(result)) << "type " << result.type;
        const std::string expected = FAILED(hr) ? std::string(row.errorText) : text;
        EXPECT_EQ(printable(expected, 4096), printable(textOf(result), 4096));
        EXPECT_EQ('\0', result.value.stringValue.UTF8Characters[result.value.stringValue.UTF8Length]);
        const std::string closing = std::string(row.slot == kSlotHello ? "KelvraAdapterHello" : "KelvraAdapterGet_InstallHost") +
                                    " result=" + std::to_string(hr) + " size=" +
                                    std::to_string(expected.size() + 1) + " ssMess=" + asLogged(expected) + "\r\n";
        EXPECT_NE(std::string::npos, logged.find(closing)) << printable(closing);
        break;
      }
      case kKeyValueResult:
        if (FAILED(hr)) {
          ASSERT_TRUE(NPVARIANT_IS_INT32(result)) << "type " << result.type;
          EXPECT_EQ(-1, NPVARIANT_TO_INT32(result));
          EXPECT_NE(std::string::npos,
                    logged.find("invokeKelvraAdapterGetKeyValue failed error = " + std::to_string(hr) + "\r\n"));
        } else {
          ASSERT_TRUE(NPVARIANT_IS_STRING(result)) << "type " << result.type;
          EXPECT_EQ(printable(text, 4096), printable(textOf(result), 4096));
          EXPECT_EQ('\0', result.value.stringValue.UTF8Characters[result.value.stringValue.UTF8Length]);
        }
        break;
    }
  }

  // What the methods that echo their arguments must have written, whole.
  void checkEchoedArguments(const MethodModel& row, const std::vector<Argument>& args,
                            const std::string& logged) {
    std::string line;
    if (row.slot == kSlotStartGame) {
      line = "KelvraAdapterStartGame Auth = " + ticketAsLogged(args[0].bytes) +
             ", Script = " + cutAtNul(args[1].bytes);
    } else if (row.slot == kSlotPutAuthenticationTicket) {
      line = "KelvraAdapterPut_AuthenticationTicket Ticket = " + ticketAsLogged(args[0].bytes);
    } else if (row.slot == kSlotGetKeyValue) {
      line = "invokeKelvraAdapterGetKeyValue key = " + cutAtNul(args[0].bytes) +
             " len = " + std::to_string(args[0].bytes.size());
    } else {
      return;
    }
    EXPECT_NE(std::string::npos, logged.find(" " + asLogged(line) + "\r\n")) << printable(line);
  }

  void runOneCall(Random& random, int index, size_t hugeLength) {
    Embedding& embedding = target(random);
    Name name = randomName(random);
    const MethodModel* forced = NULL;
    if (hugeLength != 0) {
      // A string of more than a megabyte through the copy, the log and the BSTR.
      static const char* const echoing[] = {"StartGame", "Put_AuthenticationTicket", "GetKeyValue"};
      forced = &method(random.pick(echoing));
      name = Name();
      name.bytes = forced->name;
    }
    const MethodModel* row = name.isInteger ? NULL : findMethod(cutAtNul(name.bytes));
    std::vector<Argument> args;
    if (forced != NULL) {
      for (int i = 0; i < forced->argCount; ++i) {
        args.push_back(makeArgument(random, NPVariantType_String, i == 0 ? hugeLength : 0));
      }
    } else {
      args = randomArguments(random, row);
    }
    std::vector<NPVariant> values;
    for (const Argument& arg : args) values.push_back(arg.value);

    SCOPED_TRACE("seed " + std::to_string(sharedSeed()) + ", call " + std::to_string(index) + ": " +
                 describe(name, args) + (embedding.live ? "" : " on a destroyed embedding"));

    observed.clear();
    launcher.clearCalls();
    launcher.setHook([this, &random](const LauncherCall& call, LauncherAnswer& answer) {
      answer = randomAnswer(random, call.slot);
      observed.push_back(Observed{call, answer});
    });
    const long exceptions = browser::counts().exceptions;
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    bool answered;
    if (name.isInteger) {
      answered = browser::functions()->invoke(NULL, embedding.object, browser::intIdentifier(name.integer),
                                              values.data(), static_cast<uint32_t>(values.size()), &result);
      for (NPVariant& value : values) browser::releaseValue(&value);
    } else {
      answered = call(embedding.object, name.bytes, values, &result);
    }
    launcher.setHook(AnswerHook());

    const std::string logged = tail.readNew();
    EXPECT_EQ("", logFault(logged));
    EXPECT_EQ(0, logged.compare(kStampLength, 8, "invoke\r\n")) << printable(logged);

    if (row == NULL) {
      EXPECT_FALSE(answered);
      EXPECT_EQ(exceptions + 1, browser::counts().exceptions);
      EXPECT_EQ(kUnknownMethod, browser::lastException());
      EXPECT_TRUE(observed.empty());
      EXPECT_TRUE(NPVARIANT_IS_VOID(result));
    } else {
      EXPECT_TRUE(answered);
      EXPECT_EQ(exceptions, browser::counts().exceptions);
      checkResult(*row, args, values, embedding, result, logged);
      const bool echoes = embedding.live &&
                          argumentsAccepted(*row, values.data(), static_cast<uint32_t>(values.size()));
      if (echoes) checkEchoedArguments(*row, args, logged);
    }
    if (NPVARIANT_IS_STRING(result)) ++stringResults;
    browser::releaseValue(&result);
  }

  std::unique_ptr<BstrWatch> watch;
  FileTail tail;
  browser::Counts before = {};
  std::vector<Embedding> embeddings;
  std::vector<Observed> observed;
  long launcherCalls = 0;
  long stringResults = 0;
};

TEST_F(Fuzz, RandomCallsKeepEveryInvariant) {
  ASSERT_TRUE(singleByteCodePage()) << "the model's text cut assumes a single-byte ANSI code page";
  Random random(sharedSeed());
  const int hugeFirst = 20 + static_cast<int>(random.below(kCalls / 4));
  const int hugeSecond = kCalls / 2 + static_cast<int>(random.below(kCalls / 4));
  long unknownCalls = 0;
  openEmbedding();
  for (int i = 0; i < kCalls && !HasFailure(); ++i) {
    if (random.chance(3)) churn(random);
    const long exceptions = browser::counts().exceptions;
    runOneCall(random, i, i == hugeFirst || i == hugeSecond ? kHugeBytes : 0);
    unknownCalls += browser::counts().exceptions - exceptions;
  }
  ASSERT_FALSE(HasFailure()) << "rerun with " << kSeedVariable << "=" << sharedSeed();

  for (Embedding& embedding : embeddings) {
    if (embedding.live) closeEmbedding(embedding);
    browser::release(embedding.object);
  }
  expectNothingLeaked(before, launcher, watch.get());
  const browser::Counts after = browser::counts();
  EXPECT_EQ(unknownCalls, after.exceptions);
  EXPECT_GT(unknownCalls, 0);
  printf("fuzz: %d calls, %d embeddings, %ld unknown names, %ld launcher calls, %ld string results, "
         "%ld launcher BSTRs freed\n", kCalls, static_cast<int>(embeddings.size()), unknownCalls,
         launcherCalls, stringResults, watch->frees());
}

// ---- page hosts ---------------------------------------------------------------------

class HostSweep : public PluginFixture {
 protected:
  void SetUp() override {
    PluginFixture::SetUp();
    ASSERT_TRUE(start());
    before = browser::counts();
  }

  // NPP_New on the page as it stands; whether the embedding got its scriptable object.
  bool tryPage(const std::string& shown, std::vector<std::string>* lines) {
    mark();
    pages.push_back(NPP_t());
    char mime[] = "application/x-vnd-kelvra-launcher";
    EXPECT_EQ(NPERR_NO_ERROR, funcs.newp(mime, &pages.back(), NP_EMBED, 0, NULL, NULL, NULL)) << shown;
    *lines = messagesSinceMark();
    NPObject* object = scriptableObject(&pages.back());
    if (object == NULL) {
      EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, destroy(&pages.back())) << shown;
      return false;
    }
    NPVariant result;
    EXPECT_TRUE(call(object, "PreStartGame", {}, &result)) << shown;
    EXPECT_TRUE(NPVARIANT_IS_INT32(result) && NPVARIANT_TO_INT32(result) == 0) << shown;
    browser::release(object);
    EXPECT_EQ(NPERR_NO_ERROR, destroy(&pages.back())) << shown;
    return true;
  }

  // The host as location.host, for a browser that gives no origin, then as the origin
  // the browser serialises from it.
  void checkHost(const std::string& host) {
    browser::setHost(host);
    browser::Faults noOrigin;
    noOrigin.failOrigin = true;
    browser::setFaults(noOrigin);
    std::vector<std::string> lines;
    const bool expected = soundHostRule(host);
    EXPECT_EQ(expected, tryPage(printable(host), &lines)) << "host \"" << printable(host) << "\"";
    const std::string verdict = expected ? "location.host contains substring=kelvra.com"
                                         : "location.host DOES NOT contain substring=kelvra.com";
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(verdict, lines[1]) << printable(host);
    ++checked;
    accepted += expected ? 1 : 0;

    browser::setFaults(browser::Faults());
    const std::string origin = "https://" + host;
    const std::string originExpected = originVerdict(origin);
    const bool originAccepted = originExpected == "location.host contains substring=kelvra.com";
    EXPECT_EQ(originAccepted, tryPage(printable(origin), &lines)) << "origin \"" << printable(origin) << "\"";
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(originExpected, lines[2]) << printable(origin);
    acceptedByOrigin += originAccepted ? 1 : 0;
  }

  void expectBalanced() { expectNothingLeaked(before, launcher); }

  std::deque<NPP_t> pages;
  browser::Counts before = {};
  int checked = 0;
  int accepted = 0;
  int acceptedByOrigin = 0;
};

TEST_F(HostSweep, TableOfHostsFollowsTheRule) {
  const std::string nul(1, '\0');
  const std::string hosts[] = {
      // accepted
      "kelvra.com", "www.kelvra.com", "KELVRA.COM", "Www.Kelvra.Com", "a.b.c.kelvra.com",
      "kelvra.com.", "www.kelvra.com.", "kelvra.com:443", "kelvra.com.:8080", "x-y.KeLvRa.CoM:1",
      // refused
      "", ".", ":", ":443", "kelvra.co", "kelvra.comm", "kelvra.com..", "kelvra.com..:443",
      "kelvra.com.evil.net", "evilkelvra.com", "wwwkelvra.com", "kelvra.com" + nul + ".evil.net",
      "www.kelvra.com" + nul, nul + "kelvra.com", "attacker.example" + nul + ".kelvra.com", "[::1]",
      "[::1]:443", "[2001:db8::1]:8080", "[kelvra.com]", "[www.kelvra.com]:443", "evil.net:kelvra.com",
      "kelvra.com@evil.net", "evil.net/kelvra.com", "evil.net/.kelvra.com", "user@www.kelvra.com",
      ".kelvra.com", "..kelvra.com", "www..kelvra.com", "www.kelvra.com:", "kelvra.com:443:80",
      "kelvra.com:65536", "kelvra.com:evil.net", "www .kelvra.com", "kelvr\xD0\xB0.com",
      "www.kelvra.com\xC2\xA0", "www.kelvra.c\xC3\xB6m", "KELVRA.COM\xE2\x80\x8B", "k\xC3\xA9lvra.com",
      "KELVRA.COM\xFF", " kelvra.com", "kelvra.com ", "kelvra.com\t", "127.0.0.1", "localhost", "kelvra",
      "com", "kelvra.com%2e", "kelvra\xE3\x80\x82" "com",
  };
  for (const std::string& host : hosts) checkHost(host);
  EXPECT_EQ(10, accepted);
  // Two more by origin: an origin ends at its first NUL.
  EXPECT_EQ(12, acceptedByOrigin);
  expectBalanced();
}

TEST_F(HostSweep, RandomHostsFollowTheRule) {
  Random random(sharedSeed() ^ 0x5157u);
  const std::string nul(1, '\0');
  const std::string prefixes[] = {"", "", "www.", "a.", "evil", "evil.", "kelvra.", ".", "..", "WWW.", "x-y.", "\xC3\xA9."};
  // Weighted towards what passes, so that both verdicts stay well represented.
  const std::string cores[] = {"kelvra.com", "kelvra.com", "kelvra.com", "kelvra.com", "KELVRA.COM",
                               "kElVrA.cOm", "kelvra.co", "kelvra.comm", "kelvracom", "kelvra..com",
                               "kelvr\xD0\xB0.com", "kelvra.c\xC3\xB6m", "[::1]", "[kelvra.com]"};
  const std::string suffixes[] = {"", "", "", "", ".", "..", ":443", ":8080", ":", ".:8080", ":8080:1",
                                  ".evil.net", nul, nul + ".evil", "\xFF", " ", "%2e", "]"};
  for (int i = 0; i < 300 && !HasFailure(); ++i) {
    std::string host = random.pick(prefixes) + random.pick(cores) + random.pick(suffixes);
    if (!host.empty() && random.chance(20)) {
      char& c = host[random.below(static_cast<uint32_t>(host.size()))];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
      else if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    if (random.chance(10)) {
      host.insert(random.below(static_cast<uint32_t>(host.size() + 1)), 1, static_cast<char>(random.below(256)));
    }
    SCOPED_TRACE("seed " + std::to_string(sharedSeed()) + ", host " + std::to_string(i));
    checkHost(host);
  }
  EXPECT_GT(accepted, 20);
  EXPECT_LT(accepted, checked - 20);
  EXPECT_GT(acceptedByOrigin, 20);
  EXPECT_LT(acceptedByOrigin, checked - 20);
  expectBalanced();
}

TEST_F(HostSweep, NonStringHostsAndBrokenPagesAreRefused) {
  const NPVariantType types[] = {NPVariantType_Void, NPVariantType_Null, NPVariantType_Bool,
                                 NPVariantType_Int32, NPVariantType_Double, NPVariantType_Object};
  // The location as a browser that gives no origin leaves it to be read.
  browser::Faults noOrigin;
  noOrigin.failOrigin = true;
  browser::setFaults(noOrigin);
  std::vector<std::string> lines;
  for (NPVariantType type : types) {
    browser::setHostValue(type);
    EXPECT_FALSE(tryPage("host of type " + std::to_string(type), &lines));
    EXPECT_EQ(std::vector<std::string>({"newv", "newv isKelvraHost = FALSE"}), lines) << type;
  }
  browser::setHost("www.kelvra.com");
  bool browser::Faults::*const switches[] = {&browser::Faults::failWindow, &browser::Faults::failLocation,
                                             &browser::Faults::failHost, &browser::Faults::locationNotObject};
  for (bool browser::Faults::*which : switches) {
    browser::Faults faults = noOrigin;
    faults.*which = true;
    browser::setFaults(faults);
    EXPECT_FALSE(tryPage("a broken page", &lines));
    EXPECT_EQ(std::vector<std::string>({"newv", "newv isKelvraHost = FALSE"}), lines);
  }
  browser::setFaults(browser::Faults());
  EXPECT_TRUE(tryPage("www.kelvra.com", &lines));
  expectBalanced();
}

}  // namespace
