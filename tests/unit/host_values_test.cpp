// The host's value conversions between script and plug-in, both directly and as
// JScript produces and receives them, with the browser stand-in's accounting.
#include <gtest/gtest.h>

#include <math.h>
#include <objbase.h>
#include <string.h>

#include <string>
#include <vector>

#include "npbrowser.h"
#include "script_engine.h"
#include "script_values.h"

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

// A script-side object that is none of the host's wrappers.
class ForeignDispatch : public IDispatch {
 public:
  long references = 1;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = NULL;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch)) return E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
};

class HostValuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitialize(NULL);
    browser::reset();
    before_ = browser::counts();
    echoArguments.clear();
  }
  void TearDown() override {
    echoArguments.clear();
    browser::Counts after = browser::counts();
    EXPECT_EQ(before_.liveObjects, after.liveObjects) << "objects left alive";
    EXPECT_EQ(before_.liveBlocks, after.liveBlocks) << "memalloc blocks not freed";
    EXPECT_EQ(0, after.badFrees);
    EXPECT_EQ(0, after.deadObjectCalls);
    EXPECT_EQ(0, after.underflows);
    CoUninitialize();
  }

  NPVariant fromScript(const VARIANT& value) {
    NPVariant out;
    EXPECT_EQ(S_OK, host::toNPVariant(NULL, value, &out));
    return out;
  }

  browser::Counts before_;
};

// A VARIANT of `type`, its value still to be set.
VARIANT variantOf(VARTYPE type) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = type;
  return v;
}

VARIANT number(double value) {
  VARIANT v = variantOf(VT_R8);
  V_R8(&v) = value;
  return v;
}

TEST_F(HostValuesTest, ScriptStringsReachThePluginAsUtf8InABrowserBlock) {
  struct Case {
    std::wstring text;
    std::string utf8;
  };
  const Case cases[] = {
      {L"plain", "plain"},
      {L"h\u00e9llo \u20ac", "h\xC3\xA9llo \xE2\x82\xAC"},
      {std::wstring(L"a\0b", 3), std::string("a\0b", 3)},  // the NUL is kept, length 3
      {L"", ""},
  };
  for (const Case& c : cases) {
    VARIANT v = variantOf(VT_BSTR);
    V_BSTR(&v) = SysAllocStringLen(c.text.data(), static_cast<UINT>(c.text.size()));
    long blocks = browser::counts().liveBlocks;
    NPVariant out = fromScript(v);
    ASSERT_EQ(NPVariantType_String, out.type);
    EXPECT_EQ(c.utf8, std::string(out.value.stringValue.UTF8Characters,
                                  out.value.stringValue.UTF8Length));
    EXPECT_EQ(blocks + 1, browser::counts().liveBlocks) << "a block of the browser's memalloc";
    browser::releaseValue(&out);
    VariantClear(&v);
  }
  VARIANT nullText = variantOf(VT_BSTR);
  V_BSTR(&nullText) = NULL;
  NPVariant out = fromScript(nullText);
  EXPECT_EQ(NPVariantType_String, out.type);
  EXPECT_EQ(0u, out.value.stringValue.UTF8Length);
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
    NPVariant out = fromScript(number(c.value));
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
  // Other numeric variants, and one passed by reference.
  VARIANT small = variantOf(VT_I2);
  V_I2(&small) = -12;
  NPVariant out = fromScript(small);
  EXPECT_EQ(NPVariantType_Int32, out.type);
  EXPECT_EQ(-12, out.value.intValue);
  LONG target = 99;
  VARIANT byRef = variantOf(VT_I4 | VT_BYREF);
  V_I4REF(&byRef) = &target;
  out = fromScript(byRef);
  EXPECT_EQ(NPVariantType_Int32, out.type);
  EXPECT_EQ(99, out.value.intValue);
  VARIANT single = variantOf(VT_R4);
  V_R4(&single) = 0.5f;
  out = fromScript(single);
  EXPECT_EQ(NPVariantType_Double, out.type);
  EXPECT_EQ(0.5, out.value.doubleValue);
}

