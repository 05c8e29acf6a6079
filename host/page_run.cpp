#include "page_run.h"

#include <windows.h>
#include <ctype.h>
#include <string.h>

#include <functional>
#include <set>

#include "html_page.h"
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
const uint32_t kEmbedWidth = 1;
const uint32_t kEmbedHeight = 1;

std::wstring temporaryDirectory() {
  wchar_t path[MAX_PATH];
  DWORD length = GetTempPathW(MAX_PATH, path);
  return length > 0 && length < MAX_PATH ? std::wstring(path, length) : std::wstring();
}

// The parts of the page's URL that window.location offers.
struct Location {
  std::string href, protocol, host, hostname, port, pathname, search, hash, origin;
};

Location locationOf(const std::string& url) {
  Location l;
  l.href = url;
  size_t colon = url.find(':');
  l.protocol = colon == std::string::npos ? "" : url.substr(0, colon + 1);
  for (char& c : l.protocol) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  std::string rest = colon == std::string::npos ? url : url.substr(colon + 1);
  size_t hashAt = rest.find('#');
  if (hashAt != std::string::npos) {
    l.hash = rest.substr(hashAt);
    rest.erase(hashAt);
  }
  size_t queryAt = rest.find('?');
  if (queryAt != std::string::npos) {
    l.search = rest.substr(queryAt);
    rest.erase(queryAt);
  }
  if (rest.compare(0, 2, "//") == 0) {
    size_t pathAt = rest.find('/', 2);
    l.host = hostOfUrl(url);
    l.pathname = pathAt == std::string::npos ? "/" : rest.substr(pathAt);
  } else {
    l.pathname = rest;
  }
  size_t portAt = l.host.rfind(':');
  bool bracketed = l.host.find(']') != std::string::npos && l.host.rfind(']') > portAt;
  if (portAt != std::string::npos && !bracketed) {
    l.hostname = l.host.substr(0, portAt);
    l.port = l.host.substr(portAt + 1);
    // The scheme's own port is not shown, as a URL parser drops it.
    if ((l.protocol == "https:" && l.port == "443") || (l.protocol == "http:" && l.port == "80")) {
      l.port.clear();
      l.host = l.hostname;
    }
  } else {
    l.hostname = l.host;
  }
  bool hasOrigin = (l.protocol == "http:" || l.protocol == "https:") && !l.host.empty();
  l.origin = hasOrigin ? l.protocol + "//" + l.host : "null";
  return l;
}

