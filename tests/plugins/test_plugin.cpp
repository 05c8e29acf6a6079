/*
 * A generic scriptable NPAPI plug-in for testing the host, written the way
 * third-party plug-ins were: it uses every browser service, reads strings as C
 * strings, calls back into page script, asks for URLs, runs timers and calls from
 * other threads, and can hang or crash on request. It exports no
 * NP_GetMIMEDescription: Windows browsers find its type in its version resource.
 *
 * Script members of its object (application/x-kelvra-test):
 *   properties  version (read-only), listener (a function told of every event),
 *               every integer identifier N (reads "int:N"), and any name it was
 *               given to set (removable, enumerable)
 *   both        a property ("property value") and a method ("method result") at once
 *   echo(v)             v back
 *   scriptable()        the object itself
 *   kind(v)             the NPVariant type: void null bool int32 double string object
 *   cLength(s)          strlen() of the string's bytes: its length when NUL-terminated
 *   fail(msg) / failQuiet() / failAfterSuccess(msg) / succeedWithNullMessage()
 *   call(f, ...)        NPN_InvokeDefault(f, ...)
 *   invokeOn(o, name, ...), getOn(o, name), setOn(o, name, v), hasOn(o, name),
 *   removeOn(o, name), enumerateOn(o), constructOn(c, ...)   NPN_* on a script object
 *   releaseObjectOn(o, name)  NPN_GetProperty, and the object it answers given back
 *                       with NPN_ReleaseObject (as legal as NPN_ReleaseVariantValue)
 *   sameObject(a, b)    whether the two arrived as one NPObject
 *   invokeOffThread(o, name)  whether NPN_Invoke(o, name) from another thread succeeded
 *   mine(o)             whether o arrived as an object of this plug-in's class
 *   firstObject()       the scriptable object of the first instance that made one,
 *                       whichever instance is asked: an object of another instance
 *   orphanLife()        what the browser did to the scriptable objects of destroyed
 *                       instances, in order ("invalidate deallocate ...")
 *   window()            NPN_GetValue(NPNVWindowNPObject); element() likewise
 *   evaluate(code)      NPN_Evaluate in the page's window
 *   userAgent(), value(n)  NPN_UserAgent, NPN_GetValue(n) as a number, bool or text
 *   services()          every other browser service once, with their answers (it
 *                       leaves a stream of its own open, for the browser to end)
 *   timer(ms, repeat), stopTimer(id), async()   events reach the listener
 *   get(url, notify), post(url, data)   stream events reach the listener (an
 *                       embedding's src stream too); post(url) posts a NULL buffer
 *   args()              NPP_New's argn=argv pairs
 *   windowSize()        the last NPP_SetWindow's width and height ("300x150")
 *   slow()              returns after 2 s
 *   hang(), crash()     never return; fault with an access violation
 *   blind()             an object of a class with neither hasProperty nor hasMethod
 *   recover()           7, from an instruction that faults and that the plug-in's own
 *                       exception handler steps over
 * NPP_New fails when an attribute fail="yes" is given, and asks for the URL of an
 * attribute get="URL" (NPN_GetURLNotify); NPP_Destroy tells the listener "destroy" first.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "npapi.h"
#include "npfunctions.h"
#include "npruntime.h"

namespace {

NPNetscapeFuncs* npn = NULL;
// The scriptable object of the first instance that made one, while that instance lives.
NPObject* firstScriptable = NULL;
// NPClass.invalidate and deallocate of scriptable objects whose instance is gone.
std::string orphanLife;

struct Instance {
  NPP npp;
  NPObject* scriptable;
  std::string args;
  std::string window;  // the last NPP_SetWindow's size, "WIDTHxHEIGHT"
};

struct TestObject {
  NPObject header;
  NPP npp;
  NPObject* listener;
  bool orphaned;  // the scriptable object of an instance that is destroyed
  std::vector<std::pair<NPIdentifier, NPVariant>> expandos;
};

std::string text(const NPVariant& v) {
  if (!NPVARIANT_IS_STRING(v)) return std::string();
  return std::string(v.value.stringValue.UTF8Characters, v.value.stringValue.UTF8Length);
}

std::string nameOf(NPIdentifier id) {
  if (!npn->identifierisstring(id)) return std::to_string(npn->intfromidentifier(id));
  NPUTF8* name = npn->utf8fromidentifier(id);
  std::string result = name != NULL ? name : "";
  npn->memfree(name);
  return result;
}

// A string result the browser frees with memfree.
void setString(const std::string& value, NPVariant* result) {
  char* bytes = static_cast<char*>(npn->memalloc(static_cast<uint32_t>(value.size() + 1)));
  memcpy(bytes, value.c_str(), value.size() + 1);
  STRINGN_TO_NPVARIANT(bytes, value.size(), *result);
}

// A copy the receiver owns (strings copied, objects retained).
void copyVariant(const NPVariant& from, NPVariant* to) {
  if (NPVARIANT_IS_STRING(from)) {
    setString(text(from), to);
  } else {
    *to = from;
    if (NPVARIANT_IS_OBJECT(from)) npn->retainobject(from.value.objectValue);
  }
}

TestObject* objectOf(NPObject* o) { return reinterpret_cast<TestObject*>(o); }

// Tells the page's listener, if any, of an event.
void tell(NPP npp, const std::string& event) {
  Instance* instance = static_cast<Instance*>(npp->pdata);
  if (instance == NULL || instance->scriptable == NULL) return;
  NPObject* listener = objectOf(instance->scriptable)->listener;
  if (listener == NULL) return;
  NPVariant arg, result;
  STRINGN_TO_NPVARIANT(event.c_str(), event.size(), arg);
  if (npn->invokeDefault(npp, listener, &arg, 1, &result)) npn->releasevariantvalue(&result);
}

NPObject* allocate(NPP npp, NPClass*) {
  TestObject* o = new TestObject();
  o->npp = npp;
  o->listener = NULL;
  o->orphaned = false;
  return &o->header;
}

void invalidate(NPObject* object) {
  if (objectOf(object)->orphaned) orphanLife += "invalidate ";
}

void deallocate(NPObject* object) {
  TestObject* o = objectOf(object);
  if (o->orphaned) orphanLife += "deallocate ";
  if (o->listener != NULL) npn->releaseobject(o->listener);
  for (auto& expando : o->expandos) npn->releasevariantvalue(&expando.second);
  delete o;
}

const char* const kMethods[] = {"echo",
                                "scriptable",
                                "both",
                                "releaseObjectOn",
                                "kind",
                                "cLength",
                                "fail",
                                "failQuiet",
                                "failAfterSuccess",
                                "succeedWithNullMessage",
                                "call",
                                "invokeOn",
                                "getOn",
                                "setOn",
                                "hasOn",
                                "removeOn",
                                "enumerateOn",
                                "constructOn",
                                "sameObject",
                                "mine",
                                "invokeOffThread",
                                "firstObject",
                                "orphanLife",
                                "window",
                                "element",
                                "evaluate",
                                "userAgent",
                                "value",
                                "services",
                                "timer",
                                "stopTimer",
                                "async",
                                "get",
                                "post",
                                "args",
                                "windowSize",
                                "slow",
                                "hang",
                                "crash",
                                "recover",
                                "blind"};

bool hasMethod(NPObject*, NPIdentifier name) {
  std::string n = nameOf(name);
  for (const char* m : kMethods) {
    if (n == m) return true;
  }
  return false;
}

NPVariant* expando(TestObject* o, NPIdentifier name) {
  for (auto& e : o->expandos) {
    if (e.first == name) return &e.second;
  }
  return NULL;
}

bool hasProperty(NPObject* object, NPIdentifier name) {
  if (!npn->identifierisstring(name)) return true;
  std::string n = nameOf(name);
  return n == "version" || n == "listener" || n == "both" || expando(objectOf(object), name) != NULL;
}

bool getProperty(NPObject* object, NPIdentifier name, NPVariant* result) {
  TestObject* o = objectOf(object);
  std::string n = nameOf(name);
  if (!npn->identifierisstring(name)) {
    setString("int:" + n, result);
  } else if (n == "version") {
    setString("1.0", result);
  } else if (n == "both") {
    setString("property value", result);
  } else if (n == "listener") {
    if (o->listener == NULL) {
      NULL_TO_NPVARIANT(*result);
    } else {
      OBJECT_TO_NPVARIANT(npn->retainobject(o->listener), *result);
    }
  } else if (NPVariant* value = expando(o, name)) {
    copyVariant(*value, result);
  } else {
    return false;
  }
  return true;
}

bool setProperty(NPObject* object, NPIdentifier name, const NPVariant* value) {
  TestObject* o = objectOf(object);
  std::string n = nameOf(name);
  if (n == "version") {
    npn->setexception(object, "version is read-only");
    return false;
  }
  if (n == "listener") {
    if (o->listener != NULL) npn->releaseobject(o->listener);
    o->listener = NPVARIANT_IS_OBJECT(*value) ? npn->retainobject(value->value.objectValue) : NULL;
    return true;
  }
  NPVariant copy;
  copyVariant(*value, &copy);
  if (NPVariant* old = expando(o, name)) {
    npn->releasevariantvalue(old);
    *old = copy;
  } else {
    o->expandos.push_back(std::make_pair(name, copy));
  }
  return true;
}

bool removeProperty(NPObject* object, NPIdentifier name) {
  TestObject* o = objectOf(object);
  for (size_t i = 0; i < o->expandos.size(); ++i) {
    if (o->expandos[i].first != name) continue;
    npn->releasevariantvalue(&o->expandos[i].second);
    o->expandos.erase(o->expandos.begin() + static_cast<long>(i));
    return true;
  }
  return false;
}

bool enumerate(NPObject* object, NPIdentifier** names, uint32_t* count) {
  TestObject* o = objectOf(object);
  std::vector<NPIdentifier> all = {npn->getstringidentifier("version")};
  for (const auto& e : o->expandos) all.push_back(e.first);
  *count = static_cast<uint32_t>(all.size());
  *names = static_cast<NPIdentifier*>(npn->memalloc(*count * sizeof(NPIdentifier)));
  memcpy(*names, &all[0], *count * sizeof(NPIdentifier));
  return true;
}

extern NPClass testClass;

bool invokeDefault(NPObject*, const NPVariant*, uint32_t count, NPVariant* result) {
  setString("called with " + std::to_string(count), result);
  return true;
}

bool construct(NPObject* object, const NPVariant* args, uint32_t count, NPVariant* result) {
  NPObject* made = npn->createobject(objectOf(object)->npp, &testClass);
  if (count > 0) setProperty(made, npn->getstringidentifier("first"), &args[0]);
  OBJECT_TO_NPVARIANT(made, *result);
  return true;
}

void timerFired(NPP npp, uint32_t id) { tell(npp, "timer " + std::to_string(id)); }

struct AsyncJob {
  NPP npp;
};

void asyncRun(void* data) {
  AsyncJob* job = static_cast<AsyncJob*>(data);
  tell(job->npp, "async call on the page's thread");
  delete job;
}

DWORD WINAPI asyncThread(void* data) {
  npn->pluginthreadasynccall(static_cast<AsyncJob*>(data)->npp, asyncRun, data);
  return 0;
}

struct OffThreadCall {
  NPP npp;
  NPObject* object;
  NPIdentifier name;
  bool ok;
};

DWORD WINAPI invokeOffThread(void* data) {
  OffThreadCall* call = static_cast<OffThreadCall*>(data);
  NPVariant result;
  call->ok = npn->invoke(call->npp, call->object, call->name, NULL, 0, &result);
  if (call->ok) npn->releasevariantvalue(&result);
  return 0;
}

// Every service the other members do not reach, with what each answered.
std::string services(NPP npp) {
  std::string out;
  auto add = [&out](const std::string& item) { out += (out.empty() ? "" : " ") + item; };
  npn->status(npp, "status from the test plug-in");
  NPRect rect = {0, 0, 1, 1};
  npn->invalidaterect(npp, &rect);
  npn->invalidateregion(npp, NULL);
  npn->forceredraw(npp);
  add("setvalue=" + std::to_string(npn->setvalue(npp, NPPVpluginWindowBool, NULL)));
  add("setvalue(bad)=" + std::to_string(npn->setvalue(npp, static_cast<NPPVariable>(999), NULL)));
  npn->pushpopupsenabledstate(npp, true);
  npn->poppopupsenabledstate(npp);
  add("memflush=" + std::to_string(npn->memflush(1024)));
  npn->reloadplugins(false);
  add(std::string("java=") +
      (npn->getJavaEnv() == NULL && npn->getJavaPeer(npp) == NULL ? "none" : "?"));
  add("requestread=" + std::to_string(npn->requestread(NULL, NULL)));
  // A stream into a window, written in two parts and ended, then one left open.
  NPStream* stream = NULL;
  add("newstream=" +
      std::to_string(npn->newstream(npp, const_cast<char*>("text/plain"), "_blank", &stream)));
  char hello[] = "hello ", world[] = "world";
  add("write=" + std::to_string(npn->write(npp, stream, 6, hello)));
  add("write=" + std::to_string(npn->write(npp, stream, 5, world)));
  add("write(-1)=" + std::to_string(npn->write(npp, stream, -1, hello)));
  add("destroystream=" + std::to_string(npn->destroystream(npp, stream, NPRES_DONE)));
  NPP_t other;
  memset(&other, 0, sizeof other);
  add("newstream(NULL npp)=" +
      std::to_string(npn->newstream(NULL, const_cast<char*>("text/plain"), "_blank", &stream)));
  add("newstream(other npp)=" +
      std::to_string(npn->newstream(&other, const_cast<char*>("text/plain"), "_blank", &stream)));
  add("newstream(no out)=" +
      std::to_string(npn->newstream(npp, const_cast<char*>("text/plain"), "_blank", NULL)));
  npn->newstream(npp, const_cast<char*>("text/html"), "_self", &stream);
  npn->write(npp, stream, 4, hello);
  char* proxy = NULL;
  uint32_t length = 0;
  NPError proxyError =
      npn->getvalueforurl(npp, NPNURLVProxy, "https://www.kelvra.com/", &proxy, &length);
  add("proxy=" + std::to_string(proxyError) + ":" +
      (proxy != NULL ? std::string(proxy, length) : ""));
  npn->memfree(proxy);
  char* cookie = NULL;
  add("cookie=" + std::to_string(npn->getvalueforurl(npp, NPNURLVCookie, "https://www.kelvra.com/",
                                                     &cookie, &length)));
  add("setcookie=" +
      std::to_string(npn->setvalueforurl(npp, NPNURLVCookie, "https://www.kelvra.com/", "a=b", 3)));
  char *user = NULL, *password = NULL;
  uint32_t userLength = 0, passwordLength = 0;
  add("auth=" + std::to_string(npn->getauthenticationinfo(npp, "https", "www.kelvra.com", 443,
                                                          "basic", "realm", &user, &userLength,
                                                          &password, &passwordLength)));
  add("menu=" + std::to_string(npn->popupcontextmenu(npp, NULL)));
  double x = 0, y = 0;
  add("convert=" + std::to_string(npn->convertpoint(npp, 1, 1, NPCoordinateSpacePlugin, &x, &y,
                                                    NPCoordinateSpaceScreen)));
  add("handleevent=" + std::to_string(npn->handleevent(npp, NULL, false)));
  add("unfocus=" + std::to_string(npn->unfocusinstance(npp, NPFocusNext)));
  npn->urlredirectresponse(npp, NULL, false);
  NPSize size = {1, 1};
  add("surface=" +
      std::to_string(npn->initasyncsurface(npp, &size, NPImageFormatBGRA32, NULL, NULL)));
  add("finalize=" + std::to_string(npn->finalizeasyncsurface(npp, NULL)));
  npn->setcurrentasyncsurface(npp, NULL, NULL);
  // NPN_Invoke voids the result first, so a plug-in may release it whatever the call
  // answered; releasing a void variant is no imbalance of the browser's.
  NPObject* window = NULL;
  npn->getvalue(npp, NPNVWindowNPObject, &window);
  NPVariant result;
  INT32_TO_NPVARIANT(7, result);
  bool invoked = npn->invoke(npp, window, npn->getstringidentifier("noSuchFunction"), NULL, 0,
                             &result);
  add("invoke(missing)=" + std::to_string(invoked) + ":" + std::to_string(result.type));
  npn->releasevariantvalue(&result);
  npn->releaseobject(window);
  return out;
}

// NPN_GetValue's answer for `variable`, as script reads it.
// A probe for a processor feature, as plug-ins with hand-tuned code paths make: an
// instruction the processor may lack faults, the plug-in's own handler frame steps over
// it and the probe reads "absent". The probe here is ud2, which every processor (and
// every emulator of one) refuses alike. Nothing outside the plug-in may take that fault
// for a crash.
const unsigned char kUd2[] = {0x0F, 0x0B};

EXCEPTION_DISPOSITION NTAPI skipProbe(EXCEPTION_RECORD* record, PVOID, CONTEXT* context, PVOID) {
  if (IS_DISPATCHING(record->ExceptionFlags) &&
      record->ExceptionCode == EXCEPTION_ILLEGAL_INSTRUCTION &&
      memcmp(reinterpret_cast<const void*>(context->Eip), kUd2, sizeof kUd2) == 0) {
    context->Eip += sizeof kUd2;
    context->Eax = 7;
    return ExceptionContinueExecution;
  }
  return ExceptionContinueSearch;
}

int probeMissingInstruction() {
  NT_TIB* tib = reinterpret_cast<NT_TIB*>(NtCurrentTeb());
  EXCEPTION_REGISTRATION_RECORD frame;
  frame.Next = tib->ExceptionList;
  frame.Handler = skipProbe;
  tib->ExceptionList = &frame;
  int answer = 0;
  // eax reads 0 unless the handler stepped over the instruction.
#if defined(_MSC_VER)
  __asm {
    xor eax, eax
    ud2
    mov answer, eax
  }
#else
  __asm__ volatile("xorl %%eax, %%eax\n\tud2" : "=a"(answer) : : "memory");
#endif
  tib->ExceptionList = frame.Next;
  return answer;
}

bool value(NPP npp, int variable, NPVariant* result) {
  union {
    NPBool flag;
    double number;
    void* pointer;
    char* text;
    NPObject* object;
  } answer;
  memset(&answer, 0, sizeof answer);
  NPError error = npn->getvalue(npp, static_cast<NPNVariable>(variable), &answer);
  if (error != NPERR_NO_ERROR) {
    setString("error " + std::to_string(error), result);
  } else if (variable == NPNVWindowNPObject || variable == NPNVPluginElementNPObject) {
    OBJECT_TO_NPVARIANT(answer.object, *result);  // the reference passes to script
  } else if (variable == NPNVdocumentOrigin) {
    setString(answer.text, result);
    npn->memfree(answer.text);
  } else if (variable == NPNVCSSZoomFactor) {
    DOUBLE_TO_NPVARIANT(answer.number, *result);
  } else if (variable == NPNVnetscapeWindow) {
    BOOLEAN_TO_NPVARIANT(IsWindow(static_cast<HWND>(answer.pointer)) != FALSE, *result);
  } else {
    BOOLEAN_TO_NPVARIANT(answer.flag != 0, *result);
  }
  return true;
}

extern NPClass blindClass;

bool invoke(NPObject* object, NPIdentifier name, const NPVariant* args, uint32_t count,
            NPVariant* result) {
  NPP npp = objectOf(object)->npp;
  std::string method = nameOf(name);
  auto isObject = [args, count](uint32_t i) { return i < count && NPVARIANT_IS_OBJECT(args[i]); };
  auto stringAt = [args, count](uint32_t i) { return i < count ? text(args[i]) : std::string(); };
  if (method == "echo" && count == 1) {
    copyVariant(args[0], result);
  } else if (method == "scriptable") {
    OBJECT_TO_NPVARIANT(npn->retainobject(object), *result);
  } else if (method == "both") {
    setString("method result", result);
  } else if (method == "releaseObjectOn" && isObject(0)) {
    NPVariant got;
    if (!npn->getproperty(npp, args[0].value.objectValue,
                          npn->getstringidentifier(stringAt(1).c_str()), &got)) {
      return false;
    }
    BOOLEAN_TO_NPVARIANT(NPVARIANT_IS_OBJECT(got), *result);
    if (NPVARIANT_IS_OBJECT(got)) {
      npn->releaseobject(got.value.objectValue);
    } else {
      npn->releasevariantvalue(&got);
    }
  } else if (method == "kind" && count == 1) {
    static const char* const kKinds[] = {"void",   "null",   "bool",  "int32",
                                         "double", "string", "object"};
    setString(kKinds[args[0].type], result);
  } else if (method == "cLength" && count == 1 && NPVARIANT_IS_STRING(args[0])) {
    INT32_TO_NPVARIANT(static_cast<int32_t>(strlen(args[0].value.stringValue.UTF8Characters)),
                       *result);
  } else if (method == "fail") {
    npn->setexception(object, stringAt(0).c_str());
    return false;
  } else if (method == "failQuiet") {
    return false;
  } else if (method == "failAfterSuccess") {
    npn->setexception(object, stringAt(0).c_str());
    INT32_TO_NPVARIANT(1, *result);
  } else if (method == "succeedWithNullMessage") {
    npn->setexception(object, NULL);
    INT32_TO_NPVARIANT(2, *result);
  } else if (method == "call" && isObject(0)) {
    return npn->invokeDefault(npp, args[0].value.objectValue, args + 1, count - 1, result);
  } else if (method == "invokeOn" && isObject(0) && count >= 2) {
    return npn->invoke(npp, args[0].value.objectValue,
                       npn->getstringidentifier(stringAt(1).c_str()), args + 2, count - 2, result);
  } else if (method == "getOn" && isObject(0)) {
    return npn->getproperty(npp, args[0].value.objectValue,
                            npn->getstringidentifier(stringAt(1).c_str()), result);
  } else if (method == "setOn" && isObject(0) && count == 3) {
    BOOLEAN_TO_NPVARIANT(npn->setproperty(npp, args[0].value.objectValue,
                                          npn->getstringidentifier(stringAt(1).c_str()), &args[2]),
                         *result);
  } else if (method == "hasOn" && isObject(0)) {
    NPIdentifier id = npn->getstringidentifier(stringAt(1).c_str());
    std::string answer =
        std::string(npn->hasproperty(npp, args[0].value.objectValue, id) ? "property" : "-") +
        (npn->hasmethod(npp, args[0].value.objectValue, id) ? " method" : " -");
    setString(answer, result);
  } else if (method == "removeOn" && isObject(0)) {
    BOOLEAN_TO_NPVARIANT(npn->removeproperty(npp, args[0].value.objectValue,
                                             npn->getstringidentifier(stringAt(1).c_str())),
                         *result);
  } else if (method == "enumerateOn" && isObject(0)) {
    NPIdentifier* names = NULL;
    uint32_t found = 0;
    if (!npn->enumerate(npp, args[0].value.objectValue, &names, &found)) return false;
    std::string list;
    for (uint32_t i = 0; i < found; ++i) list += (i > 0 ? "," : "") + nameOf(names[i]);
    npn->memfree(names);
    setString(list, result);
  } else if (method == "constructOn" && isObject(0)) {
    return npn->construct(npp, args[0].value.objectValue, args + 1, count - 1, result);
  } else if (method == "sameObject" && isObject(0) && isObject(1)) {
    BOOLEAN_TO_NPVARIANT(args[0].value.objectValue == args[1].value.objectValue, *result);
  } else if (method == "invokeOffThread" && isObject(0)) {
    OffThreadCall call = {npp, args[0].value.objectValue,
                          npn->getstringidentifier(stringAt(1).c_str()), false};
    HANDLE thread = CreateThread(NULL, 0, invokeOffThread, &call, 0, NULL);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    BOOLEAN_TO_NPVARIANT(call.ok, *result);
  } else if (method == "mine" && isObject(0)) {
    BOOLEAN_TO_NPVARIANT(args[0].value.objectValue->_class == &testClass, *result);
  } else if (method == "orphanLife") {
    setString(orphanLife, result);
  } else if (method == "firstObject" && firstScriptable != NULL) {
    OBJECT_TO_NPVARIANT(npn->retainobject(firstScriptable), *result);
  } else if (method == "window" || method == "element") {
    return value(npp, method == "window" ? NPNVWindowNPObject : NPNVPluginElementNPObject, result);
  } else if (method == "evaluate" && count == 1 && NPVARIANT_IS_STRING(args[0])) {
    NPObject* window = NULL;
    if (npn->getvalue(npp, NPNVWindowNPObject, &window) != NPERR_NO_ERROR) return false;
    NPString script = args[0].value.stringValue;
    bool ok = npn->evaluate(npp, window, &script, result);
    npn->releaseobject(window);
    return ok;
  } else if (method == "userAgent") {
    setString(npn->uagent(npp), result);
  } else if (method == "value" && count == 1 && NPVARIANT_IS_INT32(args[0])) {
    return value(npp, args[0].value.intValue, result);
  } else if (method == "services") {
    setString(services(npp), result);
  } else if (method == "timer" && count == 2) {
    uint32_t delay =
        NPVARIANT_IS_INT32(args[0]) ? static_cast<uint32_t>(args[0].value.intValue) : 0;
    bool repeat = NPVARIANT_IS_BOOLEAN(args[1]) && args[1].value.boolValue;
    INT32_TO_NPVARIANT(static_cast<int32_t>(npn->scheduletimer(npp, delay, repeat, timerFired)),
                       *result);
  } else if (method == "stopTimer" && count == 1 && NPVARIANT_IS_INT32(args[0])) {
    npn->unscheduletimer(npp, static_cast<uint32_t>(args[0].value.intValue));
    VOID_TO_NPVARIANT(*result);
  } else if (method == "async") {
    HANDLE thread = CreateThread(NULL, 0, asyncThread, new AsyncJob{npp}, 0, NULL);
    WaitForSingleObject(thread, INFINITE);  // posted from another thread, run later on this one
    CloseHandle(thread);
    VOID_TO_NPVARIANT(*result);
  } else if (method == "get" && count >= 1) {
    bool notify = count > 1 && NPVARIANT_IS_BOOLEAN(args[1]) && args[1].value.boolValue;
    std::string url = stringAt(0);
    NPError error = notify ? npn->geturlnotify(npp, url.c_str(), NULL, reinterpret_cast<void*>(42))
                           : npn->geturl(npp, url.c_str(), NULL);
    INT32_TO_NPVARIANT(error, *result);
  } else if (method == "post" && (count == 1 || count == 2)) {
    std::string url = stringAt(0), data = stringAt(1);
    INT32_TO_NPVARIANT(
        npn->posturlnotify(npp, url.c_str(), NULL, static_cast<uint32_t>(data.size()),
                           count == 2 ? data.c_str() : NULL, false, reinterpret_cast<void*>(43)),
        *result);
  } else if (method == "args") {
    setString(static_cast<Instance*>(npp->pdata)->args, result);
  } else if (method == "windowSize") {
    setString(static_cast<Instance*>(npp->pdata)->window, result);
  } else if (method == "slow") {
    Sleep(2000);
  } else if (method == "hang") {
    for (;;) Sleep(1000);
  } else if (method == "crash") {
    // The top of a 32-bit address space is the kernel's, never a process's memory
    // (page 0 may be mapped under an emulator); volatile, so that it is no trap.
    int* volatile nowhere = reinterpret_cast<int*>(0xFFFFFFF0);
    *nowhere = 1;
  } else if (method == "blind") {
    OBJECT_TO_NPVARIANT(npn->createobject(npp, &blindClass), *result);
  } else if (method == "recover") {
    INT32_TO_NPVARIANT(probeMissingInstruction(), *result);
  } else {
    npn->setexception(object, ("no such method: " + method).c_str());
    return false;
  }
  return true;
}

NPClass testClass = {NP_CLASS_STRUCT_VERSION,
                     allocate,
                     deallocate,
                     invalidate,
                     hasMethod,
                     invoke,
                     invokeDefault,
                     hasProperty,
                     getProperty,
                     setProperty,
                     removeProperty,
                     enumerate,
                     construct};

// A class as careless plug-ins had it: no hasProperty, no hasMethod.
NPClass blindClass = {NP_CLASS_STRUCT_VERSION, allocate, deallocate, NULL, NULL, NULL,
                      invokeDefault, NULL, NULL, NULL, NULL, NULL, NULL};

NPError newInstance(NPMIMEType, NPP npp, uint16_t, int16_t argc, char* argn[], char* argv[],
                NPSavedData*) {
  std::string args;
  for (int16_t i = 0; i < argc; ++i) {
    args += std::string(i > 0 ? ";" : "") + argn[i] + "=" + (argv[i] != NULL ? argv[i] : "(null)");
    if (strcmp(argn[i], "fail") == 0 && argv[i] != NULL && strcmp(argv[i], "yes") == 0) {
      return NPERR_GENERIC_ERROR;
    }
  }
  npp->pdata = new Instance{npp, NULL, args, std::string()};
  npn->setvalue(npp, NPPVpluginWindowBool, NULL);  // windowless
  for (int16_t i = 0; i < argc; ++i) {
    if (strcmp(argn[i], "get") == 0 && argv[i] != NULL) {
      npn->geturlnotify(npp, argv[i], NULL, reinterpret_cast<void*>(42));
    }
  }
  return NPERR_NO_ERROR;
}

NPError destroyInstance(NPP npp, NPSavedData**) {
  Instance* instance = static_cast<Instance*>(npp->pdata);
  if (instance == NULL) return NPERR_INVALID_INSTANCE_ERROR;
  tell(npp, "destroy");  // the page is still there, as in a browser
  if (instance->scriptable == firstScriptable) firstScriptable = NULL;
  if (instance->scriptable != NULL) {
    objectOf(instance->scriptable)->orphaned = true;
    npn->releaseobject(instance->scriptable);
  }
  delete instance;
  npp->pdata = NULL;
  return NPERR_NO_ERROR;
}

NPError setWindow(NPP npp, NPWindow* window) {
  Instance* instance = static_cast<Instance*>(npp->pdata);
  if (instance != NULL && window != NULL) {
    instance->window = std::to_string(window->width) + "x" + std::to_string(window->height);
  }
  return NPERR_NO_ERROR;
}

NPError getValue(NPP npp, NPPVariable variable, void* out) {
  Instance* instance = static_cast<Instance*>(npp->pdata);
  if (variable != NPPVpluginScriptableNPObject || instance == NULL) return NPERR_GENERIC_ERROR;
  if (instance->scriptable == NULL) {
    instance->scriptable = npn->createobject(npp, &testClass);
    if (firstScriptable == NULL) firstScriptable = instance->scriptable;
  }
  *static_cast<NPObject**>(out) = npn->retainobject(instance->scriptable);
  return NPERR_NO_ERROR;
}

// A URL with "asfile" in it is taken as a file only; with "cancel", the first write
// ends the stream.
NPError newStream(NPP npp, NPMIMEType type, NPStream* stream, NPBool, uint16_t* stype) {
  tell(npp, std::string("newstream ") + type + " end=" + std::to_string(stream->end));
  *stype = strstr(stream->url, "asfile") != NULL ? NP_ASFILEONLY : NP_NORMAL;
  return NPERR_NO_ERROR;
}

void streamAsFile(NPP npp, NPStream*, const char* fname) {
  std::string body;
  HANDLE file = CreateFileA(fname, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  char buffer[256];
  DWORD got = 0;
  while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof buffer, &got, NULL) &&
         got > 0) {
    body.append(buffer, got);
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  tell(npp, "asfile " + body);
}

int32_t writeReady(NPP, NPStream*) { return 5; }  // small, so that a body takes writes

int32_t writeStream(NPP npp, NPStream* stream, int32_t offset, int32_t len, void* buffer) {
  tell(npp, "write " + std::to_string(offset) + " " +
                std::string(static_cast<const char*>(buffer), static_cast<size_t>(len)));
  if (strstr(stream->url, "cancel") != NULL) {
    // The browser's stream to the plug-in is none the plug-in may write to.
    tell(npp, "write back " + std::to_string(npn->write(npp, stream, len, buffer)));
    npn->destroystream(npp, stream, NPRES_USER_BREAK);
  }
  return len;
}

NPError destroyStream(NPP npp, NPStream*, NPReason reason) {
  tell(npp, "destroystream " + std::to_string(reason));
  return NPERR_NO_ERROR;
}

void urlNotify(NPP npp, const char* url, NPReason reason, void* notifyData) {
  tell(npp, std::string("urlnotify ") + url + " " + std::to_string(reason) + " " +
                std::to_string(reinterpret_cast<intptr_t>(notifyData)));
}

}  // namespace

extern "C" {

NPError OSCALL NP_GetEntryPoints(NPPluginFuncs* funcs) {
  if (funcs == NULL) return NPERR_INVALID_FUNCTABLE_ERROR;
  funcs->version = (NP_VERSION_MAJOR << 8) | NP_VERSION_MINOR;
  funcs->newp = newInstance;
  funcs->destroy = destroyInstance;
  funcs->setwindow = setWindow;
  funcs->getvalue = getValue;
  funcs->newstream = newStream;
  funcs->asfile = streamAsFile;
  funcs->writeready = writeReady;
  funcs->write = writeStream;
  funcs->destroystream = destroyStream;
  funcs->urlnotify = urlNotify;
  return NPERR_NO_ERROR;
}

NPError OSCALL NP_Initialize(NPNetscapeFuncs* funcs) {
  if (funcs == NULL) return NPERR_INVALID_FUNCTABLE_ERROR;
  npn = funcs;
  return NPERR_NO_ERROR;
}

NPError OSCALL NP_Shutdown() {
  npn = NULL;
  return NPERR_NO_ERROR;
}

}  // extern "C"