TEST_F(HostValuesTest, BooleansNullAndUndefinedKeepTheirKind) {
  VARIANT v = variantOf(VT_EMPTY);
  NPVariant out = fromScript(v);
  EXPECT_EQ(NPVariantType_Void, out.type);
  V_VT(&v) = VT_NULL;
  out = fromScript(v);
  EXPECT_EQ(NPVariantType_Null, out.type);
  V_VT(&v) = VT_BOOL;
  V_BOOL(&v) = VARIANT_TRUE;
  out = fromScript(v);
  EXPECT_EQ(NPVariantType_Bool, out.type);
  EXPECT_TRUE(out.value.boolValue);
  V_BOOL(&v) = VARIANT_FALSE;
  out = fromScript(v);
  EXPECT_EQ(NPVariantType_Bool, out.type);
  EXPECT_FALSE(out.value.boolValue);
  V_VT(&v) = VT_DISPATCH;
  V_DISPATCH(&v) = NULL;
  out = fromScript(v);
  EXPECT_EQ(NPVariantType_Null, out.type) << "a null object reference";
}

TEST_F(HostValuesTest, ValuesScriptCannotHandOnAreTypeMismatches) {
  VARIANT v = variantOf(VT_UNKNOWN);
  V_UNKNOWN(&v) = NULL;
  NPVariant out;
  EXPECT_EQ(DISP_E_TYPEMISMATCH, host::toNPVariant(NULL, v, &out));
  V_VT(&v) = VT_ARRAY | VT_I4;
  V_ARRAY(&v) = NULL;
  EXPECT_EQ(DISP_E_TYPEMISMATCH, host::toNPVariant(NULL, v, &out));
  V_VT(&v) = VT_ERROR;
  V_ERROR(&v) = DISP_E_PARAMNOTFOUND;
  EXPECT_EQ(DISP_E_TYPEMISMATCH, host::toNPVariant(NULL, v, &out));
}

TEST_F(HostValuesTest, ObjectsCrossAsThemselvesWithOneReferenceEach) {
  NPObject* echo = browser::createObject(NULL, &echoClass);
  IDispatch* wrapper = host::wrapObject(NULL, echo);  // takes the creation reference
  EXPECT_EQ(echo, host::wrappedObject(wrapper));

  // The wrapper handed back to the plug-in is its own object again.
  VARIANT v = variantOf(VT_DISPATCH);
  V_DISPATCH(&v) = wrapper;
  NPVariant out = fromScript(v);
  ASSERT_EQ(NPVariantType_Object, out.type);
  EXPECT_EQ(echo, out.value.objectValue);
  EXPECT_EQ(2u, echo->referenceCount);
  browser::releaseValue(&out);
  EXPECT_EQ(1u, echo->referenceCount);

  // A script object of another kind reaches the plug-in as an object holding it.
  ForeignDispatch foreign;
  V_DISPATCH(&v) = &foreign;
  out = fromScript(v);
  ASSERT_EQ(NPVariantType_Object, out.type);
  EXPECT_NE(echo, out.value.objectValue);
  EXPECT_EQ(NULL, host::wrappedObject(&foreign));
  EXPECT_EQ(2, foreign.references);
  // ... and comes back to script as itself.
  VARIANT back;
  EXPECT_EQ(S_OK, host::toVariant(NULL, &out, &back));
  EXPECT_EQ(VT_DISPATCH, V_VT(&back));
  EXPECT_EQ(&foreign, V_DISPATCH(&back));
  EXPECT_EQ(NPVariantType_Void, out.type);
  VariantClear(&back);
  EXPECT_EQ(1, foreign.references) << "the plug-in side object is gone with its reference";

  wrapper->Release();
  EXPECT_FALSE(browser::isLive(echo)) << "the wrapper gave its reference back";
}