// A script string literal of UTF-8 text.
std::string literal(const std::string& utf8) {
  std::string out = "\"";
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == '<') {
      char escape[8];
      snprintf(escape, sizeof escape, "\\x%02X", c);
      out += escape;
    } else if (c == 0xE2 && i + 2 < utf8.size() && utf8[i + 1] == '\x80' &&
               (utf8[i + 2] == '\xA8' || utf8[i + 2] == '\xA9')) {
      out += utf8[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";  // line ends before ES2019
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// A window that is never shown; without a display (Wine headless) a message-only one.
HWND hiddenWindow(const wchar_t* title) {
  HWND window = CreateWindowExW(0, L"STATIC", title, WS_POPUP, 0, 0, kEmbedWidth, kEmbedHeight,
                                NULL, NULL, NULL, NULL);
  return window != NULL ? window
                        : CreateWindowExW(0, L"STATIC", title, 0, 0, 0, kEmbedWidth, kEmbedHeight,
                                          HWND_MESSAGE, NULL, NULL, NULL);
}

// One embedding of the page, and its plug-in instance when it has one.
struct Embedding {
  PageElement element;
  std::string mimeType;
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
  bool readable = true;
  unsigned long firstLine = 1;  // where it starts in its file
};

// The running page, as the browser's services reach it.
struct Page {
  ScriptSession* session = NULL;
  NPObject* window = NULL;  // the global object as the plug-in sees it
  HWND topWindow = NULL;
  std::vector<Embedding> embeddings;
  ScriptError timerError;
};

Page* current = NULL;

NPObject* pageWindow(NPP) { return current != NULL ? current->window : NULL; }

// The embedding of one of the page's instances, or NULL.
Embedding* embeddingOf(NPP instance) {
  for (size_t i = 0; current != NULL && i < current->embeddings.size(); ++i) {
    if (&current->embeddings[i].instance == instance) return &current->embeddings[i];
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

// The page's script objects that the host itself writes: location, navigator, the
// element interfaces (an element of the page is one of the host's callable objects
// with one of their prototypes; its attributes stay with the host), and document.
std::string pagePrelude(const Location& l, const std::string& title,
                        const std::wstring& pluginPath) {
  std::string text = "var location = {";
  const std::pair<const char*, const std::string*> parts[] = {
      {"href", &l.href},         {"protocol", &l.protocol}, {"host", &l.host},
      {"hostname", &l.hostname}, {"port", &l.port},         {"pathname", &l.pathname},
      {"search", &l.search},     {"hash", &l.hash},         {"origin", &l.origin}};
  for (const auto& part : parts) text += std::string(part.first) + ": " + literal(*part.second) + ", ";
  text += "toString: function () { return this.href; }};\n";

  // navigator.plugins and mimeTypes: the plug-in as its version resource describes it.
  std::string mimeField = pluginPath.empty() ? "" : versionString(pluginPath, "MIMEType");
  std::string name = pluginPath.empty() ? "" : versionString(pluginPath, "ProductName");
  std::string description = pluginPath.empty() ? "" : versionString(pluginPath, "FileDescription");
  std::wstring file = pluginPath.substr(pluginPath.find_last_of(L"\\/") + 1);
  text +=
      "var navigator = (function () {\n"
      "  var plugins = [], mimeTypes = [];\n"
      "  function add(name, description, filename, types) {\n"
      "    var plugin = {name: name, description: description, filename: filename,\n"
      "                  length: 0, item: function (i) { return this[i] || null; }};\n"
      "    for (var i = 0; i < types.length; i++) {\n"
      "      var type = {type: types[i], description: '', suffixes: '', enabledPlugin: plugin};\n"
      "      plugin[plugin.length++] = type; plugin[types[i]] = type;\n"
      "      mimeTypes.push(type); mimeTypes[types[i]] = type;\n"
      "    }\n"
      "    plugins.push(plugin); plugins[name] = plugin;\n"
      "  }\n";
  if (!mimeField.empty()) {
    text += "  add(" + literal(name) + ", " + literal(description) + ", " +
            literal(narrow(file)) + ", " + literal(mimeField) + ".split('|'));\n";
  }
  text +=
      "  plugins.refresh = function () {};\n"
      "  return {userAgent: " +
      literal(browser::kUserAgent) +
      ", appName: 'Netscape', appCodeName: 'Mozilla',\n"
      "          appVersion: '5.0 (Windows)', platform: 'Win32', product: 'Gecko',\n"
      "          language: 'en-US', onLine: true, cookieEnabled: false,\n"
      "          javaEnabled: function () { return false; },\n"
      "          plugins: plugins, mimeTypes: mimeTypes};\n"
      "})();\n";

  text +=
      "var kelvraHostPage = (function (host) {\n"
      "  var records = new WeakMap(), elements = [];\n"
      "  function record(e, member) {\n"
      "    var r = records.get(e);\n"
      "    if (r === undefined) {\n"
      "      throw new TypeError(\"'\" + member + \"' called on an object that does not \" +\n"
      "                          'implement interface Element.');\n"
      "    }\n"
      "    return r;\n"
      "  }\n"
      // Interface objects as a browser has them: not constructible, members on the
      // prototype (enumerable, as WebIDL defines them), the name as toStringTag.
      "  function define(name, parent, members) {\n"
      "    var f = function () { throw new TypeError('Illegal constructor'); };\n"
      "    Object.defineProperty(f, 'name', {value: name});\n"
      "    f.prototype = Object.create(parent ? parent.prototype : Object.prototype);\n"
      "    Object.defineProperty(f.prototype, 'constructor', {value: f, writable: true,\n"
      "                                                       configurable: true});\n"
      "    Object.defineProperty(f.prototype, Symbol.toStringTag, {value: name,\n"
      "                                                            configurable: true});\n"
      "    for (var m in members) {\n"
      "      var d = members[m];\n"
      "      Object.defineProperty(f.prototype, m, typeof d == 'function'\n"
      "          ? {value: d, writable: true, enumerable: true, configurable: true}\n"
      "          : {get: d.get, set: d.set, enumerable: true, configurable: true});\n"
      "    }\n"
      "    Object.defineProperty(window, name, {value: f, writable: true, configurable: true});\n"
      "    return f;\n"
      "  }\n"
      // A property that reflects an attribute.
      "  function reflect(name) {\n"
      "    return {get: function () {\n"
      "              var a = record(this, name).attributes;\n"
      "              return a.hasOwnProperty(name) ? a[name] : '';\n"
      "            },\n"
      "            set: function (v) { record(this, name).attributes[name] = String(v); }};\n"
      "  }\n"
      "  var Node = define('Node', null, {\n"
      "    nodeName: {get: function () { return record(this, 'nodeName').tag; }}});\n"
      "  var Element = define('Element', Node, {\n"
      "    tagName: {get: function () { return record(this, 'tagName').tag; }},\n"
      "    id: reflect('id'),\n"
      "    getAttribute: function (name) {\n"
      "      var a = record(this, 'getAttribute').attributes;\n"
      "      name = String(name).toLowerCase();\n"
      "      return a.hasOwnProperty(name) ? a[name] : null;\n"
      "    }});\n"
      "  var HTMLElement = define('HTMLElement', Element, {});\n"
      "  var HTMLEmbedElement = define('HTMLEmbedElement', HTMLElement, {\n"
      "    src: reflect('src'), type: reflect('type'), width: reflect('width'),\n"
      "    height: reflect('height'), name: reflect('name')});\n"
      "  var HTMLObjectElement = define('HTMLObjectElement', HTMLElement, {\n"
      "    data: reflect('data'), type: reflect('type'), width: reflect('width'),\n"
      "    height: reflect('height'), name: reflect('name')});\n"
      "  function attributeOf(e, name) { return records.get(e).attributes[name]; }\n"
      "  return {\n"
      // The parser reaches an element: it joins the document.
      "    add: function (tag, attributes) {\n"
      "      var e = host.element(tag === 'object' ? HTMLObjectElement.prototype\n"
      "                                            : HTMLEmbedElement.prototype);\n"
      "      records.set(e, {tag: tag.toUpperCase(), attributes: attributes});\n"
      "      elements.push(e);\n"
      "      return e;\n"
      "    },\n"
      // The element's id names it on the window too, as browsers' named access does.
      "    attach: function (e) {\n"
      "      var id = attributeOf(e, 'id');\n"
      "      if (id && !(id in window)) window[id] = e;\n"
      "    },\n"
      "    byId: function (id) {\n"
      "      for (var i = 0; i < elements.length; i++) {\n"
      "        if (attributeOf(elements[i], 'id') === String(id)) return elements[i];\n"
      "      }\n"
      "      return null;\n"
      "    },\n"
      "    byTag: function (tag) {\n"
      "      var found = [];\n"
      "      tag = String(tag).toUpperCase();\n"
      "      for (var i = 0; i < elements.length; i++) {\n"
      "        if (tag === '*' || records.get(elements[i]).tag === tag) found.push(elements[i]);\n"
      "      }\n"
      "      return found;\n"
      "    }};\n"
      "})(kelvraHost);\n";
  text += "var document = {title: " + literal(title) +
          ", URL: location.href, location: location,\n"
          "  domain: location.hostname, referrer: '',\n"
          "  getElementById: function (id) { return kelvraHostPage.byId(id); },\n"
          "  getElementsByTagName: function (tag) { return kelvraHostPage.byTag(tag); }};\n";
  return text;
}

// The embedding's attributes as NPP_New receives them: an <object>'s <param>s
// follow a "PARAM" entry without value, as in Firefox.
struct Arguments {
  std::vector<std::string> names;
  std::vector<std::string> values;
  std::vector<char*> argn;
  std::vector<char*> argv;

  explicit Arguments(const PageElement& element) {
    for (const auto& a : element.attributes) add(a.first, a.second, true);
    if (!element.params.empty()) add("PARAM", "", false);
    for (const auto& p : element.params) add(p.first, p.second, true);
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

// What the browser still holds after the plug-in is gone, against the start.
bool reportBalance(const browser::Counts& before, const browser::Counts& after, FILE* report) {
  struct Item {
    const char* what;
    long long left;
  };
  const Item items[] = {
      {"scriptable objects not deallocated", after.liveObjects - before.liveObjects},
      {"memalloc blocks not freed", after.liveBlocks - before.liveBlocks},
      {"property values not released", after.valuesOwed - before.valuesOwed},
      {"memfree calls on no live block", after.badFrees - before.badFrees},
      {"calls on objects already deallocated", after.deadObjectCalls - before.deadObjectCalls},
      {"releases below a count of 0", after.underflows - before.underflows},
  };
  bool balanced = true;
  for (const Item& item : items) {
    if (item.left == 0) continue;
    fprintf(report, "host: IMBALANCE: %lld %s\n", item.left, item.what);
    balanced = false;
  }
  if (balanced) {
    fprintf(report,
            "host: browser accounting balanced: %ld objects created, %ld memalloc blocks, "
            "%ld property values, all given back\n",
            after.objectsCreated - before.objectsCreated, after.allocations - before.allocations,
            after.variantsHandedOut - before.variantsHandedOut);
  }
  return balanced;
}

// How a script failed: stopped by the watchdog, or an error of its own.
// `script` is the one that ran, or NULL for a timer's call.
void reportScriptError(const PageRun& run, const PageScript* script, const ScriptError& error,
                       FILE* report) {
  std::string name = narrow(script != NULL ? script->name : run.scriptName);
  if (scriptStop() == kScriptTimedOut) {
    fprintf(report,
            "host: SCRIPT TIME-OUT %s: no end after %lu s, stopped at line %lu "
            "(--script-timeout SECONDS, 0 for no limit)\n",
            name.c_str(), run.scriptTimeoutSeconds, error.line);
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
  fprintf(report, "host: SCRIPT ERROR %s%s: %s\n", where.c_str(), script == NULL ? " (timer)" : "",
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

// The page as embeddings and scripts: an HTML page's own, or the options' one
// embedding and the bare script.
void describePage(const PageRun& run, std::vector<Embedding>* embeddings,
                  std::vector<PageScript>* scripts, std::string* title, FILE* report) {
  if (!isHtmlName(run.scriptName)) {
    Embedding e;
    e.element.tag = "embed";
    e.element.attributes = {{"type", run.mimeType},
                            {"id", narrow(run.elementName)},
                            {"width", std::to_string(kEmbedWidth)},
                            {"height", std::to_string(kEmbedHeight)}};
    for (const auto& a : run.attributes) e.element.attributes.push_back(a);
    e.mimeType = run.mimeType;
    embeddings->push_back(e);
    scripts->push_back(PageScript{run.scriptName, run.script, true, 1});
    return;
  }
  HtmlPage page = parseHtml(run.script);
  *title = page.title;
  for (const PageElement& element : page.elements) {
    Embedding e;
    e.element = element;
    e.mimeType = element.attribute("type");
    embeddings->push_back(e);
  }
  for (const PageScriptRef& ref : page.scripts) {
    PageScript script;
    if (ref.src.empty()) {
      // Blank lines put the inline text at its line of the page, for error reports.
      script.name = run.scriptName;
      script.source = std::wstring(ref.line - 1, L'\n') + ref.source;
      script.firstLine = ref.line;
    } else {
      // Relative to the page, in the form the page was named in (a Unix path under Wine).
      std::wstring path = widen(ref.src);
      bool unixPage = !run.scriptName.empty() && run.scriptName[0] == L'/';
      for (wchar_t& c : path) {
        if (c == L'/' && !unixPage) c = L'\\';
      }
      bool absolute = unixPage ? path[0] == L'/' : path.size() >= 2 && path[1] == L':';
      script.name = absolute ? path : directoryOf(run.scriptName) + path;
      std::string reason;
      script.readable = readPageScript(script.name, &script.source, &reason);
      if (!script.readable) {
        fprintf(report, "host: script %s not loaded: %s\n", ref.src.c_str(), reason.c_str());
      }
    }
    scripts->push_back(script);
  }
  fprintf(report, "host: HTML page \"%s\": %zu embeddings, %zu scripts\n", page.title.c_str(),
          embeddings->size(), scripts->size());
}

// NPP_New for the embedding, then its window and scriptable object. Answers NPP_New's.
NPError createInstance(JSContext* ctx, const NPPluginFuncs& funcs, const std::string& name,
                       Embedding* e, FILE* report) {
  Arguments arguments(e->element);
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
  e->window = hiddenWindow(L"kelvra_host embedding");
  NPWindow npWindow;
  memset(&npWindow, 0, sizeof npWindow);
  npWindow.window = e->window;
  npWindow.width = kEmbedWidth;
  npWindow.height = kEmbedHeight;
  npWindow.clipRect.right = kEmbedWidth;
  npWindow.clipRect.bottom = kEmbedHeight;
  npWindow.type = NPWindowTypeWindow;
  if (funcs.setwindow != NULL) {
    PluginCall call("NPP_SetWindow");
    fprintf(report, "host: NPP_SetWindow -> %d\n", funcs.setwindow(&e->instance, &npWindow));
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

// kelvraHostPage[member](...args) of the page's prelude.
JSValue callPage(JSContext* ctx, const char* member, int argc, JSValueConst* argv) {
  JSValue global = JS_GetGlobalObject(ctx);
  JSValue page = JS_GetPropertyStr(ctx, global, "kelvraHostPage");
  JSValue function = JS_GetPropertyStr(ctx, page, member);
  JSValue result = JS_Call(ctx, function, page, argc, argv);
  JS_FreeValue(ctx, function);
  JS_FreeValue(ctx, page);
  JS_FreeValue(ctx, global);
  if (JS_IsException(result)) JS_FreeValue(ctx, JS_GetException(ctx));
  return result;
}

// The parser reaches embedding i: it joins the document and, when it is for the
// plug-in, is instantiated there, before the scripts after it run, as a browser lays
// it out. Answers false when the page cannot go on.
bool embed(Page& page, size_t i, const NPPluginFuncs& funcs, bool pluginUp, const PageRun& run,
           PageOutcome* outcome, FILE* report) {
  Embedding& e = page.embeddings[i];
  JSContext* ctx = page.session->context();
  bool html = isHtmlName(run.scriptName);
  JSValue attributes = JS_NewObject(ctx);
  for (const auto& a : e.element.attributes) {
    JS_DefinePropertyValueStr(ctx, attributes, a.first.c_str(),
                              JS_NewStringLen(ctx, a.second.data(), a.second.size()),
                              JS_PROP_C_W_E);
  }
  JSValue args[] = {JS_NewString(ctx, e.element.tag.c_str()), attributes};
  e.node = callPage(ctx, "add", 2, args);
  JS_FreeValue(ctx, args[0]);
  JS_FreeValue(ctx, args[1]);
  if (!JS_IsObject(e.node)) return false;
  e.elementObject = scriptNPObject(ctx, NULL, e.node);
  std::string id = e.element.attribute("id");
  if (pluginUp && e.forPlugin) {
    NPError created = createInstance(
        ctx, funcs, id.empty() ? "embedding " + std::to_string(i + 1) : id, &e, report);
    if (!html && created != NPERR_NO_ERROR) {
      fprintf(report,
              "host: NOT RUN: the plug-in refused the embedding (NPP_New -> %d; its log says "
              "why), so the page's script was not run; in a browser the page would see %s as "
              "an element without the plug-in's methods\n",
              created, narrow(run.elementName).c_str());
    }
  }
  // A bare script's refused instance ends the run; a page goes on without it.
  if (!html && !e.created) outcome->exitCode = kExitPluginRefused;
  attachScriptable(ctx, e.node, e.scriptable);
  // A bare script's `plugin` is null without a scriptable object.
  if (!html && !page.session->define(narrow(run.elementName).c_str(),
                                     JS_IsObject(e.scriptable) ? JS_DupValue(ctx, e.node)
                                                               : JS_NULL)) {
    return false;
  }
  JSValue attached = callPage(ctx, "attach", 1, &e.node);
  bool ok = !JS_IsException(attached);
  JS_FreeValue(ctx, attached);
  return ok;
}

// The page's life between its first script and NPP_Destroy. Answers whether every
// script and timer ran without an uncaught error. parseUpTo(k) embeds what comes
// before the page's script k (all that is left for k past the last) and answers
// whether the page goes on.
bool runScripts(Page& page, const PageRun& run, const std::vector<PageScript>& scripts,
                const std::function<bool(size_t)>& parseUpTo, FILE* report) {
  bool ok = true, stopped = false;
  for (size_t k = 0; k < scripts.size() && !stopped; ++k) {
    if (!parseUpTo(k)) return false;
    const PageScript& script = scripts[k];
    if (!script.readable) {
      ok = false;
      continue;
    }
    step(run, report);
    fprintf(report, "host: running %s\n", narrow(script.name).c_str());
    fflush(report);
    ScriptError error;
    if (!page.session->run(narrow(script.source), narrow(script.name), &error)) {
      reportScriptError(run, &script, error, report);
      ok = false;
      stopped = scriptStop() != kScriptNotStopped;  // the page is stopped, not one script
    }
  }
  if (!stopped && !parseUpTo(scripts.size())) return false;
  if (ok) fprintf(report, "host: script finished\n");
  step(run, report);
  if (!ok) return false;
  if (!runLoop()) {
    reportScriptError(run, NULL, page.timerError, report);
    step(run, report);
    return false;
  }
  LoopCounts counts = loopCounts();
  if (counts.scriptTimersFired + counts.pluginTimersFired + counts.asyncCallsRun +
          counts.streamsDelivered + counts.urlsRefused >
      0) {
    fprintf(report,
            "host: page idle: %ld script timers, %ld plug-in timers, %ld async calls, "
            "%ld streams delivered, %ld URLs refused (offline)\n",
            counts.scriptTimersFired, counts.pluginTimersFired, counts.asyncCallsRun,
            counts.streamsDelivered, counts.urlsRefused);
  }
  step(run, report);
  return true;
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
  std::vector<PageScript> scripts;
  std::string title;
  describePage(run, &page.embeddings, &scripts, &title, report);
  std::string reason;
  bool html = isHtmlName(run.scriptName);
  size_t forPlugin = 0;
  for (Embedding& e : page.embeddings) {
    e.forPlugin = pluginHandles(run.pluginPath, e.mimeType, &reason);
    if (e.forPlugin) ++forPlugin;
  }
  if (forPlugin == 0 && !html) {
    fprintf(report, "host: REFUSED: %s\n", reason.c_str());
    outcome.exitCode = kExitPluginRefused;
    return outcome;
  }
  if (forPlugin == 0)
    fprintf(report, "host: no embedding of the page is for the plug-in: %s\n", reason.c_str());
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
  LoadedPlugin plugin = {NULL, NULL, NULL, NULL, NULL};
  if (forPlugin > 0 && !loadPlugin(run.pluginPath, &plugin)) {
    fprintf(report, "host: REFUSED: %s cannot be loaded as an NPAPI plug-in\n",
            narrow(run.pluginPath).c_str());
    if (launcher.module != NULL) stopLauncher(&launcher);
    outcome.exitCode = kExitPluginRefused;
    return outcome;
  }

  // The page's script engine comes first: the plug-in sees its window from NPP_New on.
  ScriptSession session(console, TimerSink{addScriptTimer, removeScriptTimer},
                        run.scriptTimeoutSeconds);
  page.session = &session;
  ScriptError startError;
  bool ran = session.start(pagePrelude(location, title, run.pluginPath), &startError);
  if (!ran) reportScriptError(run, NULL, startError, report);
  if (ran) {
    JSValue global = JS_GetGlobalObject(session.context());
    page.window = scriptNPObject(session.context(), NULL, global);
    JS_FreeValue(session.context(), global);
  }
  NPPluginFuncs funcs;
  memset(&funcs, 0, sizeof funcs);
  NPError error = NPERR_NO_ERROR;
  // The browser window around the page (NPNVnetscapeWindow), never shown.
  page.topWindow = hiddenWindow(L"kelvra_host page");
  current = &page;
  browser::setEmbedder(&kEmbedder);
  startLoop(
      StreamTarget{&funcs, run.url, report},
      [&page](long id) {
        page.timerError = ScriptError();
        return page.session->fireTimer(id, &page.timerError);
      },
      [&page]() {
        page.timerError = ScriptError();
        return page.session->settle(&page.timerError);
      });
  if (ran && plugin.module != NULL) {
    fprintf(report, "host: loaded %s\n", narrow(run.pluginPath).c_str());
    {
      PluginCall call("NP_GetEntryPoints, NP_Initialize");
      error = startPlugin(plugin, browser::functions(), &funcs);
    }
    fprintf(report, "host: NP_GetEntryPoints, NP_Initialize -> %d\n", error);
    if (error == NPERR_NO_ERROR && (funcs.newp == NULL || funcs.destroy == NULL)) {
      fprintf(report, "host: REFUSED: the plug-in offers no NPP_New/NPP_Destroy\n");
      outcome.exitCode = kExitPluginRefused;
    } else if (error != NPERR_NO_ERROR) {
      outcome.exitCode = kExitPluginRefused;
    } else {
      fprintf(report, "host: page %s (location.host %s)\n", run.url.c_str(), location.host.c_str());
    }
  }
  bool pluginUp = ran && plugin.module != NULL && outcome.exitCode == kExitOk;
  size_t parsed = 0;
  auto parseUpTo = [&](size_t scriptsRun) {
    for (; ran && parsed < page.embeddings.size() &&
           page.embeddings[parsed].element.scriptsBefore <= scriptsRun;
         ++parsed) {
      ran = embed(page, parsed, funcs, pluginUp, run, &outcome, report);
    }
    return ran && outcome.exitCode == kExitOk;
  };
  if (ran && outcome.exitCode == kExitOk) ran = runScripts(page, run, scripts, parseUpTo, report);

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
        fprintf(report, "host: NPP_Destroy -> %d\n", funcs.destroy(&e.instance, NULL));
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
  if (plugin.module != NULL) {
    if (error == NPERR_NO_ERROR && funcs.size != 0) {
      PluginCall call("NP_Shutdown");
      fprintf(report, "host: NP_Shutdown -> %d\n", plugin.shutdown());
    }
    unloadPlugin(&plugin);
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
  if (outcome.exitCode == kExitOk && !ran) {
    outcome.exitCode = scriptStop() == kScriptTimedOut     ? kExitScriptTimeout
                       : scriptStop() == kScriptInterrupted ? kExitInterrupted
                                                            : kExitScriptError;
  }
  if (outcome.exitCode == kExitOk && !balanced) outcome.exitCode = kExitImbalance;
  fflush(report);
  return outcome;
}

}  // namespace host
