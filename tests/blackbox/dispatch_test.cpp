// The scriptable object's class members and the name lookup of invoke, through the real
// module and the browser stand-in's function table.
#include <string.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "bridge_fixture.h"

namespace kelvra_test {
namespace {

using ::testing::ElementsAre;

const char kInvocationFailed[] = "exception during invocation";

// Names the method table lacks: other case, other spelling, handler names and blanks.
const char* const kUnknownNames[] = {
    "hello",           "HELLOWORLD",       "",                     "StartGame ",
    " StartGame",      "startgame",        "Start",                "StartGameX",
    "GetKeyvalue",     "Get_IsGameStarted", "invokeKelvraAdapterHello", "KelvraAdapterHello",
    "SetSilentModeEnabled\t", "Get_Installhost", "toString",      "\xC3\xA9",
};

class DispatchTest : public OpenEmbeddingFixture {
 protected:
  NPNetscapeFuncs& browserTable() { return *browser::functions(); }
};

TEST_F(DispatchTest, HasMethodAnswersTrueForEveryName) {
  std::vector<NPIdentifier> names = {browser::intIdentifier(0), browser::intIdentifier(-3)};
  for (const char* name : kUnknownNames) names.push_back(browser::identifier(name));
  names.push_back(browser::identifier("StartGame"));
  for (NPIdentifier name : names) {
    mark();
    EXPECT_TRUE(browserTable().hasmethod(NULL, embedding.object, name));
    EXPECT_THAT(messagesSinceMark(), ElementsAre("hasMethod"));
  }
  EXPECT_EQ(0u, launcher.callCount());
}

TEST_F(DispatchTest, HasPropertyAndGetPropertyAnswerFalseAndLeaveTheResultAlone) {
  for (const char* name : {"StartGame", "location", "length", ""}) {
    SCOPED_TRACE(name);
    const NPIdentifier id = browser::identifier(name);
    mark();
    EXPECT_FALSE(browserTable().hasproperty(NULL, embedding.object, id));
    EXPECT_THAT(messagesSinceMark(), ElementsAre("hasProperty"));

    NPVariant untouched;
    INT32_TO_NPVARIANT(12345, untouched);
    const browser::Counts before = browser::counts();
    mark();
    EXPECT_FALSE(embedding.object->_class->getProperty(embedding.object, id, &untouched));
    EXPECT_FALSE(browserTable().getproperty(NULL, embedding.object, id, &untouched));
    EXPECT_THAT(messagesSinceMark(), ElementsAre("getProperty", "getProperty"));
    EXPECT_EQ(NPVariantType_Int32, untouched.type);
    EXPECT_EQ(12345, untouched.value.intValue);
    EXPECT_EQ(before.variantsHandedOut, browser::counts().variantsHandedOut);
    EXPECT_EQ(before.liveBlocks, browser::counts().liveBlocks);
  }
  EXPECT_EQ(0u, launcher.callCount());
}

TEST_F(DispatchTest, InvokeDefaultAnswers42WhateverTheArguments) {
  const std::vector<std::vector<ScriptArg>> argumentLists = {
      {},
      {stringArg("StartGame")},
      {intArg(7), boolArg(true), nullArg(), doubleArg(0.5), stringArg(""), voidArg()}};
  for (const std::vector<ScriptArg>& args : argumentLists) {
    SCOPED_TRACE(args.size());
    const browser::Counts before = browser::counts();
    std::vector<NPVariant> made = makeArguments(args);
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    mark();
    EXPECT_TRUE(browserTable().invokeDefault(NULL, embedding.object, made.data(),
                                             static_cast<uint32_t>(made.size()), &result));
    EXPECT_THAT(messagesSinceMark(), ElementsAre("invokeDefault"));
    ASSERT_EQ(NPVariantType_Int32, result.type);
    EXPECT_EQ(42, result.value.intValue);
    for (NPVariant& arg : made) browser::releaseValue(&arg);
    EXPECT_EQ(before.liveBlocks, browser::counts().liveBlocks);
  }
  EXPECT_EQ(0u, launcher.callCount());
}

// A name the table lacks is the only script exception, and the name's text is freed.
TEST_F(DispatchTest, UnknownAndWrongCaseNamesRaiseTheInvocationException) {
  for (const char* name : kUnknownNames) {
    SCOPED_TRACE(name);
    for (const std::vector<ScriptArg>& args :
         {std::vector<ScriptArg>(), std::vector<ScriptArg>{stringArg("a"), stringArg("b")}}) {
      CallOutcome outcome = run(embedding.object, name, args);
      EXPECT_FALSE(outcome.answered);
      EXPECT_EQ(1, outcome.after.exceptions - outcome.before.exceptions);
      EXPECT_EQ(kInvocationFailed, browser::lastException());
      EXPECT_EQ(0u, outcome.launcherCalls);
      EXPECT_THAT(outcome.lines, ElementsAre("invoke"));
      EXPECT_EQ(outcome.before.liveBlocks, outcome.after.liveBlocks);
      EXPECT_GT(outcome.after.frees, outcome.before.frees + static_cast<long>(args.size()))
          << "the UTF-8 name is freed with memfree";
    }
  }
}

TEST_F(DispatchTest, IntegerIdentifierIsNoMethodName) {
  for (int32_t value : {0, 8, -1}) {
    SCOPED_TRACE(value);
    const browser::Counts before = browser::counts();
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    mark();
    EXPECT_FALSE(browserTable().invoke(NULL, embedding.object, browser::intIdentifier(value), NULL,
                                       0, &result));
    EXPECT_EQ(before.exceptions + 1, browser::counts().exceptions);
    EXPECT_EQ(kInvocationFailed, browser::lastException());
    EXPECT_THAT(messagesSinceMark(), ElementsAre("invoke"));
    EXPECT_EQ(before.liveBlocks, browser::counts().liveBlocks);
  }
  EXPECT_EQ(0u, launcher.callCount());
}

// The table is consulted before the launcher: an unknown name on an object whose
// embedding is gone still raises the exception.
TEST_F(DispatchTest, UnknownNameOnAnObjectWhoseEmbeddingIsGoneStillRaises) {
  ASSERT_EQ(NPERR_NO_ERROR, destroy(embedding.instance));
  CallOutcome outcome = run(embedding.object, "helloworld", {});
  EXPECT_FALSE(outcome.answered);
  EXPECT_EQ(1, outcome.after.exceptions - outcome.before.exceptions);
  EXPECT_THAT(outcome.lines, ElementsAre("invoke"));
  CallOutcome known = run(embedding.object, "HelloWorld", {});
  EXPECT_TRUE(known.answered);
  EXPECT_EQ(0, known.after.exceptions - known.before.exceptions);
  EXPECT_EQ(0u, known.launcherCalls + outcome.launcherCalls);
  browser::release(embedding.object);
  embedding.object = NULL;
}

// Every invoke frees the UTF-8 name text that utf8fromidentifier handed out: repeated
// calls of every known name leave no block behind apart from string results, which the
// page frees.
TEST_F(DispatchTest, EveryInvokeFreesTheNameText) {
  const char* const names[] = {"HelloWorld", "Hello", "StartGame", "Get_InstallHost", "Update",
                               "Put_AuthenticationTicket", "Get_GameStarted",
                               "SetSilentModeEnabled", "SetStartInHiddenMode", "UnhideApp",
                               "DeleteKeyValue", "Get_IsUpToDate", "PreStartGame", "GetKeyValue",
                               "SetKeyValue", "BringAppToFront", "ResetLaunchState", "SetEditMode"};
  const std::vector<std::vector<ScriptArg>> argumentLists = {
      {}, {stringArg("k")}, {boolArg(true)}, {stringArg("k"), stringArg("v")}, {intArg(1)}};
  launcher.setAnswer(kSlotHello, answerText(S_OK, L"hi"));
  launcher.setAnswer(kSlotGetInstallHost, answerText(S_OK, L"host"));
  launcher.setAnswer(kSlotGetKeyValue, answerText(S_OK, L"value"));
  const browser::Counts start = browser::counts();
  long calls = 0;
  for (int round = 0; round < 5; ++round) {
    for (const char* name : names) {
      for (const std::vector<ScriptArg>& args : argumentLists) {
        SCOPED_TRACE(std::string(name) + " with " + ::testing::PrintToString(args));
        CallOutcome outcome = run(embedding.object, name, args);
        ++calls;
        EXPECT_TRUE(outcome.answered);
        const long left = outcome.after.liveBlocks - outcome.before.liveBlocks;
        EXPECT_EQ(NPVARIANT_IS_STRING(outcome.result) ? 1 : 0, left);
        browser::releaseValue(&outcome.result);
      }
    }
  }
  const browser::Counts end = browser::counts();
  EXPECT_EQ(start.liveBlocks, end.liveBlocks);
  EXPECT_EQ(start.liveBytes, end.liveBytes);
  EXPECT_GE(end.frees - start.frees, calls) << "at least one name text freed per call";
  EXPECT_EQ(0, misuseOf(end));
  EXPECT_EQ(0, end.exceptions - start.exceptions);
}

}  // namespace
}  // namespace kelvra_test
