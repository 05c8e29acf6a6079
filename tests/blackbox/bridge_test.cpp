// The script bridge end to end: page host check and instance lifecycle, the
// eighteen methods' argument rules, results and log lines, and ownership, through
// the real DLL, the browser stand-in and the launcher stand-in.
#include <gtest/gtest.h>

#include <stdio.h>

#include <deque>
#include <string>
#include <vector>

#include "plugin_fixture.h"

using namespace kelvra_test;

namespace {

typedef std::vector<std::string> Lines;

std::string hexAddress(const void* object) {
  char text[16];
  snprintf(text, sizeof text, "0x%8.8x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(object)));
  return text;
}

// As the Microsoft runtime prints %p.
std::string pointerText(const void* pointer) {
  char text[16];
  snprintf(text, sizeof text, "%08X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(pointer)));
  return text;
}

class Bridge : public PluginFixture {
 protected:
  void SetUp() override {
    PluginFixture::SetUp();
    ASSERT_TRUE(start());
    before = browser::counts();
  }

  // An accepted embedding and its scriptable object (the browser's reference).
  NPObject* embed(NPP* instance = nullptr) {
    NPError error = NPERR_GENERIC_ERROR;
    NPP npp = newInstance("www.kelvra.com", &error);
    EXPECT_EQ(NPERR_NO_ERROR, error);
    if (instance != nullptr) *instance = npp;
    return scriptableObject(npp);
  }

  // Calls and returns the log lines the call wrote (the dispatcher's "invoke" dropped).
  Lines run(NPObject* object, const std::string& method, std::vector<NPVariant> args,
            NPVariant* result) {
    mark();
    EXPECT_TRUE(call(object, method, std::move(args), result)) << method;
    Lines lines = messagesSinceMark();
    EXPECT_FALSE(lines.empty());
    if (!lines.empty()) {
      EXPECT_EQ("invoke", lines.front());
      lines.erase(lines.begin());
    }
    return lines;
  }

  void expectBalanced() {
    browser::Counts now = browser::counts();
    EXPECT_EQ(before.liveObjects, now.liveObjects);
    EXPECT_EQ(before.liveBlocks, now.liveBlocks);
    EXPECT_EQ(0, now.unreleasedVariants());
    EXPECT_EQ(0, now.badFrees + now.deadObjectCalls + now.underflows);
    EXPECT_EQ(0, launcher.liveObjects());
  }

  // NPP_New on the page as it stands: no log line from the host check, no record.
  void expectRefusedSilently() {
    pages.push_back(NPP_t());
    char mime[] = "application/x-vnd-kelvra-launcher";
    mark();
    EXPECT_EQ(NPERR_NO_ERROR, funcs.newp(mime, &pages.back(), NP_EMBED, 0, NULL, NULL, NULL));
    EXPECT_EQ(Lines({"newv", "newv isKelvraHost = FALSE"}), messagesSinceMark());
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, destroy(&pages.back()));
  }

  browser::Counts before = {};
  NPVariant scratch;
  std::deque<NPP_t> pages;
};

TEST_F(Bridge, AllowedPageGetsLauncherAndObject) {
  NPP instance;
  mark();
  NPObject* object = embed(&instance);
  ASSERT_NE(nullptr, object);
  Lines lines = messagesSinceMark();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ("newv", lines[0]);
  EXPECT_EQ("location.host contains substring=kelvra.com", lines[1]);
  EXPECT_EQ(0u, lines[2].find("getvalue - scriptable object : NPP instance="));
  EXPECT_EQ(1, launcher.objectsCreated());
  EXPECT_EQ(2u, object->referenceCount);  // the record's and the browser's

  browser::release(object);
  EXPECT_EQ(NPERR_NO_ERROR, destroy(instance));
  EXPECT_EQ(0, launcher.objectStats(0).references);
  expectBalanced();
}

TEST_F(Bridge, RefusedPagesGetNothing) {
  for (const char* host : {"kelvra.com.attacker.example", "notkelvra.com", ""}) {
    mark();
    NPError error = NPERR_GENERIC_ERROR;
    NPP instance = newInstance(host, &error);
    EXPECT_EQ(NPERR_NO_ERROR, error);
    EXPECT_EQ(Lines({"newv", "location.host DOES NOT contain substring=kelvra.com",
                     "newv isKelvraHost = FALSE"}),
              messagesSinceMark())
        << host;
    mark();
    EXPECT_EQ(nullptr, scriptableObject(instance));
    EXPECT_EQ(Lines({"getvalue - scriptable object : NPP instance=" +
                     pointerText(instance) + " objList.find(instance)=00000000"}),
              messagesSinceMark());
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, destroy(instance));
  }
  EXPECT_EQ(0, launcher.createRequests());
  expectBalanced();
}

TEST_F(Bridge, HostValuesThatAreNoStringAreRefusedSilently) {
  for (NPVariantType type : {NPVariantType_Void, NPVariantType_Null, NPVariantType_Int32,
                             NPVariantType_Object}) {
    browser::setHostValue(type);
    expectRefusedSilently();
  }
  browser::Faults faults;
  faults.failWindow = true;
  browser::setFaults(faults);
  expectRefusedSilently();
  faults = browser::Faults();
  faults.failHost = true;
  browser::setFaults(faults);
  expectRefusedSilently();
  faults = browser::Faults();
  faults.locationNotObject = true;
  browser::setFaults(faults);
  expectRefusedSilently();
  browser::setFaults(browser::Faults());
  EXPECT_EQ(0, launcher.createRequests());
  expectBalanced();
}

TEST_F(Bridge, FailedCreationReleasesWhatItGot) {
  launcher.refuseCreation(E_FAIL);
  NPError error = NPERR_NO_ERROR;
  mark();
  newInstance("www.kelvra.com", &error);
  EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, error);
  EXPECT_EQ("newv GetIKelvraLauncherInstance() = NULL", messagesSinceMark().back());
  launcher.refuseCreation(S_OK);

