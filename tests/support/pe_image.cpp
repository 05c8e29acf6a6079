#include "pe_image.h"

#include <stdlib.h>
#include <string.h>

#include "plugin_loader.h"

namespace kelvra_test {

PeImage::PeImage(HMODULE module) : base_(reinterpret_cast<const BYTE*>(module)) { attach(); }

PeImage::PeImage(const std::wstring& path) : file_(readFileShared(path)) {
  base_ = reinterpret_cast<const BYTE*>(file_.data());
  size_ = file_.size();
  if (size_ != 0) attach();
}

void PeImage::attach() {
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base_);
  if (size_ != 0 && size_ < sizeof *dos) return;
  if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0) return;
  DWORD offset = static_cast<DWORD>(dos->e_lfanew);
  if (size_ != 0 && size_ < offset + sizeof(IMAGE_NT_HEADERS32)) return;
  const IMAGE_NT_HEADERS32* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base_ + offset);
  if (nt->Signature != IMAGE_NT_SIGNATURE ||
      nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
    return;
  }
  nt_ = nt;
}

const BYTE* PeImage::at(DWORD rva, DWORD size) const {
  if (!valid()) return NULL;
  if (size_ == 0) {  // mapped: the image is SizeOfImage bytes from its base
    DWORD end = nt_->OptionalHeader.SizeOfImage;
    return rva <= end && size <= end - rva ? base_ + rva : NULL;
  }
  DWORD offset = rva;
  if (rva >= nt_->OptionalHeader.SizeOfHeaders) {
    const IMAGE_SECTION_HEADER* found = NULL;
    const IMAGE_SECTION_HEADER* first = IMAGE_FIRST_SECTION(nt_);
    for (WORD i = 0; i < nt_->FileHeader.NumberOfSections; ++i) {
      const IMAGE_SECTION_HEADER& s = first[i];
      if (rva >= s.VirtualAddress && rva - s.VirtualAddress < s.SizeOfRawData) found = &s;
    }
    if (found == NULL || size > found->SizeOfRawData - (rva - found->VirtualAddress)) {
      return NULL;
    }
    offset = found->PointerToRawData + (rva - found->VirtualAddress);
  }
  return offset <= size_ && size <= size_ - offset ? base_ + offset : NULL;
}

const char* PeImage::text(DWORD rva) const {
  const BYTE* start = at(rva, 1);
  if (start == NULL) return "";
  // The name must end within the image.
  for (DWORD n = 1; at(rva, n) != NULL; ++n) {
    if (start[n - 1] == 0) return reinterpret_cast<const char*>(start);
  }
  return "";
}

const char* PeImage::strings(DWORD* size) const {
  *size = 0;
  if (!valid() || size_ == 0) return NULL;
  // 18 bytes per symbol, then the table: its size (itself included), then the text.
  size_t start = nt_->FileHeader.PointerToSymbolTable +
                 static_cast<size_t>(nt_->FileHeader.NumberOfSymbols) * 18;
  if (nt_->FileHeader.PointerToSymbolTable == 0 || start > size_ || size_ - start < 4) {
    return NULL;
  }
  DWORD length;
  memcpy(&length, base_ + start, 4);
  if (length > size_ - start) return NULL;
  *size = length;
  return reinterpret_cast<const char*>(base_ + start);
}

std::string PeImage::sectionName(const IMAGE_SECTION_HEADER& section) const {
  const char* name = reinterpret_cast<const char*>(section.Name);
  std::string shortName(name, strnlen(name, IMAGE_SIZEOF_SHORT_NAME));
  if (shortName.size() < 2 || shortName[0] != '/') return shortName;
  DWORD size;
  const char* table = strings(&size);
  unsigned long offset = strtoul(shortName.c_str() + 1, NULL, 10);
  if (table == NULL || offset >= size) return shortName;
  return std::string(table + offset, strnlen(table + offset, size - offset));
}

const IMAGE_SECTION_HEADER* PeImage::section(const char* name) const {
  if (!valid()) return NULL;
  const IMAGE_SECTION_HEADER* first = IMAGE_FIRST_SECTION(nt_);
  for (WORD i = 0; i < nt_->FileHeader.NumberOfSections; ++i) {
    if (sectionName(first[i]) == name) return &first[i];
  }
  return NULL;
}

std::string PeImage::sectionData(const char* name) const {
  const IMAGE_SECTION_HEADER* s = section(name);
  if (s == NULL || size_ == 0 || s->PointerToRawData > size_ ||
      s->SizeOfRawData > size_ - s->PointerToRawData) {
    return std::string();
  }
  return file_.substr(s->PointerToRawData, s->SizeOfRawData);
}

