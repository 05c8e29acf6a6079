#include "answers.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>
#include <wctype.h>

namespace demo {
namespace {

struct MethodName {
  const wchar_t* name;
  enum Kind { kPlain, kText, kFlag } kind;
};

// In the order of Method.
const MethodName kMethods[kMethodCount] = {
    {L"StartGame", MethodName::kPlain},       {L"HelloWorld", MethodName::kPlain},
    {L"Hello", MethodName::kText},            {L"Get_InstallHost", MethodName::kText},
    {L"Update", MethodName::kPlain},          {L"Put_AuthenticationTicket", MethodName::kPlain},
    {L"Get_IsUpToDate", MethodName::kFlag},   {L"PreStartGame", MethodName::kPlain},
    {L"Get_GameStarted", MethodName::kFlag},  {L"SetSilentModeEnabled", MethodName::kPlain},
    {L"GetKeyValue", MethodName::kText},      {L"SetKeyValue", MethodName::kPlain},
    {L"DeleteKeyValue", MethodName::kPlain},  {L"SetStartInHiddenMode", MethodName::kPlain},
    {L"UnhideApp", MethodName::kPlain},       {L"BringAppToFront", MethodName::kPlain},
    {L"ResetLaunchState", MethodName::kPlain}, {L"SetEditMode", MethodName::kPlain},
};

struct NamedResult {
  const wchar_t* name;
  HRESULT result;
};

const NamedResult kResults[] = {
    {L"S_OK", S_OK},
    {L"S_FALSE", S_FALSE},
    {L"E_FAIL", E_FAIL},
    {L"E_ABORT", E_ABORT},
    {L"E_ACCESSDENIED", E_ACCESSDENIED},
    {L"E_INVALIDARG", E_INVALIDARG},
    {L"E_NOTIMPL", E_NOTIMPL},
    {L"E_OUTOFMEMORY", E_OUTOFMEMORY},
    {L"E_POINTER", E_POINTER},
    {L"E_UNEXPECTED", E_UNEXPECTED},
};

std::string utf8(const std::wstring& text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), NULL, 0,
                                 NULL, NULL);
  std::string bytes(size > 0 ? size : 0, '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size,
                        NULL, NULL);
  }
  return bytes;
}

// A whole number in `text` (decimal, or hexadecimal after 0x), within [low, high].
bool wholeNumber(const std::wstring& text, long long low, long long high, long long* value) {
  if (text.empty() || iswspace(text[0])) return false;
  wchar_t* end = NULL;
  errno = 0;
  *value = wcstoll(text.c_str(), &end, 0);
  return errno == 0 && *end == 0 && *value >= low && *value <= high;
}

bool parseResult(const std::wstring& text, HRESULT* result) {
  for (const NamedResult& named : kResults) {
    if (_wcsicmp(text.c_str(), named.name) == 0) {
      *result = named.result;
      return true;
    }
  }
  long long value = 0;
  // Negative decimals as script shows them, or the unsigned hexadecimal form.
  if (!wholeNumber(text, INT32_MIN, UINT32_MAX, &value)) return false;
  *result = static_cast<HRESULT>(static_cast<unsigned long>(value));
  return true;
}

bool startsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, wcslen(prefix), prefix) == 0;
}

}  // namespace

bool addAnswer(const std::wstring& answer, Answers* answers, std::string* reason) {
  if (_wcsicmp(answer.c_str(), L"not-installed") == 0) {
    answers->notInstalled = true;
    return true;
  }
  size_t equals = answer.find(L'=');
  if (equals == std::wstring::npos) {
    *reason = "launcher answer \"" + utf8(answer) + "\" is not METHOD=VALUE or not-installed";
    return false;
  }
  std::wstring name = answer.substr(0, equals), value = answer.substr(equals + 1);
  int method = 0;
  while (method < kMethodCount && _wcsicmp(name.c_str(), kMethods[method].name) != 0) ++method;
  if (method == kMethodCount) {
    *reason = "launcher answer for \"" + utf8(name) + "\": no such script method";
    return false;
  }
  Answer& entry = answers->methods[method];
  const MethodName::Kind kind = kMethods[method].kind;
  const std::string what = "launcher answer " + utf8(answer) + ": ";
  long long delay = 0;
  if (startsWith(value, L"delay:")) {
    if (!wholeNumber(value.substr(6), 0, kMaxDelayMs, &delay)) {
      *reason = what + "the delay is milliseconds from 0 to 600000";
      return false;
    }
    entry.delayMs = static_cast<DWORD>(delay);
  } else if (startsWith(value, L"text:")) {
    if (kind != MethodName::kText) {
      *reason = what + "only Hello, Get_InstallHost and GetKeyValue answer a text";
      return false;
    }
    entry.hasText = true;
    entry.text = value.substr(5);
  } else if (value == L"true" || value == L"false") {
    if (kind != MethodName::kFlag) {
      *reason = what + "only Get_GameStarted and Get_IsUpToDate answer a flag";
      return false;
    }
    entry.flag = value == L"true" ? 1 : 0;
  } else if (parseResult(value, &entry.result)) {
    entry.hasResult = true;
  } else {
    *reason = what + "not an HRESULT (0x80004005, E_FAIL, ...), text:..., true, false or delay:MS";
    return false;
  }
  return true;
}

bool parseAnswers(const std::wstring& lines, Answers* answers, std::string* reason) {
  size_t start = 0;
  while (start <= lines.size()) {
    size_t end = lines.find(L'\n', start);
    if (end == std::wstring::npos) end = lines.size();
    std::wstring line = lines.substr(start, end - start);
    if (!line.empty() && !addAnswer(line, answers, reason)) return false;
    start = end + 1;
  }
  return true;
}

bool answersOfProcess(Answers* answers, std::string* reason) {
  *answers = Answers();
  DWORD size = GetEnvironmentVariableW(KELVRA_DEMO_ANSWERS_VARIABLE, NULL, 0);
  if (size == 0) return true;
  std::wstring lines(size, L'\0');
  size = GetEnvironmentVariableW(KELVRA_DEMO_ANSWERS_VARIABLE, &lines[0], size);
  lines.resize(size);
  return parseAnswers(lines, answers, reason);
}

}  // namespace demo
