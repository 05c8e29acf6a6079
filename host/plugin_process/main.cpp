/*
 * kelvra_plugin_process: the plug-in's own process, as Firefox 52 ran every NPAPI
 * plug-in in plugin-container.exe. The page host (host/jsdom) starts it under Wine
 * with the run's command line and two pipes as its standard input and output; it
 * checks the command line, makes the registrations asked for, finds the plug-in and
 * tells the page what the run is (the hello), then serves the page's requests: the
 * plug-in loaded, its instances made and destroyed, calls on its objects. For the
 * plug-in it is the browser: the services table with its accounting, the watchdog
 * and fault handlers, the launcher served for the run, the plug-in's log shown
 * under the page's lines. Its reports go to standard error, which it shares with
 * the page; the round trips are synchronous, so the two never write at once.
 */
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <shellapi.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bridge.h"
#include "browser_side.h"
#include "channel.h"
#include "launcher_server.h"
#include "log_follow.h"
#include "npbrowser.h"
#include "page_loop.h"
#include "options.h"
#include "plugin_discovery.h"
#include "plugin_guard.h"
#include "plugin_loader.h"
#include "run_setup.h"

namespace {

const wchar_t kLogPattern[] = L"KLV-*.log";
// Firefox's plug-in frame when the element names no size.
const uint32_t kDefaultWidth = 240;
const uint32_t kDefaultHeight = 200;

const char kNotConverted[] = "Error converting parameters";
const char kCallFailed[] = "Error calling method on NPObject!";
const char kBadObject[] = "Bad NPObject as private data!";

// How an answer says the call threw: nothing, the plug-in's exception (a string, as
// Firefox throws it) or an error of the browser's with this text.
enum Thrown : uint8_t { kThrewNothing = 0, kThrewPluginText = 1, kThrewError = 2 };

struct Instance {
  uint32_t number;
  NPP_t npp;
  HWND window = NULL;
  NPObject* windowObject = NULL;   // the page's window, as NPNVWindowNPObject lends it
  NPObject* elementObject = NULL;  // the embedding's element
};

struct Process {
  host::Options options;
  host::Channel* page = NULL;
  host::LogFollower* log = NULL;
  LoadedPlugin plugin = {NULL, NULL, NULL, NULL, NULL};
  NPPluginFuncs funcs;
  NPError started = NPERR_GENERIC_ERROR;
  bool tried = false;
  std::map<uint32_t, std::unique_ptr<Instance>> instances;
  HWND topWindow = NULL;
  host::LauncherServer launcher = {NULL, NULL, 0};
  browser::Counts before;
  std::set<std::wstring> earlierLogs;
  std::wstring temp;
  int exitCode = host::kExitOk;
};

Process process;

std::wstring temporaryDirectory() {
  wchar_t path[MAX_PATH];
  DWORD length = GetTempPathW(MAX_PATH, path);
  return length > 0 && length < MAX_PATH ? std::wstring(path, length) : std::wstring();
}

// The plug-in's log so far, under what was shown before.
void step() {
  fflush(stderr);
  if (process.log != NULL) process.log->drain();
}

Instance* instanceOf(NPP npp) {
  for (auto& entry : process.instances) {
    if (&entry.second->npp == npp) return entry.second.get();
  }
  return NULL;
}

// --- The page, as the browser's services reach it ------------------------------

NPObject* askPageObject(uint8_t op, Instance* instance) {
  wire::Writer request(wire::kRequest, op);
  request.u32(instance->number);
  NPVariant value;
  if (!host::askPage(request, &instance->npp, &value)) return NULL;
  if (NPVARIANT_IS_OBJECT(value)) return NPVARIANT_TO_OBJECT(value);
  browser::releaseValue(&value);
  return NULL;
}

// The page's window or element as the instance borrows it: asked for once and kept
// until NPP_Destroy.
NPObject* lent(NPP npp, NPObject* Instance::*slot, uint8_t op) {
  Instance* instance = instanceOf(npp);
  if (instance == NULL) return NULL;
  if (instance->*slot == NULL) instance->*slot = askPageObject(op, instance);
  return instance->*slot;
}

NPObject* pageWindow(NPP npp) { return lent(npp, &Instance::windowObject, wire::kToPageWindow); }
NPObject* pageElement(NPP npp) { return lent(npp, &Instance::elementObject, wire::kToPageElement); }

void* pageNativeWindow(NPP) { return process.topWindow; }

bool pageEvaluate(NPP npp, NPObject*, const NPString* script, NPVariant* result) {
  Instance* instance = instanceOf(npp);
  if (instance == NULL) return false;
  wire::Writer request(wire::kRequest, wire::kToPageEvaluate);
  request.u32(instance->number);
  request.text(std::string(script->UTF8Characters != NULL ? script->UTF8Characters : "",
                           script->UTF8Length));
  request.u8(0);  // its value as it is
  return host::askPage(request, npp, result);
}

// A stream the plug-in writes into a window of one of the page's instances: kept, as
// the page has no window to load it into.
NPError pageNewStream(NPP npp, NPMIMEType type, const char* target, NPStream** stream) {
  if (instanceOf(npp) == NULL) return NPERR_INVALID_INSTANCE_ERROR;
  return host::newPluginStream(npp, type, target, stream);
}

// A javascript: URL the plug-in asked for, run in the page: its value as text.
bool evaluateUrl(const std::string& code, std::string* result, bool* defined) {
  *defined = false;
  if (process.instances.empty()) return false;
  Instance* instance = process.instances.begin()->second.get();
  wire::Writer request(wire::kRequest, wire::kToPageEvaluate);
  request.u32(instance->number);
  request.text(code);
  request.u8(1);  // as text
  NPVariant value;
  if (!host::askPage(request, &instance->npp, &value)) return false;
  *defined = NPVARIANT_IS_STRING(value);
  if (*defined) {
    *result = std::string(value.value.stringValue.UTF8Characters, value.value.stringValue.UTF8Length);
  }
  browser::releaseValue(&value);
  return true;
}

const browser::Embedder kEmbedder = {pageWindow,          pageElement,
                                     pageNativeWindow,    pageEvaluate,
                                     host::schedulePluginTimer, host::unschedulePluginTimer,
                                     host::postAsyncCall, host::requestUrl,
                                     pageNewStream,       host::writePluginStream,
                                     host::destroyStream};

// --- What the page asks -----------------------------------------------------------

// The plug-in, the first time the page needs it: loaded and initialised as Firefox
// does at its first instance. Answers 0, or the run's exit code when it cannot serve.
int startPlugin() {
  const host::PageRun& run = process.options.run;
  if (process.tried) return process.started == NPERR_NO_ERROR ? 0 : host::kExitPluginRefused;
  process.tried = true;
  if (!loadPlugin(run.pluginPath, &process.plugin)) {
    fprintf(stderr, "host: REFUSED: %s cannot be loaded as an NPAPI plug-in\n",
            narrow(run.pluginPath).c_str());
    return host::kExitPluginRefused;
  }
  fprintf(stderr, "host: loaded %s\n", narrow(run.pluginPath).c_str());
  {
    host::PluginCall call("NP_GetEntryPoints, NP_Initialize");
    process.started = startPlugin(process.plugin, browser::functions(), &process.funcs);
  }
  fprintf(stderr, "host: NP_GetEntryPoints, NP_Initialize -> %d\n", process.started);
  if (process.started == NPERR_NO_ERROR &&
      (process.funcs.newp == NULL || process.funcs.destroy == NULL)) {
    fprintf(stderr, "host: REFUSED: the plug-in offers no NPP_New/NPP_Destroy\n");
    process.started = NPERR_INVALID_FUNCTABLE_ERROR;
  }
  if (process.started != NPERR_NO_ERROR) return host::kExitPluginRefused;
  fprintf(stderr, "host: page %s (location.host %s)\n", run.url.c_str(),
          host::locationOf(run.url).host.c_str());
  return 0;
}

// The embedding's attributes as NPP_New receives them (an <object>'s <param>s
// after a "PARAM" entry without value, as the page sends them).
struct Arguments {
  std::vector<std::string> names, values;
  std::vector<char*> argn, argv;
  std::vector<bool> hasValue;