TEST_F(HostValuesTest, PluginResultsBecomeScriptValues) {
  NPVariant in;
  VARIANT out;
  INT32_TO_NPVARIANT(-2147024809, in);
  ASSERT_EQ(S_OK, host::toVariant(NULL, &in, &out));
  EXPECT_EQ(VT_I4, V_VT(&out));
  EXPECT_EQ(-2147024809, V_I4(&out));
  DOUBLE_TO_NPVARIANT(1.5, in);
  ASSERT_EQ(S_OK, host::toVariant(NULL, &in, &out));
  EXPECT_EQ(VT_R8, V_VT(&out));
  EXPECT_EQ(1.5, V_R8(&out));
  BOOLEAN_TO_NPVARIANT(true, in);
  ASSERT_EQ(S_OK, host::toVariant(NULL, &in, &out));
  EXPECT_EQ(VT_BOOL, V_VT(&out));
  EXPECT_EQ(VARIANT_TRUE, V_BOOL(&out));
  BOOLEAN_TO_NPVARIANT(false, in);
  ASSERT_EQ(S_OK, host::toVariant(NULL, &in, &out));
  EXPECT_EQ(VARIANT_FALSE, V_BOOL(&out));
  NULL_TO_NPVARIANT(in);
  ASSERT_EQ(S_OK, host::toVariant(NULL, &in, &out));
  EXPECT_EQ(VT_NULL, V_VT(&out));
  VOID_TO_NPVARIANT(in);
  ASSERT_EQ(S_OK, host::toVariant(NULL, &in, &out));
  EXPECT_EQ(VT_EMPTY, V_VT(&out));
}

TEST_F(HostValuesTest, StringResultsAreCopiedThenFreedWithMemfree) {
  long frees = browser::counts().frees;
  NPVariant in = echoString("gr\xC3\xBC\xC3\x9F");
  VARIANT out;
  ASSERT_EQ(S_OK, host::toVariant(NULL, &in, &out));
  ASSERT_EQ(VT_BSTR, V_VT(&out));
  EXPECT_EQ(std::wstring(L"gr\u00fc\u00df"), std::wstring(V_BSTR(&out), SysStringLen(V_BSTR(&out))));
  EXPECT_EQ(frees + 1, browser::counts().frees);
  EXPECT_EQ(NPVariantType_Void, in.type);
  VariantClear(&out);

  // An empty string, and a result nobody wants: freed all the same.
  in = echoString("");
  ASSERT_EQ(S_OK, host::toVariant(NULL, &in, &out));
  EXPECT_EQ(0u, SysStringLen(V_BSTR(&out)));
  EXPECT_NE(static_cast<BSTR>(NULL), V_BSTR(&out));
  VariantClear(&out);
  in = echoString("dropped");
  EXPECT_EQ(S_OK, host::toVariant(NULL, &in, NULL));
  EXPECT_EQ(frees + 3, browser::counts().frees);
}

// What a script run with the echo object did.
struct EchoRun {
  bool ran = false;
  host::ScriptError error;
  std::vector<std::string> lines;  // the console's, error lines marked "E:"
};

// Runs `source` with the echo object as `echo`.
EchoRun runWithEcho(const std::wstring& source) {
  NPObject* echo = browser::createObject(NULL, &echoClass);
  IDispatch* wrapper = host::wrapObject(NULL, echo);
  EchoRun run;
  host::NamedObject objects[] = {{L"echo", wrapper}, {L"missing", NULL}};
  run.ran = host::runScript(
      source, objects, 2,
      [&run](bool isError, const std::string& line) {
        run.lines.push_back((isError ? "E:" : "") + line);
      },
      &run.error);
  wrapper->Release();
  return run;
}

TEST_F(HostValuesTest, JScriptArgumentsArriveAsABrowserHandsThem) {
  EchoRun run = runWithEcho(
      L"echo.take('h\u00e9llo', 3, 2.5, true, null, undefined, 4294967296, -5, echo, '');");
  ASSERT_TRUE(run.ran) << run.error.message;
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
  run = runWithEcho(L"console.log(echo(false));");
  ASSERT_TRUE(run.ran) << run.error.message;
  ASSERT_EQ(1u, echoArguments.size());
  EXPECT_EQ(NPVariantType_Bool, echoArguments[0].type);
  EXPECT_EQ(std::vector<std::string>{"42"}, run.lines);
}

