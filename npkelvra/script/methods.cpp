// The eighteen script methods, in four families: integer results (the launcher's
// HRESULT), flag queries, text queries and the key-value lookup. Each family runs one
// path; the per-method differences are the rows of its table.
#include "script/methods.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/browser.h"
#include "base/registry.h"
#include "diag/ProxyState.h"
#include "launcher/launcher.h"

namespace {

const char kLauncherNotFound[] = "ERROR: Launcher not found";
const char kCopyFailed[] = "ERROR: out of memory";

// An argument count for methods that look neither at the count nor at the arguments.
const int kArgumentsIgnored = -1;

// The object's address as the entry lines show it ("0x%8.8x").
unsigned int addressOf(const NPObject* object) {
  return static_cast<unsigned int>(reinterpret_cast<uintptr_t>(object));
}

// The launcher of the object called, with a reference of its own for the length of
// one script call: a launcher method that lets the browser run NPP_Destroy meanwhile
// (a dialog, an outgoing call) must not lose its object under its own feet.
class CallLauncher {
public:
  explicit CallLauncher(NPObject* object) : launcher_(findLauncherByObject(object)) {}
  ~CallLauncher() {
    if (launcher_ != NULL) launcher_->Release();
  }
  CallLauncher(const CallLauncher&) = delete;
  CallLauncher& operator=(const CallLauncher&) = delete;

  IKelvraLauncher* get() const { return launcher_; }

private:
  IKelvraLauncher* launcher_;
};

// An authentication ticket as the log shows it: at most its first four bytes and its
// length ("tkt-... (11 bytes)"). A ticket of four bytes or fewer shows none of its
// bytes ("... (4 bytes)"), so that no ticket is ever written whole.
class LoggedTicket {
public:
  explicit LoggedTicket(const char* ticket) {
    const size_t length = strlen(ticket);
    const int shown = length > kShownBytes ? static_cast<int>(kShownBytes) : 0;
    snprintf(text_, sizeof text_, "%.*s... (%lu bytes)", shown, ticket,
             static_cast<unsigned long>(length));
  }
  const char* text() const { return text_; }

private:
  static const size_t kShownBytes = 4;
  char text_[kShownBytes + 32];
};

// A script string copied into a zero-filled block of its byte length + 1: a NUL
// inside the string ends the text for the log and the launcher alike.
class ArgumentText {
public:
  ArgumentText() : text_(NULL) {}
  ~ArgumentText() { free(text_); }
  ArgumentText(const ArgumentText&) = delete;
  ArgumentText& operator=(const ArgumentText&) = delete;

