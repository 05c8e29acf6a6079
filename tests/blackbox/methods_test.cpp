// The eighteen script methods through the real module, the browser stand-in and the
// launcher stand-in: argument rules, result encodings, the exact log lines, and what
// reaches the launcher (slot, texts, flags) or does not.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "bridge_fixture.h"
#include "method_model.h"

namespace kelvra_test {
namespace {

using ::testing::ElementsAreArray;

const HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);
const char kNotFound[] = "ERROR: Launcher not found";
// The launcher's converted text must fit a 2048-byte buffer with its NUL.
const size_t kLongestText = 2047;

enum Family {
  kInteger,    // the HRESULT as a signed integer
  kSetter,     // the same, with a line only when the launcher did not answer S_OK
  kFlag,       // a boolean from VARIANT_BOOL -1 only
  kText,       // the launcher's text, or the fixed error text
  kKeyLookup,  // the value text, or -1 when the launcher fails
};

enum Rule { kIgnored, kNoArguments, kOneString, kTwoStrings, kOneBool };

// One script method. Lines may hold the tokens {obj} (the object's address), {hr} (the
// launcher's HRESULT), {flag} (the page's boolean as 0 or 1), {text}, {len} and {size}
// (the page's text, its length and length + 1), {arg0}, {arg1} (the string arguments'
// copies, cut at a NUL), {ticket0} (the first copy as the log shows a ticket) and {len0}
// (the first argument's byte length).
struct MethodRow {
  const char* name;
  int slot;
  Family family;
  Rule rule;
  const char* entryLine;     // NULL: none
  const char* countLine;     // NULL: a wrong count logs nothing
  const char* typeLines[2];  // per argument
  std::vector<std::string> afterEntry;  // a call that reached the launcher
  std::vector<std::string> onFailure;   // the same when the launcher failed; empty: as above
  std::vector<std::string> whenGone;    // any call once the embedding is destroyed
  const char* failureText;   // kText: the page's string when the launcher fails
  const char* memallocName;  // string results: the name in the memalloc failure line
};

void PrintTo(const MethodRow& row, std::ostream* out) { *out << row.name; }

const MethodRow kMethods[] = {
    {"HelloWorld", kSlotHelloWorld, kInteger, kIgnored, "invokeKelvraAdapterHelloWorld {obj}",
     NULL, {NULL, NULL},
     {"NPKelvraProxy: KelvraAdapterHelloWorld result = {hr}"}, {},
     {kNotFound, "NPKelvraProxy: KelvraAdapterHelloWorld result = -1"}, NULL, NULL},
    {"Hello", kSlotHello, kText, kIgnored, "invokeKelvraAdapterHello {obj}", NULL, {NULL, NULL},
     {"IKelvraLauncher->Hello() result {hr}", "KelvraAdapterHello result={hr} size={size} ssMess={text}"},
     {}, {kNotFound, "KelvraAdapterHello result=-1 size=1 ssMess="},
     "IKelvraLauncher->Hello() Error occured !", "KelvraAdapterHello"},
    {"StartGame", kSlotStartGame, kInteger, kTwoStrings, "invokeKelvraAdapterStartGame {obj}",
     "KelvraAdapterStartGame argCount!=2",
     {"KelvraAdapterStartGame Bad arguments type : MUST BE String",
      "KelvraAdapterStartGame Bad arguments type : MUST BE String"},
     {"KelvraAdapterStartGame Auth = {ticket0}, Script = {arg1}", "KelvraAdapterStartGame result={hr}"},
     {}, {kNotFound, "KelvraAdapterStartGame result=-1"}, NULL, NULL},
    {"Get_InstallHost", kSlotGetInstallHost, kText, kIgnored,
     "invokeKelvraAdapterGet_InstallHost {obj}", NULL, {NULL, NULL},
     {"KelvraAdapterGet_InstallHost result={hr} size={size} ssMess={text}"}, {},
     {kNotFound, "KelvraAdapterGet_InstallHost result=-1 size=1 ssMess="},
     "IKelvraLauncher->get_InstallHost() Error occured !", "KelvraAdapterGet_InstallHost"},
    {"Update", kSlotUpdate, kInteger, kIgnored, "invokeKelvraAdapterUpdate {obj}", NULL,
     {NULL, NULL}, {}, {}, {kNotFound}, NULL, NULL},
    {"Put_AuthenticationTicket", kSlotPutAuthenticationTicket, kInteger, kOneString,
     "invokeKelvraAdapterPut_AuthenticationTicket {obj}",
     "KelvraAdapterPut_AuthenticationTicket argCount!=1",
     {"KelvraAdapterPut_AuthenticationTicket Bad arguments type : MUST BE String", NULL},
     {"KelvraAdapterPut_AuthenticationTicket Ticket = {ticket0}",
      "KelvraAdapterPut_AuthenticationTicket result={hr}"},
     {}, {kNotFound, "KelvraAdapterPut_AuthenticationTicket result=-1"}, NULL, NULL},
    {"Get_GameStarted", kSlotGetIsGameStarted, kFlag, kIgnored,
     "invokeKelvraAdapterGet_IsGameStarted {obj}", NULL, {NULL, NULL},
     {"KelvraAdapterGet_IsGameStarted HRESULT = {hr}", "invokeKelvraAdapterGet_IsGameStarted result={flag}"},
     {}, {kNotFound, "invokeKelvraAdapterGet_IsGameStarted result=0"}, NULL, NULL},
    {"SetSilentModeEnabled", kSlotSetSilentModeEnabled, kInteger, kOneBool, NULL,
     "KelvraAdapterGet_SetSilentModeEnabled argCount!=1",
     {"KelvraAdapterGet_SetSilentModeEnabled Bad arguments type : MUST be BOOL", NULL},
     {}, {}, {kNotFound}, NULL, NULL},
    {"SetStartInHiddenMode", kSlotSetStartInHiddenMode, kInteger, kOneBool,
     "invokeKelvraAdapterGet_SetStartInHiddenMode {obj}",
     "KelvraAdapterGet_SetStartInHiddenMode argCount!=1",
     {"KelvraAdapterGet_SetStartInHiddenMode Bad arguments type : MUST be BOOL", NULL},
     {"invokeKelvraAdapterGet_SetStartInHiddenMode result={hr}"}, {},
     {kNotFound, "invokeKelvraAdapterGet_SetStartInHiddenMode result=-1"}, NULL, NULL},
    {"UnhideApp", kSlotUnhideApp, kInteger, kNoArguments, "invokeKelvraAdapterGet_UnhideApp {obj}",
     "invokeKelvraAdapterGet_UnhideApp argCount!=0", {NULL, NULL},
     {"invokeKelvraAdapterGet_UnhideApp result={hr}"}, {},
     {kNotFound, "invokeKelvraAdapterGet_UnhideApp result=-1"}, NULL, NULL},
    {"DeleteKeyValue", kSlotDeleteKeyValue, kSetter, kOneString, "invokeKelvraAdapterDeleteKeyValue",
     "invokeKelvraAdapterDeleteKeyValue argCount != 1",
     {"invokeKelvraAdapterDeleteKeyValue arg[0] : must be string", NULL},
     {"KelvraAdapterDeleteKeyValue returned {hr}"}, {}, {}, NULL, NULL},
    {"Get_IsUpToDate", kSlotGetIsUpToDate, kFlag, kIgnored, "invokeKelvraAdapterGet_IsUpToDate {obj}",
     NULL, {NULL, NULL},
     {"KelvraAdapterGet_IsUpToDate HRESULT = {hr}", "invokeKelvraAdapterGet_IsUpToDate result={flag}"},
     {}, {kNotFound, "invokeKelvraAdapterGet_IsUpToDate result=0"}, NULL, NULL},
    {"PreStartGame", kSlotPreStartGame, kInteger, kNoArguments, "invokeKelvraAdapterPreStartGame {obj}",
     "KelvraAdapterPreStartGame argCount!=0", {NULL, NULL},
     {"KelvraAdapterPreStartGame result={hr}"}, {},
     {kNotFound, "KelvraAdapterPreStartGame result=-1"}, NULL, NULL},
    {"GetKeyValue", kSlotGetKeyValue, kKeyLookup, kOneString, "invokeKelvraAdapterGetKeyValue",
     "invokeKelvraAdapterGetKeyValue argCount != 1",
     {"invokeKelvraAdapterGetKeyValue arg[0] : must be string", NULL},
     {"invokeKelvraAdapterGetKeyValue key = {arg0} len = {len0}",
      "invokeKelvraAdapterGetKeyValue value = {text} len = {len}"},
     {"invokeKelvraAdapterGetKeyValue key = {arg0} len = {len0}",
      "invokeKelvraAdapterGetKeyValue failed error = {hr}"},
     {}, NULL, "invokeKelvraAdapterGetKeyValue"},
    {"SetKeyValue", kSlotSetKeyValue, kSetter, kTwoStrings, "invokeKelvraAdapterSetKeyValue",
     "invokeKelvraAdapterSetKeyValue argCount != 2",
     {"invokeKelvraAdapterSetKeyValue arg[0] : must be string",
      "invokeKelvraAdapterSetKeyValue arg[1] : must be string"},
     {"KelvraAdapterSetKeyValue returned {hr}"}, {}, {}, NULL, NULL},
    {"BringAppToFront", kSlotBringAppToFront, kInteger, kNoArguments,
     "invokeKelvraAdapterBringAppToFront {obj}", "invokeKelvraAdapterBringAppToFront argCount!=0",
     {NULL, NULL}, {"invokeKelvraAdapterBringAppToFront result={hr}"}, {},
     {kNotFound, "invokeKelvraAdapterBringAppToFront result=-1"}, NULL, NULL},
    {"ResetLaunchState", kSlotResetLaunchState, kInteger, kNoArguments,
     "invokeKelvraAdapterResetLaunchState {obj}", NULL, {NULL, NULL}, {}, {}, {kNotFound}, NULL, NULL},
    {"SetEditMode", kSlotSetEditMode, kInteger, kNoArguments, "invokeKelvraAdapterSetEditMode {obj}",
     "invokeKelvraAdapterSetEditMode argCount!=0", {NULL, NULL},
     {"invokeKelvraAdapterSetEditMode result={hr}"}, {},
     {kNotFound, "invokeKelvraAdapterSetEditMode result=-1"}, NULL, NULL},
};

std::vector<MethodRow> rowsWhere(const std::function<bool(const MethodRow&)>& keep) {
  std::vector<MethodRow> rows;
  for (const MethodRow& row : kMethods) {
    if (keep(row)) rows.push_back(row);
  }
  return rows;
}

std::string rowName(const ::testing::TestParamInfo<MethodRow>& info) { return info.param.name; }

bool takesStrings(const MethodRow& row) { return row.rule == kOneString || row.rule == kTwoStrings; }
bool answersText(const MethodRow& row) { return row.family == kText || row.family == kKeyLookup; }
bool answersHresult(const MethodRow& row) { return row.family == kInteger || row.family == kSetter; }
bool answersFlag(const MethodRow& row) { return row.family == kFlag; }
bool takesBool(const MethodRow& row) { return row.rule == kOneBool; }

int argumentCount(Rule rule) {
  switch (rule) {
    case kOneString:
    case kOneBool:
      return 1;
    case kTwoStrings:
      return 2;
    default:
      return 0;
  }
}

// Arguments that pass the rule: the given texts for string rules, true for a boolean.
std::vector<ScriptArg> validArguments(Rule rule, const std::string& first = "T1",
                                      const std::string& second = "S2") {
  switch (rule) {
    case kOneString:
      return {stringArg(first)};
    case kTwoStrings:
      return {stringArg(first), stringArg(second)};
    case kOneBool:
      return {boolArg(true)};
    default:
      return {};
  }
}

// A call the rule refuses, and which check refuses it: -1 the count, else the index of
// the first argument of the wrong type.
struct BadCall {
  std::vector<ScriptArg> args;
  int failing;
};

std::vector<BadCall> badCalls(Rule rule) {
  const int kCount = -1;
  switch (rule) {
    case kNoArguments:
      return {{{stringArg("x")}, kCount}, {{boolArg(true), intArg(0)}, kCount}, {{voidArg()}, kCount}};
    case kOneString:
      return {{{}, kCount},
              {{stringArg("a"), stringArg("b")}, kCount},
              {{intArg(1)}, 0},
              {{doubleArg(1.0)}, 0},
              {{boolArg(true)}, 0},
              {{nullArg()}, 0},
              {{voidArg()}, 0}};
    case kTwoStrings:
      return {{{}, kCount},
              {{stringArg("a")}, kCount},
              {{stringArg("a"), stringArg("b"), stringArg("c")}, kCount},
              {{intArg(1), stringArg("b")}, 0},
              {{boolArg(false), stringArg("b")}, 0},
              {{stringArg("a"), intArg(1)}, 1},
              {{stringArg("a"), doubleArg(2.5)}, 1},
              {{stringArg("a"), nullArg()}, 1}};
    case kOneBool:
      return {{{}, kCount},
              {{boolArg(true), boolArg(false)}, kCount},
              {{intArg(1)}, 0},
              {{intArg(0)}, 0},
              {{doubleArg(1.0)}, 0},
              {{stringArg("true")}, 0},
              {{nullArg()}, 0}};
    default:
      return {};
  }
}

// Surplus arguments that methods looking at none must ignore.
std::vector<std::vector<ScriptArg>> surplusArguments() {
  return {{intArg(1)},
          {stringArg("x"), boolArg(true), nullArg()},
          {doubleArg(3.5), voidArg(), stringArg(std::string("a\0b", 3)), intArg(-7)}};
}

// The ANSI code page's form of launcher text, as the module hands it on, within the
// 2048-byte buffer.
std::string ansiOf(const std::wstring& text) {
  if (text.empty()) return std::string();
  int bytes = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), NULL, 0,
                                  NULL, NULL);
  std::string converted(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &converted[0], bytes,
                      NULL, NULL);
  if (converted.size() > kLongestText) converted.resize(kLongestText);
  return converted;
}