  explicit Arguments(wire::Reader& in) {
    uint32_t count = in.u32();
    for (uint32_t i = 0; i < count && in.ok(); ++i) {
      names.push_back(in.text());
      hasValue.push_back(in.u8() != 0);
      values.push_back(in.text());
    }
    for (size_t i = 0; i < names.size(); ++i) {
      argn.push_back(&names[i][0]);
      argv.push_back(hasValue[i] ? &values[i][0] : NULL);
    }
  }
};

// NPP_New for an embedding, its window of the element's size and its scriptable
// object.
void newInstance(wire::Reader& in, wire::Writer& answer) {
  uint32_t number = in.u32();
  std::string mimeType = in.text();
  std::string name = in.text();
  Arguments arguments(in);
  uint32_t width = in.u32(), height = in.u32();
  bool source = in.u8() != 0;
  std::string sourceUrl = in.text();
  std::string sourceFile = in.text();
  std::unique_ptr<Instance> owned(new Instance());
  Instance* instance = owned.get();
  instance->number = number;
  memset(&instance->npp, 0, sizeof instance->npp);
  process.instances[number] = std::move(owned);
  const NPPluginFuncs& funcs = process.funcs;
  NPError created;
  {
    host::PluginCall call("NPP_New");
    created = funcs.newp(&mimeType[0], &instance->npp, NP_EMBED,
                         static_cast<int16_t>(arguments.argn.size()),
                         arguments.argn.empty() ? NULL : &arguments.argn[0],
                         arguments.argv.empty() ? NULL : &arguments.argv[0], NULL);
  }
  fprintf(stderr, "host: NPP_New(%s) -> %d\n", mimeType.c_str(), created);
  answer.i32(created);
  if (created != NPERR_NO_ERROR) {
    process.instances.erase(number);
    answer.i32(NPERR_GENERIC_ERROR);
    answer.u8(wire::kTagNull);
    step();
    return;
  }
  if (width == 0) width = kDefaultWidth;
  if (height == 0) height = kDefaultHeight;
  instance->window = host::setPluginWindow(funcs, &instance->npp, width, height, stderr);
  // Its src (an <object>'s data), streamed before any stream the plug-in asks for.
  if (source) {
    host::requestSource(&instance->npp, sourceUrl,
                        sourceFile.empty() ? std::wstring() : host::systemPath(widen(sourceFile)));
  }
  NPObject* scriptable = NULL;
  NPError error = NPERR_GENERIC_ERROR;
  if (funcs.getvalue != NULL) {
    host::PluginCall call("NPP_GetValue(NPPVpluginScriptableNPObject)");
    error = funcs.getvalue(&instance->npp, NPPVpluginScriptableNPObject, &scriptable);
  }
  if (error != NPERR_NO_ERROR) scriptable = NULL;
  answer.i32(error);
  if (scriptable != NULL) {
    fprintf(stderr, "host: NPP_GetValue(scriptable object) -> 0: %s is scriptable\n", name.c_str());
    NPVariant value;
    OBJECT_TO_NPVARIANT(scriptable, value);
    host::writeValue(answer, &instance->npp, value);
    browser::release(scriptable);  // the export holds its own reference
  } else {
    fprintf(stderr,
            "host: NPP_GetValue(scriptable object) -> %d: %s has no scriptable object, it is "
            "null for script\n",
            error, name.c_str());
    answer.u8(wire::kTagNull);
  }
  step();
}

// NPP_Destroy with the page still there; then, as in Firefox, the instance's objects
// are invalidated and released and what it borrowed of the page goes back.
void destroyInstance(wire::Reader& in, wire::Writer& answer) {
  auto found = process.instances.find(in.u32());
  if (found == process.instances.end()) {
    answer.i32(NPERR_INVALID_INSTANCE_ERROR);
    return;
  }
  Instance* instance = found->second.get();
  host::stopLoop(&instance->npp);  // its streams end, its timers stop
  NPError destroyed;
  {
    host::PluginCall call("NPP_Destroy");
    destroyed = process.funcs.destroy(&instance->npp, NULL);
  }
  fprintf(stderr, "host: NPP_Destroy -> %d\n", destroyed);
  host::forgetExports(&instance->npp);
  host::stopLoop(&instance->npp);          // what the plug-in asked for meanwhile
  host::endPluginStreams(&instance->npp);  // what NPP_Destroy left open
  if (instance->windowObject != NULL) browser::release(instance->windowObject);
  if (instance->elementObject != NULL) browser::release(instance->elementObject);
  if (instance->window != NULL) DestroyWindow(instance->window);
  process.instances.erase(found);
  answer.i32(destroyed);
  step();
}

void writeThrown(wire::Writer& answer, uint8_t kind, const std::string& text) {
  answer.u8(kind);
  answer.text(text);
}

// The plug-in's exception, if it set one during the call; else, for a call that
// failed, the browser's error `failure` (none when NULL).
void writeOutcome(wire::Writer& answer, const char* failure) {
  std::string message;
  if (browser::takeException(&message)) {
    writeThrown(answer, kThrewPluginText, message);
  } else if (failure != NULL) {
    writeThrown(answer, kThrewError, failure);
  } else {
    writeThrown(answer, kThrewNothing, std::string());
  }
}

// A call of the object's class, as Firefox's CallNPMethodInternal makes it.
void callObject(uint8_t op, NPObject* object, NPP npp, wire::Reader& in, wire::Writer& answer) {
  NPIdentifier name = op == wire::kToPluginInvoke ? host::readIdentifier(in) : NULL;
  uint32_t count = in.u32();
  std::vector<NPVariant> args;
  for (uint32_t i = 0; i < count && in.ok(); ++i) {
    NPVariant value;
    host::readValue(in, npp, &value);
    args.push_back(value);
  }
  NPClass* objectClass = object->_class;
  NPVariant result;
  VOID_TO_NPVARIANT(result);
  bool ok = false;
  const char* failure = kCallFailed;
  std::string stale;
  browser::takeException(&stale);  // only what this call sets counts
  const NPVariant* data = args.empty() ? NULL : &args[0];
  uint32_t n = static_cast<uint32_t>(args.size());
  if (!in.ok()) {
    failure = kNotConverted;
  } else if (op == wire::kToPluginConstruct) {
    host::PluginCall call("NPClass.construct");
    ok = objectClass->construct != NULL && objectClass->construct(object, data, n, &result);
    if (objectClass->construct == NULL) {
      failure = "Attempt to construct object from class with no constructor.";
    }
  } else if (op == wire::kToPluginInvokeDefault) {
    host::PluginCall call("NPClass.invokeDefault");
    ok = objectClass->invokeDefault != NULL &&
         objectClass->invokeDefault(object, data, n, &result);
    if (objectClass->invokeDefault == NULL) {
      failure = "Attempt to call a default method on object with no invokeDefault method.";
    }
  } else {
    NPUTF8* text = browser::functions()->utf8fromidentifier(name);
    std::string what = std::string("NPClass.invoke(") + (text != NULL ? text : "") + ")";
    browser::functions()->memfree(text);
    host::PluginCall call(what.c_str());
    ok = objectClass->invoke != NULL && objectClass->invoke(object, name, data, n, &result);
    if (objectClass->invoke == NULL) failure = "Attempt to call a method on object with no invoke method.";
  }
  for (NPVariant& value : args) browser::releaseValue(&value);
  answer.u8(ok ? 1 : 0);
  // Whatever the plug-in may have stored in a failed call is not its result.
  if (ok) host::writeValue(answer, npp, result);
  host::releaseAfterAnswer(result);
  writeOutcome(answer, ok ? NULL : failure);
}

void propertyCall(uint8_t op, NPObject* object, NPP npp, wire::Reader& in, wire::Writer& answer) {
  NPClass* c = object->_class;
  std::string stale;
  browser::takeException(&stale);
  if (op == wire::kToPluginEnumerate) {
    NPIdentifier* names = NULL;
    uint32_t count = 0;
    bool ok;
    {
      host::PluginCall call("NPClass.enumerate");
      ok = c->enumerate != NULL &&
           c->enumerate(object, &names, &count);
    }
    answer.u8(ok ? 1 : 0);
    answer.u32(ok ? count : 0);
    for (uint32_t i = 0; ok && i < count; ++i) host::writeIdentifier(answer, names[i]);
    if (names != NULL) browser::functions()->memfree(names);
    writeOutcome(answer, NULL);
    return;
  }
  NPIdentifier name = host::readIdentifier(in);
  bool ok = false;
  NPVariant value;
  VOID_TO_NPVARIANT(value);
  switch (op) {
    case wire::kToPluginHasMethod: {
      host::PluginCall call("NPClass.hasMethod");
      ok = c->hasMethod != NULL && c->hasMethod(object, name);
      break;
    }
    case wire::kToPluginHasProperty: {
      host::PluginCall call("NPClass.hasProperty");
      ok = c->hasProperty != NULL && c->hasProperty(object, name);
      break;
    }
    case wire::kToPluginGetProperty: {
      host::PluginCall call("NPClass.getProperty");
      ok = c->getProperty != NULL && c->getProperty(object, name, &value);
      break;
    }
    case wire::kToPluginSetProperty: {
      NPVariant given;
      host::readValue(in, npp, &given);
      {
        host::PluginCall call("NPClass.setProperty");
        ok = c->setProperty != NULL && c->setProperty(object, name, &given);
      }
      browser::releaseValue(&given);
      break;
    }
    case wire::kToPluginRemoveProperty: {
      host::PluginCall call("NPClass.removeProperty");
      ok = c->removeProperty != NULL && c->removeProperty(object, name);
      break;
    }
    default:
      break;
  }
  answer.u8(ok ? 1 : 0);
  if (op == wire::kToPluginGetProperty) {
    if (ok) {
      host::writeValue(answer, npp, value);
    } else {
      answer.u8(wire::kTagVoid);
    }
    host::releaseAfterAnswer(value);
  }
  writeOutcome(answer, NULL);
}

// What was written to `file` (from tmpfile(); NULL: nothing) goes to the page
// process's standard output, where the program's output belongs, and the file goes.
void postOutput(FILE* file) {
  if (file == NULL) return;
  std::string text;
  char buffer[4096];
  rewind(file);
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  fclose(file);
  if (text.empty()) return;
  wire::Writer output(wire::kOutput);
  output.u8(1);
  output.text(text);
  process.page->post(output);
}

// The plug-in is shut down and unloaded, and the browser's accounting looked at:
// answers the run's exit code as far as the plug-in's side sees it.
int closeRun() {
  for (auto& entry : process.instances) host::forgetExports(&entry.second->npp);
  process.instances.clear();
  if (process.plugin.module != NULL) {
    if (process.started == NPERR_NO_ERROR && process.funcs.size != 0) {
      host::PluginCall call("NP_Shutdown");
      fprintf(stderr, "host: NP_Shutdown -> %d\n", process.plugin.shutdown());
    }
    unloadPlugin(&process.plugin);
    fprintf(stderr, "host: unloaded\n");
    step();
  }
  browser::setEmbedder(NULL);
  if (process.topWindow != NULL) DestroyWindow(process.topWindow);
  browser::Counts after = browser::counts();
  const browser::Counts& before = process.before;
  if (after.statusMessages > before.statusMessages || after.invalidations > before.invalidations) {
    fprintf(stderr, "host: the plug-in's status line (%ld times): \"%s\"; %ld redraws asked for\n",
            after.statusMessages - before.statusMessages, browser::lastStatus().c_str(),
            after.invalidations - before.invalidations);
  }
  bool balanced = host::reportBalance(before, after, stderr);
  if (process.launcher.module != NULL && !host::stopLauncher(&process.launcher)) {
    fprintf(stderr, "host: IMBALANCE: launcher objects still alive (DllCanUnloadNow: S_FALSE)\n");
    balanced = false;
  }
  std::vector<std::wstring> logs = findFiles(temporaryDirectory(), kLogPattern), shown;
  for (const std::wstring& log : logs) {
    if (process.earlierLogs.count(log) != 0) continue;
    shown.push_back(log);
    fprintf(stderr, "host: plug-in log: %s\n", narrow(log).c_str());
  }
  if (process.log != NULL) process.log->stop();
  if (process.options.showLog) {
    FILE* text = tmpfile();
    host::showLogs(shown, text != NULL ? text : stderr);
    postOutput(text);
  }
  return balanced ? host::kExitOk : host::kExitImbalance;
}

void serve(uint8_t op, wire::Reader& in, wire::Writer& answer) {
  switch (op) {
    case wire::kToPluginStart:
      answer.i32(startPlugin());
      step();
      return;
    case wire::kToPluginNew:
      newInstance(in, answer);
      return;
    case wire::kToPluginDestroy:
      destroyInstance(in, answer);
      return;
    case wire::kToPluginRelease: {
      uint32_t number = in.u32();
      host::releaseExport(number, in.u32());
      return;
    }
    case wire::kToPluginDrain:
      step();
      return;
    case wire::kToPluginPump: {
      // The page is between tasks: the plug-in's timers, calls and streams that are due.
      answer.u32(host::runLoopTurn());
      host::LoopCounts counts = host::loopCounts();
      answer.u32(static_cast<uint32_t>(counts.pluginTimersFired));
      answer.u32(static_cast<uint32_t>(counts.asyncCallsRun));
      answer.u32(static_cast<uint32_t>(counts.streamsDelivered));
      answer.u32(static_cast<uint32_t>(counts.urlsRefused));
      return;
    }
    case wire::kToPluginClose:
      process.exitCode = closeRun();
      answer.i32(process.exitCode);
      process.page->stop();
      return;
    default:
      break;
  }
  NPP npp = NULL;
  NPObject* object = host::exportedObject(in.u32(), &npp);
  bool call = op == wire::kToPluginInvoke || op == wire::kToPluginInvokeDefault ||
              op == wire::kToPluginConstruct;
  // An object of an instance that is gone, or a member of a class that cannot be asked
  // for its members (no hasProperty or hasMethod): Firefox's answer.
  if (object == NULL ||
      (!call && (object->_class->hasProperty == NULL || object->_class->hasMethod == NULL))) {
    answer.u8(0);
    if (op == wire::kToPluginGetProperty) answer.u8(wire::kTagVoid);
    if (op == wire::kToPluginEnumerate) answer.u32(0);
    writeThrown(answer, kThrewError, kBadObject);
  } else if (call) {
    callObject(op, object, npp, in, answer);
  } else {
    propertyCall(op, object, npp, in, answer);
  }
}

void writePairs(wire::Writer& out, const std::vector<std::pair<std::string, std::string>>& pairs) {
  out.u32(static_cast<uint32_t>(pairs.size()));
  for (const auto& pair : pairs) {
    out.text(pair.first);
    out.text(pair.second);
  }
}

// What the page needs to know of the run: the page and its address, the embedding
// the options name, the limits, and the plug-in as navigator.plugins lists it.
wire::Writer hello() {
  const host::PageRun& run = process.options.run;
  wire::Writer out(wire::kHello);
  std::string unixName = host::unixPath(host::systemPath(run.scriptName));
  out.text(narrow(run.scriptName));
  out.text(unixName.empty() ? narrow(run.scriptName) : unixName);
  out.u8(host::isHtmlName(run.scriptName) ? 1 : 0);
  out.text(narrow(run.script));
  out.text(run.charset);
  out.text(run.mimeType);
  out.text(narrow(run.elementName));
  writePairs(out, run.attributes);
  out.u32(run.scriptTimeoutSeconds);
  out.u32(run.stayOpenSeconds);
  out.i32(run.syntaxLevel);
  host::Location l = host::locationOf(run.url);
  writePairs(out, {{"href", l.href},         {"protocol", l.protocol}, {"host", l.host},
                   {"hostname", l.hostname}, {"port", l.port},         {"pathname", l.pathname},
                   {"search", l.search},     {"hash", l.hash},         {"origin", l.origin}});
  out.text(browser::kUserAgent);
  const std::wstring& path = run.pluginPath;
  std::string types = versionString(path, "MIMEType");
  std::vector<std::pair<std::string, std::string>> plugin = {
      {"name", versionString(path, "ProductName")},
      {"description", versionString(path, "FileDescription")},
      {"filename", narrow(path.substr(path.find_last_of(L"\\/") + 1))},
      {"version", versionString(path, "FileVersion")}};
  writePairs(out, types.empty() ? std::vector<std::pair<std::string, std::string>>() : plugin);
  std::vector<std::string> mimes = types.empty() ? std::vector<std::string>() : host::splitFields(types);
  std::vector<std::string> suffixes = host::splitFields(versionString(path, "FileExtents"));
  std::vector<std::string> names = host::splitFields(versionString(path, "FileOpenName"));
  out.u32(static_cast<uint32_t>(mimes.size()));
  for (size_t i = 0; i < mimes.size(); ++i) {
    out.text(mimes[i]);
    out.text(i < names.size() ? names[i] : "");
    out.text(i < suffixes.size() ? suffixes[i] : "");
  }
  out.u8(process.options.trace ? 1 : 0);
  out.u8(process.options.dumpDom ? 1 : 0);
  return out;
}

// The page's pipes become this process's own; standard input and output then go
// nowhere and to standard error, so that nothing else (a child process, a stray
// printf) can reach the channel.
void takeChannel(HANDLE* in, HANDLE* out) {
  HANDLE self = GetCurrentProcess();
  DuplicateHandle(self, GetStdHandle(STD_INPUT_HANDLE), self, in, 0, FALSE, DUPLICATE_SAME_ACCESS);
  DuplicateHandle(self, GetStdHandle(STD_OUTPUT_HANDLE), self, out, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  int nowhere = _open("NUL", _O_RDONLY);
  _dup2(nowhere, 0);
  _close(nowhere);
  _dup2(_fileno(stderr), _fileno(stdout));
}

}  // namespace

int main() {
  HANDLE in = INVALID_HANDLE_VALUE, out = INVALID_HANDLE_VALUE;
  takeChannel(&in, &out);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  host::Channel page(in, out, serve, host::answered);
  process.page = &page;
  host::setPage(&page);
  memset(&process.funcs, 0, sizeof process.funcs);

  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  host::Options& options = process.options;
  host::PageRun& run = options.run;
  FILE* usage = tmpfile();
  int prepared = host::prepareRun(argc, argv, &options, usage != NULL ? usage : stderr);
  postOutput(usage);
  // The page's process decides what Ctrl-C stops.
  SetConsoleCtrlHandler(NULL, TRUE);
  if (prepared >= 0) return prepared;
  if (!host::resolvePlugin(&options)) return host::kExitPluginRefused;
  run.pluginPath = host::systemPath(run.pluginPath);
  run.launcherPath = host::systemPath(run.launcherPath);
  std::string reason;
  if (!host::isHtmlName(run.scriptName) && !host::pluginHandles(run.pluginPath, run.mimeType, &reason)) {
    fprintf(stderr, "host: REFUSED: %s\n", reason.c_str());
    return host::kExitPluginRefused;
  }
  host::handOverAnswers(options.launcherAnswers);
  if (options.privateTemp) {
    process.temp = makeTemporaryDirectory(L"kelvra-host-");
    setProcessTemporaryDirectory(process.temp);
    fprintf(stderr, "host: temporary directory %s\n", host::shownPath(process.temp).c_str());
  }
  host::LogFollower log(temporaryDirectory(), stderr);
  process.log = &log;
  if (options.follow) log.follow(50);
  std::vector<std::wstring> earlier = findFiles(temporaryDirectory(), kLogPattern);
  process.earlierLogs.insert(earlier.begin(), earlier.end());

  HRESULT com = CoInitialize(NULL);
  host::startGuard(run.timeoutSeconds, stderr);
  host::Location location = host::locationOf(run.url);
  browser::reset();
  browser::setHost(location.host);
  browser::setOrigin(location.origin);
  process.before = browser::counts();
  int code = host::kExitOk;
  if (!run.launcherPath.empty()) {
    if (!host::serveLauncher(run.launcherPath, &process.launcher, &reason)) {
      fprintf(stderr, "host: REFUSED: %s\n", reason.c_str());
      code = host::kExitPluginRefused;
    } else {
      fprintf(stderr, "host: launcher class served from %s\n", narrow(run.launcherPath).c_str());
    }
  }
  if (code == host::kExitOk) {
    process.topWindow = host::hiddenWindow(L"kelvra_host page", 1, 1);
    host::startLoop(host::StreamTarget{&process.funcs, run.url, stderr, evaluateUrl},
                    [](long) { return true; }, []() { return true; });
    browser::setEmbedder(&kEmbedder);
    page.post(hello());
    page.serve();
  }
  host::setPage(NULL);
  if (SUCCEEDED(com)) CoUninitialize();
  log.stop();
  host::closeTemporaryDirectory(options, process.temp);
  fflush(stderr);
  return code != host::kExitOk ? code : process.exitCode;
}