  bool copy(const NPString& source) {
    size_t length = source.UTF8Length;
    if (length == SIZE_MAX || (source.UTF8Characters == NULL && length != 0)) return false;
    text_ = static_cast<char*>(calloc(length + 1, 1));
    if (text_ == NULL) return false;
    if (length != 0) memcpy(text_, source.UTF8Characters, length);
    return true;
  }
  const char* text() const { return text_; }

private:
  char* text_;
};

// How many arguments a method takes, of which type, and what it logs when they are wrong.
struct ArgumentRule {
  int count;  // kArgumentsIgnored, or the exact count
  NPVariantType type;  // of every argument
  const char* countLine;  // NULL: a wrong count is not logged
  const char* typeLines[2];  // per argument
};

// Count first, then the types from the first argument on; logs the first failure.
// Arguments counted but not passed (NULL) fail as the first argument's type.
bool argumentsValid(const ArgumentRule& rule, const NPVariant* args, uint32_t argCount) {
  if (rule.count == kArgumentsIgnored) return true;
  if (argCount != static_cast<uint32_t>(rule.count)) {
    if (rule.countLine != NULL) proxyState.logMessage("%s", rule.countLine);
    return false;
  }
  for (int i = 0; i < rule.count; ++i) {
    if (args == NULL || args[i].type != rule.type) {
      proxyState.logMessage("%s", rule.typeLines[i]);
      return false;
    }
  }
  return true;
}

// Copies the string arguments a valid call carries (at most two).
bool copyTexts(const ArgumentRule& rule, const NPVariant* args, ArgumentText (&copies)[2]) {
  if (rule.type != NPVariantType_String) return true;
  for (int i = 0; i < rule.count; ++i) {
    if (!copies[i].copy(NPVARIANT_TO_STRING(args[i]))) {
      proxyState.logMessage("%s", kCopyFailed);
      return false;
    }
  }
  return true;
}

// A string result in a block from the browser, which owns it from then on. Without
// a block the result is the integer -1.
bool setStringResult(const char* method, const char* text, NPVariant* result) {
  size_t length = strlen(text);
  char* block = static_cast<char*>(npnfuncs->memalloc(static_cast<uint32_t>(length + 1)));
  if (block == NULL) {
    proxyState.logMessage("%s npnfuncs->memalloc(%u) = NULL", method,
                          static_cast<unsigned int>(length + 1));
    INT32_TO_NPVARIANT(-1, *result);
    return false;
  }
  memcpy(block, text, length + 1);
  STRINGN_TO_NPVARIANT(block, length, *result);
  return true;
}

// Methods whose result is the launcher's HRESULT, or -1 when a check fails.
struct IntegerMethod {
  const char* entryLine;  // formatted with the object's address where it shows one
  bool reportsMissingLauncher;  // "ERROR: Launcher not found" and the closing line
  ArgumentRule arguments;
  const char* callLine;  // before the call, with the ticket as logged and the second copy
  const char* failureLine;  // after a call that did not answer S_OK
  const char* closingLine;  // with the result
  // Exactly one adapter is set; its shape matches the argument rule.
  HRESULT (*call)(IKelvraLauncher*);
  HRESULT (*callText)(IKelvraLauncher*, const char*);
  HRESULT (*callTexts)(IKelvraLauncher*, const char*, const char*);
  HRESULT (*callFlag)(IKelvraLauncher*, unsigned char);
};

HRESULT callAdapter(const IntegerMethod& method, IKelvraLauncher* launcher,
                    const NPVariant* args, const ArgumentText (&copies)[2]) {
  if (method.callText != NULL) return method.callText(launcher, copies[0].text());
  if (method.callTexts != NULL) return method.callTexts(launcher, copies[0].text(), copies[1].text());
  if (method.callFlag != NULL) {
    // The boolean goes on as the one byte the browser stored.
    unsigned char raw;
    memcpy(&raw, &args[0].value.boolValue, 1);
    return method.callFlag(launcher, raw);
  }
  return method.call(launcher);
}

bool runIntegerMethod(const IntegerMethod& method, NPObject* object, const NPVariant* args,
                      uint32_t argCount, NPVariant* result) {
  if (method.entryLine != NULL) proxyState.logMessage(method.entryLine, addressOf(object));
  CallLauncher launcher(object);
  INT32_TO_NPVARIANT(-1, *result);
  if (launcher.get() == NULL) {
    if (method.reportsMissingLauncher) {
      proxyState.logMessage("%s", kLauncherNotFound);
      if (method.closingLine != NULL) proxyState.logMessage(method.closingLine, -1);
    }
    return true;
  }
  if (!argumentsValid(method.arguments, args, argCount)) return true;
  ArgumentText copies[2];
  if (!copyTexts(method.arguments, args, copies)) return true;
  if (method.callLine != NULL) {
    proxyState.logMessage(method.callLine, LoggedTicket(copies[0].text()).text(), copies[1].text());
  }
  HRESULT hr = callAdapter(method, launcher.get(), args, copies);
  result->value.intValue = static_cast<int32_t>(hr);
  if (method.failureLine != NULL && hr != S_OK) proxyState.logMessage(method.failureLine, static_cast<int>(hr));
  if (method.closingLine != NULL) proxyState.logMessage(method.closingLine, static_cast<int>(hr));
  return true;
}

const NPVariantType kNone = NPVariantType_Void;
const NPVariantType kString = NPVariantType_String;
const NPVariantType kBool = NPVariantType_Bool;

const IntegerMethod kStartGame = {
    "invokeKelvraAdapterStartGame 0x%8.8x", true,
    {2, kString, "KelvraAdapterStartGame argCount!=2",
     {"KelvraAdapterStartGame Bad arguments type : MUST BE String",
      "KelvraAdapterStartGame Bad arguments type : MUST BE String"}},
    "KelvraAdapterStartGame Auth = %s, Script = %s", NULL, "KelvraAdapterStartGame result=%d",
    NULL, NULL, KelvraAdapterStartGame, NULL};

const IntegerMethod kPutAuthenticationTicket = {
    "invokeKelvraAdapterPut_AuthenticationTicket 0x%8.8x", true,
    {1, kString, "KelvraAdapterPut_AuthenticationTicket argCount!=1",
     {"KelvraAdapterPut_AuthenticationTicket Bad arguments type : MUST BE String", NULL}},
    "KelvraAdapterPut_AuthenticationTicket Ticket = %s", NULL,
    "KelvraAdapterPut_AuthenticationTicket result=%d",
    NULL, KelvraAdapterPut_AuthenticationTicket, NULL, NULL};

const IntegerMethod kPreStartGame = {
    "invokeKelvraAdapterPreStartGame 0x%8.8x", true,
    {0, kNone, "KelvraAdapterPreStartGame argCount!=0", {NULL, NULL}},
    NULL, NULL, "KelvraAdapterPreStartGame result=%d",
    KelvraAdapterPreStartGame, NULL, NULL, NULL};

const IntegerMethod kSetSilentModeEnabled = {
    NULL, true,
    {1, kBool, "KelvraAdapterGet_SetSilentModeEnabled argCount!=1",
     {"KelvraAdapterGet_SetSilentModeEnabled Bad arguments type : MUST be BOOL", NULL}},
    NULL, NULL, NULL,
    NULL, NULL, NULL, KelvraAdapterGet_SetSilentModeEnabled};

const IntegerMethod kSetStartInHiddenMode = {
    "invokeKelvraAdapterGet_SetStartInHiddenMode 0x%8.8x", true,
    {1, kBool, "KelvraAdapterGet_SetStartInHiddenMode argCount!=1",
     {"KelvraAdapterGet_SetStartInHiddenMode Bad arguments type : MUST be BOOL", NULL}},
    NULL, NULL, "invokeKelvraAdapterGet_SetStartInHiddenMode result=%d",
    NULL, NULL, NULL, KelvraAdapterGet_SetStartInHiddenMode};

const IntegerMethod kUnhideApp = {
    "invokeKelvraAdapterGet_UnhideApp 0x%8.8x", true,
    {0, kNone, "invokeKelvraAdapterGet_UnhideApp argCount!=0", {NULL, NULL}},
    NULL, NULL, "invokeKelvraAdapterGet_UnhideApp result=%d",
    KelvraAdapterGet_UnhideApp, NULL, NULL, NULL};

const IntegerMethod kBringAppToFront = {
    "invokeKelvraAdapterBringAppToFront 0x%8.8x", true,
    {0, kNone, "invokeKelvraAdapterBringAppToFront argCount!=0", {NULL, NULL}},
    NULL, NULL, "invokeKelvraAdapterBringAppToFront result=%d",
    KelvraAdapterBringAppToFront, NULL, NULL, NULL};

const IntegerMethod kResetLaunchState = {
    "invokeKelvraAdapterResetLaunchState 0x%8.8x", true,
    {0, kNone, NULL, {NULL, NULL}},
    NULL, NULL, NULL,
    KelvraAdapterResetLaunchState, NULL, NULL, NULL};

const IntegerMethod kSetEditMode = {
    "invokeKelvraAdapterSetEditMode 0x%8.8x", true,
    {0, kNone, "invokeKelvraAdapterSetEditMode argCount!=0", {NULL, NULL}},
    NULL, NULL, "invokeKelvraAdapterSetEditMode result=%d",
    KelvraAdapterSetEditMode, NULL, NULL, NULL};

const IntegerMethod kHelloWorld = {
    "invokeKelvraAdapterHelloWorld 0x%8.8x", true,
    {kArgumentsIgnored, kNone, NULL, {NULL, NULL}},
    NULL, NULL, "NPKelvraProxy: KelvraAdapterHelloWorld result = %d",
    KelvraAdapterHelloWorld, NULL, NULL, NULL};

const IntegerMethod kUpdate = {
    "invokeKelvraAdapterUpdate 0x%8.8x", true,
    {kArgumentsIgnored, kNone, NULL, {NULL, NULL}},
    NULL, NULL, NULL,
    KelvraAdapterUpdate, NULL, NULL, NULL};

// The key-value setters: no address in the entry line, silent about a missing
// launcher, and a line only when the launcher does not answer S_OK.
const IntegerMethod kSetKeyValue = {
    "invokeKelvraAdapterSetKeyValue", false,
    {2, kString, "invokeKelvraAdapterSetKeyValue argCount != 2",
     {"invokeKelvraAdapterSetKeyValue arg[0] : must be string",
      "invokeKelvraAdapterSetKeyValue arg[1] : must be string"}},
    NULL, "KelvraAdapterSetKeyValue returned %d", NULL,
    NULL, NULL, KelvraAdapterSetKeyValue, NULL};

const IntegerMethod kDeleteKeyValue = {
    "invokeKelvraAdapterDeleteKeyValue", false,
    {1, kString, "invokeKelvraAdapterDeleteKeyValue argCount != 1",
     {"invokeKelvraAdapterDeleteKeyValue arg[0] : must be string", NULL}},
    NULL, "KelvraAdapterDeleteKeyValue returned %d", NULL,
    NULL, KelvraAdapterDeleteKeyValue, NULL, NULL};

// Flag queries: any arguments, ignored; the HRESULT reaches only the log.
struct FlagMethod {
  const char* entryLine;
  const char* hresultLine;
  const char* closingLine;
  HRESULT (*query)(IKelvraLauncher*, bool*);
};

bool runFlagMethod(const FlagMethod& method, NPObject* object, NPVariant* result) {
  proxyState.logMessage(method.entryLine, addressOf(object));
  CallLauncher launcher(object);
  bool flag = false;
  if (launcher.get() == NULL) {
    proxyState.logMessage("%s", kLauncherNotFound);
  } else {
    HRESULT hr = method.query(launcher.get(), &flag);
    proxyState.logMessage(method.hresultLine, static_cast<int>(hr));
  }
  BOOLEAN_TO_NPVARIANT(flag, *result);
  proxyState.logMessage(method.closingLine, flag ? 1 : 0);
  return true;
}

const FlagMethod kIsGameStarted = {
    "invokeKelvraAdapterGet_IsGameStarted 0x%8.8x", "KelvraAdapterGet_IsGameStarted HRESULT = %d",
    "invokeKelvraAdapterGet_IsGameStarted result=%d", KelvraAdapterGet_IsGameStarted};

const FlagMethod kIsUpToDate = {
    "invokeKelvraAdapterGet_IsUpToDate 0x%8.8x", "KelvraAdapterGet_IsUpToDate HRESULT = %d",
    "invokeKelvraAdapterGet_IsUpToDate result=%d", KelvraAdapterGet_IsUpToDate};

// Text queries: any arguments, ignored; the result is the launcher's text, or the
// adapter's error text when the call failed.
struct TextMethod {
  const char* name;
  const char* entryLine;
  const char* callLine;  // NULL: nothing logged after the call
  const char* closingLine;  // with the HRESULT (-1 without a launcher), size and text
  HRESULT (*query)(IKelvraLauncher*, char*, size_t);
};

bool runTextMethod(const TextMethod& method, NPObject* object, NPVariant* result) {
  char ssMess[kLauncherTextSize] = {0};
  size_t size = strlen(ssMess) + 1;
  proxyState.logMessage(method.entryLine, addressOf(object));
  CallLauncher launcher(object);
  int logged = -1;
  if (launcher.get() == NULL) {
    proxyState.logMessage("%s", kLauncherNotFound);
    INT32_TO_NPVARIANT(-1, *result);
  } else {
    HRESULT hr = method.query(launcher.get(), ssMess, sizeof ssMess);
    if (method.callLine != NULL) proxyState.logMessage(method.callLine, static_cast<int>(hr));
    size = strlen(ssMess) + 1;
    if (setStringResult(method.name, ssMess, result)) logged = static_cast<int>(hr);
  }
  proxyState.logMessage(method.closingLine, logged, static_cast<int>(size), ssMess);
  return true;
}

const TextMethod kHello = {
    "KelvraAdapterHello", "invokeKelvraAdapterHello 0x%8.8x", "IKelvraLauncher->Hello() result %d",
    "KelvraAdapterHello result=%d size=%d ssMess=%s", KelvraAdapterHello};

const TextMethod kInstallHost = {
    "KelvraAdapterGet_InstallHost", "invokeKelvraAdapterGet_InstallHost 0x%8.8x", NULL,
    "KelvraAdapterGet_InstallHost result=%d size=%d ssMess=%s", KelvraAdapterGet_InstallHost};

const ArgumentRule kKeyArgument = {
    1, kString, "invokeKelvraAdapterGetKeyValue argCount != 1",
    {"invokeKelvraAdapterGetKeyValue arg[0] : must be string", NULL}};

}  // namespace

