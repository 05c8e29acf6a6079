#include "method_model.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <regex>

#include "launcher_standin.h"
#include "npbrowser.h"

namespace kelvra_test {
namespace model {

const MethodModel kMethods[kMethodCount] = {
    {"HelloWorld", kSlotHelloWorld, kIntegerResult, kAnyArguments, NPVariantType_Void, NULL},
    {"Hello", kSlotHello, kTextResult, kAnyArguments, NPVariantType_Void,
     "IKelvraLauncher->Hello() Error occured !"},
    {"StartGame", kSlotStartGame, kIntegerResult, 2, NPVariantType_String, NULL},
    {"Get_InstallHost", kSlotGetInstallHost, kTextResult, kAnyArguments, NPVariantType_Void,
     "IKelvraLauncher->get_InstallHost() Error occured !"},
    {"Update", kSlotUpdate, kIntegerResult, kAnyArguments, NPVariantType_Void, NULL},
    {"Put_AuthenticationTicket", kSlotPutAuthenticationTicket, kIntegerResult, 1,
     NPVariantType_String, NULL},
    {"Get_GameStarted", kSlotGetIsGameStarted, kFlagResult, kAnyArguments, NPVariantType_Void, NULL},
    {"SetSilentModeEnabled", kSlotSetSilentModeEnabled, kIntegerResult, 1, NPVariantType_Bool, NULL},
    {"SetStartInHiddenMode", kSlotSetStartInHiddenMode, kIntegerResult, 1, NPVariantType_Bool, NULL},
    {"UnhideApp", kSlotUnhideApp, kIntegerResult, 0, NPVariantType_Void, NULL},
    {"DeleteKeyValue", kSlotDeleteKeyValue, kIntegerResult, 1, NPVariantType_String, NULL},
    {"Get_IsUpToDate", kSlotGetIsUpToDate, kFlagResult, kAnyArguments, NPVariantType_Void, NULL},
    {"PreStartGame", kSlotPreStartGame, kIntegerResult, 0, NPVariantType_Void, NULL},
    {"GetKeyValue", kSlotGetKeyValue, kKeyValueResult, 1, NPVariantType_String, NULL},
    {"SetKeyValue", kSlotSetKeyValue, kIntegerResult, 2, NPVariantType_String, NULL},
    {"BringAppToFront", kSlotBringAppToFront, kIntegerResult, 0, NPVariantType_Void, NULL},
    {"ResetLaunchState", kSlotResetLaunchState, kIntegerResult, 0, NPVariantType_Void, NULL},
    {"SetEditMode", kSlotSetEditMode, kIntegerResult, 0, NPVariantType_Void, NULL},
};

const MethodModel* findMethod(const std::string& name) {
  for (const MethodModel& row : kMethods) {
    if (name == row.name) return &row;
  }
  return NULL;
}

const MethodModel& method(const char* name) {
  const MethodModel* row = findMethod(name);
  if (row == NULL) abort();
  return *row;
}

bool argumentsAccepted(const MethodModel& row, const NPVariant* args, uint32_t argCount) {
  if (row.argCount == kAnyArguments) return true;
  if (argCount != static_cast<uint32_t>(row.argCount)) return false;
  for (uint32_t i = 0; i < argCount; ++i) {
    if (args[i].type != row.argType) return false;
  }
  return true;
}

std::vector<NPVariant> wellFormedArguments(const MethodModel& row) {
  static const char* const texts[] = {"ticket-1", "script-2"};
  std::vector<NPVariant> args;
  for (int i = 0; i < row.argCount; ++i) {
    if (row.argType == NPVariantType_String) {
      args.push_back(browser::stringArgument(texts[i]));
    } else {
      NPVariant flag;
      BOOLEAN_TO_NPVARIANT(true, flag);
      args.push_back(flag);
    }
  }
  return args;
}

std::string cutAtNul(const std::string& bytes) { return std::string(bytes.c_str()); }

std::wstring launcherTextOf(const std::string& bytes) {
  const std::string text = cutAtNul(bytes);
  if (text.empty()) return std::wstring();
  const int units = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), NULL, 0);
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], units);
  return wide;
}

std::string scriptTextOf(const std::wstring& text, size_t limit) {
  const std::wstring units(text.c_str());
  if (units.empty()) return std::string();
  const int bytes = WideCharToMultiByte(CP_ACP, 0, units.data(), static_cast<int>(units.size()),
                                        NULL, 0, NULL, NULL);
  std::string narrow(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, units.data(), static_cast<int>(units.size()), &narrow[0], bytes,
                      NULL, NULL);
  if (narrow.size() > limit) narrow.resize(limit);
  return narrow;
}

bool singleByteCodePage() {
  CPINFO info;
  return GetCPInfo(CP_ACP, &info) && info.MaxCharSize == 1;
}

namespace {

bool digitsInRange(const std::string& text, size_t at, size_t count, int low, int high) {
  int value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return value >= low && value <= high;
}

}  // namespace

