#include "plugin_guard.h"

#include <windows.h>
#include <stdio.h>

#include "page_run.h"

namespace host {
namespace {

const int kMaxDepth = 64;

// The calls in progress, written by the main thread and read by the watchdog and the
// fault filter: plain words, each written before the depth that publishes it.
struct Calls {
  const char* volatile what[kMaxDepth];
  volatile ULONGLONG started[kMaxDepth];
  volatile LONG depth;
  volatile LONG outermost;  // counts the outermost calls
};

Calls calls;
FILE* report = stderr;
void* volatile guarded = NULL;
unsigned timeoutMs = 0;

// What the innermost call is, and how long the outermost has run.
void describe(char* text, size_t size) {
  LONG depth = calls.depth;
  if (depth <= 0) {
    snprintf(text, size, "outside any plug-in call");
    return;
  }
  if (depth > kMaxDepth) depth = kMaxDepth;
  ULONGLONG now = GetTickCount64();
  snprintf(text, size, "in %s (%.1f s into the plug-in call%s%s)", calls.what[depth - 1],
           static_cast<double>(now - calls.started[0]) / 1000.0, depth > 1 ? " from " : "",
           depth > 1 ? calls.what[0] : "");
}

void endProcess(int code) {
  fflush(stdout);
  fflush(report);
  // Not ExitProcess: the plug-in's DLL must not run its detach code after this.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
}

DWORD WINAPI watch(void*) {
  for (;;) {
    Sleep(100);
    LONG depth = calls.depth;
    if (depth <= 0) continue;
    ULONGLONG started = calls.started[0];
    if (GetTickCount64() - started < timeoutMs) continue;
    if (calls.depth <= 0 || calls.started[0] != started) continue;  // it returned meanwhile
    char where[256];
    describe(where, sizeof where);
    fprintf(report, "host: HUNG: the plug-in did not return within %u s, %s\n", timeoutMs / 1000,
            where);
    endProcess(kExitHung);
  }
}

void reportFault(const EXCEPTION_RECORD* record) {
  char where[256];
  describe(where, sizeof where);
  char module[MAX_PATH] = "";
  HMODULE owner = NULL;
  if (GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<const char*>(record->ExceptionAddress), &owner)) {
    GetModuleFileNameA(owner, module, sizeof module);
  }
  fprintf(report, "host: CRASHED: exception 0x%08lX at %p%s%s, %s\n",
          static_cast<unsigned long>(record->ExceptionCode), record->ExceptionAddress,
          module[0] != 0 ? " in " : "", module, where);
  endProcess(kExitCrashed);
}

// Last chance: a fault no one handled.
LONG WINAPI unhandled(EXCEPTION_POINTERS* exception) {
  reportFault(exception->ExceptionRecord);
  return EXCEPTION_EXECUTE_HANDLER;
}

bool isFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_STACK_OVERFLOW:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_IN_PAGE_ERROR:
      return true;
    default:
      return false;  // C++ exceptions and debugger messages go their way
  }
}

// First chance: a fault of the plug-in's own code during one of its calls.
LONG WINAPI firstChance(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD* record = exception->ExceptionRecord;
  HMODULE owner = NULL;
  if (calls.depth > 0 && guarded != NULL && isFault(record->ExceptionCode) &&
      GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<const char*>(record->ExceptionAddress), &owner) &&
      owner == guarded) {
    reportFault(record);
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void startGuard(unsigned timeoutSeconds, FILE* out) {
  report = out;
  timeoutMs = timeoutSeconds * 1000u;
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(unhandled);
  AddVectoredExceptionHandler(1, firstChance);
  if (timeoutMs > 0) {
    HANDLE thread = CreateThread(NULL, 0, watch, NULL, 0, NULL);
    if (thread != NULL) CloseHandle(thread);
  }
}

void guardModule(void* module) { guarded = module; }

unsigned long watchedPluginCall() {
  LONG outermost = calls.outermost;
  return timeoutMs > 0 && calls.depth > 0 ? static_cast<unsigned long>(outermost) : 0;
}

PluginCall::PluginCall(const char* what) {
  LONG depth = calls.depth;
  if (depth == 0) InterlockedIncrement(&calls.outermost);
  if (depth >= 0 && depth < kMaxDepth) {
    calls.what[depth] = what;
    calls.started[depth] = GetTickCount64();
  }
  InterlockedIncrement(&calls.depth);
}

PluginCall::~PluginCall() { InterlockedDecrement(&calls.depth); }

}  // namespace host