KELVRA_HANDLER(invokeKelvraAdapterGetKeyValue) {
  proxyState.logMessage("invokeKelvraAdapterGetKeyValue");
  CallLauncher launcher(object);
  INT32_TO_NPVARIANT(-1, *result);
  if (launcher.get() == NULL || !argumentsValid(kKeyArgument, args, argCount)) return true;
  ArgumentText key[2];
  if (!copyTexts(kKeyArgument, args, key)) return true;
  proxyState.logMessage("invokeKelvraAdapterGetKeyValue key = %s len = %d", key[0].text(),
                        static_cast<int>(NPVARIANT_TO_STRING(args[0]).UTF8Length));
  char ssMess[kLauncherTextSize] = {0};
  HRESULT hr = KelvraAdapterGetKeyValue(launcher.get(), key[0].text(), ssMess, sizeof ssMess);
  if (FAILED(hr)) {
    proxyState.logMessage("invokeKelvraAdapterGetKeyValue failed error = %d", static_cast<int>(hr));
    return true;
  }
  proxyState.logMessage("invokeKelvraAdapterGetKeyValue value = %s len = %d", ssMess,
                        static_cast<int>(strlen(ssMess)));
  setStringResult("invokeKelvraAdapterGetKeyValue", ssMess, result);
  return true;
}