  browser::Faults faults;
  faults.failCreateObject = true;
  browser::setFaults(faults);
  mark();
  NPP instance = newInstance("www.kelvra.com", &error);
  EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, error);
  EXPECT_EQ("newv npnfuncs->createobject(instance, &npcRefObject) = NULL",
            messagesSinceMark().back());
  browser::setFaults(browser::Faults());
  EXPECT_EQ(1, launcher.objectsCreated());
  EXPECT_EQ(0, launcher.objectStats(0).references);
  EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, destroy(instance));
  expectBalanced();
}

TEST_F(Bridge, EmbeddingsAreIndependentAndOutliveNothing) {
  NPP first, second;
  NPObject* a = embed(&first);
  NPObject* b = embed(&second);
  ASSERT_NE(a, b);
  NPObject* again = scriptableObject(second);
  EXPECT_EQ(b, again);
  EXPECT_EQ(3u, b->referenceCount);
  browser::release(again);

  EXPECT_EQ(NPERR_NO_ERROR, destroy(first));
  EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, destroy(first));
  NPVariant result;
  run(b, "HelloWorld", {}, &result);
  EXPECT_EQ(1, launcher.lastCall().object);

  // The object of a destroyed embedding answers -1 (false for the flags).
  Lines lines = run(a, "HelloWorld", {}, &result);
  EXPECT_EQ(-1, result.value.intValue);
  EXPECT_EQ(Lines({"invokeKelvraAdapterHelloWorld " + hexAddress(a), "ERROR: Launcher not found",
                   "NPKelvraProxy: KelvraAdapterHelloWorld result = -1"}),
            lines);
  run(a, "Get_GameStarted", {}, &result);
  EXPECT_TRUE(NPVARIANT_IS_BOOLEAN(result));
  EXPECT_FALSE(result.value.boolValue);
  lines = run(a, "GetKeyValue", {browser::stringArgument("k")}, &result);
  EXPECT_EQ(Lines({"invokeKelvraAdapterGetKeyValue"}), lines);
  EXPECT_EQ(-1, result.value.intValue);

  browser::release(a);
  browser::release(b);
  EXPECT_EQ(NPERR_NO_ERROR, destroy(second));
  expectBalanced();
}

