// The host's value conversions between script and plug-in, both directly and as
// page script produces and receives them, with the browser stand-in's accounting.
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include <string>
#include <vector>

#include "js_engine.h"
#include "js_npruntime.h"
#include "npbrowser.h"

namespace {

extern NPClass echoClass;

// A value as the plug-in received it, copied out of the call.
struct Received {
  NPVariantType type;
  bool boolValue;
  int32_t intValue;
  double doubleValue;
  std::string text;
  NPObject* object;
  bool isEcho;  // the object is of the echo class (read during the call)
};

Received receive(const NPVariant& value) {
  Received r = {value.type, false, 0, 0, std::string(), NULL, false};
  switch (value.type) {
    case NPVariantType_Bool: r.boolValue = value.value.boolValue; break;
    case NPVariantType_Int32: r.intValue = value.value.intValue; break;
    case NPVariantType_Double: r.doubleValue = value.value.doubleValue; break;
    case NPVariantType_String:
      r.text.assign(value.value.stringValue.UTF8Characters, value.value.stringValue.UTF8Length);
      break;
    case NPVariantType_Object:
      r.object = value.value.objectValue;
      r.isEcho = r.object != NULL && r.object->_class == &echoClass;
      break;
    default: break;
  }
  return r;
}

// A plug-in object of the test's: records what it is given and answers by name.
std::vector<Received> echoArguments;

NPVariant echoString(const std::string& text) { return browser::stringArgument(text); }

bool echoInvoke(NPObject* object, NPIdentifier name, const NPVariant* args, uint32_t count,
                NPVariant* result) {
  echoArguments.clear();
  for (uint32_t i = 0; i < count; ++i) echoArguments.push_back(receive(args[i]));
  NPUTF8* text = browser::functions()->utf8fromidentifier(name);
  std::string method = text != NULL ? text : "";
  browser::functions()->memfree(text);
  if (method == "take") {
    VOID_TO_NPVARIANT(*result);
  } else if (method == "giveInt") {
    INT32_TO_NPVARIANT(-7, *result);
  } else if (method == "giveDouble") {
    DOUBLE_TO_NPVARIANT(0.25, *result);
  } else if (method == "giveBool") {
    BOOLEAN_TO_NPVARIANT(true, *result);
  } else if (method == "giveNull") {
    NULL_TO_NPVARIANT(*result);
  } else if (method == "giveString") {
    *result = echoString("gr\xC3\xBC\xC3\x9F dich");
  } else if (method == "giveSelf") {
    browser::retain(object);
    OBJECT_TO_NPVARIANT(object, *result);
  } else if (method == "giveBack" && count == 1) {
    // The argument itself, with a reference of the result's own.
    *result = args[0];
    if (NPVARIANT_IS_OBJECT(args[0])) browser::retain(args[0].value.objectValue);
    if (NPVARIANT_IS_STRING(args[0])) {
      *result = echoString(std::string(args[0].value.stringValue.UTF8Characters,
                                       args[0].value.stringValue.UTF8Length));
    }
  } else if (method == "fail") {
    browser::functions()->setexception(object, "custom failure");
    return false;
  } else {
    return false;  // "failQuiet" and every other name: no exception text of its own
  }
  return true;
}

bool echoInvokeDefault(NPObject*, const NPVariant* args, uint32_t count, NPVariant* result) {
  echoArguments.clear();
  for (uint32_t i = 0; i < count; ++i) echoArguments.push_back(receive(args[i]));
  INT32_TO_NPVARIANT(42, *result);
  return true;
}

// Every name is a method but "answer", the one property, and "unknown", as a generic
// plug-in answers.
bool echoHasMethod(NPObject*, NPIdentifier name) {
  return name != browser::identifier("answer") && name != browser::identifier("unknown");
}
bool echoHasProperty(NPObject*, NPIdentifier name) { return name == browser::identifier("answer"); }

bool echoGetProperty(NPObject*, NPIdentifier name, NPVariant* result) {
  if (name != browser::identifier("answer")) return false;
  INT32_TO_NPVARIANT(5, *result);
  return true;
}

NPClass echoClass = {NP_CLASS_STRUCT_VERSION, NULL, NULL, NULL, echoHasMethod, echoInvoke,
                     echoInvokeDefault, echoHasProperty, echoGetProperty, NULL, NULL, NULL, NULL};

class HostValuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    browser::reset();
    before_ = browser::counts();
    echoArguments.clear();
    session_ = new host::ScriptSession(
        [this](bool isError, const std::string& line) {
          lines_.push_back((isError ? "E:" : "") + line);
        },
        host::TimerSink());
    host::ScriptError error;
    ASSERT_TRUE(session_->start(&error)) << error.message;
    ctx_ = session_->context();
  }
  void TearDown() override {
    delete session_;
    echoArguments.clear();
    browser::Counts after = browser::counts();
    EXPECT_EQ(before_.liveObjects, after.liveObjects) << "objects left alive";
    EXPECT_EQ(before_.liveBlocks, after.liveBlocks) << "memalloc blocks not freed";
    EXPECT_EQ(0, after.badFrees);
    EXPECT_EQ(0, after.deadObjectCalls);
    EXPECT_EQ(0, after.underflows);
  }

  NPVariant fromScript(JSValue value) {
    NPVariant out;
    EXPECT_TRUE(host::toNPVariant(ctx_, NULL, value, &out));
    JS_FreeValue(ctx_, value);
    return out;
  }
  // A script value read back as String() shows it.
  std::string shown(JSValue value) {
    const char* text = JS_ToCString(ctx_, value);
    std::string result = text != NULL ? text : "?";
    JS_FreeCString(ctx_, text);
    JS_FreeValue(ctx_, value);
    return result;
  }

  // What a script run with the echo object as `echo` (and `missing` null) did.
  bool runWithEcho(const std::string& source, host::ScriptError* error) {
    NPObject* echo = browser::createObject(NULL, &echoClass);
    session_->define("echo", host::wrapNPObject(ctx_, NULL, echo));
    session_->define("missing", JS_NULL);
    return session_->run(source, "test.js", error);
  }

  browser::Counts before_;
  host::ScriptSession* session_ = NULL;
  JSContext* ctx_ = NULL;
  std::vector<std::string> lines_;  // the console's, error lines marked "E:"
};