// Script bytes up to the first NUL, converted by the ANSI code page as the launcher gets them.
std::wstring receivedFrom(const std::string& bytes) {
  std::string cut(bytes.c_str());
  if (cut.empty()) return std::wstring();
  int units = MultiByteToWideChar(CP_ACP, 0, cut.data(), static_cast<int>(cut.size()), NULL, 0);
  std::wstring converted(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_ACP, 0, cut.data(), static_cast<int>(cut.size()), &converted[0], units);
  return converted;
}

// What the page gets back.
struct PageValue {
  NPVariantType type;
  int32_t number;
  bool flag;
  std::string text;
};
PageValue pageInteger(int32_t number) { return {NPVariantType_Int32, number, false, ""}; }
PageValue pageFlag(bool flag) { return {NPVariantType_Bool, 0, flag, ""}; }
PageValue pageText(const std::string& text) { return {NPVariantType_String, 0, false, text}; }

// What the launcher stand-in is told to answer for one call.
struct Answer {
  HRESULT hr = S_OK;
  VARIANT_BOOL flag = VARIANT_TRUE;  // flag getters
  std::wstring text = L"abc";        // text getters
  bool nullText = false;             // text getters: a NULL BSTR instead
};

LauncherAnswer launcherAnswer(const MethodRow& row, const Answer& answer) {
  if (FAILED(answer.hr)) return answerResult(answer.hr);
  if (row.family == kFlag) return answerFlag(answer.hr, answer.flag);
  if (answersText(row)) {
    return answer.nullText ? answerNullText(answer.hr) : answerText(answer.hr, answer.text);
  }
  return answerResult(answer.hr);
}

