#include "harness.h"

#include <psapi.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace kelvra_bench {

namespace {

const char kMime[] = "application/x-vnd-kelvra-launcher";

}  // namespace

void removeFolder(const std::wstring& folder) {
  for (const std::wstring& file : findFiles(folder, L"*")) DeleteFileW(file.c_str());
  RemoveDirectoryW(folder.c_str());
}

bool PluginSession::open(const wchar_t* prefix) {
  folder_ = makeTemporaryDirectory(prefix);
  setProcessTemporaryDirectory(folder_);
  if (!loadPlugin(programDirectory() + L"NPKelvraProxy.dll", &plugin_)) return false;
  started_ = startPlugin(plugin_, browser::functions(), &funcs_) == NPERR_NO_ERROR;
  return started_;
}

void PluginSession::close() {
  if (started_) plugin_.shutdown();
  started_ = false;
  unloadPlugin(&plugin_);
  if (!folder_.empty()) removeFolder(folder_);
  folder_.clear();
}

NPP PluginSession::newEmbedding() {
  browser::setHost("www.kelvra.com");
  NPP instance = new NPP_t();
  char mime[sizeof kMime];
  memcpy(mime, kMime, sizeof kMime);
  if (funcs_.newp(mime, instance, NP_EMBED, 0, NULL, NULL, NULL) != NPERR_NO_ERROR) {
    delete instance;
    return NULL;
  }
  return instance;
}

NPObject* PluginSession::scriptableObject(NPP instance) {
  NPObject* object = NULL;
  if (funcs_.getvalue(instance, NPPVpluginScriptableNPObject, &object) != NPERR_NO_ERROR) return NULL;
  return object;
}

NPError PluginSession::destroy(NPP instance) {
  const NPError error = funcs_.destroy(instance, NULL);
  delete instance;
  return error;
}

std::wstring PluginSession::logPath() const {
  const std::vector<std::wstring> logs = findFiles(folder_, L"KLV-*.log");
  return logs.size() == 1 ? logs[0] : std::wstring();
}

namespace {

// SystemHandleInformation (16): a count, then one 16-byte entry per handle.
struct HandleEntry {
  USHORT process;
  USHORT backTrace;
  UCHAR type;
  UCHAR flags;
  USHORT handle;
  PVOID object;
  ACCESS_MASK access;
};
typedef LONG(WINAPI* QuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);

long systemHandleCount() {
  const QuerySystemInformation query = reinterpret_cast<QuerySystemInformation>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == NULL) return -1;
  std::vector<char> buffer(1 << 20);
  ULONG needed = 0;
  LONG status;
  while ((status = query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) ==
         static_cast<LONG>(0xC0000004)) {  // STATUS_INFO_LENGTH_MISMATCH
    buffer.resize(buffer.size() * 2);
  }
  if (status != 0) return -1;
  const ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
  const HandleEntry* entries = reinterpret_cast<const HandleEntry*>(buffer.data() + sizeof(ULONG_PTR));
  const USHORT self = static_cast<USHORT>(GetCurrentProcessId());
  long mine = 0;
  for (ULONG i = 0; i < count; ++i) mine += entries[i].process == self ? 1 : 0;
  return mine;
}

}  // namespace

ProcessFigures processFigures() {
  ProcessFigures figures;
  PROCESS_MEMORY_COUNTERS_EX memory = {};
  memory.cb = sizeof memory;
  if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                           sizeof memory)) {
    figures.privateUsage = memory.PrivateUsage;
    figures.pagefileUsage = memory.PagefileUsage;
  }
  GetProcessHandleCount(GetCurrentProcess(), &figures.handleCount);
  figures.systemHandles = systemHandleCount();
  return figures;
}

SIZE_T privateBytesOf(const ProcessFigures& figures) {
  return figures.privateUsage != 0 ? figures.privateUsage : figures.pagefileUsage;
}

long handlesOf(const ProcessFigures& figures) {
  return figures.handleCount != 0 ? static_cast<long>(figures.handleCount) : figures.systemHandles;
}

void printFigures(const char* label, const ProcessFigures& figures) {
  printf("%-8s PrivateUsage %8lu KiB  PagefileUsage %8lu KiB  GetProcessHandleCount %4lu  "
         "handle table %4ld\n",
         label, static_cast<unsigned long>(figures.privateUsage / 1024),
         static_cast<unsigned long>(figures.pagefileUsage / 1024),
         static_cast<unsigned long>(figures.handleCount), figures.systemHandles);
  fflush(stdout);
}

double seconds() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / frequency;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace kelvra_bench
