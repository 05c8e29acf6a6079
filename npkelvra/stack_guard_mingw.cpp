/*
 * The stack protector's guard and failure for the MinGW build, in place of libssp's.
 * libssp sets the guard up from the module's start-up code through CryptAcquireContextA,
 * which loads cryptographic provider DLLs under the loader lock. Here the guard comes
 * from what needs nothing loaded (the clocks, the time-stamp counter, the process and
 * thread ids, a stack and a module address), as MSVC's /GS cookie does; an MSVC build
 * leaves this file out.
 */
#include <windows.h>
#include <intrin.h>
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

// One source stirred into the state with SplitMix64's finaliser: the sources change
// between loads mostly in their low bits, and each of them must reach every bit.
__attribute__((no_stack_protector)) uint64_t stir(uint64_t state, uint64_t source) {
  uint64_t z = state ^ (source + 0x9E3779B97F4A7C15ull + (state << 6) + (state >> 2));
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// The module's first constructor, ahead of every guarded function; itself unguarded,
// since the guard changes under it.
__attribute__((constructor(101), no_stack_protector)) void setStackGuard() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  uint64_t state = stir(0, (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  state = stir(state, __rdtsc());
  LARGE_INTEGER counter;
  // Its output is undefined when it fails.
  if (QueryPerformanceCounter(&counter)) state = stir(state, static_cast<uint64_t>(counter.QuadPart));
  state = stir(state, (static_cast<uint64_t>(GetCurrentProcessId()) << 32) | GetCurrentThreadId());
  state = stir(state, GetTickCount());
  state = stir(state, reinterpret_cast<uintptr_t>(&now));
  state = stir(state, reinterpret_cast<uintptr_t>(&__stack_chk_guard));
  uintptr_t guard = static_cast<uintptr_t>(state ^ (state >> 32));
  if (guard == 0 || guard == __stack_chk_guard) guard ^= 0x6B3E0000u;
  __stack_chk_guard = guard;
}

}  // namespace
