#include "options.h"

#include <windows.h>
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <wctype.h>

#include "answers.h"
#include "identity.h"
#include "plugin_discovery.h"
#include "plugin_loader.h"

namespace host {
namespace {

typedef bool (*Setter)(Options* options, const std::wstring& value, std::string* reason);

struct Option {
  const wchar_t* name;
  const char* valueName;  // NULL: a switch
  Setter set;             // for a switch: called with an empty value
};

bool setUrl(Options* o, const std::wstring& v, std::string* reason) {
  o->run.url = narrow(v);
  return checkUrl(o->run.url, reason);
}

bool setParam(Options* o, const std::wstring& v, std::string* reason) {
  size_t equals = v.find(L'=');
  if (equals == 0 || equals == std::wstring::npos) {
    *reason = "wants NAME=VALUE, not \"" + narrow(v) + "\"";
    return false;
  }
  o->run.attributes.push_back(
      std::make_pair(narrow(v.substr(0, equals)), narrow(v.substr(equals + 1))));
  return true;
}

bool setAnswer(Options* o, const std::wstring& v, std::string* reason) {
  demo::Answers answers;
  if (!demo::addAnswer(v, &answers, reason)) return false;
  o->launcherAnswers.push_back(v);
  return true;
}

// A time limit: whole seconds up to a day; 0 turns the limit off.
bool parseSeconds(const std::wstring& v, unsigned long* seconds, std::string* reason) {
  wchar_t* end = NULL;
  errno = 0;
  *seconds = wcstoul(v.c_str(), &end, 10);
  if (v.empty() || v[0] < L'0' || v[0] > L'9' || *end != 0 || errno != 0 || *seconds > 86400) {
    *reason = "wants whole seconds from 0 (no limit) to 86400, not \"" + narrow(v) + "\"";
    return false;
  }
  return true;
}

bool setScriptTimeout(Options* o, const std::wstring& v, std::string* reason) {
  return parseSeconds(v, &o->run.scriptTimeoutSeconds, reason);
}

bool setStayOpen(Options* o, const std::wstring& v, std::string* reason) {
  return parseSeconds(v, &o->run.stayOpenSeconds, reason);
}

bool setTimeout(Options* o, const std::wstring& v, std::string* reason) {
  unsigned long seconds = 0;
  if (!parseSeconds(v, &seconds, reason)) return false;
  o->run.timeoutSeconds = static_cast<unsigned>(seconds);
  return true;
}

// The language level page scripts are checked against: esYEAR (es5, es2015 to es2020),
// or off.
bool setSyntaxLevel(Options* o, const std::wstring& v, std::string* reason) {
  static const struct {
    const wchar_t* name;
    int level;
  } kLevels[] = {{L"off", 0},       {L"es5", 5},       {L"es2015", 2015}, {L"es2016", 2016},
                 {L"es2017", 2017}, {L"es2018", 2018}, {L"es2019", 2019}, {L"es2020", 2020}};
  for (const auto& known : kLevels) {
    if (v == known.name) {
      o->run.syntaxLevel = known.level;
      return true;
    }
  }
  *reason = "wants es5, es2015 to es2020 or off, not \"" + narrow(v) + "\"";
  return false;
}

#define KELVRA_TEXT_OPTION(field) \
  [](Options* o, const std::wstring& v, std::string*) { field = v; return true; }
#define KELVRA_NARROW_OPTION(field) \
  [](Options* o, const std::wstring& v, std::string*) { field = narrow(v); return true; }
#define KELVRA_SWITCH(field) \
  [](Options* o, const std::wstring&, std::string*) { field = true; return true; }

const Option kOptions[] = {
    {L"--help", NULL, KELVRA_SWITCH(o->help)},
    {L"-h", NULL, KELVRA_SWITCH(o->help)},
    {L"--url", "URL", setUrl},
    {L"--plugin", "DLL", KELVRA_TEXT_OPTION(o->run.pluginPath)},
    {L"--launcher", "DLL", KELVRA_TEXT_OPTION(o->run.launcherPath)},
    {L"--plugin-id", "ID", KELVRA_TEXT_OPTION(o->pluginId)},
    {L"--type", "MIME", KELVRA_NARROW_OPTION(o->run.mimeType)},
    {L"--name", "NAME", KELVRA_TEXT_OPTION(o->run.elementName)},
    {L"--param", "NAME=VALUE", setParam},
    {L"--register", "DLL", KELVRA_TEXT_OPTION(o->registerPath)},
    {L"--register-launcher", "DLL", KELVRA_TEXT_OPTION(o->launcherRegisterPath)},
    {L"--unregister", NULL, KELVRA_SWITCH(o->unregister)},
    {L"--private-temp", NULL, KELVRA_SWITCH(o->privateTemp)},
    {L"--show-log", NULL, KELVRA_SWITCH(o->showLog)},
    {L"--keep-log", NULL, KELVRA_SWITCH(o->keepLog)},
    {L"--follow", NULL, KELVRA_SWITCH(o->follow)},
    {L"--trace", NULL, KELVRA_SWITCH(o->trace)},
    {L"--dump-dom", NULL, KELVRA_SWITCH(o->dumpDom)},
    {L"--launcher-answer", "ANSWER", setAnswer},
    {L"--reset-store", NULL, KELVRA_SWITCH(o->resetStore)},
    {L"--script-timeout", "SECONDS", setScriptTimeout},
    {L"--stay-open", "SECONDS", setStayOpen},
    {L"--syntax-level", "LEVEL", setSyntaxLevel},
    {L"--timeout", "SECONDS", setTimeout},
    {L"--default-page", "FILE", KELVRA_TEXT_OPTION(o->defaultPage)},
};

const Option* findOption(const std::wstring& name) {
  for (const Option& option : kOptions) {
    if (name == option.name) return &option;
  }
  return NULL;
}

// Where well-formed UTF-8 stops (RFC 3629: no overlong forms, no surrogates, nothing
// above U+10FFFF), or bytes.size() when it does not.
size_t firstNonUtf8(const std::string& bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    unsigned char lead = static_cast<unsigned char>(bytes[i]);
    size_t extra = lead < 0x80 ? 0 : lead >= 0xC2 && lead <= 0xDF ? 1
                 : lead >= 0xE0 && lead <= 0xEF ? 2 : lead >= 0xF0 && lead <= 0xF4 ? 3 : 9;
    if (extra == 9 || (extra > 0 && i + extra >= bytes.size())) return i;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(bytes[i + k]);
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return i;
    }
    i += extra + 1;
  }
  return i;
}

