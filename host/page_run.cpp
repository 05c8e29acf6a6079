#include "page_run.h"

#include <windows.h>
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <list>
#include <set>

#include "browser_side.h"
#include "js_npruntime.h"
#include "launcher_server.h"
#include "options.h"
#include "npbrowser.h"
#include "page_loop.h"
#include "plugin_discovery.h"
#include "plugin_guard.h"
#include "plugin_loader.h"
#include "script_watchdog.h"

namespace host {
namespace {

const wchar_t kLogPattern[] = L"KLV-*.log";
// A bare script's embedding, and the size of one whose element names none (Firefox's
// plug-in frame's default).
const char kBareSize[] = "1";
const uint32_t kDefaultWidth = 240;
const uint32_t kDefaultHeight = 200;

typedef std::vector<std::pair<std::string, std::string>> NameValues;

std::wstring temporaryDirectory() {
  wchar_t path[MAX_PATH];
  DWORD length = GetTempPathW(MAX_PATH, path);
  return length > 0 && length < MAX_PATH ? std::wstring(path, length) : std::wstring();
}




std::string find(const NameValues& values, const char* name) {
  for (const auto& value : values) {
    if (value.first == name) return value.second;
  }
  return std::string();
}

// A width or height attribute in pixels, as HTML reads a dimension ("300", "300px").
uint32_t pixels(const NameValues& attributes, const char* name, uint32_t fallback) {
  std::string value = find(attributes, name);
  size_t start = value.find_first_not_of(" \t\r\n");
  if (start == std::string::npos || !isdigit(static_cast<unsigned char>(value[start]))) {
    return fallback;
  }
  unsigned long n = strtoul(value.c_str() + start, NULL, 10);
  return n > 65535 ? 65535 : static_cast<uint32_t>(n);
}

// One <embed> or <object> of the page, and its plug-in instance when it has one.
struct Embedding {
  std::string tag;
  std::string mimeType;
  NameValues attributes;  // in the page's order
  NameValues params;      // an <object>'s <param>s
  bool forPlugin = false;  // of a type the plug-in handles
  NPP_t instance;
  bool created = false;               // NPP_New succeeded
  JSValue node = JS_UNDEFINED;        // the element, as script sees it
  NPObject* elementObject = NULL;     // the element, for NPNVPluginElementNPObject
  JSValue scriptable = JS_UNDEFINED;  // the plug-in's scriptable object, wrapped
  HWND window = NULL;
};

struct PageScript {
  std::wstring name;
  std::wstring source;
  unsigned long firstLine = 1;  // where it starts in its file
  JSValue element = JS_UNDEFINED;  // document.currentScript while it runs
};

// The running page, as the browser's services reach it.
struct Page {
  const PageRun* run = NULL;
  FILE* report = NULL;
  ScriptSession* session = NULL;
  NPObject* window = NULL;  // the global object as the plug-in sees it
  HWND topWindow = NULL;
  std::list<Embedding> embeddings;  // a list: each NPP_t stays where it is
  // The plug-in, loaded when the parser reaches the first embedding of its type.
  LoadedPlugin plugin = {NULL, NULL, NULL, NULL, NULL};
  NPPluginFuncs funcs;
  NPError started = NPERR_GENERIC_ERROR;
  bool tried = false;
  int refused = kExitOk;  // kExitPluginRefused once the plug-in or a bare embedding is
  bool ok = true;         // no uncaught error so far
  bool stopped = false;   // the watchdog or the user stopped the page's script
};

Page* current = NULL;

NPObject* pageWindow(NPP) { return current != NULL ? current->window : NULL; }

// The embedding of one of the page's instances, or NULL.
Embedding* embeddingOf(NPP instance) {
  if (current == NULL) return NULL;
  for (Embedding& e : current->embeddings) {
    if (&e.instance == instance) return &e;
  }
  return NULL;
}

NPObject* pageElement(NPP instance) {
  Embedding* e = embeddingOf(instance);
  return e != NULL ? e->elementObject : NULL;
}

NPError pageNewStream(NPP instance, NPMIMEType type, const char* target, NPStream** stream) {
  if (embeddingOf(instance) == NULL) return NPERR_INVALID_INSTANCE_ERROR;
  return newPluginStream(instance, type, target, stream);
}

void* pageNativeWindow(NPP) { return current != NULL ? current->topWindow : NULL; }

bool pageEvaluate(NPP instance, NPObject*, const NPString* script, NPVariant* result) {
  if (current == NULL || current->session == NULL || !onScriptThread()) return false;
  std::string text(script->UTF8Characters != NULL ? script->UTF8Characters : "",
                   script->UTF8Length);
  JSValue value;
  if (!current->session->evaluate(text, &value)) return false;
  JSContext* ctx = current->session->context();
  bool converted = toNPVariant(ctx, instance, value, result);
  JS_FreeValue(ctx, value);
  return converted;
}

const browser::Embedder kEmbedder = {pageWindow,        pageElement,         pageNativeWindow,
                                     pageEvaluate,      schedulePluginTimer, unschedulePluginTimer,
                                     postAsyncCall,     requestUrl,          pageNewStream,
                                     writePluginStream, destroyStream};

// A javascript: URL a plug-in asked for, run in the page.
bool evaluateUrl(const std::string& code, std::string* result, bool* defined) {
  *defined = false;
  if (current == NULL || current->session == NULL) return false;
  JSValue value;
  if (!current->session->evaluate(code, &value)) return false;
  JSContext* ctx = current->session->context();
  *defined = !JS_IsUndefined(value);
  const char* text = *defined ? JS_ToCString(ctx, value) : NULL;
  if (text != NULL) {
    *result = text;
    JS_FreeCString(ctx, text);
  }
  JS_FreeValue(ctx, value);
  return !*defined || text != NULL;
}

// The embedding's attributes as NPP_New receives them: an <object>'s <param>s
// follow a "PARAM" entry without value, as in Firefox.
struct Arguments {
  std::vector<std::string> names;
  std::vector<std::string> values;
  std::vector<char*> argn;
  std::vector<char*> argv;