TEST_F(HostValuesTest, ScriptStringsReachThePluginAsUtf8InABrowserBlock) {
  const std::string cases[] = {
      "plain",
      "h\xC3\xA9llo \xE2\x82\xAC",
      std::string("a\0b", 3),  // the NUL is kept, length 3
      "",
  };
  for (const std::string& text : cases) {
    long blocks = browser::counts().liveBlocks;
    NPVariant out = fromScript(JS_NewStringLen(ctx_, text.data(), text.size()));
    ASSERT_EQ(NPVariantType_String, out.type);
    EXPECT_EQ(text, std::string(out.value.stringValue.UTF8Characters,
                                out.value.stringValue.UTF8Length));
    EXPECT_EQ('\0', out.value.stringValue.UTF8Characters[out.value.stringValue.UTF8Length]);
    EXPECT_EQ(blocks + 1, browser::counts().liveBlocks) << "a block of the browser's memalloc";
    browser::releaseValue(&out);
  }
  // A lone surrogate becomes U+FFFD, as Firefox converts it.
  JSValue lone = JS_Eval(ctx_, "'a\\uD800b'", 10, "test.js", 0);
  NPVariant out = fromScript(lone);
  ASSERT_EQ(NPVariantType_String, out.type);
  EXPECT_EQ("a\xEF\xBF\xBD" "b", std::string(out.value.stringValue.UTF8Characters,
                                           out.value.stringValue.UTF8Length));
  browser::releaseValue(&out);
}

TEST_F(HostValuesTest, IntegralNumbersGoAsInt32AndOthersAsDouble) {
  struct Case {
    double value;
    bool isInt;
  };
  const Case cases[] = {{0, true},          {7, true},           {-7, true},
                        {2147483647.0, true}, {-2147483648.0, true}, {2147483648.0, false},
                        {-2147483649.0, false}, {2.5, false},       {-0.0, false},
                        {1e300, false},      {NAN, false},         {INFINITY, false}};
  for (const Case& c : cases) {
    NPVariant out = fromScript(JS_NewFloat64(ctx_, c.value));
    if (c.isInt) {
      ASSERT_EQ(NPVariantType_Int32, out.type) << c.value;
      EXPECT_EQ(static_cast<int32_t>(c.value), out.value.intValue);
    } else {
      ASSERT_EQ(NPVariantType_Double, out.type) << c.value;
      if (isnan(c.value)) {
        EXPECT_TRUE(isnan(out.value.doubleValue));
      } else {
        EXPECT_EQ(c.value, out.value.doubleValue);
        EXPECT_EQ(signbit(c.value), signbit(out.value.doubleValue));
      }
    }
  }
  NPVariant out = fromScript(JS_NewInt32(ctx_, -12));
  EXPECT_EQ(NPVariantType_Int32, out.type);
  EXPECT_EQ(-12, out.value.intValue);
}