std::string systemMessage(DWORD error) {
  wchar_t* text = NULL;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      NULL, error, 0, reinterpret_cast<wchar_t*>(&text), 0, NULL);
  std::wstring message(text != NULL ? text : L"", length);
  LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                              message.back() == L'.' || message.back() == L' ')) {
    message.pop_back();
  }
  char code[32];
  snprintf(code, sizeof code, "error %lu", static_cast<unsigned long>(error));
  return message.empty() ? std::string(code) : narrow(message) + " (" + code + ")";
}

// Wine's own exports of kernel32 (stdcall); absent on Windows.
typedef char*(WINAPI* UnixNameFunction)(const wchar_t*);
typedef wchar_t*(WINAPI* DosNameFunction)(const char*);

void* wineFunction(const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name));
}

// The file's bytes, or why not (no such file, a directory, unreadable).
bool readBytes(const std::wstring& given, std::string* bytes, std::string* reason) {
  const std::string name = narrow(given);
  std::wstring path = systemPath(given);
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    *reason = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                  ? name + ": no such file"
                  : name + " cannot be read: " + systemMessage(error);
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *reason = name + " is a directory, not a page script";
    return false;
  }
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    *reason = name + " cannot be read: " + systemMessage(GetLastError());
    return false;
  }
  char buffer[65536];
  DWORD got = 0;
  BOOL ok = TRUE;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &got, NULL)) && got > 0) bytes->append(buffer, got);
  DWORD readError = GetLastError();
  CloseHandle(file);
  if (!ok) {
    *reason = name + " cannot be read: " + systemMessage(readError);
    return false;
  }
  return true;
}

std::string lowerAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// The two encodings a page is read in, by the WHATWG labels of each (Firefox reads
// ISO-8859-1 and ASCII pages as windows-1252 too).
const char* const kUtf8Labels[] = {"utf-8", "utf8", "unicode-1-1-utf-8"};
const char* const kWindows1252Labels[] = {
    "windows-1252", "cp1252", "x-cp1252", "iso-8859-1", "iso8859-1", "iso_8859-1", "iso88591",
    "iso_8859-1:1987", "latin1", "l1", "cp819", "ibm819", "csisolatin1", "iso-ir-100",
    "us-ascii", "ascii", "ansi_x3.4-1968", "csascii", "iso-ir-6", "us"};

std::string encodingOf(const std::string& label) {
  std::string key = lowerAscii(label);
  for (const char* l : kUtf8Labels) {
    if (key == l) return "utf-8";
  }
  for (const char* l : kWindows1252Labels) {
    if (key == l) return "windows-1252";
  }
  return std::string();
}