// One row per integer method: a valid call, and the lines it writes around the call.
struct IntegerCase {
  const char* method;
  int slot;
  std::vector<NPVariant> (*args)();
  Lines (*lines)(const std::string& address, int hr);
};

std::vector<NPVariant> none() { return {}; }
std::vector<NPVariant> oneText() { return {browser::stringArgument("t\xc3\xa9")}; }
std::vector<NPVariant> twoTexts() {
  return {browser::stringArgument("ticket"), browser::stringArgument(std::string("scr\0ipt", 7))};
}
std::vector<NPVariant> oneFlag() { return {boolArgument(true)}; }

const IntegerCase kIntegerCases[] = {
    {"StartGame", kSlotStartGame, twoTexts,
     [](const std::string& a, int hr) {
       return Lines{"invokeKelvraAdapterStartGame " + a,
                    "KelvraAdapterStartGame Auth = ticket, Script = scr",
                    "KelvraAdapterStartGame result=" + std::to_string(hr)};
     }},
    {"Put_AuthenticationTicket", kSlotPutAuthenticationTicket, oneText,
     [](const std::string& a, int hr) {
       return Lines{"invokeKelvraAdapterPut_AuthenticationTicket " + a,
                    "KelvraAdapterPut_AuthenticationTicket Ticket = t\xc3\xa9",
                    "KelvraAdapterPut_AuthenticationTicket result=" + std::to_string(hr)};
     }},
    {"PreStartGame", kSlotPreStartGame, none,
     [](const std::string& a, int hr) {
       return Lines{"invokeKelvraAdapterPreStartGame " + a,
                    "KelvraAdapterPreStartGame result=" + std::to_string(hr)};
     }},
    {"SetSilentModeEnabled", kSlotSetSilentModeEnabled, oneFlag,
     [](const std::string&, int) { return Lines{}; }},
    {"SetStartInHiddenMode", kSlotSetStartInHiddenMode, oneFlag,
     [](const std::string& a, int hr) {
       return Lines{"invokeKelvraAdapterGet_SetStartInHiddenMode " + a,
                    "invokeKelvraAdapterGet_SetStartInHiddenMode result=" + std::to_string(hr)};
     }},
    {"UnhideApp", kSlotUnhideApp, none,
     [](const std::string& a, int hr) {
       return Lines{"invokeKelvraAdapterGet_UnhideApp " + a,
                    "invokeKelvraAdapterGet_UnhideApp result=" + std::to_string(hr)};
     }},
    {"BringAppToFront", kSlotBringAppToFront, none,
     [](const std::string& a, int hr) {
       return Lines{"invokeKelvraAdapterBringAppToFront " + a,
                    "invokeKelvraAdapterBringAppToFront result=" + std::to_string(hr)};
     }},
    {"ResetLaunchState", kSlotResetLaunchState, none,
     [](const std::string& a, int) { return Lines{"invokeKelvraAdapterResetLaunchState " + a}; }},
    {"SetEditMode", kSlotSetEditMode, none,
     [](const std::string& a, int hr) {
       return Lines{"invokeKelvraAdapterSetEditMode " + a,
                    "invokeKelvraAdapterSetEditMode result=" + std::to_string(hr)};
     }},
    {"HelloWorld", kSlotHelloWorld, none,
     [](const std::string& a, int hr) {
       return Lines{"invokeKelvraAdapterHelloWorld " + a,
                    "NPKelvraProxy: KelvraAdapterHelloWorld result = " + std::to_string(hr)};
     }},
    {"Update", kSlotUpdate, none,
     [](const std::string& a, int) { return Lines{"invokeKelvraAdapterUpdate " + a}; }},
    {"SetKeyValue", kSlotSetKeyValue, twoTexts,
     [](const std::string&, int hr) {
       Lines lines{"invokeKelvraAdapterSetKeyValue"};
       if (hr != 0) lines.push_back("KelvraAdapterSetKeyValue returned " + std::to_string(hr));
       return lines;
     }},
    {"DeleteKeyValue", kSlotDeleteKeyValue, oneText,
     [](const std::string&, int hr) {
       Lines lines{"invokeKelvraAdapterDeleteKeyValue"};
       if (hr != 0) lines.push_back("KelvraAdapterDeleteKeyValue returned " + std::to_string(hr));
       return lines;
     }},
};

