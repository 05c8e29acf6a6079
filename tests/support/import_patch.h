/*
 * Import-table patching, the seam for system calls a test must see or make fail:
 * a module's import slots that lead to a real function are rewritten to lead to a
 * hook (and back again).
 */
#ifndef KELVRA_TESTS_SUPPORT_IMPORT_PATCH_H
#define KELVRA_TESTS_SUPPORT_IMPORT_PATCH_H

#include <windows.h>
#include <string.h>

#include <stddef.h>

namespace kelvra_test {

template <typename Function>
ULONG_PTR addressOf(Function function) {
  ULONG_PTR address;
  static_assert(sizeof address == sizeof function, "function pointers fit an address");
  memcpy(&address, &function, sizeof address);
  return address;
}

template <typename Function>
Function procAddress(HMODULE module, const char* name) {
  const FARPROC address = GetProcAddress(module, name);
  Function function;
  static_assert(sizeof function == sizeof address, "function pointers of one size");
  memcpy(&function, &address, sizeof function);
  return function;
}

// Rewrites every import slot of `module` that holds from[i] to hold to[i], whatever the
// import's name or ordinal; answers how many slots changed.
int replaceImports(HMODULE module, const ULONG_PTR* from, const ULONG_PTR* to, size_t count);

}  // namespace kelvra_test

#endif