TEST_F(HostValuesTest, BooleansNullAndUndefinedKeepTheirKind) {
  NPVariant out = fromScript(JS_UNDEFINED);
  EXPECT_EQ(NPVariantType_Void, out.type);
  out = fromScript(JS_NULL);
  EXPECT_EQ(NPVariantType_Null, out.type);
  out = fromScript(JS_TRUE);
  EXPECT_EQ(NPVariantType_Bool, out.type);
  EXPECT_TRUE(out.value.boolValue);
  out = fromScript(JS_FALSE);
  EXPECT_EQ(NPVariantType_Bool, out.type);
  EXPECT_FALSE(out.value.boolValue);
}

TEST_F(HostValuesTest, ValuesScriptCannotHandOnAreRefused) {
  JSValue symbol = JS_Eval(ctx_, "Symbol('s')", 11, "test.js", 0);
  NPVariant out;
  EXPECT_FALSE(host::toNPVariant(ctx_, NULL, symbol, &out));
  JS_FreeValue(ctx_, symbol);
  // In a call, Firefox's error.
  host::ScriptError error;
  ASSERT_TRUE(runWithEcho("try { echo.take(Symbol()); } catch (e) { console.log(e.message); }",
                          &error))
      << error.message;
  EXPECT_EQ(std::vector<std::string>{"Error converting jsvals to NPVariants!"}, lines_);
}

TEST_F(HostValuesTest, ObjectsCrossAsThemselvesWithOneReferenceEach) {
  NPObject* echo = browser::createObject(NULL, &echoClass);
  JSValue wrapper = host::wrapNPObject(ctx_, NULL, echo);  // takes the creation reference
  EXPECT_EQ(echo, host::wrappedNPObject(wrapper));

  // The wrapper handed back to the plug-in is its own object again.
  NPVariant out = fromScript(JS_DupValue(ctx_, wrapper));
  ASSERT_EQ(NPVariantType_Object, out.type);
  EXPECT_EQ(echo, out.value.objectValue);
  EXPECT_EQ(2u, echo->referenceCount);
  browser::releaseValue(&out);
  EXPECT_EQ(1u, echo->referenceCount);

  // A script object of another kind reaches the plug-in as an object holding it.
  JSValue plain = JS_NewObject(ctx_);
  JSRefCountHeader* count = static_cast<JSRefCountHeader*>(JS_VALUE_GET_PTR(plain));
  int references = count->ref_count;
  out = fromScript(JS_DupValue(ctx_, plain));
  ASSERT_EQ(NPVariantType_Object, out.type);
  EXPECT_NE(echo, out.value.objectValue);
  EXPECT_EQ(NULL, host::wrappedNPObject(plain));
  EXPECT_EQ(references + 1, count->ref_count);
  // ... and comes back to script as itself.
  JSValue back = host::toScriptValue(ctx_, NULL, &out);
  EXPECT_EQ(JS_VALUE_GET_PTR(plain), JS_VALUE_GET_PTR(back));
  EXPECT_EQ(NPVariantType_Void, out.type);
  JS_FreeValue(ctx_, back);
  EXPECT_EQ(references, count->ref_count) << "the plug-in side object is gone with its reference";
  JS_FreeValue(ctx_, plain);

  JS_FreeValue(ctx_, wrapper);
  host::ScriptError error;
  session_->settle(&error);
  EXPECT_FALSE(browser::isLive(echo)) << "the collected wrapper gave its reference back";
}