// Bytes 0x80 to 0x9F of windows-1252; the others are Latin-1.
const wchar_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// The text of `bytes` in the encoding that `label` names (UTF-8 when empty; a UTF-8
// byte-order mark wins, as in browsers), or why not.
bool decodePage(const std::string& name, std::string bytes, const std::string& label,
                std::wstring* text, std::string* used, std::string* reason) {
  bool bom = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
  if (bom) bytes.erase(0, 3);
  *used = bom || label.empty() ? "utf-8" : encodingOf(label);
  if (used->empty()) {
    *reason = name + " declares the charset \"" + label +
              "\", which the host does not read (save it as UTF-8 or windows-1252)";
    return false;
  }
  if (*used == "windows-1252") {
    text->clear();
    for (unsigned char c : bytes) {
      text->push_back(c >= 0x80 && c <= 0x9F ? kWindows1252High[c - 0x80] : static_cast<wchar_t>(c));
    }
    return true;
  }
  size_t bad = firstNonUtf8(bytes);
  if (bad < bytes.size()) {
    size_t line = 1;
    for (size_t i = 0; i < bad; ++i) line += bytes[i] == '\n' ? 1 : 0;
    char where[96];
    snprintf(where, sizeof where, " is not valid UTF-8: line %lu, byte 0x%02X at offset %lu",
             static_cast<unsigned long>(line), static_cast<unsigned char>(bytes[bad]),
             static_cast<unsigned long>(bad));
    *reason = name + where + " (save the page as UTF-8)";
    return false;
  }
  *text = widen(bytes);
  return true;
}

// The value of attribute `name` in a tag's text (`<meta ...`), or "".
std::string attributeIn(const std::string& tag, const char* name) {
  size_t at = 0;
  std::string key = std::string(name) + "=";
  while ((at = tag.find(key, at)) != std::string::npos) {
    bool starts = at > 0 && (isspace(static_cast<unsigned char>(tag[at - 1])) || tag[at - 1] == '/');
    at += key.size();
    if (!starts) continue;
    char quote = at < tag.size() && (tag[at] == '"' || tag[at] == '\'') ? tag[at++] : 0;
    size_t end = quote != 0 ? tag.find(quote, at) : tag.find_first_of(" \t\r\n/>", at);
    return tag.substr(at, end == std::string::npos ? std::string::npos : end - at);
  }
  return std::string();
}

// The charset an HTML page declares in its first 1024 bytes, as a browser's
// pre-scan finds it: <meta charset=...>, or <meta http-equiv="Content-Type"
// content="...; charset=...">; comments are passed over.
std::string declaredCharset(const std::string& bytes) {
  std::string head = lowerAscii(bytes.substr(0, 1024));
  size_t at = 0;
  while ((at = head.find('<', at)) != std::string::npos) {
    if (head.compare(at, 4, "<!--") == 0) {
      at = head.find("-->", at + 4);
      if (at == std::string::npos) break;
      continue;
    }
    size_t end = head.find('>', at);
    std::string tag = head.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? head.size() : end;
    if (tag.compare(0, 5, "<meta") != 0 || tag.size() < 6 ||
        !(isspace(static_cast<unsigned char>(tag[5])) || tag[5] == '/')) {
      continue;
    }
    std::string charset = attributeIn(tag, "charset");
    if (charset.empty() && attributeIn(tag, "http-equiv") == "content-type") {
      std::string content = attributeIn(tag, "content");
      size_t named = content.find("charset=");
      if (named != std::string::npos) {
        charset = content.substr(named + 8);
        charset = charset.substr(0, charset.find_first_of("; \t\"'"));
      }
    }
    while (!charset.empty() && isspace(static_cast<unsigned char>(charset.back()))) charset.pop_back();
    if (!charset.empty()) return charset;
  }
  return std::string();
}
}  // namespace

bool parseOptions(int argc, wchar_t** argv, Options* options, std::string* error) {
  PageRun& run = options->run;
  run.url = KELVRA_SITE_URL;
  run.mimeType = KELVRA_MIME_TYPE;
  run.elementName = L"plugin";
  run.scriptTimeoutSeconds = kDefaultScriptTimeoutSeconds;
  options->pluginId = kDefaultPluginId;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg.size() < 2 || arg[0] != L'-') {
      if (!run.scriptName.empty()) {
        *error = "one page at a time: " + narrow(run.scriptName) + " and " + narrow(arg);
        return false;
      }
      run.scriptName = arg;
      continue;
    }
    // --name=value as well as --name value.
    size_t equals = arg.compare(0, 2, L"--") == 0 ? arg.find(L'=') : std::wstring::npos;
    const Option* option = findOption(arg.substr(0, equals));
    if (option == NULL) {
      *error = "unknown option " + narrow(arg.substr(0, equals)) + " (--help lists the options)";
      return false;
    }
    std::wstring value;
    if (option->valueName == NULL) {
      if (equals != std::wstring::npos) {
        *error = narrow(option->name) + " takes no value";
        return false;
      }
    } else if (equals != std::wstring::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      *error = narrow(option->name) + " needs a value: " + narrow(option->name) + " " +
               option->valueName;
      return false;
    }
    std::string reason;
    if (!option->set(options, value, &reason)) {
      *error = narrow(option->name) + " " + reason;
      return false;
    }
  }
  if (run.scriptName.empty()) run.scriptName = options->defaultPage;
  return true;
}