PageValue expectedValue(const MethodRow& row, const Answer& answer) {
  const bool failed = FAILED(answer.hr);
  switch (row.family) {
    case kFlag:
      return pageFlag(!failed && answer.flag == VARIANT_TRUE);
    case kText:
      return pageText(failed ? row.failureText : answer.nullText ? "" : ansiOf(answer.text));
    case kKeyLookup:
      return failed ? pageInteger(-1) : pageText(answer.nullText ? "" : ansiOf(answer.text));
    default:
      return pageInteger(static_cast<int32_t>(answer.hr));
  }
}

PageValue goneValue(const MethodRow& row) {
  return row.family == kFlag ? pageFlag(false) : pageInteger(-1);
}

void expectValue(const PageValue& expected, const NPVariant& actual) {
  ASSERT_EQ(expected.type, actual.type);
  if (expected.type == NPVariantType_Int32) {
    EXPECT_EQ(expected.number, actual.value.intValue);
  }
  if (expected.type == NPVariantType_Bool) {
    unsigned char byte;
    memcpy(&byte, &actual.value.boolValue, 1);
    EXPECT_EQ(expected.flag ? 1 : 0, byte) << "a boolean result is one byte, 1 or 0";
  }
  if (expected.type == NPVariantType_String) {
    const NPString& text = actual.value.stringValue;
    ASSERT_NE(nullptr, text.UTF8Characters);
    ASSERT_EQ(expected.text.size(), text.UTF8Length);
    EXPECT_EQ(expected.text, std::string(text.UTF8Characters, text.UTF8Length));
    EXPECT_EQ('\0', text.UTF8Characters[text.UTF8Length]) << "the block holds the text's NUL";
  }
}