TEST_F(Bridge, IntegerMethodsHandTheHresultBackAndLogTheirLines) {
  NPP instance;
  NPObject* object = embed(&instance);
  for (const IntegerCase& c : kIntegerCases) {
    for (HRESULT hr : {S_OK, S_FALSE, E_FAIL, static_cast<HRESULT>(0x80070005)}) {
      launcher.setAnswer(c.slot, answerResult(hr));
      size_t calls = launcher.callCount();
      NPVariant result;
      Lines lines = run(object, c.method, c.args(), &result);
      ASSERT_TRUE(NPVARIANT_IS_INT32(result)) << c.method;
      EXPECT_EQ(static_cast<int32_t>(hr), result.value.intValue) << c.method;
      EXPECT_EQ(calls + 1, launcher.callCount()) << c.method;
      EXPECT_EQ(c.slot, launcher.lastCall().slot) << c.method;
      EXPECT_EQ(c.lines(hexAddress(object), static_cast<int>(hr)), lines) << c.method;
    }
  }
  // Texts reach the launcher in order, converted by the ANSI code page, cut at a NUL.
  call(object, "StartGame", twoTexts(), &scratch);
  LauncherCall start = launcher.lastCall();
  ASSERT_EQ(2u, start.texts.size());
  EXPECT_EQ(L"ticket", start.texts[0].text);
  EXPECT_EQ(L"scr", start.texts[1].text);
  call(object, "Put_AuthenticationTicket", oneText(), &scratch);
  EXPECT_EQ(std::wstring(L"t\u00c3\u00a9"), launcher.lastCall().texts[0].text);
  call(object, "SetSilentModeEnabled", {boolArgument(false)}, &scratch);
  EXPECT_EQ(VARIANT_FALSE, launcher.lastCall().flags[0]);
  call(object, "SetSilentModeEnabled", {boolArgument(true)}, &scratch);
  EXPECT_EQ(VARIANT_TRUE, launcher.lastCall().flags[0]);

  browser::release(object);
  destroy(instance);
  expectBalanced();
}