TEST_F(HostValuesTest, PluginResultsArriveInJScriptWithTheirTypes) {
  const EchoRun run = runWithEcho(
      L"function t(v) { return typeof v + ' ' + String(v); }\n"
      L"console.log(t(echo.giveInt()));\n"
      L"console.log(t(echo.giveDouble()));\n"
      L"console.log(t(echo.giveBool()));\n"
      L"console.log(t(echo.giveNull()));\n"
      L"console.log(t(echo.take()));\n"
      L"console.log(t(echo.giveString()), echo.giveString().length);\n"
      L"console.log(echo.giveSelf() === echo ? 'same' : 'wrapped', typeof echo.giveSelf());\n"
      L"var o = {k: 1}; console.log(echo.giveBack(o) === o, echo.giveBack('x\u00e9'));\n"
      L"console.log(echo.answer, typeof echo.unknown, missing === null);\n"
      L"console.error('to the error stream');\n");
  ASSERT_TRUE(run.ran) << run.error.message;
  std::vector<std::string> expected = {"number -7",
                                       "number 0.25",
                                       "boolean true",
                                       "object null",
                                       "undefined undefined",
                                       "string gr\xC3\xBC\xC3\x9F dich 9",
                                       "same object",
                                       "true x\xC3\xA9",
                                       "5 undefined true",
                                       "E:to the error stream"};
  EXPECT_EQ(expected, run.lines);
}

TEST_F(HostValuesTest, InvokeAnsweringFalseIsAScriptExceptionWithTheRecordedMessage) {
  const EchoRun run = runWithEcho(
      L"try { echo.fail(); } catch (e) { console.log('caught', e == 'custom failure', e); }\n"
      L"try { echo.failQuiet(); } catch (e) { console.log('caught', e.message); }\n"
      L"echo.fail();\n");
  EXPECT_FALSE(run.ran);
  // The plug-in's message compares equal to its string; without one, Firefox's error.
  std::vector<std::string> expected = {"caught true custom failure",
                                       "caught Error calling method on NPObject!"};
  EXPECT_EQ(expected, run.lines);
  EXPECT_TRUE(run.error.failed);
  EXPECT_EQ(3u, run.error.line) << "the uncaught one, on the page's third line";
  EXPECT_EQ("custom failure", run.error.message);
}

TEST_F(HostValuesTest, ScriptErrorsCarryTheirLine) {
  struct Case {
    const wchar_t* source;
    unsigned long line;
  };
  const Case cases[] = {
      {L"var a = 1;\n\nnoSuchFunction();\n", 3},
      {L"console.log('first');\nvar x = ;\n", 2},
      {L"\n\n\n\nthrow new Error('thrown on five');", 5},
  };
  for (const Case& c : cases) {
    const EchoRun run = runWithEcho(c.source);
    EXPECT_FALSE(run.ran) << c.line;
    EXPECT_TRUE(run.error.failed);
    EXPECT_EQ(c.line, run.error.line) << run.error.message;
    EXPECT_FALSE(run.error.message.empty());
  }
  const host::ScriptError error = runWithEcho(L"throw new Error('thrown on one');").error;
  EXPECT_NE(std::string::npos, error.message.find("thrown on one")) << error.message;
}

TEST_F(HostValuesTest, ManyCallsLeaveNothingBehind) {
  const EchoRun run = runWithEcho(
      L"for (var i = 0; i < 2000; i++) {\n"
      L"  echo.take('text ' + i, i, i / 3, echo, {});\n"
      L"  var s = echo.giveString(); var me = echo.giveSelf(); echo.giveBack(me);\n"
      L"  try { echo.fail(); } catch (e) {}\n"
      L"}\n");
  ASSERT_TRUE(run.ran) << run.error.message;
  // TearDown checks that objects and blocks are back where they started.
}

}  // namespace