std::string decimal(long long value) { return std::to_string(value); }

// The lines of a call on `object` that reached the launcher with these arguments.
std::vector<std::string> reachedLines(const MethodRow& row, const NPObject* object,
                                      const Answer& answer, const std::vector<ScriptArg>& args) {
  std::vector<std::string> lines = {"invoke"};
  if (row.entryLine != NULL) lines.push_back(row.entryLine);
  const bool failed = FAILED(answer.hr);
  const bool silent = row.family == kSetter && answer.hr == S_OK;
  if (!silent) {
    const std::vector<std::string>& after =
        failed && !row.onFailure.empty() ? row.onFailure : row.afterEntry;
    lines.insert(lines.end(), after.begin(), after.end());
  }
  const PageValue value = expectedValue(row, answer);
  std::map<std::string, std::string> tokens = {
      {"obj", addressText(object)}, {"hr", decimal(answer.hr)}, {"flag", value.flag ? "1" : "0"},
      {"text", value.text}, {"len", decimal(value.text.size())},
      {"size", decimal(value.text.size() + 1)}};
  for (size_t i = 0; i < args.size() && i < 2; ++i) {
    tokens[i == 0 ? "arg0" : "arg1"] = args[i].text.c_str();
    if (i == 0) {
      tokens["len0"] = decimal(args[i].text.size());
      tokens["ticket0"] = ticketAsLogged(args[i].text);
    }
  }
  return expandTokens(lines, tokens);
}

std::vector<std::string> entryLines(const MethodRow& row, const NPObject* object) {
  std::vector<std::string> lines = {"invoke"};
  if (row.entryLine != NULL) lines.push_back(row.entryLine);
  return expandTokens(lines, {{"obj", addressText(object)}});
}

class MethodTest : public OpenEmbeddingFixture, public ::testing::WithParamInterface<MethodRow> {
 protected:
  // A call with `args` that must reach the launcher once, answered with `answer`.
  CallOutcome callReaching(const std::vector<ScriptArg>& args, const Answer& answer) {
    const MethodRow& row = GetParam();
    launcher.setAnswer(row.slot, launcherAnswer(row, answer));
    CallOutcome outcome = run(embedding.object, row.name, args);
    EXPECT_TRUE(outcome.answered);
    EXPECT_EQ(1u, outcome.launcherCalls);
    if (outcome.launcherCalls == 1) {
      EXPECT_EQ(row.slot, launcher.lastCall().slot);
      EXPECT_EQ(0, launcher.lastCall().object);
    }
    EXPECT_THAT(outcome.lines, ElementsAreArray(reachedLines(row, embedding.object, answer, args)));
    expectValue(expectedValue(row, answer), outcome.result);
    return outcome;
  }

  // A text row's call answered with `answer`, whose string result must sit in a block of
  // exactly its length + 1 bytes; the block is released afterwards.
  void expectTextBlock(const Answer& answer, size_t length) {
    const MethodRow& row = GetParam();
    CallOutcome outcome = callReaching(validArguments(row.rule), answer);
    ASSERT_EQ(NPVariantType_String, outcome.result.type);
    EXPECT_EQ(length, outcome.result.value.stringValue.UTF8Length);
    EXPECT_EQ(1, outcome.after.liveBlocks - outcome.before.liveBlocks);
    EXPECT_EQ(static_cast<long long>(length + 1), outcome.after.liveBytes - outcome.before.liveBytes);
    browser::releaseValue(&outcome.result);
    EXPECT_EQ(outcome.before.liveBlocks, browser::counts().liveBlocks);
    EXPECT_EQ(outcome.before.liveBytes, browser::counts().liveBytes);
  }
};

// The full path of a call that passes every check: one launcher call on the method's
// own slot, the exact lines, the encoded result, and only a string result left behind
// in the browser (the name's UTF-8 copy and the arguments are gone).
TEST_P(MethodTest, ValidCallReachesItsSlotOnceWithExactLinesAndResult) {
  const MethodRow& row = GetParam();
  Answer answer;
  answer.hr = S_FALSE;
  CallOutcome outcome = callReaching(validArguments(row.rule), answer);
  const long expectedBlocks = answersText(row) ? 1 : 0;
  EXPECT_EQ(expectedBlocks, outcome.after.liveBlocks - outcome.before.liveBlocks);
  if (answersText(row)) {
    EXPECT_EQ(4, outcome.after.liveBytes - outcome.before.liveBytes);
  }
  EXPECT_EQ(0, outcome.after.exceptions - outcome.before.exceptions);
  browser::releaseValue(&outcome.result);
  EXPECT_EQ(outcome.before.liveBlocks, browser::counts().liveBlocks);
}