TEST_F(Bridge, WrongArgumentsNeverReachTheLauncher) {
  NPP instance;
  NPObject* object = embed(&instance);
  struct Wrong {
    const char* method;
    std::vector<NPVariant> (*args)();
    const char* line;  // NULL: the method logs no count line
  };
  const Wrong wrong[] = {
      {"StartGame", oneText, "KelvraAdapterStartGame argCount!=2"},
      {"StartGame", [] { return std::vector<NPVariant>{browser::stringArgument("a"), intArgument(1)}; },
       "KelvraAdapterStartGame Bad arguments type : MUST BE String"},
      {"SetSilentModeEnabled", [] { return std::vector<NPVariant>{intArgument(1)}; },
       "KelvraAdapterGet_SetSilentModeEnabled Bad arguments type : MUST be BOOL"},
      {"SetStartInHiddenMode", none, "KelvraAdapterGet_SetStartInHiddenMode argCount!=1"},
      {"PreStartGame", oneFlag, "KelvraAdapterPreStartGame argCount!=0"},
      {"UnhideApp", oneFlag, "invokeKelvraAdapterGet_UnhideApp argCount!=0"},
      {"ResetLaunchState", oneFlag, nullptr},
      {"Put_AuthenticationTicket", [] { return std::vector<NPVariant>{doubleArgument(1.5)}; },
       "KelvraAdapterPut_AuthenticationTicket Bad arguments type : MUST BE String"},
      {"GetKeyValue", twoTexts, "invokeKelvraAdapterGetKeyValue argCount != 1"},
      {"GetKeyValue", [] { return std::vector<NPVariant>{nullArgument()}; },
       "invokeKelvraAdapterGetKeyValue arg[0] : must be string"},
      {"SetKeyValue", [] { return std::vector<NPVariant>{browser::stringArgument("k"), boolArgument(true)}; },
       "invokeKelvraAdapterSetKeyValue arg[1] : must be string"},
      {"DeleteKeyValue", [] { return std::vector<NPVariant>{voidArgument()}; },
       "invokeKelvraAdapterDeleteKeyValue arg[0] : must be string"},
  };
  for (const Wrong& w : wrong) {
    size_t calls = launcher.callCount();
    NPVariant result;
    Lines lines = run(object, w.method, w.args(), &result);
    EXPECT_EQ(calls, launcher.callCount()) << w.method;
    ASSERT_TRUE(NPVARIANT_IS_INT32(result)) << w.method;
    EXPECT_EQ(-1, result.value.intValue) << w.method;
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(w.line != nullptr ? std::string(w.line)
                                : "invokeKelvraAdapterResetLaunchState " + hexAddress(object),
              lines.back())
        << w.method;
  }
  // Methods that ignore their arguments still call the launcher.
  for (const char* method : {"HelloWorld", "Update", "Get_GameStarted", "Get_IsUpToDate"}) {
    size_t calls = launcher.callCount();
    NPVariant result;
    run(object, method, {intArgument(7), browser::stringArgument("x"), nullArgument()}, &result);
    EXPECT_EQ(calls + 1, launcher.callCount()) << method;
  }
  browser::release(object);
  destroy(instance);
  expectBalanced();
}

TEST_F(Bridge, TextQueriesAnswerTheLauncherTextOrTheErrorText) {
  NPP instance;
  NPObject* object = embed(&instance);
  const std::string address = hexAddress(object);
  NPVariant result;

  launcher.setAnswer(kSlotGetInstallHost, answerText(S_OK, L"abc"));
  long liveBytes = browser::counts().liveBytes;
  Lines lines = run(object, "Get_InstallHost", {intArgument(3)}, &result);
  ASSERT_TRUE(NPVARIANT_IS_STRING(result));
  EXPECT_EQ("abc", textOf(result));
  EXPECT_EQ(4, browser::counts().liveBytes - liveBytes);  // text and NUL
  EXPECT_EQ(Lines({"invokeKelvraAdapterGet_InstallHost " + address,
                   "KelvraAdapterGet_InstallHost result=0 size=4 ssMess=abc"}),
            lines);
  browser::releaseValue(&result);

  launcher.setAnswer(kSlotHello, answerResult(E_FAIL));
  lines = run(object, "Hello", {}, &result);
  EXPECT_EQ("IKelvraLauncher->Hello() Error occured !", textOf(result));
  EXPECT_EQ(40u, result.value.stringValue.UTF8Length);
  EXPECT_EQ(Lines({"invokeKelvraAdapterHello " + address, "IKelvraLauncher->Hello() result -2147467259",
                   "KelvraAdapterHello result=-2147467259 size=41 ssMess=IKelvraLauncher->Hello() Error occured !"}),
            lines);
  browser::releaseValue(&result);

  launcher.setAnswer(kSlotGetInstallHost, answerResult(E_FAIL));
  run(object, "Get_InstallHost", {}, &result);
  EXPECT_EQ(50u, result.value.stringValue.UTF8Length);
  browser::releaseValue(&result);

  // Launcher text past the buffer comes back cut to 2047 bytes.
  launcher.setAnswer(kSlotHello, answerText(S_OK, std::wstring(3000, L'x')));
  run(object, "Hello", {}, &result);
  EXPECT_EQ(std::string(2047, 'x'), textOf(result));
  browser::releaseValue(&result);

  // A NULL block from the browser is never written through.
  browser::Faults faults;
  faults.failAllocationsFrom = 1;  // the method name's text still gets its block
  browser::setFaults(faults);
  launcher.setAnswer(kSlotHello, answerText(S_OK, L"hi"));
  lines = run(object, "Hello", {}, &result);
  browser::setFaults(browser::Faults());
  ASSERT_TRUE(NPVARIANT_IS_INT32(result));
  EXPECT_EQ(-1, result.value.intValue);
  EXPECT_EQ(Lines({"invokeKelvraAdapterHello " + address, "IKelvraLauncher->Hello() result 0",
                   "KelvraAdapterHello npnfuncs->memalloc(3) = NULL",
                   "KelvraAdapterHello result=-1 size=3 ssMess=hi"}),
            lines);

  destroy(instance);
  lines = run(object, "Hello", {}, &result);
  EXPECT_EQ(Lines({"invokeKelvraAdapterHello " + address, "ERROR: Launcher not found",
                   "KelvraAdapterHello result=-1 size=1 ssMess="}),
            lines);
  EXPECT_EQ(-1, result.value.intValue);
  browser::release(object);
  expectBalanced();
}