std::vector<std::string> PeImage::exports() const {
  std::vector<std::string> found;
  if (!valid()) return found;
  const IMAGE_DATA_DIRECTORY& dir =
      nt_->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  const IMAGE_EXPORT_DIRECTORY* table =
      reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(at(dir.VirtualAddress, sizeof *table));
  if (dir.VirtualAddress == 0 || table == NULL) return found;
  const DWORD* names = reinterpret_cast<const DWORD*>(
      at(table->AddressOfNames, table->NumberOfNames * sizeof(DWORD)));
  const WORD* indexes = reinterpret_cast<const WORD*>(
      at(table->AddressOfNameOrdinals, table->NumberOfNames * sizeof(WORD)));
  if (names == NULL || indexes == NULL) return found;
  for (DWORD i = 0; i < table->NumberOfNames; ++i) {
    found.push_back(std::string(text(names[i])) + "@" +
                    std::to_string(table->Base + indexes[i]));
  }
  return found;
}

std::vector<PeImport> PeImage::imports() const {
  std::vector<PeImport> found;
  if (!valid()) return found;
  const IMAGE_DATA_DIRECTORY& dir =
      nt_->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return found;
  for (DWORD rva = dir.VirtualAddress;; rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    const IMAGE_IMPORT_DESCRIPTOR* d =
        reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(at(rva, sizeof *d));
    if (d == NULL || d->Name == 0) break;
    PeImport import;
    import.library = text(d->Name);
    // The lookup table keeps the names; the address table is overwritten when bound.
    DWORD thunks = d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk;
    for (DWORD t = thunks;; t += sizeof(IMAGE_THUNK_DATA32)) {
      const IMAGE_THUNK_DATA32* thunk =
          reinterpret_cast<const IMAGE_THUNK_DATA32*>(at(t, sizeof *thunk));
      if (thunk == NULL || thunk->u1.AddressOfData == 0) break;
      if (IMAGE_SNAP_BY_ORDINAL32(thunk->u1.Ordinal)) {
        import.functions.push_back("#" + std::to_string(IMAGE_ORDINAL32(thunk->u1.Ordinal)));
      } else {
        // IMAGE_IMPORT_BY_NAME: a two-byte hint, then the name.
        import.functions.push_back(text(thunk->u1.AddressOfData + sizeof(WORD)));
      }
    }
    found.push_back(import);
  }
  return found;
}

std::vector<DWORD> PeImage::tlsCallbacks() const {
  std::vector<DWORD> found;
  if (!valid()) return found;
  const IMAGE_DATA_DIRECTORY& dir = nt_->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
  const IMAGE_TLS_DIRECTORY32* tls =
      reinterpret_cast<const IMAGE_TLS_DIRECTORY32*>(at(dir.VirtualAddress, sizeof *tls));
  if (dir.VirtualAddress == 0 || tls == NULL || tls->AddressOfCallBacks == 0) return found;
  // The directory holds addresses; a mapped module's are relocated to where it lies.
  DWORD imageBase = size_ == 0 ? static_cast<DWORD>(reinterpret_cast<UINT_PTR>(base_))
                               : nt_->OptionalHeader.ImageBase;
  for (DWORD rva = tls->AddressOfCallBacks - imageBase;; rva += sizeof(DWORD)) {
    const DWORD* callback = reinterpret_cast<const DWORD*>(at(rva, sizeof(DWORD)));
    if (callback == NULL || *callback == 0) break;
    found.push_back(*callback - imageBase);
  }
  return found;
}

std::vector<PeSymbol> PeImage::symbols() const {
  std::vector<PeSymbol> found;
  if (!valid() || size_ == 0) return found;
  DWORD table = nt_->FileHeader.PointerToSymbolTable;
  DWORD count = nt_->FileHeader.NumberOfSymbols;
  const DWORD kEntry = 18;  // IMAGE_SIZEOF_SYMBOL
  if (table == 0 || table > size_ || count > (size_ - table) / kEntry) return found;
  DWORD stringsSize;
  const char* text = strings(&stringsSize);
  const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt_);
  for (DWORD i = 0; i < count; ++i) {
    const IMAGE_SYMBOL* symbol = reinterpret_cast<const IMAGE_SYMBOL*>(base_ + table + i * kEntry);
    std::string name;
    if (symbol->N.Name.Short != 0) {
      name.assign(reinterpret_cast<const char*>(symbol->N.ShortName),
                  strnlen(reinterpret_cast<const char*>(symbol->N.ShortName), 8));
    } else if (text != NULL && symbol->N.Name.Long < stringsSize) {
      const char* start = text + symbol->N.Name.Long;
      name.assign(start, strnlen(start, stringsSize - symbol->N.Name.Long));
    }
    SHORT number = symbol->SectionNumber;
    if (number > 0 && number <= nt_->FileHeader.NumberOfSections) {
      found.push_back({name, sections[number - 1].VirtualAddress + symbol->Value});
    }
    i += symbol->NumberOfAuxSymbols;
  }
  return found;
}

}  // namespace kelvra_test
