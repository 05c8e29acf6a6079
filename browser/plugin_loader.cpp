#include "plugin_loader.h"

#include <objbase.h>
#include <string.h>

bool loadPlugin(const std::wstring& path, LoadedPlugin* plugin) {
  HMODULE module = LoadLibraryW(path.c_str());
  if (module == NULL) return false;
  plugin->module = module;
  plugin->getEntryPoints = reinterpret_cast<NPError(WINAPI*)(NPPluginFuncs*)>(
      reinterpret_cast<void*>(GetProcAddress(module, "NP_GetEntryPoints")));
  plugin->initialize = reinterpret_cast<NPError(WINAPI*)(NPNetscapeFuncs*)>(
      reinterpret_cast<void*>(GetProcAddress(module, "NP_Initialize")));
  plugin->shutdown = reinterpret_cast<NPError(WINAPI*)()>(
      reinterpret_cast<void*>(GetProcAddress(module, "NP_Shutdown")));
  plugin->mimeDescription = reinterpret_cast<const char* (*)()>(
      reinterpret_cast<void*>(GetProcAddress(module, "NP_GetMIMEDescription")));
  // NP_GetMIMEDescription is optional on Windows: browsers read the version resource.
  if (plugin->getEntryPoints == NULL || plugin->initialize == NULL || plugin->shutdown == NULL) {
    FreeLibrary(module);
    plugin->module = NULL;
    return false;
  }
  return true;
}

NPError startPlugin(const LoadedPlugin& plugin, NPNetscapeFuncs* browserFuncs,
                    NPPluginFuncs* funcs) {
  memset(funcs, 0, sizeof *funcs);
  funcs->size = sizeof *funcs;
  NPError error = plugin.getEntryPoints(funcs);
  return error != NPERR_NO_ERROR ? error : plugin.initialize(browserFuncs);
}

void unloadPlugin(LoadedPlugin* plugin) {
  if (plugin->module != NULL) FreeLibrary(plugin->module);
  plugin->module = NULL;
}

std::wstring programDirectory() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
  std::wstring text(path, length);
  return text.substr(0, text.find_last_of(L"\\/") + 1);
}

std::wstring makeTemporaryDirectory(const std::wstring& prefix) {
  // Below the directory the process started with, however often TMP moves since.
  static const std::wstring base = [] {
    wchar_t path[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, path);
    return std::wstring(path, length < MAX_PATH ? length : 0);
  }();
  GUID guid;
  CoCreateGuid(&guid);
  wchar_t name[64];
  swprintf(name, 64, L"%08lX%04X", static_cast<unsigned long>(guid.Data1),
           static_cast<unsigned>(guid.Data2));
  std::wstring directory = base + prefix + name + L"\\";
  CreateDirectoryW(directory.c_str(), NULL);
  return directory;
}

bool removeTemporaryDirectory(const std::wstring& directory) {
  std::vector<std::wstring> files = findFiles(directory, L"*");
  for (const std::wstring& file : files) DeleteFileW(file.c_str());  // "." and ".." fail
  return RemoveDirectoryW(directory.c_str()) != 0;
}

void setProcessTemporaryDirectory(const std::wstring& directory) {
  SetEnvironmentVariableW(L"TMP", directory.c_str());
  SetEnvironmentVariableW(L"TEMP", directory.c_str());
}

std::vector<std::wstring> findFiles(const std::wstring& directory, const wchar_t* pattern) {
  std::vector<std::wstring> files;
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW((directory + pattern).c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return files;
  do {
    files.push_back(directory + data.cFileName);
  } while (FindNextFileW(search, &data));
  FindClose(search);
  return files;
}

std::string readFileShared(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  std::string text;
  if (file == INVALID_HANDLE_VALUE) return text;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, NULL) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  return text;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

namespace {

// The file's whole version block, or "" when it has none.
std::string versionBlock(const std::wstring& path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return std::string();
  std::string block(size, '\0');
  if (!GetFileVersionInfoW(path.c_str(), 0, size, &block[0])) return std::string();
  return block;
}

}  // namespace

std::string versionString(const std::wstring& path, const char* name) {
  std::string block = versionBlock(path);
  if (block.empty()) return std::string();
  std::wstring key = L"\\StringFileInfo\\040904e4\\" + widen(name);
  wchar_t* value = NULL;
  UINT length = 0;
  if (!VerQueryValueW(&block[0], key.c_str(), reinterpret_cast<void**>(&value), &length) ||
      value == NULL) {
    return std::string();
  }
  return narrow(std::wstring(value, length > 0 && value[length - 1] == 0 ? length - 1 : length));
}

bool versionFixedInfo(const std::wstring& path, VS_FIXEDFILEINFO* info) {
  std::string block = versionBlock(path);
  VS_FIXEDFILEINFO* fixed = NULL;
  UINT length = 0;
  if (block.empty() ||
      !VerQueryValueW(&block[0], L"\\", reinterpret_cast<void**>(&fixed), &length) ||
      fixed == NULL || length < sizeof *fixed) {
    return false;
  }
  *info = *fixed;
  return true;
}

std::wstring widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), NULL, 0);
  std::wstring text(units, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &text[0], units);
  return text;
}

std::string narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), NULL, 0,
                                  NULL, NULL);
  std::string utf8(bytes, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], bytes,
                      NULL, NULL);
  return utf8;
}