TEST_F(Bridge, KeyValueAndFlagQueries) {
  NPP instance;
  NPObject* object = embed(&instance);
  NPVariant result;

  launcher.setAnswer(kSlotGetKeyValue, answerText(S_OK, L""));
  Lines lines = run(object, "GetKeyValue", {browser::stringArgument("key")}, &result);
  ASSERT_TRUE(NPVARIANT_IS_STRING(result));
  EXPECT_EQ(0u, result.value.stringValue.UTF8Length);
  EXPECT_EQ(Lines({"invokeKelvraAdapterGetKeyValue", "invokeKelvraAdapterGetKeyValue key = key len = 3",
                   "invokeKelvraAdapterGetKeyValue value =  len = 0"}),
            lines);
  browser::releaseValue(&result);

  launcher.setAnswer(kSlotGetKeyValue, answerText(E_FAIL, L"ignored"));
  lines = run(object, "GetKeyValue", {browser::stringArgument("key")}, &result);
  EXPECT_EQ(-1, result.value.intValue);
  EXPECT_EQ("invokeKelvraAdapterGetKeyValue failed error = -2147467259", lines.back());

  struct Flag {
    VARIANT_BOOL stored;
    HRESULT hr;
    bool expected;
  };
  for (const Flag& f : {Flag{VARIANT_TRUE, S_OK, true}, Flag{1, S_OK, false},
                        Flag{0x7FFF, S_OK, false}, Flag{VARIANT_FALSE, S_OK, false},
                        Flag{VARIANT_TRUE, E_FAIL, true}}) {
    launcher.setAnswer(kSlotGetIsGameStarted, answerFlag(f.hr, f.stored));
    lines = run(object, "Get_GameStarted", {}, &result);
    ASSERT_TRUE(NPVARIANT_IS_BOOLEAN(result));
    EXPECT_EQ(f.expected, result.value.boolValue) << f.stored;
    EXPECT_EQ(Lines({"invokeKelvraAdapterGet_IsGameStarted " + hexAddress(object),
                     "KelvraAdapterGet_IsGameStarted HRESULT = " + std::to_string(static_cast<int>(f.hr)),
                     std::string("invokeKelvraAdapterGet_IsGameStarted result=") + (f.expected ? "1" : "0")}),
              lines);
  }
  launcher.setAnswer(kSlotGetIsUpToDate, answerResult(E_FAIL));
  run(object, "Get_IsUpToDate", {}, &result);
  EXPECT_FALSE(result.value.boolValue);

  browser::release(object);
  destroy(instance);
  expectBalanced();
}