TEST_F(HostValuesTest, PluginResultsBecomeScriptValues) {
  struct Case {
    NPVariant value;
    const char* shown;
  };
  NPVariant v;
  std::vector<Case> cases;
  INT32_TO_NPVARIANT(-2147024809, v);
  cases.push_back({v, "-2147024809"});
  DOUBLE_TO_NPVARIANT(1.5, v);
  cases.push_back({v, "1.5"});
  BOOLEAN_TO_NPVARIANT(true, v);
  cases.push_back({v, "true"});
  BOOLEAN_TO_NPVARIANT(false, v);
  cases.push_back({v, "false"});
  NULL_TO_NPVARIANT(v);
  cases.push_back({v, "null"});
  VOID_TO_NPVARIANT(v);
  cases.push_back({v, "undefined"});
  for (Case& c : cases) {
    EXPECT_EQ(c.shown, shown(host::toScriptValue(ctx_, NULL, &c.value)));
  }
}

TEST_F(HostValuesTest, StringResultsAreCopiedThenFreedWithMemfree) {
  long frees = browser::counts().frees;
  NPVariant in = echoString("gr\xC3\xBC\xC3\x9F");
  EXPECT_EQ("gr\xC3\xBC\xC3\x9F", shown(host::toScriptValue(ctx_, NULL, &in)));
  EXPECT_EQ(frees + 1, browser::counts().frees);
  EXPECT_EQ(NPVariantType_Void, in.type);

  in = echoString("");
  EXPECT_EQ("", shown(host::toScriptValue(ctx_, NULL, &in)));
  EXPECT_EQ(frees + 2, browser::counts().frees);
}

TEST_F(HostValuesTest, ScriptArgumentsArriveAsABrowserHandsThem) {
  host::ScriptError error;
  ASSERT_TRUE(runWithEcho(
      "echo.take('h\xC3\xA9llo', 3, 2.5, true, null, undefined, 4294967296, -5, echo, '');",
      &error))
      << error.message;
  ASSERT_EQ(10u, echoArguments.size());
  EXPECT_EQ(NPVariantType_String, echoArguments[0].type);
  EXPECT_EQ("h\xC3\xA9llo", echoArguments[0].text);
  EXPECT_EQ(NPVariantType_Int32, echoArguments[1].type);
  EXPECT_EQ(3, echoArguments[1].intValue);
  EXPECT_EQ(NPVariantType_Double, echoArguments[2].type);
  EXPECT_EQ(2.5, echoArguments[2].doubleValue);
  EXPECT_EQ(NPVariantType_Bool, echoArguments[3].type);
  EXPECT_TRUE(echoArguments[3].boolValue);
  EXPECT_EQ(NPVariantType_Null, echoArguments[4].type);
  EXPECT_EQ(NPVariantType_Void, echoArguments[5].type);
  EXPECT_EQ(NPVariantType_Double, echoArguments[6].type);
  EXPECT_EQ(4294967296.0, echoArguments[6].doubleValue);
  EXPECT_EQ(NPVariantType_Int32, echoArguments[7].type);
  EXPECT_EQ(-5, echoArguments[7].intValue);
  EXPECT_EQ(NPVariantType_Object, echoArguments[8].type);
  EXPECT_TRUE(echoArguments[8].isEcho) << "the object itself, not a copy";
  EXPECT_EQ(NPVariantType_String, echoArguments[9].type);
  EXPECT_EQ("", echoArguments[9].text);

  // Calling the object itself reaches invokeDefault.
  ASSERT_TRUE(session_->run("console.log(echo(false));", "test.js", &error)) << error.message;
  ASSERT_EQ(1u, echoArguments.size());
  EXPECT_EQ(NPVariantType_Bool, echoArguments[0].type);
  EXPECT_EQ(std::vector<std::string>{"42"}, lines_);
}

TEST_F(HostValuesTest, PluginResultsArriveInScriptWithTheirTypes) {
  host::ScriptError error;
  ASSERT_TRUE(runWithEcho(
      "function t(v) { return typeof v + ' ' + String(v); }\n"
      "console.log(t(echo.giveInt()));\n"
      "console.log(t(echo.giveDouble()));\n"
      "console.log(t(echo.giveBool()));\n"
      "console.log(t(echo.giveNull()));\n"
      "console.log(t(echo.take()));\n"
      "console.log(t(echo.giveString()), echo.giveString().length);\n"
      "console.log(echo.giveSelf() === echo ? 'same' : 'wrapped', typeof echo.giveSelf());\n"
      "var o = {k: 1}; console.log(echo.giveBack(o) === o, echo.giveBack('x\xC3\xA9'));\n"
      "console.log(echo.answer, typeof echo.unknown, missing === null);\n"
      "console.error('to the error stream');\n",
      &error))
      << error.message;
  // NPObjects are callable, so typeof says "function", as in Firefox.
  std::vector<std::string> expected = {"number -7",
                                       "number 0.25",
                                       "boolean true",
                                       "object null",
                                       "undefined undefined",
                                       "string gr\xC3\xBC\xC3\x9F dich 9",
                                       "same function",
                                       "true x\xC3\xA9",
                                       "5 undefined true",
                                       "E:to the error stream"};
  EXPECT_EQ(expected, lines_);
}