// Wrong counts and types answer -1 with the one line of the first failed check and
// never reach the launcher; methods that take no notice of their arguments call the
// launcher whatever they get.
TEST_P(MethodTest, ArgumentRulesDecideBeforeTheLauncherIsCalled) {
  const MethodRow& row = GetParam();
  if (row.rule == kIgnored) {
    for (const std::vector<ScriptArg>& args : surplusArguments()) {
      SCOPED_TRACE(::testing::PrintToString(args));
      CallOutcome outcome = callReaching(args, Answer());
      browser::releaseValue(&outcome.result);
    }
    return;
  }
  for (const BadCall& bad : badCalls(row.rule)) {
    SCOPED_TRACE(::testing::PrintToString(bad.args));
    CallOutcome outcome = run(embedding.object, row.name, bad.args);
    EXPECT_TRUE(outcome.answered);
    EXPECT_EQ(0u, outcome.launcherCalls);
    expectValue(pageInteger(-1), outcome.result);
    std::vector<std::string> lines = entryLines(row, embedding.object);
    const char* line = bad.failing < 0 ? row.countLine : row.typeLines[bad.failing];
    if (line != NULL) lines.push_back(line);
    EXPECT_THAT(outcome.lines, ElementsAreArray(lines));
    EXPECT_EQ(outcome.before.liveBlocks, outcome.after.liveBlocks);
    EXPECT_EQ(0, outcome.after.exceptions - outcome.before.exceptions);
  }
}

// Once NPP_Destroy has removed the record, a still-held object answers -1 (false for the
// flag queries) whatever its arguments, with "ERROR: Launcher not found" where the
// method reports it, and the launcher is not called.
TEST_P(MethodTest, CallsOnAnObjectWhoseEmbeddingIsGoneNeverReachTheLauncher) {
  const MethodRow& row = GetParam();
  ASSERT_EQ(NPERR_NO_ERROR, destroy(embedding.instance));
  const std::vector<std::vector<ScriptArg>> argumentLists = {
      validArguments(row.rule), {intArg(5)}, {stringArg("a"), stringArg("b"), stringArg("c")}};
  for (const std::vector<ScriptArg>& args : argumentLists) {
    SCOPED_TRACE(::testing::PrintToString(args));
    CallOutcome outcome = run(embedding.object, row.name, args);
    EXPECT_TRUE(outcome.answered);
    EXPECT_EQ(0u, outcome.launcherCalls);
    expectValue(goneValue(row), outcome.result);
    std::vector<std::string> lines = entryLines(row, embedding.object);
    lines.insert(lines.end(), row.whenGone.begin(), row.whenGone.end());
    EXPECT_THAT(outcome.lines, ElementsAreArray(lines));
    EXPECT_EQ(outcome.before.liveBlocks, outcome.after.liveBlocks);
  }
  browser::release(embedding.object);
  embedding.object = NULL;
}

// Arguments counted but passed as NULL are wrong arguments: methods that take arguments
// answer their rule's -1 with the first argument's type line (or their count line), and
// only the methods that ignore their arguments reach the launcher.
TEST_P(MethodTest, NullArgumentArrayWithACountIsAWrongArgument) {
  const MethodRow& row = GetParam();
  const uint32_t count = row.rule == kIgnored || row.rule == kNoArguments
                             ? 1
                             : static_cast<uint32_t>(argumentCount(row.rule));
  launcher.setAnswer(row.slot, launcherAnswer(row, Answer()));
  mark();
  const size_t calls = launcher.callCount();
  NPVariant result;
  EXPECT_TRUE(browser::invoke(embedding.object, row.name, NULL, count, &result));
  if (row.rule == kIgnored) {
    EXPECT_EQ(calls + 1, launcher.callCount());
  } else {
    EXPECT_EQ(calls, launcher.callCount());
    expectValue(pageInteger(-1), result);
    std::vector<std::string> lines = entryLines(row, embedding.object);
    const char* line = row.rule == kNoArguments ? row.countLine : row.typeLines[0];
    if (line != NULL) lines.push_back(line);
    EXPECT_THAT(messagesSinceMark(), ElementsAreArray(lines));
  }
  browser::releaseValue(&result);
}

// A launcher call answering E_FAIL: the negative HRESULT for integer methods, the fixed
// error text for "Hello" and "Get_InstallHost", -1 for "GetKeyValue", false for flags.
TEST_P(MethodTest, LauncherFailureGivesTheFamilysFailureResult) {
  const MethodRow& row = GetParam();
  Answer answer;
  answer.hr = E_FAIL;
  CallOutcome outcome = callReaching(validArguments(row.rule), answer);
  if (row.family == kInteger || row.family == kSetter) {
    EXPECT_EQ(-2147467259, outcome.result.value.intValue);
  }
  if (row.family == kText) {
    EXPECT_EQ(strlen(row.failureText), outcome.result.value.stringValue.UTF8Length);
  }
  browser::releaseValue(&outcome.result);
}

INSTANTIATE_TEST_SUITE_P(Script, MethodTest, ::testing::ValuesIn(kMethods), rowName);

// A suite of MethodTest's cases run for every row that `keep` selects.
#define METHOD_SUITE(suite, keep)     \
  class suite : public MethodTest {}; \
  INSTANTIATE_TEST_SUITE_P(Script, suite, ::testing::ValuesIn(rowsWhere(keep)), rowName)

TEST(MethodTable, HoldsEighteenMethodsOnDistinctSlots) {
  std::vector<int> slots;
  for (const MethodRow& row : kMethods) slots.push_back(row.slot);
  std::sort(slots.begin(), slots.end());
  EXPECT_EQ(18u, slots.size());
  EXPECT_EQ(slots.end(), std::adjacent_find(slots.begin(), slots.end()));
  EXPECT_EQ(kFirstLauncherSlot, slots.front());
  EXPECT_EQ(kLastLauncherSlot, slots.back());
}

// --- Integer results ----------------------------------------------------------------

METHOD_SUITE(HresultMethodTest, answersHresult);

