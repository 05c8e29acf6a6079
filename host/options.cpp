#include "options.h"

#include <windows.h>
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

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

bool setTimeout(Options* o, const std::wstring& v, std::string* reason) {
  unsigned long seconds = 0;
  if (!parseSeconds(v, &seconds, reason)) return false;
  o->run.timeoutSeconds = static_cast<unsigned>(seconds);
  return true;
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
    {L"--launcher-answer", "ANSWER", setAnswer},
    {L"--reset-store", NULL, KELVRA_SWITCH(o->resetStore)},
    {L"--script-timeout", "SECONDS", setScriptTimeout},
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

bool readPageScript(const std::wstring& given, std::wstring* script, std::string* reason) {
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
  std::string bytes;
  char buffer[65536];
  DWORD got = 0;
  BOOL ok = TRUE;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &got, NULL)) && got > 0) bytes.append(buffer, got);
  DWORD readError = GetLastError();
  CloseHandle(file);
  if (!ok) {
    *reason = name + " cannot be read: " + systemMessage(readError);
    return false;
  }
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
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
  *script = widen(bytes);
  return true;
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