TEST_F(HostValuesTest, InvokeAnsweringFalseIsAScriptExceptionWithTheRecordedMessage) {
  host::ScriptError error;
  EXPECT_FALSE(runWithEcho(
      "try { echo.fail(); } catch (e) { console.log('caught', typeof e, e); }\n"
      "try { echo.failQuiet(); } catch (e) { console.log('caught', e.message); }\n"
      "echo.fail();\n",
      &error));
  // The plug-in's message is thrown as a string; without one, Firefox's error.
  std::vector<std::string> expected = {"caught string custom failure",
                                       "caught Error calling method on NPObject!"};
  EXPECT_EQ(expected, lines_);
  EXPECT_TRUE(error.failed);
  EXPECT_EQ("test.js", error.file);
  EXPECT_EQ(3u, error.line) << "the uncaught one, on the page's third line";
  EXPECT_EQ("uncaught exception: custom failure", error.message);
}

TEST_F(HostValuesTest, ScriptErrorsCarryTheirLine) {
  struct Case {
    const char* source;
    unsigned long line;
  };
  const Case cases[] = {
      {"var a = 1;\n\nnoSuchFunction();\n", 3},
      {"console.log('first');\nvar x = ;\n", 2},
      {"\n\n\n\nthrow new Error('thrown on five');", 5},
  };
  for (const Case& c : cases) {
    host::ScriptError error;
    EXPECT_FALSE(session_->run(c.source, "lines.js", &error)) << c.line;
    EXPECT_TRUE(error.failed);
    EXPECT_EQ(c.line, error.line) << error.message;
    EXPECT_FALSE(error.message.empty());
    EXPECT_FALSE(error.sourceLine.empty()) << "the line's text";
  }
  host::ScriptError error;
  session_->run("throw new Error('thrown on one');", "one.js", &error);
  EXPECT_NE(std::string::npos, error.message.find("thrown on one")) << error.message;
}

TEST_F(HostValuesTest, ManyCallsLeaveNothingBehind) {
  host::ScriptError error;
  ASSERT_TRUE(runWithEcho(
      "for (var i = 0; i < 2000; i++) {\n"
      "  echo.take('text ' + i, i, i / 3, echo, {});\n"
      "  var s = echo.giveString(); var me = echo.giveSelf(); echo.giveBack(me);\n"
      "  try { echo.fail(); } catch (e) {}\n"
      "}\n",
      &error))
      << error.message;
  // TearDown checks that objects and blocks are back where they started.
}

// After NPP_Destroy, script's calls on the instance's objects throw Firefox's error
// and the plug-in's object is given back; a script object made for the instance
// lets go of what it held.
TEST_F(HostValuesTest, ObjectsOfADestroyedInstanceAnswerAsInFirefox) {
  NPP_t instance;
  memset(&instance, 0, sizeof instance);
  NPObject* echo = browser::createObject(&instance, &echoClass);
  session_->define("gone", host::wrapNPObject(ctx_, &instance, echo));
  JSValue plain = JS_NewObject(ctx_);
  NPObject* held = host::scriptNPObject(ctx_, &instance, plain);
  JS_FreeValue(ctx_, plain);
  host::forgetInstance(&instance);
  EXPECT_FALSE(browser::isLive(echo)) << "the wrapper's reference went back";
  NPVariant result;
  EXPECT_FALSE(held->_class->getProperty(held, browser::identifier("any"), &result));
  browser::release(held);
  host::ScriptError error;
  ASSERT_TRUE(session_->run(
      "for (const f of [() => gone.take(), () => gone.answer, () => gone(), () => 'x' in gone])\n"
      "  try { f(); console.log('no error'); } catch (e) { console.log(e.message); }\n",
      "gone.js", &error))
      << error.message;
  EXPECT_EQ(std::vector<std::string>(4, "Bad NPObject as private data!"), lines_);
}

}  // namespace