TEST_F(Bridge, DispatchRefusesUnknownNamesAndAnswersTheDefaults) {
  NPP instance;
  NPObject* object = embed(&instance);
  for (const char* name : {"hello", "HELLOWORLD", "", "StartGame ", "toString"}) {
    size_t calls = launcher.callCount();
    long exceptions = browser::counts().exceptions;
    NPVariant result;
    EXPECT_FALSE(call(object, name, {}, &result)) << name;
    EXPECT_EQ(exceptions + 1, browser::counts().exceptions);
    EXPECT_EQ("exception during invocation", browser::lastException());
    EXPECT_EQ(calls, launcher.callCount());
  }
  NPVariant result;
  VOID_TO_NPVARIANT(result);
  EXPECT_FALSE(object->_class->invoke(object, browser::intIdentifier(3), nullptr, 0, &result));
  EXPECT_TRUE(object->_class->hasMethod(object, browser::identifier("noSuchMethod")));
  EXPECT_FALSE(object->_class->hasProperty(object, browser::identifier("Hello")));
  INT32_TO_NPVARIANT(1234, result);
  EXPECT_FALSE(object->_class->getProperty(object, browser::identifier("x"), &result));
  EXPECT_EQ(1234, result.value.intValue);
  NPVariant arg = intArgument(5);
  EXPECT_TRUE(object->_class->invokeDefault(object, &arg, 1, &result));
  EXPECT_TRUE(NPVARIANT_IS_INT32(result));
  EXPECT_EQ(42, result.value.intValue);

  browser::release(object);
  destroy(instance);
  expectBalanced();  // every method name's text was given back
}

// Thousands of mixed calls on embeddings created and destroyed in between leave
// nothing behind on either side.
TEST_F(Bridge, LongMixedRunBalancesEveryCount) {
  const char* methods[] = {"HelloWorld", "Hello", "StartGame", "Get_InstallHost", "Update",
                           "Put_AuthenticationTicket", "Get_GameStarted", "SetSilentModeEnabled",
                           "SetStartInHiddenMode", "UnhideApp", "DeleteKeyValue", "Get_IsUpToDate",
                           "PreStartGame", "GetKeyValue", "SetKeyValue", "BringAppToFront",
                           "ResetLaunchState", "SetEditMode", "nope"};
  unsigned seed = 20261208;
  printf("seed %u\n", seed);
  launcher.setAnswer(kSlotHello, answerText(S_OK, L"hello"));
  launcher.setAnswer(kSlotGetKeyValue, answerText(S_OK, L"value"));
  std::vector<NPP> instances;
  std::vector<NPObject*> objects;
  for (int i = 0; i < 3000; ++i) {
    seed = seed * 1103515245u + 12345u;
    if (objects.empty() || (seed >> 16) % 97 == 0) {
      NPP instance;
      objects.push_back(embed(&instance));
      instances.push_back(instance);
    }
    if ((seed >> 8) % 151 == 0 && objects.size() > 1) {
      browser::release(objects.front());
      destroy(instances.front());
      objects.erase(objects.begin());
      instances.erase(instances.begin());
    }
    std::vector<NPVariant> args;
    for (unsigned n = (seed >> 4) % 3; n > 0; --n) {
      args.push_back((seed >> n) & 1 ? browser::stringArgument("arg") : boolArgument(true));
    }
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    call(objects[(seed >> 12) % objects.size()], methods[(seed >> 20) % 19], std::move(args), &result);
    browser::releaseValue(&result);
  }
  for (size_t i = 0; i < objects.size(); ++i) {
    browser::release(objects[i]);
    EXPECT_EQ(NPERR_NO_ERROR, destroy(instances[i]));
  }
  expectBalanced();
  for (int i = 0; i < launcher.objectsCreated(); ++i) EXPECT_EQ(0, launcher.objectStats(i).references);
}

}  // namespace
