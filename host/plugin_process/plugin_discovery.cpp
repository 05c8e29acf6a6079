#include "plugin_discovery.h"

#include <windows.h>
#include <stdio.h>

#include "plugin_loader.h"

namespace host {
namespace {

std::wstring registrationKey(const std::wstring& id) {
  return L"Software\\MozillaPlugins\\" + id;
}

std::wstring readString(HKEY key, const wchar_t* name) {
  wchar_t value[1024];
  DWORD type = 0;
  DWORD size = sizeof value - sizeof(wchar_t);
  if (RegQueryValueExW(key, name, NULL, &type, reinterpret_cast<BYTE*>(value), &size) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return std::wstring();
  }
  value[size / sizeof(wchar_t)] = 0;
  return value;
}

LONG writeString(HKEY key, const wchar_t* name, const std::wstring& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

bool findRegisteredPlugin(const std::wstring& id, PluginRegistration* registration) {
  // The user's own registration first, then the machine's, as browsers look.
  HKEY key = NULL;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, registrationKey(id).c_str(), 0, KEY_QUERY_VALUE, &key) !=
          ERROR_SUCCESS &&
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, registrationKey(id).c_str(), 0, KEY_QUERY_VALUE, &key) !=
          ERROR_SUCCESS) {
    return false;
  }
  registration->path = readString(key, L"Path");
  registration->description = readString(key, L"Description");
  registration->productName = readString(key, L"ProductName");
  registration->vendor = readString(key, L"Vendor");
  registration->version = readString(key, L"Version");
  RegCloseKey(key);
  return !registration->path.empty();
}

bool registerPlugin(const std::wstring& id, const std::wstring& path,
                    const std::string& mimeType, std::string* reason) {
  wchar_t full[MAX_PATH];
  DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, NULL);
  if (length == 0 || length >= MAX_PATH) {
    *reason = "cannot resolve the path " + narrow(path);
    return false;
  }
  if (!pluginHandles(full, mimeType, reason)) return false;
  std::wstring version;
  VS_FIXEDFILEINFO fixed;
  if (versionFixedInfo(full, &fixed)) {
    wchar_t text[64];
    swprintf(text, 64, L"%u.%u.%u.%u", static_cast<unsigned>(HIWORD(fixed.dwFileVersionMS)),
             static_cast<unsigned>(LOWORD(fixed.dwFileVersionMS)),
             static_cast<unsigned>(HIWORD(fixed.dwFileVersionLS)),
             static_cast<unsigned>(LOWORD(fixed.dwFileVersionLS)));
    version = text;
  }
  HKEY key = NULL;
  LONG error = RegCreateKeyExW(HKEY_CURRENT_USER, registrationKey(id).c_str(), 0, NULL, 0,
                               KEY_SET_VALUE, NULL, &key, NULL);
  if (error == ERROR_SUCCESS) {
    const wchar_t* names[] = {L"Path", L"Description", L"ProductName", L"Vendor", L"Version"};
    std::wstring values[] = {full, widen(versionString(full, "FileDescription")),
                             widen(versionString(full, "ProductName")),
                             widen(versionString(full, "CompanyName")), version};
    for (int i = 0; i < 5 && error == ERROR_SUCCESS; ++i) {
      error = writeString(key, names[i], values[i]);
    }
    RegCloseKey(key);
  }
  if (error != ERROR_SUCCESS) {
    char text[64];
    snprintf(text, sizeof text, "cannot write the registration (error %ld)", error);
    *reason = text;
    return false;
  }
  return true;
}

bool unregisterPlugin(const std::wstring& id) {
  LONG error = RegDeleteTreeW(HKEY_CURRENT_USER, registrationKey(id).c_str());
  return error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND;
}

bool mimeFieldLists(const std::string& field, const std::string& mimeType) {
  size_t start = 0;
  while (start <= field.size()) {
    size_t end = field.find('|', start);
    if (end == std::string::npos) end = field.size();
    if (sameText(field.substr(start, end - start), mimeType)) return true;
    start = end + 1;
  }
  return false;
}

bool pluginHandles(const std::wstring& path, const std::string& mimeType, std::string* reason) {
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    *reason = narrow(path) + " does not exist";
    return false;
  }
  std::string field = versionString(path, "MIMEType");
  if (mimeFieldLists(field, mimeType)) return true;
  *reason = narrow(path) + (field.empty() ? std::string(" has no MIMEType in its version resource")
                                          : " handles \"" + field + "\"") +
            ", not \"" + mimeType + "\"";
  return false;
}

}  // namespace host
