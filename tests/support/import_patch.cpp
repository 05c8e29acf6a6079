#include "import_patch.h"

#include <stdlib.h>

#include <atomic>

namespace kelvra_test {

namespace {

const IMAGE_DATA_DIRECTORY& directoryOf(const BYTE* base, int entry) {
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  return nt->OptionalHeader.DataDirectory[entry];
}

// A slot of a mapped image, written through its page's protection.
template <typename Slot>
void writeSlot(Slot* slot, Slot value) {
  DWORD protection = 0;
  VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
  *slot = value;
  VirtualProtect(slot, sizeof *slot, protection, &protection);
}

}  // namespace

int patchImports(HMODULE module, const ULONG_PTR* from, const ULONG_PTR* to, size_t count) {
  BYTE* base = reinterpret_cast<BYTE*>(module);
  const IMAGE_DATA_DIRECTORY& imports = directoryOf(base, IMAGE_DIRECTORY_ENTRY_IMPORT);
  if (imports.VirtualAddress == 0) return 0;
  int patched = 0;
  for (const IMAGE_IMPORT_DESCRIPTOR* library =
           reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       library->Name != 0; ++library) {
    for (IMAGE_THUNK_DATA* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
         slot->u1.Function != 0; ++slot) {
      for (size_t i = 0; i < count; ++i) {
        if (slot->u1.Function != from[i]) continue;
        writeSlot(&slot->u1.Function, static_cast<decltype(slot->u1.Function)>(to[i]));
        ++patched;
        break;
      }
    }
  }
  return patched;
}

ExportPatch::ExportPatch(HMODULE library, const char* name, ULONG_PTR to) {
  BYTE* base = reinterpret_cast<BYTE*>(library);
  const IMAGE_DATA_DIRECTORY& directory = directoryOf(base, IMAGE_DIRECTORY_ENTRY_EXPORT);
  if (directory.VirtualAddress == 0) return;
  const IMAGE_EXPORT_DIRECTORY* exports =
      reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
  const DWORD* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  const WORD* ordinals = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    if (strcmp(reinterpret_cast<const char*>(base + names[i]), name) != 0) continue;
    slot_ = reinterpret_cast<DWORD*>(base + exports->AddressOfFunctions) + ordinals[i];
    saved_ = *slot_;
    // An RVA wraps around the 32-bit address space, so it reaches below the base too.
    writeSlot(slot_, static_cast<DWORD>(to - reinterpret_cast<ULONG_PTR>(base)));
    return;
  }
}

ExportPatch::~ExportPatch() {
  if (slot_ != NULL) writeSlot(slot_, saved_);
}

namespace {

typedef void*(__cdecl* MallocFn)(size_t);
typedef void(__cdecl* FreeFn)(void*);

struct RealHeap {
  MallocFn allocate;
  FreeFn free;
};

// Resolved by name, so that they bypass the patched table.
const RealHeap& realHeap() {
  static const RealHeap heap = []() {
    HMODULE crt = LoadLibraryW(L"msvcrt.dll");
    RealHeap resolved;
    resolved.allocate = procAddress<MallocFn>(crt, "malloc");
    resolved.free = procAddress<FreeFn>(crt, "free");
    return resolved;
  }();
  return heap;
}

std::atomic<HeapWatch*> activeHeapWatch{NULL};

// The thread keeping a watch's books (under its lock), or 0: what the books allocate
// for themselves, when the watched module is the test program, goes straight to the
// heap. (Not thread_local: MinGW's emulated TLS allocates on first use.)
std::atomic<DWORD> bookKeeper{0};

bool keepingBooks() { return bookKeeper.load() == GetCurrentThreadId(); }

class BookKeeping {
 public:
  BookKeeping() { bookKeeper.store(GetCurrentThreadId()); }
  ~BookKeeping() { bookKeeper.store(0); }
};

}  // namespace

struct HeapWatch::Hooks {
  static void* __cdecl allocate(size_t size) {
    HeapWatch* watch = activeHeapWatch.load();
    if (watch == NULL || keepingBooks()) return realHeap().allocate(size);
    {
      std::lock_guard<std::mutex> guard(watch->lock_);
      if (watch->failCount_ > 0) {
        if (watch->failSkip_ > 0) {
          --watch->failSkip_;
        } else {
          --watch->failCount_;
          ++watch->failed_;
          return NULL;
        }
      }
    }
    void* block = realHeap().allocate(size);
    if (block != NULL) {
      std::lock_guard<std::mutex> guard(watch->lock_);
      BookKeeping books;
      watch->live_[block] = watch->made_.size();
      watch->made_.push_back(Allocation{block, size, false});
    }
    return block;
  }
  static void __cdecl release(void* block) {
    HeapWatch* watch = activeHeapWatch.load();
    if (watch != NULL && block != NULL && !keepingBooks()) {
      std::lock_guard<std::mutex> guard(watch->lock_);
      BookKeeping books;
      std::map<void*, size_t>::iterator entry = watch->live_.find(block);
      // Blocks from before the watch are freed without being counted.
      if (entry != watch->live_.end()) {
        watch->made_[entry->second].freed = true;
        watch->live_.erase(entry);
      }
    }
    realHeap().free(block);
  }
};

HeapWatch::HeapWatch(HMODULE module) : module_(module) {
  // What the hooks use is made before they run: the runtime's mutex is set up on its
  // first lock, with malloc.
  realHeap();
  { std::lock_guard<std::mutex> guard(lock_); }
  activeHeapWatch.store(this);
  patch(true);
}

HeapWatch::~HeapWatch() {
  patch(false);
  activeHeapWatch.store(NULL);
}

void HeapWatch::patch(bool install) {
  const ULONG_PTR reals[] = {addressOf(realHeap().allocate), addressOf(realHeap().free)};
  const ULONG_PTR hooks[] = {addressOf(&Hooks::allocate), addressOf(&Hooks::release)};
  const int patched =
      patchImports(module_, install ? reals : hooks, install ? hooks : reals, 2);
  if (install) patched_ += patched;
}

int HeapWatch::patchedImports() const { return patched_; }

void HeapWatch::failAllocations(int skip, int count) {
  std::lock_guard<std::mutex> guard(lock_);
  failSkip_ = skip;
  failCount_ = count;
}

long HeapWatch::failedAllocations() const {
  std::lock_guard<std::mutex> guard(lock_);
  return failed_;
}

long HeapWatch::allocations() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<long>(made_.size());
}

size_t HeapWatch::allocationSize(size_t n) const {
  std::lock_guard<std::mutex> guard(lock_);
  return n < made_.size() ? made_[n].size : 0;
}

bool HeapWatch::allocationFreed(size_t n) const {
  std::lock_guard<std::mutex> guard(lock_);
  return n < made_.size() && made_[n].freed;
}

}  // namespace kelvra_test
