/*
 * The stack protector's guard and failure for the MinGW build, in place of libssp's.
 * libssp sets the guard up from the module's start-up code through CryptAcquireContextA,
 * which loads cryptographic provider DLLs under the loader lock. Here the guard comes
 * from what needs nothing loaded (the clocks, the process and thread ids, a stack
 * address), as MSVC's /GS cookie does; an MSVC build leaves this file out.
 */
#include <windows.h>
#include <stdint.h>

namespace {

// What MSVC's check reports: the process ends at once, with nothing run on its way out.
const UINT kStackBufferOverrun = 0xC0000409;

}  // namespace

extern "C" {

// The two names are the compiler's: a guarded function reads the one and calls the other.
// Until the constructor below runs: no guarded function of the module runs before it.
uintptr_t __stack_chk_guard = 0x5A17C3E9u;  // NOLINT(bugprone-reserved-identifier)

__attribute__((noreturn)) void __stack_chk_fail(void) {  // NOLINT(bugprone-reserved-identifier)
  TerminateProcess(GetCurrentProcess(), kStackBufferOverrun);
  __builtin_unreachable();
}

}  // extern "C"

namespace {

// The module's first constructor, ahead of every guarded function; itself unguarded,
// since the guard changes under it.
__attribute__((constructor(101), no_stack_protector)) void setStackGuard() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  uintptr_t guard = now.dwLowDateTime ^ now.dwHighDateTime ^ GetCurrentProcessId() ^
                    (GetCurrentThreadId() << 16) ^ GetTickCount() ^ counter.LowPart ^
                    counter.HighPart ^ reinterpret_cast<uintptr_t>(&now);
  if (guard == 0 || guard == __stack_chk_guard) guard ^= 0x6B3E0000u;
  __stack_chk_guard = guard;
}

}  // namespace