bool checkUrl(const std::string& url, std::string* reason) {
  const std::string shape = " (the page's address: SCHEME://HOST[:PORT][/PATH])";
  size_t colon = url.find("://");
  bool schemeOk = colon != std::string::npos && colon > 0 && isalpha(static_cast<unsigned char>(url[0]));
  for (size_t i = 0; schemeOk && i < colon; ++i) {
    char c = url[i];
    schemeOk = isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
  }
  if (!schemeOk) {
    *reason = "\"" + url + "\" is not a URL" + shape;
    return false;
  }
  size_t start = colon + 3;
  size_t end = url.find_first_of("/?#", start);
  std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  std::string host = authority, port;
  size_t portColon = authority.rfind(':');
  if (!authority.empty() && authority[0] == '[') {  // an IPv6 literal
    size_t close = authority.find(']');
    if (close == std::string::npos) {
      *reason = "\"" + url + "\": the host's [ has no ]";
      return false;
    }
    host = authority.substr(0, close + 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') {
        *reason = "\"" + url + "\": text after the host's ]";
        return false;
      }
      port = authority.substr(close + 2);
      portColon = close + 1;
    } else {
      portColon = std::string::npos;
    }
  } else if (portColon != std::string::npos) {
    host = authority.substr(0, portColon);
    port = authority.substr(portColon + 1);
  }
  if (host.empty() || host == "[]") {
    *reason = "\"" + url + "\" has no host" + shape;
    return false;
  }
  for (size_t i = 0; host[0] != '[' && i < host.size(); ++i) {
    char c = host[i];
    if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_') {
      *reason = "\"" + url + "\": the host \"" + host + "\" holds a '" + std::string(1, c) +
                "', which no host name has";
      return false;
    }
  }
  if (portColon != std::string::npos) {
    bool digits = !port.empty() && port.size() <= 5;
    for (size_t i = 0; digits && i < port.size(); ++i) digits = isdigit(static_cast<unsigned char>(port[i])) != 0;
    long number = digits ? strtol(port.c_str(), NULL, 10) : 0;
    if (!digits || number < 1 || number > 65535) {
      *reason = "\"" + url + "\": the port \"" + port + "\" is not a number from 1 to 65535";
      return false;
    }
  }
  return true;
}

bool readPageScript(const std::wstring& given, std::wstring* script, std::string* reason,
                    std::string* charset) {
  std::string bytes;
  if (!readBytes(given, &bytes, reason)) return false;
  std::string declared = isHtmlName(given) ? declaredCharset(bytes) : std::string();
  std::string used;
  if (!decodePage(narrow(given), bytes, declared, script, &used, reason)) return false;
  if (charset != NULL) *charset = used;
  return true;
}

bool readScriptFile(const std::wstring& given, const std::string& charset, std::wstring* script,
                    std::string* reason) {
  std::string bytes, used;
  return readBytes(given, &bytes, reason) &&
         decodePage(narrow(given), bytes, charset, script, &used, reason);
}

bool isHtmlName(const std::wstring& name) {
  size_t dot = name.find_last_of(L'.');
  std::wstring extension = dot == std::wstring::npos ? std::wstring() : name.substr(dot);
  for (wchar_t& c : extension) c = static_cast<wchar_t>(towlower(c));
  return extension == L".html" || extension == L".htm";
}

std::wstring systemPath(const std::wstring& given) {
  DosNameFunction dosName = reinterpret_cast<DosNameFunction>(wineFunction("wine_get_dos_file_name"));
  if (given.empty() || given[0] != L'/' || dosName == NULL) return given;
  wchar_t* converted = dosName(narrow(given).c_str());
  if (converted == NULL) return given;
  std::wstring path = converted;
  HeapFree(GetProcessHeap(), 0, converted);
  return path;
}

std::string unixPath(const std::wstring& windowsPath) {
  UnixNameFunction unixName = reinterpret_cast<UnixNameFunction>(wineFunction("wine_get_unix_file_name"));
  if (unixName == NULL) return std::string();
  char* converted = unixName(windowsPath.c_str());
  if (converted == NULL) return std::string();
  std::string path = converted;
  HeapFree(GetProcessHeap(), 0, converted);
  return path;
}

}  // namespace host