// HRESULTs come back unchanged as signed 32-bit numbers; the setters stay silent on S_OK
// and log "returned %d" otherwise.
TEST_P(HresultMethodTest, HresultReachesThePageUnchangedAndSigned) {
  const MethodRow& row = GetParam();
  const struct {
    HRESULT hr;
    int32_t page;
  } cases[] = {{S_OK, 0}, {S_FALSE, 1}, {static_cast<HRESULT>(0x7FFFFFFF), 2147483647},
               {E_FAIL, -2147467259}, {kAccessDenied, -2147024891}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hr);
    Answer answer;
    answer.hr = c.hr;
    CallOutcome outcome = callReaching(validArguments(row.rule), answer);
    EXPECT_EQ(c.page, outcome.result.value.intValue);
    if (row.family == kSetter && c.hr == S_OK) {
      EXPECT_THAT(outcome.lines, ElementsAreArray(entryLines(row, embedding.object)));
    }
  }
}

// --- Flag queries -------------------------------------------------------------------

METHOD_SUITE(FlagMethodTest, answersFlag);

// Only VARIANT_BOOL -1 reads as true; 1, 0x7FFF and other non-zero values read as false.
// The HRESULT reaches only the log, and a failed query reads as false.
TEST_P(FlagMethodTest, OnlyMinusOneReadsAsTrue) {
  const struct {
    HRESULT hr;
    VARIANT_BOOL stored;
  } cases[] = {{S_OK, VARIANT_TRUE},  {S_FALSE, VARIANT_TRUE},
               {S_OK, VARIANT_FALSE}, {S_OK, 1},
               {S_OK, 0x7FFF},        {S_OK, static_cast<VARIANT_BOOL>(0x8000)},
               {S_OK, -2},            {E_FAIL, VARIANT_FALSE},
               {kAccessDenied, VARIANT_FALSE}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "hr " << c.hr << " stored " << c.stored);
    Answer answer;
    answer.hr = c.hr;
    answer.flag = c.stored;
    CallOutcome outcome = callReaching({}, answer);
    EXPECT_EQ(SUCCEEDED(c.hr) && c.stored == VARIANT_TRUE, outcome.result.value.boolValue);
  }
}

// --- Text results -------------------------------------------------------------------

METHOD_SUITE(TextMethodTest, answersText);

TEST_P(TextMethodTest, StringResultIsItsLengthPlusOneBytesWithTheNul) {
  for (const std::wstring& text : {std::wstring(), std::wstring(L"a"), std::wstring(L"abc"),
                                   std::wstring(L"two words\there"), std::wstring(kLongestText, L'x')}) {
    SCOPED_TRACE(text.size());
    Answer answer;
    answer.text = text;
    expectTextBlock(answer, text.size());
  }
}

TEST_P(TextMethodTest, NullBstrOnSuccessIsTheEmptyStringInAOneByteBlock) {
  Answer answer;
  answer.nullText = true;
  expectTextBlock(answer, 0);
}

// Longer text is cut to the buffer: 2047 bytes come back, and the log shows them whole.
TEST_P(TextMethodTest, LauncherTextBeyond2047BytesIsCutTo2047) {
  for (size_t units : {kLongestText + 1, static_cast<size_t>(3000), static_cast<size_t>(10000)}) {
    SCOPED_TRACE(units);
    Answer answer;
    answer.text = std::wstring(units, L'y');
    expectTextBlock(answer, kLongestText);
  }
}

// Launcher text is narrowed by the ANSI code page and handed on byte for byte.
TEST_P(TextMethodTest, LauncherTextIsNarrowedByTheAnsiCodePage) {
  Answer answer;
  answer.text = L"caf\u00e9 \u00fc";
  const std::string narrowed = ansiOf(answer.text);
  if (GetACP() == 1252) {
    EXPECT_EQ("caf\xe9 \xfc", narrowed);
  }
  expectTextBlock(answer, narrowed.size());
}

// Without a block from memalloc the result is the integer -1 and the log says so;
// nothing is left behind. The first block after the arguments is the method name's
// UTF-8 copy, so memalloc fails from the second.
TEST_P(TextMethodTest, MemallocFailureForTheResultAnswersMinusOne) {
  const MethodRow& row = GetParam();
  launcher.setAnswer(row.slot, answerText(S_OK, L"abc"));
  CallOutcome outcome = run(embedding.object, row.name, validArguments(row.rule), 1);
  EXPECT_TRUE(outcome.answered);
  EXPECT_EQ(1u, outcome.launcherCalls);
  expectValue(pageInteger(-1), outcome.result);
  EXPECT_EQ(1, outcome.after.failedAllocations - outcome.before.failedAllocations);
  EXPECT_EQ(outcome.before.liveBlocks, outcome.after.liveBlocks);
  const std::string line = std::string(row.memallocName) + " npnfuncs->memalloc(4) = NULL";
  EXPECT_EQ(1, std::count(outcome.lines.begin(), outcome.lines.end(), line))
      << ::testing::PrintToString(outcome.lines);
  EXPECT_EQ(0, misuseOf(browser::counts()));
}

// --- Arguments as the launcher receives them -----------------------------------------

METHOD_SUITE(StringArgumentTest, takesStrings);

