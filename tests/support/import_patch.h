/*
 * Import-table seams: rewrite the slots through which one loaded module calls a system
 * function, so that a test sees (and can fail) exactly that module's calls. BstrWatch
 * uses them for the OLE Automation strings; HeapWatch for the C runtime's malloc.
 */
#ifndef KELVRA_TESTS_SUPPORT_IMPORT_PATCH_H
#define KELVRA_TESTS_SUPPORT_IMPORT_PATCH_H

#include <windows.h>
#include <string.h>

#include <map>
#include <mutex>
#include <vector>

namespace kelvra_test {

template <typename Function>
Function procAddress(HMODULE module, const char* name) {
  const FARPROC address = GetProcAddress(module, name);
  Function function;
  static_assert(sizeof function == sizeof address, "function pointers of one size");
  memcpy(&function, &address, sizeof function);
  return function;
}

template <typename Function>
ULONG_PTR addressOf(Function function) {
  ULONG_PTR address;
  static_assert(sizeof address == sizeof function, "function pointers fit an address");
  memcpy(&address, &function, sizeof address);
  return address;
}

// Rewrites every import slot of `module` that holds from[i] to to[i], whatever the
// import's name or ordinal; answers how many slots it rewrote.
int patchImports(HMODULE module, const ULONG_PTR* from, const ULONG_PTR* to, size_t count);

// Points `library`'s export `name` at `to`, for the modules loaded from then on (their
// start-up code included, which no import patch reaches in time), until the returned
// patch is destroyed; applied() is false when there was no such export.
class ExportPatch {
 public:
  ExportPatch(HMODULE library, const char* name, ULONG_PTR to);
  ~ExportPatch();
  ExportPatch(const ExportPatch&) = delete;
  ExportPatch& operator=(const ExportPatch&) = delete;

  bool applied() const { return slot_ != NULL; }

 private:
  DWORD* slot_ = NULL;  // the export's RVA in the library's address table
  DWORD saved_ = 0;
};

class HeapWatch {
 public:
  // Patches `module`'s imports of msvcrt's malloc and free (operator new of a statically
  // linked C++ runtime allocates through the same import); the test program itself may
  // be the module. One watch at a time.
  explicit HeapWatch(HMODULE module);
  ~HeapWatch();
  HeapWatch(const HeapWatch&) = delete;
  HeapWatch& operator=(const HeapWatch&) = delete;

  int patchedImports() const;
  // After `skip` more allocations succeed, the next `count` answer NULL.
  void failAllocations(int skip, int count);
  long failedAllocations() const;
  long allocations() const;  // successful malloc calls by the module
  // The size of the module's n-th successful allocation under the watch (from 0), and
  // whether it has been freed since; 0 and false when there was none.
  size_t allocationSize(size_t n) const;
  bool allocationFreed(size_t n) const;

 private:
  struct Hooks;
  friend struct Hooks;
  void patch(bool install);

  HMODULE module_;
  int patched_ = 0;
  mutable std::mutex lock_;
  struct Allocation {
    void* block;
    size_t size;
    bool freed;
  };
  std::vector<Allocation> made_;  // in order
  std::map<void*, size_t> live_;  // block -> index in made_
  long failed_ = 0;
  int failSkip_ = 0;
  int failCount_ = 0;
};

}  // namespace kelvra_test

#endif