bool hasStamp(const std::string& line) {
  if (line.size() < kStampLength) return false;
  return digitsInRange(line, 0, 2, 1, 12) && line[2] == '-' && digitsInRange(line, 3, 2, 1, 31) &&
         line[5] == '-' && digitsInRange(line, 6, 4, 1000, 9999) && line[10] == ' ' &&
         digitsInRange(line, 11, 2, 0, 23) && line[13] == ':' && digitsInRange(line, 14, 2, 0, 59) &&
         line[16] == ':' && digitsInRange(line, 17, 2, 0, 59) && line[19] == ' ';
}

const char kSpanBegin[] = "\x1b<<KLV-SPAN";
const char kSpanEnd[] = "KLV-SPAN>>\x1b";

std::string logFault(const std::string& bytes) {
  std::string text = bytes;
  const size_t beginLength = strlen(kSpanBegin);
  const size_t endLength = strlen(kSpanEnd);
  for (size_t at = text.find(kSpanBegin); at != std::string::npos; at = text.find(kSpanBegin, at)) {
    const size_t end = text.find(kSpanEnd, at + beginLength);
    if (end == std::string::npos) return "a marked span without its end";
    text.erase(at, end + endLength - at);
  }
  if (text.empty()) return std::string();
  if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) {
    return "the last line has no CR LF: " + printable(text.substr(text.size() > 80 ? text.size() - 80 : 0));
  }
  size_t start = 0;
  int index = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    const std::string line = text.substr(start, end - start);
    if (!hasStamp(line)) return "line " + std::to_string(index) + " has no stamp: " + printable(line);
    if (line.find_first_of("\r\n") != std::string::npos) {
      return "line " + std::to_string(index) + " holds a stray CR or LF: " + printable(line);
    }
    start = end + 2;
    ++index;
  }
  return std::string();
}

std::string asLogged(const std::string& text) {
  std::string logged;
  logged.reserve(text.size());
  for (char c : text) {
    if (c == '\n') logged += '\r';
    logged += c;
  }
  return logged;
}

std::string FileTail::readNew() {
  std::string bytes;
  HANDLE file = CreateFileW(path_.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset_);
  if (SetFilePointerEx(file, position, NULL, FILE_BEGIN)) {
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, NULL) && got > 0) bytes.append(buffer, got);
  }
  CloseHandle(file);
  offset_ += bytes.size();
  return bytes;
}

bool soundHostRule(const std::string& host) {
  static const std::regex kHostAndPort("([^\\x01-\\x20\\x7F/?#@\\\\\\[\\]:]+)(:([0-9]{1,5}))?");
  std::smatch parts;
  if (host.find('\0') != std::string::npos || !std::regex_match(host, parts, kHostAndPort) ||
      (parts[3].matched && std::stoul(parts[3].str()) > 65535)) {
    return false;
  }
  std::string name = parts[1].str();
  if (name.back() == '.') name.pop_back();
  if (name.empty() || name.front() == '.' || name.back() == '.' || name.find("..") != std::string::npos) {
    return false;
  }
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  const std::string domain = "kelvra.com";
  const std::string below = "." + domain;
  return name == domain ||
         (name.size() >= below.size() && name.compare(name.size() - below.size(), below.size(), below) == 0);
}

std::string originVerdict(const std::string& origin) {
  static const std::regex kOrigin(
      "([A-Za-z][A-Za-z0-9+.-]*)://([^\\x01-\\x20\\x7F/?#@\\\\\\[\\]:]+)(:([0-9]{1,5}))?");
  const std::string text = origin.c_str();
  std::smatch parts;
  const bool split = std::regex_match(text, parts, kOrigin) &&
                     (!parts[4].matched || std::stoul(parts[4].str()) <= 65535);
  if (!split || !soundHostRule(parts[2].str())) return "location.host DOES NOT contain substring=kelvra.com";
  std::string scheme = parts[1].str();
  for (char& c : scheme) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (scheme != "https") return "page protocol=" + parts[1].str() + ": is not https:";
  return "location.host contains substring=kelvra.com";
}

std::string printable(const std::string& bytes, size_t limit) {
  std::string shown;
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      shown += static_cast<char>(c);
    } else {
      char escape[8];
      snprintf(escape, sizeof escape, "\\x%02X", c);
      shown += escape;
    }
  }
  if (bytes.size() > limit) shown += "... (" + std::to_string(bytes.size()) + " bytes)";
  return shown;
}

uint64_t Random::next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint32_t Random::below(uint32_t bound) { return static_cast<uint32_t>(next() % bound); }

uint64_t seedFrom(const char* variable) {
  char text[64];
  const DWORD length = GetEnvironmentVariableA(variable, text, sizeof text);
  if (length > 0 && length < sizeof text) return strtoull(text, NULL, 0);
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  Random mix(static_cast<uint64_t>(now.QuadPart) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 32));
  return mix.next() >> 16;  // short enough to type back in
}

}  // namespace model
}  // namespace kelvra_test