// String arguments reach the launcher in order, as non-NULL BSTRs cut at the first NUL
// and converted by the ANSI code page; the log shows the copies.
TEST_P(StringArgumentTest, TextsReachTheLauncherInOrderCutAtTheFirstNul) {
  const MethodRow& row = GetParam();
  const std::pair<std::string, std::string> cases[] = {
      {"ticket-1", "script-2"},
      {"", ""},
      {std::string("ab\0cd", 5), std::string("x\0yz", 4)},
      {std::string("\0lost", 5), "kept"},
      {"\xC3\xA9t\xE9", "\x80\xFF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c));
    callReaching(validArguments(row.rule, c.first, c.second), Answer());
    const LauncherCall received = launcher.lastCall();
    ASSERT_EQ(static_cast<size_t>(argumentCount(row.rule)), received.texts.size());
    const std::string sent[] = {c.first, c.second};
    for (size_t i = 0; i < received.texts.size(); ++i) {
      EXPECT_FALSE(received.texts[i].isNull) << "argument " << i;
      EXPECT_EQ(receivedFrom(sent[i]), received.texts[i].text) << "argument " << i;
    }
  }
}

METHOD_SUITE(BoolArgumentTest, takesBool);

// A boolean reaches the launcher as VARIANT_BOOL -1 or 0; any non-zero byte counts as true.
TEST_P(BoolArgumentTest, BooleansReachTheLauncherAsMinusOneOrZero) {
  const struct {
    ScriptArg arg;
    VARIANT_BOOL received;
  } cases[] = {{boolArg(true), VARIANT_TRUE}, {boolArg(false), VARIANT_FALSE},
               {rawBoolArg(2), VARIANT_TRUE}, {rawBoolArg(0xFF), VARIANT_TRUE}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arg));
    callReaching({c.arg}, Answer());
    const LauncherCall received = launcher.lastCall();
    ASSERT_EQ(1u, received.flags.size());
    EXPECT_EQ(c.received, received.flags[0]);
    EXPECT_TRUE(received.texts.empty());
  }
}

// --- Single cases named by the method's contract ------------------------------------

typedef OpenEmbeddingFixture ScriptMethodCases;

// UTF-8 from the page is taken as ANSI text: "é" (C3 A9) arrives as two characters.
TEST_F(ScriptMethodCases, Utf8BytesAreConvertedByTheAnsiCodePageNotDecoded) {
  printf("ANSI code page %u\n", GetACP());
  CallOutcome outcome = run(embedding.object, "Put_AuthenticationTicket", {stringArg("\xC3\xA9")});
  ASSERT_EQ(1u, outcome.launcherCalls);
  const std::wstring received = launcher.lastCall().texts.at(0).text;
  EXPECT_EQ(receivedFrom("\xC3\xA9"), received);
  if (GetACP() != CP_UTF8) {
    EXPECT_NE(std::wstring(L"\u00e9"), received);
  }
  if (GetACP() == 1252) {
    EXPECT_EQ(std::wstring(L"\u00c3\u00a9"), received);
  }
  EXPECT_EQ("KelvraAdapterPut_AuthenticationTicket Ticket = ... (2 bytes)", outcome.lines.at(2));
}

// The key line shows the copy, cut at the NUL, and the argument's full byte length.
TEST_F(ScriptMethodCases, GetKeyValueLogsTheCutCopyWithTheArgumentsByteLength) {
  launcher.setAnswer(kSlotGetKeyValue, answerText(S_OK, L""));
  CallOutcome outcome = run(embedding.object, "GetKeyValue", {stringArg(std::string("ke\0y", 4))});
  EXPECT_THAT(outcome.lines,
              ElementsAreArray({"invoke", "invokeKelvraAdapterGetKeyValue",
                                "invokeKelvraAdapterGetKeyValue key = ke len = 4",
                                "invokeKelvraAdapterGetKeyValue value =  len = 0"}));
  EXPECT_EQ(L"ke", launcher.lastCall().texts.at(0).text);
  ASSERT_EQ(NPVariantType_String, outcome.result.type);
  EXPECT_EQ(0u, outcome.result.value.stringValue.UTF8Length);
  EXPECT_EQ(1, outcome.after.liveBytes - outcome.before.liveBytes);
  browser::releaseValue(&outcome.result);
}

// "Get_InstallHost" answering abc: a string of length 3 in a 4-byte block.
TEST_F(ScriptMethodCases, InstallHostAbcIsThreeBytesInAFourByteBlock) {
  launcher.setAnswer(kSlotGetInstallHost, answerText(S_OK, L"abc"));
  CallOutcome outcome = run(embedding.object, "Get_InstallHost", {});
  ASSERT_EQ(NPVariantType_String, outcome.result.type);
  EXPECT_EQ(3u, outcome.result.value.stringValue.UTF8Length);
  EXPECT_EQ(4, outcome.after.liveBytes - outcome.before.liveBytes);
  EXPECT_EQ(0, memcmp("abc", outcome.result.value.stringValue.UTF8Characters, 4));
  browser::releaseValue(&outcome.result);
}

// The failure texts have the lengths script relies on.
TEST_F(ScriptMethodCases, FailureTextsOfHelloAndInstallHostHaveLengths40And50) {
  launcher.setAnswer(kSlotHello, answerResult(E_FAIL));
  launcher.setAnswer(kSlotGetInstallHost, answerResult(kAccessDenied));
  CallOutcome hello = run(embedding.object, "Hello", {});
  CallOutcome host = run(embedding.object, "Get_InstallHost", {});
  ASSERT_EQ(NPVariantType_String, hello.result.type);
  ASSERT_EQ(NPVariantType_String, host.result.type);
  EXPECT_EQ(40u, hello.result.value.stringValue.UTF8Length);
  EXPECT_EQ(50u, host.result.value.stringValue.UTF8Length);
  EXPECT_EQ("IKelvraLauncher->Hello() Error occured !", textOf(hello.result));
  EXPECT_EQ("IKelvraLauncher->get_InstallHost() Error occured !", textOf(host.result));
  EXPECT_EQ(41, hello.after.liveBytes - hello.before.liveBytes);
  EXPECT_EQ(51, host.after.liveBytes - host.before.liveBytes);
  EXPECT_EQ("KelvraAdapterGet_InstallHost result=-2147024891 size=51 "
            "ssMess=IKelvraLauncher->get_InstallHost() Error occured !",
            host.lines.back());
  browser::releaseValue(&hello.result);
  browser::releaseValue(&host.result);
}

