#include "plugin_guard.h"

#include <windows.h>
#include <stdio.h>

#include "options.h"

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
  // The plug-in's own time: GetTickCount() when it last became the innermost code,
  // whether it is, and the milliseconds of its earlier spells.
  volatile LONG since;
  volatile LONG inPlugin;
  volatile LONG spent;
};

Calls calls;
FILE* report = stderr;
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

// Last chance: a fault no one handled, on a thread of the plug-in's own.
LONG WINAPI unhandled(EXCEPTION_POINTERS* exception) {
  reportFault(exception->ExceptionRecord);
  return EXCEPTION_EXECUTE_HANDLER;
}

// Reached only by an exception that the plug-in (and whatever it called) left
// unhandled: every such exception, a fault or a C++ throw, would otherwise leave
// the plug-in's code in the middle of a call and reach the browser.
EXCEPTION_DISPOSITION NTAPI atBoundary(EXCEPTION_RECORD* record, PVOID, CONTEXT*, PVOID) {
  if (IS_DISPATCHING(record->ExceptionFlags)) reportFault(record);
  return ExceptionContinueSearch;
}

NT_TIB* threadBlock() { return reinterpret_cast<NT_TIB*>(NtCurrentTeb()); }

// The plug-in's spells: a spell's milliseconds are added before it is marked ended,
// so a reader counts a spell twice for a moment rather than not at all.
void pluginSpellStarts() {
  calls.since = static_cast<LONG>(GetTickCount());
  InterlockedExchange(&calls.inPlugin, 1);
}

void pluginSpellEnds() {
  InterlockedExchangeAdd(&calls.spent, static_cast<LONG>(GetTickCount()) - calls.since);
  InterlockedExchange(&calls.inPlugin, 0);
}

}  // namespace

void startGuard(unsigned timeoutSeconds, FILE* out) {
  report = out;
  timeoutMs = timeoutSeconds * 1000u;
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(unhandled);
  if (timeoutMs > 0) {
    HANDLE thread = CreateThread(NULL, 0, watch, NULL, 0, NULL);
    if (thread != NULL) CloseHandle(thread);
  }
}

unsigned long watchedPluginCall() {
  LONG outermost = calls.outermost;
  return timeoutMs > 0 && calls.depth > 0 ? static_cast<unsigned long>(outermost) : 0;
}

unsigned long pluginTimeMs() {
  // The spell under way is read before the earlier ones: one that ends meanwhile is
  // counted twice, not lost.
  LONG inPlugin = calls.inPlugin, since = calls.since;
  LONG spent = calls.spent;
  if (inPlugin != 0) spent += static_cast<LONG>(GetTickCount()) - since;
  return static_cast<unsigned long>(spent);
}

PluginCall::PluginCall(const char* what) : fromScript_(calls.inPlugin == 0) {
  if (fromScript_) pluginSpellStarts();
  LONG depth = calls.depth;
  if (depth == 0) InterlockedIncrement(&calls.outermost);
  if (depth >= 0 && depth < kMaxDepth) {
    calls.what[depth] = what;
    calls.started[depth] = GetTickCount64();
  }
  InterlockedIncrement(&calls.depth);
  NT_TIB* tib = threadBlock();
  frame_.Next = tib->ExceptionList;
  frame_.Handler = atBoundary;
  tib->ExceptionList = &frame_;
}

PluginCall::~PluginCall() {
  threadBlock()->ExceptionList = frame_.Next;
  InterlockedDecrement(&calls.depth);
  if (fromScript_) pluginSpellEnds();
}

ScriptCallback::ScriptCallback() : fromPlugin_(calls.inPlugin != 0) {
  if (fromPlugin_) pluginSpellEnds();
}

ScriptCallback::~ScriptCallback() {
  if (fromPlugin_) pluginSpellStarts();
}

}  // namespace host
