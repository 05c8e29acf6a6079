#include "browser_side.h"

#include <ctype.h>
#include <string.h>

#include "plugin_guard.h"

namespace host {

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

HWND hiddenWindow(const wchar_t* title, uint32_t width, uint32_t height) {
  int w = static_cast<int>(width), h = static_cast<int>(height);
  HWND window = CreateWindowExW(0, L"STATIC", title, WS_POPUP, 0, 0, w, h, NULL, NULL, NULL, NULL);
  return window != NULL ? window
                        : CreateWindowExW(0, L"STATIC", title, 0, 0, 0, w, h, HWND_MESSAGE, NULL,
                                          NULL, NULL);
}

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

HWND setPluginWindow(const NPPluginFuncs& funcs, NPP instance, uint32_t width, uint32_t height,
                     FILE* report) {
  HWND window = hiddenWindow(L"kelvra embedding", width, height);
  NPWindow npWindow;
  memset(&npWindow, 0, sizeof npWindow);
  npWindow.window = window;
  npWindow.width = width;
  npWindow.height = height;
  npWindow.clipRect.right = static_cast<uint16_t>(width);
  npWindow.clipRect.bottom = static_cast<uint16_t>(height);
  npWindow.type = NPWindowTypeWindow;
  if (funcs.setwindow != NULL) {
    PluginCall call("NPP_SetWindow");
    fprintf(report, "host: NPP_SetWindow(%ux%u) -> %d\n", width, height,
            funcs.setwindow(instance, &npWindow));
  }
  return window;
}

std::vector<std::string> splitFields(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t bar; (bar = text.find('|', start)) != std::string::npos; start = bar + 1) {
    parts.push_back(text.substr(start, bar - start));
  }
  parts.push_back(text.substr(start));
  return parts;
}

NPVariant stringForPlugin(const std::string& text) {
  NPVariant value;
  char* bytes = static_cast<char*>(browser::functions()->memalloc(static_cast<uint32_t>(text.size() + 1)));
  if (bytes != NULL) {
    memcpy(bytes, text.data(), text.size());
    bytes[text.size()] = '\0';
  }
  STRINGN_TO_NPVARIANT(bytes, bytes != NULL ? text.size() : 0, value);
  return value;
}

}  // namespace host