// "SetKeyValue": key then value; S_OK gives 0 with no line after the entry line, S_FALSE
// gives 1 and "KelvraAdapterSetKeyValue returned 1".
TEST_F(ScriptMethodCases, SetKeyValueSendsKeyThenValueAndLogsOnlyWhenNotSOk) {
  CallOutcome ok = run(embedding.object, "SetKeyValue", {stringArg("key"), stringArg("value")});
  expectValue(pageInteger(0), ok.result);
  EXPECT_THAT(ok.lines, ElementsAreArray({"invoke", "invokeKelvraAdapterSetKeyValue"}));
  const LauncherCall received = launcher.lastCall();
  ASSERT_EQ(2u, received.texts.size());
  EXPECT_EQ(L"key", received.texts[0].text);
  EXPECT_EQ(L"value", received.texts[1].text);

  launcher.setAnswer(kSlotSetKeyValue, answerResult(S_FALSE));
  CallOutcome notOk = run(embedding.object, "SetKeyValue", {stringArg("key"), stringArg("value")});
  expectValue(pageInteger(1), notOk.result);
  EXPECT_THAT(notOk.lines, ElementsAreArray({"invoke", "invokeKelvraAdapterSetKeyValue",
                                             "KelvraAdapterSetKeyValue returned 1"}));
}

// "StartGame": ticket then script, in the launcher call and in the line before it.
TEST_F(ScriptMethodCases, StartGameSendsTicketThenScript) {
  launcher.setAnswer(kSlotStartGame, answerResult(kAccessDenied));
  CallOutcome outcome = run(embedding.object, "StartGame", {stringArg("TICKET"), stringArg("SCRIPT")});
  expectValue(pageInteger(-2147024891), outcome.result);
  const LauncherCall received = launcher.lastCall();
  ASSERT_EQ(2u, received.texts.size());
  EXPECT_EQ(L"TICKET", received.texts[0].text);
  EXPECT_EQ(L"SCRIPT", received.texts[1].text);
  EXPECT_THAT(outcome.lines,
              ElementsAreArray({std::string("invoke"),
                                "invokeKelvraAdapterStartGame " + addressText(embedding.object),
                                std::string("KelvraAdapterStartGame Auth = ... (6 bytes), Script = SCRIPT"),
                                std::string("KelvraAdapterStartGame result=-2147024891")}));
}

// The ticket is a credential: both lines show at most its first four characters (none
// of a short one), never a quarter of it, cut between characters and with controls
// replaced, and its length in bytes; the launcher still gets all of it.
TEST_F(ScriptMethodCases, TicketIsLoggedAsAShortPreviewAndItsLengthAndReachesTheLauncherWhole) {
  const std::string euros16 = [] {
    std::string text;
    for (int i = 0; i < 16; ++i) text += "\xE2\x82\xAC";
    return text;
  }();
  const struct {
    std::string ticket;
    const char* logged;
  } cases[] = {
      {"tkt-0123456789abcdef", "tkt-... (20 bytes)"},
      {"0123456789abcdef", "0123... (16 bytes)"},
      {"0123456789abcde", "... (15 bytes)"},
      {"abcde", "... (5 bytes)"},
      {"", "... (0 bytes)"},
      {std::string("secret\0hidden-and-long", 22), "... (6 bytes)"},
      {"\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC", "... (9 bytes)"},
      // Sixteen three-byte characters: four whole ones.
      {euros16, "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC... (48 bytes)"},
      // A line break, a tab, a C1 control, a stray continuation byte.
      {"a\nb\tcdefghijklmnop", "a?b?... (18 bytes)"},
      {"\xC2\x85\x80z0123456789abcdef", "??z0... (20 bytes)"},
      // An overlong form and a sequence cut short are no characters either.
      {"\xC0\xAF\xE2\x82x0123456789abcd", "????... (19 bytes)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logged);
    const std::wstring received = model::launcherTextOf(c.ticket);
    CallOutcome put = run(embedding.object, "Put_AuthenticationTicket", {stringArg(c.ticket)});
    EXPECT_EQ(std::string("KelvraAdapterPut_AuthenticationTicket Ticket = ") + c.logged,
              put.lines.at(2));
    EXPECT_EQ(received, launcher.lastCall().texts.at(0).text);
    CallOutcome start =
        run(embedding.object, "StartGame", {stringArg(c.ticket), stringArg("run %s now")});
    EXPECT_EQ(std::string("KelvraAdapterStartGame Auth = ") + c.logged + ", Script = run %s now",
              start.lines.at(2));
    EXPECT_EQ(received, launcher.lastCall().texts.at(0).text);
    EXPECT_EQ(L"run %s now", launcher.lastCall().texts.at(1).text);
  }
}

// Two embeddings: each call goes to the launcher of the object called.
TEST_F(ScriptMethodCases, EachObjectCallsItsOwnLauncher) {
  Embedding second = open();
  ASSERT_NE(nullptr, second.object);
  run(second.object, "HelloWorld", {});
  EXPECT_EQ(1, launcher.lastCall().object);
  run(embedding.object, "HelloWorld", {});
  EXPECT_EQ(0, launcher.lastCall().object);
  close(second);
}

}  // namespace
}  // namespace kelvra_test