  explicit Arguments(const Embedding& e) {
    for (const auto& a : e.attributes) add(a.first, a.second, true);
    if (e.tag == "object") add("PARAM", "", false);
    for (const auto& p : e.params) add(p.first, p.second, true);
    for (size_t i = 0; i < names.size(); ++i) {
      argn.push_back(&names[i][0]);
      argv.push_back(hasValue_[i] ? &values[i][0] : NULL);
    }
  }
  void add(const std::string& name, const std::string& value, bool hasValue) {
    names.push_back(name);
    values.push_back(value);
    hasValue_.push_back(hasValue);
  }

 private:
  std::vector<bool> hasValue_;
};


// How a script failed: stopped by the watchdog, or an error of its own.
// `script` is the one that ran, or NULL for another task (a timer's call, an event of
// the page's life), which `task` names.
void reportScriptError(const PageRun& run, const PageScript* script, const ScriptError& error,
                       FILE* report, const char* task) {
  std::string name = narrow(script != NULL ? script->name : run.scriptName);
  if (scriptStop() == kScriptTimedOut) {
    // A stop between statements of no line (just after a plug-in call) names none.
    std::string at = error.line > 0 ? ", stopped at line " + std::to_string(error.line) : "";
    fprintf(report,
            "host: SCRIPT TIME-OUT %s: no end after %lu s%s (--script-timeout SECONDS, 0 for "
            "no limit)\n",
            name.c_str(), run.scriptTimeoutSeconds, at.c_str());
    return;
  }
  if (scriptStop() == kScriptInterrupted) {
    fprintf(report, "host: script interrupted\n");
    return;
  }
  // The engine knows the line of an Error, not of another value thrown by script
  // (as Firefox's console shows none): then the script that threw it is named.
  std::string where = error.line > 0 ? (error.file.empty() ? name : error.file) + ":" +
                                           std::to_string(error.line)
                                     : name;
  if (error.line == 0 && script != NULL && script->firstLine > 1) {
    where += " (the script from line " + std::to_string(script->firstLine) + ")";
  }
  std::string what = script == NULL ? std::string(" (") + task + ")" : std::string();
  fprintf(report, "host: SCRIPT ERROR %s%s: %s\n", where.c_str(), what.c_str(),
          error.message.c_str());
  if (!error.sourceLine.empty()) fprintf(report, "host:   %s\n", error.sourceLine.c_str());
}

// Between the host's steps the caller shows what the plug-in logged during the last.
void step(const PageRun& run, FILE* report) {
  fflush(report);
  if (run.atStep) run.atStep();
}

std::wstring directoryOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

// --- Script values -----------------------------------------------------------------

JSValue newString(JSContext* ctx, const std::string& text) {
  return JS_NewStringLen(ctx, text.data(), text.size());
}

JSValue newPairs(JSContext* ctx, const NameValues& pairs) {
  JSValue array = JS_NewArray(ctx);
  for (size_t i = 0; i < pairs.size(); ++i) {
    JSValue pair = JS_NewArray(ctx);
    JS_SetPropertyUint32(ctx, pair, 0, newString(ctx, pairs[i].first));
    JS_SetPropertyUint32(ctx, pair, 1, newString(ctx, pairs[i].second));
    JS_SetPropertyUint32(ctx, array, static_cast<uint32_t>(i), pair);
  }
  return array;
}

std::string stringField(JSContext* ctx, JSValueConst object, const char* name, bool* isNull = NULL) {
  JSValue value = JS_GetPropertyStr(ctx, object, name);
  if (isNull != NULL) *isNull = JS_IsNull(value) || JS_IsUndefined(value);
  std::string text;
  if (JS_IsString(value)) {
    size_t length = 0;
    const char* bytes = JS_ToCStringLen(ctx, &length, value);
    if (bytes != NULL) text.assign(bytes, length);
    JS_FreeCString(ctx, bytes);
  }
  JS_FreeValue(ctx, value);
  return text;
}

bool boolField(JSContext* ctx, JSValueConst object, const char* name) {
  JSValue value = JS_GetPropertyStr(ctx, object, name);
  bool flag = JS_ToBool(ctx, value) > 0;
  JS_FreeValue(ctx, value);
  return flag;
}

NameValues pairsField(JSContext* ctx, JSValueConst object, const char* name) {
  NameValues pairs;
  JSValue array = JS_GetPropertyStr(ctx, object, name);
  JSValue lengthValue = JS_GetPropertyStr(ctx, array, "length");
  uint32_t length = 0;
  JS_ToUint32(ctx, &length, lengthValue);
  for (uint32_t i = 0; i < length; ++i) {
    JSValue pair = JS_GetPropertyUint32(ctx, array, i);
    pairs.push_back(std::make_pair(stringField(ctx, pair, "0"), stringField(ctx, pair, "1")));
    JS_FreeValue(ctx, pair);
  }
  JS_FreeValue(ctx, lengthValue);
  JS_FreeValue(ctx, array);
  return pairs;
}

// The plug-in as navigator.plugins lists it, from its version resource.
JSValue pluginDescription(JSContext* ctx, const std::wstring& path) {
  JSValue list = JS_NewArray(ctx);
  std::string types = path.empty() ? "" : versionString(path, "MIMEType");
  if (types.empty()) return list;

  std::vector<std::string> mimes = splitFields(types);
  std::vector<std::string> suffixes = splitFields(versionString(path, "FileExtents"));
  std::vector<std::string> names = splitFields(versionString(path, "FileOpenName"));
  JSValue plugin = JS_NewObject(ctx);
  JS_SetPropertyStr(ctx, plugin, "name", newString(ctx, versionString(path, "ProductName")));
  JS_SetPropertyStr(ctx, plugin, "description",
                    newString(ctx, versionString(path, "FileDescription")));
  JS_SetPropertyStr(ctx, plugin, "filename",
                    newString(ctx, narrow(path.substr(path.find_last_of(L"\\/") + 1))));
  JS_SetPropertyStr(ctx, plugin, "version", newString(ctx, versionString(path, "FileVersion")));
  JSValue mimeTypes = JS_NewArray(ctx);
  for (size_t i = 0; i < mimes.size(); ++i) {
    JSValue type = JS_NewObject(ctx);
    JS_SetPropertyStr(ctx, type, "type", newString(ctx, mimes[i]));
    JS_SetPropertyStr(ctx, type, "description", newString(ctx, i < names.size() ? names[i] : ""));
    JS_SetPropertyStr(ctx, type, "suffixes", newString(ctx, i < suffixes.size() ? suffixes[i] : ""));
    JS_SetPropertyUint32(ctx, mimeTypes, static_cast<uint32_t>(i), type);
  }
  JS_SetPropertyStr(ctx, plugin, "mimeTypes", mimeTypes);
  JS_SetPropertyUint32(ctx, list, 0, plugin);
  return list;
}

// What the page runtime opens the page with: its markup (or, for a bare script, the
// one embedding's attributes), its real address in parts, the plug-in list, the user
// agent.
JSValue pageConfig(JSContext* ctx, const PageRun& run, const Location& l) {
  JSValue config = JS_NewObject(ctx);
  bool html = isHtmlName(run.scriptName);
  JS_SetPropertyStr(ctx, config, "html", newString(ctx, html ? narrow(run.script) : ""));
  if (html) {
    JS_SetPropertyStr(ctx, config, "bare", JS_NULL);
  } else {
    NameValues bare = {{"type", run.mimeType},
                       {"id", narrow(run.elementName)},
                       {"width", kBareSize},
                       {"height", kBareSize}};
    for (const auto& a : run.attributes) bare.push_back(a);
    JS_SetPropertyStr(ctx, config, "bare", newPairs(ctx, bare));
  }
  JSValue location = JS_NewObject(ctx);
  const std::pair<const char*, const std::string*> parts[] = {
      {"href", &l.href},         {"protocol", &l.protocol}, {"host", &l.host},
      {"hostname", &l.hostname}, {"port", &l.port},         {"pathname", &l.pathname},
      {"search", &l.search},     {"hash", &l.hash},         {"origin", &l.origin}};
  for (const auto& part : parts) JS_SetPropertyStr(ctx, location, part.first, newString(ctx, *part.second));
  JS_SetPropertyStr(ctx, config, "location", location);
  JS_SetPropertyStr(ctx, config, "plugins", pluginDescription(ctx, run.pluginPath));
  JS_SetPropertyStr(ctx, config, "userAgent", newString(ctx, browser::kUserAgent));
  return config;
}

// --- The page's steps ----------------------------------------------------------------

// A step of the page runtime as a task of the page: an error is reported and the run
// fails, the page goes on; a stopped script stops the page.
// A task that failed fails the run; the page goes on with its next task unless the
// script was stopped (a time-out, Ctrl-C), which stops the page.
void failed(Page& page, const PageScript* script, const ScriptError& error, const char* step) {
  reportScriptError(*page.run, script, error, page.report, step);
  page.ok = false;
  page.stopped = scriptStop() != kScriptNotStopped;
}

bool task(Page& page, const char* step, int argc, JSValueConst* argv, JSValue* result = NULL) {
  ScriptError error;
  if (page.stopped || page.session->call(step, argc, argv, result, &error)) return !page.stopped;
  failed(page, NULL, error, step);
  return false;
}

// A relative URL of the page as the file beside it, in the form the page was named in
// (a Unix path under Wine); an absolute path stays as it is.
std::wstring besideThePage(const PageRun& run, const std::string& url) {
  std::wstring path = widen(url.substr(0, url.find_first_of("?#")));
  bool unixPage = !run.scriptName.empty() && run.scriptName[0] == L'/';
  for (wchar_t& c : path) {
    if (c == L'/' && !unixPage) c = L'\\';
  }
  bool absolute = unixPage ? !path.empty() && path[0] == L'/' : path.size() >= 2 && path[1] == L':';
  return absolute ? path : directoryOf(run.scriptName) + path;
}

// Where a script's src is: a file beside the page (a relative URL, as the page's
// files are here), a data: URL's text, or nothing (a remote or refused URL), `reason`
// saying why.
bool scriptSource(const Page& page, const std::string& src, const std::string& charset,
                  PageScript* script, std::string* reason) {
  const PageRun& run = *page.run;
  std::string scheme = schemeOf(src);
  std::string pageScheme = schemeOf(run.url);
  if (scheme == "data") {
    std::string mime, body;
    if (!decodeDataUrl(src, &mime, &body)) {
      *reason = "a malformed data: URL";
      return false;
    }
    script->name = widen(src.substr(0, 40));
    script->source = widen(body);
    return true;
  }
  if (scheme == "file" && pageScheme != "file") {
    *reason = "a page on " + pageScheme + ": may not load local files";
    return false;
  }
  if (!scheme.empty() || src.compare(0, 2, "//") == 0) {
    *reason = resolveUrl(src, run.url) + " is not available offline (the host has no network)";
    return false;
  }
  script->name = besideThePage(run, src);
  std::string why;
  if (!readScriptFile(script->name, charset.empty() ? run.charset : charset, &script->source,
                      &why)) {
    *reason = why;
    return false;
  }
  return true;
}

// The page's script, as the parser found it: run now (a parser-blocking one), or
// kept for after the parsing (defer) or for when the document is parsed (async).
void runScript(Page& page, PageScript& script) {
  const PageRun& run = *page.run;
  JSContext* ctx = page.session->context();
  if (!task(page, "currentScript", 1, &script.element)) return;
  step(run, page.report);
  const std::string name = narrow(script.name), source = narrow(script.source);
  fprintf(page.report, "host: running %s\n", name.c_str());
  fflush(page.report);
  if (run.syntaxLevel != 0) {
    JSValue check[3] = {newString(ctx, source), newString(ctx, name),
                        JS_NewInt32(ctx, run.syntaxLevel)};
    task(page, "checkSyntax", 3, check);
    for (JSValue& value : check) JS_FreeValue(ctx, value);
  }
  ScriptError error;
  if (!page.session->run(source, name, &error)) {
    failed(page, &script, error, "script");
  }
  JSValue none = JS_NULL;
  task(page, "currentScript", 1, &none);
  JS_FreeValue(ctx, script.element);
  script.element = JS_UNDEFINED;
}

// A script element the parser reached: false when it does not run at all.
bool loadScript(Page& page, JSValueConst action, PageScript* script) {
  JSContext* ctx = page.session->context();
  bool inline_ = false;
  std::string src = stringField(ctx, action, "src", &inline_);
  script->element = JS_GetPropertyStr(ctx, action, "element");
  if (inline_) {
    // Blank lines put the inline text at its line of the page, for error reports.
    JSValue lineValue = JS_GetPropertyStr(ctx, action, "line");
    uint32_t line = 0;
    JS_ToUint32(ctx, &line, lineValue);
    JS_FreeValue(ctx, lineValue);
    script->name = page.run->scriptName;
    script->firstLine = line > 0 ? line : 1;
    script->source = std::wstring(line > 0 ? line - 1 : 0, L'\n') +
                     widen(stringField(ctx, action, "text"));
    return true;
  }
  std::string reason;
  if (src.empty()) return false;  // src="" fails, as a browser's load of nothing
  if (!scriptSource(page, src, stringField(ctx, action, "charset"), script, &reason)) {
    fprintf(page.report, "host: script %s not loaded: %s\n", src.c_str(), reason.c_str());
    page.ok = false;
    return false;
  }
  return true;
}

// The plug-in, the first time the page needs it: loaded and initialised as Firefox
// does at its first instance. False when it cannot serve the page.
bool pluginReady(Page& page) {
  const PageRun& run = *page.run;
  if (page.tried) return page.started == NPERR_NO_ERROR;
  page.tried = true;
  if (!loadPlugin(run.pluginPath, &page.plugin)) {
    fprintf(page.report, "host: REFUSED: %s cannot be loaded as an NPAPI plug-in\n",
            narrow(run.pluginPath).c_str());
    page.refused = kExitPluginRefused;
    return false;
  }
  fprintf(page.report, "host: loaded %s\n", narrow(run.pluginPath).c_str());
  {
    PluginCall call("NP_GetEntryPoints, NP_Initialize");
    page.started = startPlugin(page.plugin, browser::functions(), &page.funcs);
  }
  fprintf(page.report, "host: NP_GetEntryPoints, NP_Initialize -> %d\n", page.started);
  if (page.started == NPERR_NO_ERROR && (page.funcs.newp == NULL || page.funcs.destroy == NULL)) {
    fprintf(page.report, "host: REFUSED: the plug-in offers no NPP_New/NPP_Destroy\n");
    page.started = NPERR_INVALID_FUNCTABLE_ERROR;
  }
  if (page.started != NPERR_NO_ERROR) {
    page.refused = kExitPluginRefused;
    return false;
  }
  Location l = locationOf(run.url);
  fprintf(page.report, "host: page %s (location.host %s)\n", run.url.c_str(), l.host.c_str());
  return true;
}

// NPP_New for the embedding, then its window (of the element's size), its src stream
// and its scriptable object. Answers NPP_New's.
NPError createInstance(Page& page, const std::string& name, Embedding* e) {
  JSContext* ctx = page.session->context();
  const NPPluginFuncs& funcs = page.funcs;
  FILE* report = page.report;
  Arguments arguments(*e);
  memset(&e->instance, 0, sizeof e->instance);
  NPError created;
  {
    PluginCall call("NPP_New");
    created = funcs.newp(&e->mimeType[0], &e->instance, NP_EMBED,
                         static_cast<int16_t>(arguments.argn.size()),
                         arguments.argn.empty() ? NULL : &arguments.argn[0],
                         arguments.argv.empty() ? NULL : &arguments.argv[0], NULL);
  }
  fprintf(report, "host: NPP_New(%s) -> %d\n", e->mimeType.c_str(), created);
  e->created = created == NPERR_NO_ERROR;
  if (!e->created) return created;
  uint32_t width = pixels(e->attributes, "width", kDefaultWidth);
  uint32_t height = pixels(e->attributes, "height", kDefaultHeight);
  e->window = setPluginWindow(funcs, &e->instance, width, height, report);
  std::string src = find(e->attributes, e->tag == "object" ? "data" : "src");
  if (!src.empty()) {
    std::string scheme = schemeOf(src);
    std::string url = resolveUrl(src, page.run->url);
    if (scheme == "data") {
      requestSource(&e->instance, src, std::wstring());
    } else if (scheme.empty() && src.compare(0, 2, "//") != 0) {
      std::wstring path = besideThePage(*page.run, src);
      if (GetFileAttributesW(systemPath(path).c_str()) == INVALID_FILE_ATTRIBUTES) {
        fprintf(report, "host: the embedding's src %s: no such file %s\n", src.c_str(),
                narrow(path).c_str());
      } else {
        requestSource(&e->instance, url, systemPath(path));
      }
    } else {
      fprintf(report, "host: the embedding's src %s is not streamed: %s\n", src.c_str(),
              scheme == "file" ? "a page on the web may not load local files"
                               : "it is not available offline");
    }
  }
  NPObject* scriptable = NULL;
  NPError error = NPERR_GENERIC_ERROR;
  if (funcs.getvalue != NULL) {
    PluginCall call("NPP_GetValue(NPPVpluginScriptableNPObject)");
    error = funcs.getvalue(&e->instance, NPPVpluginScriptableNPObject, &scriptable);
  }
  if (error != NPERR_NO_ERROR) scriptable = NULL;
  if (scriptable != NULL) {
    fprintf(report, "host: NPP_GetValue(scriptable object) -> 0: %s is scriptable\n", name.c_str());
    e->scriptable = wrapNPObject(ctx, &e->instance, scriptable);
  } else {
    fprintf(report,
            "host: NPP_GetValue(scriptable object) -> %d: %s has no scriptable object, it is "
            "null for script\n",
            error, name.c_str());
  }
  return created;
}

// The parser reached an <embed> or <object>: it gets an instance there when it is of
// the plug-in's type, before the scripts after it run, as a browser lays it out.
// Answers whether it got one.
bool embed(Page& page, JSValueConst action) {
  const PageRun& run = *page.run;
  JSContext* ctx = page.session->context();
  bool html = isHtmlName(run.scriptName);
  page.embeddings.emplace_back();
  Embedding& e = page.embeddings.back();
  e.tag = stringField(ctx, action, "tag");
  e.attributes = pairsField(ctx, action, "attributes");
  e.params = pairsField(ctx, action, "params");
  e.mimeType = find(e.attributes, "type");
  e.node = JS_GetPropertyStr(ctx, action, "element");
  e.elementObject = scriptNPObject(ctx, NULL, e.node);
  std::string reason;
  e.forPlugin = pluginHandles(run.pluginPath, e.mimeType, &reason);
  std::string id = find(e.attributes, "id");
  std::string name = id.empty() ? "embedding " + std::to_string(page.embeddings.size()) : id;
  if (!e.forPlugin && html) {
    fprintf(page.report, "host: <%s> %s is not for the plug-in: %s\n", e.tag.c_str(),
            name.c_str(), reason.c_str());
  }
  if (e.forPlugin && pluginReady(page)) {
    NPError created = createInstance(page, name, &e);
    if (!html && created != NPERR_NO_ERROR) {
      fprintf(page.report,
              "host: NOT RUN: the plug-in refused the embedding (NPP_New -> %d; its log says "
              "why), so the page's script was not run; in a browser the page would see %s as "
              "an element without the plug-in's methods\n",
              created, narrow(run.elementName).c_str());
    }
  }
  // A bare script's refused instance ends the run; a page goes on without it.
  if (!html && !e.created) page.refused = kExitPluginRefused;
  attachScriptable(ctx, e.node, e.scriptable);
  // A bare script's `plugin` is null without a scriptable object.
  if (!html) {
    page.session->define(narrow(run.elementName).c_str(),
                         JS_IsObject(e.scriptable) ? JS_DupValue(ctx, e.node) : JS_NULL);
  }
  step(run, page.report);
  return e.created;
}

// The page from its first script to its unload: the parser's way through the
// markup (scripts run, embeddings instantiated where it reaches them), the deferred
// scripts, DOMContentLoaded, the asynchronous scripts, load, then the event loop
// until the page is idle (or --stay-open is over), then the page's close events.
void livePage(Page& page) {
  const PageRun& run = *page.run;
  JSContext* ctx = page.session->context();
  std::vector<PageScript> deferred, async;
  bool created = false;
  size_t scripts = 0;
  while (!page.stopped && page.refused == kExitOk) {
    JSValue action = JS_UNDEFINED;
    JSValue answer = JS_NewBool(ctx, created);
    if (!task(page, "parse", 1, &answer, &action)) break;
    std::string kind = stringField(ctx, action, "kind");
    created = false;
    if (kind == "script") {
      PageScript script;
      ++scripts;
      if (loadScript(page, action, &script)) {
        bool external = boolField(ctx, action, "src");
        if (external && boolField(ctx, action, "async")) {
          async.push_back(script);
        } else if (external && boolField(ctx, action, "defer")) {
          deferred.push_back(script);
        } else {
          runScript(page, script);
        }
      } else {
        JS_FreeValue(ctx, script.element);
      }
    } else if (kind == "embed") {
      created = embed(page, action);
    }
    JS_FreeValue(ctx, action);
    if (kind != "script" && kind != "embed") break;
  }
  if (page.refused == kExitOk && !isHtmlName(run.scriptName) && !page.stopped) {
    PageScript bare;
    bare.name = run.scriptName;
    bare.source = run.script;
    runScript(page, bare);
  }
  if (page.refused != kExitOk) {
    for (PageScript& s : deferred) JS_FreeValue(ctx, s.element);
    for (PageScript& s : async) JS_FreeValue(ctx, s.element);
    return;
  }
  if (isHtmlName(run.scriptName)) {
    fprintf(page.report, "host: HTML page parsed: %zu embeddings, %zu scripts\n",
            page.embeddings.size(), scripts);
  }
  task(page, "interactive", 0, NULL);
  for (PageScript& s : deferred) runScript(page, s);
  task(page, "contentLoaded", 0, NULL);
  for (PageScript& s : async) runScript(page, s);
  task(page, "complete", 0, NULL);
  if (page.ok) fprintf(page.report, "host: script finished\n");
  step(run, page.report);
  if (!page.stopped) {
    bool cut = false;
    if (!runLoop(run.stayOpenSeconds, &cut)) {
      // A stop in a task was reported there; Ctrl-C between tasks is reported here.
      if (!page.stopped) failed(page, NULL, ScriptError(), "loop");
      step(run, page.report);
    } else if (cut) {
      fprintf(page.report,
              "host: the page closes after %lu s with timers, streams or calls still pending "
              "(--stay-open SECONDS)\n",
              run.stayOpenSeconds);
    }
    LoopCounts counts = loopCounts();
    if (counts.scriptTimersFired + counts.pluginTimersFired + counts.asyncCallsRun +
            counts.streamsDelivered + counts.urlsRefused >
        0) {
      fprintf(page.report,
              "host: page idle: %ld script timers, %ld plug-in timers, %ld async calls, "
              "%ld streams delivered, %ld URLs refused (offline)\n",
              counts.scriptTimersFired, counts.pluginTimersFired, counts.asyncCallsRun,
              counts.streamsDelivered, counts.urlsRefused);
    }
  }
  task(page, "close", 0, NULL);
  step(run, page.report);
}

}  // namespace

std::string hostOfUrl(const std::string& url) {
  size_t start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  size_t end = url.find_first_of("/?#", start);
  std::string host = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  size_t at = host.rfind('@');
  if (at != std::string::npos) host = host.substr(at + 1);
  for (size_t i = 0; i < host.size(); ++i) {
    if (host[i] >= 'A' && host[i] <= 'Z') host[i] = static_cast<char>(host[i] - 'A' + 'a');
  }
  return host;
}

PageOutcome runPage(const PageRun& run, const ConsoleSink& console, FILE* report) {
  PageOutcome outcome;
  Page page;
  page.run = &run;
  page.report = report;
  memset(&page.funcs, 0, sizeof page.funcs);
  std::string reason;
  bool html = isHtmlName(run.scriptName);
  if (!html && !pluginHandles(run.pluginPath, run.mimeType, &reason)) {
    fprintf(report, "host: REFUSED: %s\n", reason.c_str());
    outcome.exitCode = kExitPluginRefused;
    return outcome;
  }
  startGuard(run.timeoutSeconds, report);

  Location location = locationOf(run.url);
  browser::reset();
  browser::setHost(location.host);
  browser::setOrigin(location.origin);
  browser::Counts before = browser::counts();
  std::wstring temp = temporaryDirectory();
  std::vector<std::wstring> earlier = findFiles(temp, kLogPattern);
  std::set<std::wstring> earlierLogs(earlier.begin(), earlier.end());

  LauncherServer launcher = {NULL, NULL, 0};
  if (!run.launcherPath.empty()) {
    if (!serveLauncher(run.launcherPath, &launcher, &reason)) {
      fprintf(report, "host: REFUSED: %s\n", reason.c_str());
      outcome.exitCode = kExitPluginRefused;
      return outcome;
    }
    fprintf(report, "host: launcher class served from %s\n", narrow(run.launcherPath).c_str());
  }
  // A bare script's plug-in is loaded before anything runs: a DLL it cannot load runs
  // nothing.
  if (!html && !pluginReady(page)) {
    if (page.plugin.module != NULL) unloadPlugin(&page.plugin);
    if (launcher.module != NULL) stopLauncher(&launcher);
    outcome.exitCode = kExitPluginRefused;
    return outcome;
  }

  // The page's script engine comes first: the plug-in sees its window from NPP_New on.
  ScriptSession session(console, TimerSink{addScriptTimer, removeScriptTimer},
                        run.scriptTimeoutSeconds);
  session.setReport([report](const std::string& line) {
    fprintf(report, "host: %s\n", line.c_str());
    fflush(report);
  });
  page.session = &session;
  ScriptError startError;
  bool ran = session.start(&startError);
  if (!ran) reportScriptError(run, NULL, startError, report, "start");
  // The browser window around the page (NPNVnetscapeWindow), never shown.
  page.topWindow = hiddenWindow(L"kelvra_host page", 1, 1);
  current = &page;
  browser::setEmbedder(&kEmbedder);
  startLoop(
      StreamTarget{&page.funcs, run.url, report, evaluateUrl},
      [&page](long id) {
        ScriptError error;
        if (!page.session->fireTimer(id, &error)) failed(page, NULL, error, "timer");
        return !page.stopped;
      },
      [&page]() {
        ScriptError error;
        if (!page.session->settle(&error)) failed(page, NULL, error, "promise job");
        return !page.stopped;
      });
  if (ran) {
    JSContext* ctx = session.context();
    JSValue global = JS_GetGlobalObject(ctx);
    page.window = scriptNPObject(ctx, NULL, global);
    JS_FreeValue(ctx, global);
    JSValue config = pageConfig(ctx, run, location);
    ran = task(page, "open", 1, &config);
    JS_FreeValue(ctx, config);
  }
  if (ran) livePage(page);
  if (page.refused != kExitOk) outcome.exitCode = page.refused;

  // The page closes: its streams to the plug-in end and its timers stop, then each
  // instance is destroyed with the page still there (the plug-in may call into it),
  // and its objects leave script, as in Firefox; then the page's script goes.
  for (Embedding& e : page.embeddings) {
    if (e.created) stopLoop(&e.instance);
  }
  stopLoop(NULL);  // the script timers
  JSContext* ctx = session.context();
  for (Embedding& e : page.embeddings) {
    if (e.created) {
      {
        PluginCall call("NPP_Destroy");
        fprintf(report, "host: NPP_Destroy -> %d\n", page.funcs.destroy(&e.instance, NULL));
      }
      forgetInstance(&e.instance);
      if (ctx != NULL) detachScriptable(ctx, e.node);
      stopLoop(&e.instance);  // what the plug-in asked for meanwhile
      step(run, report);
    }
    endPluginStreams(&e.instance);  // even a refused NPP_New may have opened one
    if (ctx != NULL) {
      JS_FreeValue(ctx, e.scriptable);
      JS_FreeValue(ctx, e.node);
    }
    e.scriptable = e.node = JS_UNDEFINED;
  }
  stopLoop(NULL);
  session.close();
  for (Embedding& e : page.embeddings) {
    if (e.window != NULL) DestroyWindow(e.window);
    if (e.elementObject != NULL) browser::release(e.elementObject);
  }
  if (page.window != NULL) browser::release(page.window);
  if (page.topWindow != NULL) DestroyWindow(page.topWindow);
  browser::setEmbedder(NULL);
  current = NULL;
  if (page.plugin.module != NULL) {
    if (page.started == NPERR_NO_ERROR && page.funcs.size != 0) {
      PluginCall call("NP_Shutdown");
      fprintf(report, "host: NP_Shutdown -> %d\n", page.plugin.shutdown());
    }
    unloadPlugin(&page.plugin);
    fprintf(report, "host: unloaded\n");
    step(run, report);
  }

  browser::Counts after = browser::counts();
  if (after.statusMessages > before.statusMessages || after.invalidations > before.invalidations) {
    fprintf(report, "host: the plug-in's status line (%ld times): \"%s\"; %ld redraws asked for\n",
            after.statusMessages - before.statusMessages, browser::lastStatus().c_str(),
            after.invalidations - before.invalidations);
  }
  bool balanced = reportBalance(before, after, report);
  if (launcher.module != NULL && !stopLauncher(&launcher)) {
    fprintf(report, "host: IMBALANCE: launcher objects still alive (DllCanUnloadNow: S_FALSE)\n");
    balanced = false;
  }
  std::vector<std::wstring> logs = findFiles(temp, kLogPattern);
  for (size_t i = 0; i < logs.size(); ++i) {
    if (earlierLogs.count(logs[i]) != 0) continue;
    outcome.logFiles.push_back(logs[i]);
    fprintf(report, "host: plug-in log: %s\n", narrow(logs[i]).c_str());
  }
  if (outcome.exitCode == kExitOk && (!ran || !page.ok || page.stopped)) {
    outcome.exitCode = scriptStop() == kScriptTimedOut     ? kExitScriptTimeout
                       : scriptStop() == kScriptInterrupted ? kExitInterrupted
                                                            : kExitScriptError;
  }
  if (outcome.exitCode == kExitOk && !balanced) outcome.exitCode = kExitImbalance;
  fflush(report);
  return outcome;
}

}  // namespace host
