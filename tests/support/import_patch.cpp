#include "import_patch.h"

namespace kelvra_test {

int replaceImports(HMODULE module, const ULONG_PTR* from, const ULONG_PTR* to, size_t count) {
  BYTE* base = reinterpret_cast<BYTE*>(module);
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return 0;
  int replaced = 0;
  for (const IMAGE_IMPORT_DESCRIPTOR* library =
           reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       library->Name != 0; ++library) {
    for (IMAGE_THUNK_DATA* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
         slot->u1.Function != 0; ++slot) {
      for (size_t i = 0; i < count; ++i) {
        if (slot->u1.Function != from[i]) continue;
        DWORD protection = 0;
        VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &protection);
        slot->u1.Function = to[i];
        VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
        ++replaced;
        break;
      }
    }
  }
  return replaced;
}

}  // namespace kelvra_test