KELVRA_HANDLER(invokeKelvraAdapterHelloWorld) {
  return runIntegerMethod(kHelloWorld, object, args, argCount, result);
}
KELVRA_HANDLER(invokeKelvraAdapterStartGame) {
  return runIntegerMethod(kStartGame, object, args, argCount, result);
}
KELVRA_HANDLER(invokeKelvraAdapterUpdate) {
  return runIntegerMethod(kUpdate, object, args, argCount, result);
}
KELVRA_HANDLER(invokeKelvraAdapterPut_AuthenticationTicket) {
  return runIntegerMethod(kPutAuthenticationTicket, object, args, argCount, result);
}
KELVRA_HANDLER(invokeKelvraAdapterGet_SetSilentModeEnabled) {
  return runIntegerMethod(kSetSilentModeEnabled, object, args, argCount, result);
}
KELVRA_HANDLER(invokeKelvraAdapterGet_SetStartInHiddenMode) {
  return runIntegerMethod(kSetStartInHiddenMode, object, args, argCount, result);
}
KELVRA_HANDLER(invokeKelvraAdapterGet_UnhideApp) {
  return runIntegerMethod(kUnhideApp, object, args, argCount, result);
}
KELVRA_HANDLER(invokeKelvraAdapterDeleteKeyValue) {
  return runIntegerMethod(kDeleteKeyValue, object, args, argCount, result);
}
KELVRA_HANDLER(invokeKelvraAdapterPreStartGame) {
  return runIntegerMethod(kPreStartGame, object, args, argCount, result);
}
KELVRA_HANDLER(invokeKelvraAdapterSetKeyValue) {
  return runIntegerMethod(kSetKeyValue, object, args, argCount, result);
}
KELVRA_HANDLER(invokeKelvraAdapterBringAppToFront) {
  return runIntegerMethod(kBringAppToFront, object, args, argCount, result);
}
KELVRA_HANDLER(invokeKelvraAdapterResetLaunchState) {
  return runIntegerMethod(kResetLaunchState, object, args, argCount, result);
}
KELVRA_HANDLER(invokeKelvraAdapterSetEditMode) {
  return runIntegerMethod(kSetEditMode, object, args, argCount, result);
}

KELVRA_HANDLER(invokeKelvraAdapterGet_IsGameStarted) {
  (void)args;
  (void)argCount;
  return runFlagMethod(kIsGameStarted, object, result);
}
KELVRA_HANDLER(invokeKelvraAdapterGet_IsUpToDate) {
  (void)args;
  (void)argCount;
  return runFlagMethod(kIsUpToDate, object, result);
}
KELVRA_HANDLER(invokeKelvraAdapterHello) {
  (void)args;
  (void)argCount;
  return runTextMethod(kHello, object, result);
}
KELVRA_HANDLER(invokeKelvraAdapterGet_InstallHost) {
  (void)args;
  (void)argCount;
  return runTextMethod(kInstallHost, object, result);
}
