/*
 * A read-only view of a 32-bit PE image, for the checks of the DLL's make-up: a module
 * the loader mapped, or a file's bytes (the shipped DLL and its debug file, read
 * without loading them). Every lookup is bounds-checked against the image.
 */
#ifndef KELVRA_TESTS_SUPPORT_PE_IMAGE_H
#define KELVRA_TESTS_SUPPORT_PE_IMAGE_H

#include <windows.h>

#include <string>
#include <vector>

namespace kelvra_test {

struct PeImport {
  std::string library;
  std::vector<std::string> functions;  // by name; "#N" for an import by ordinal
};

struct PeSymbol {
  std::string name;
  DWORD rva;
};

class PeImage {
 public:
  // The module as mapped (RVAs are offsets from its base).
  explicit PeImage(HMODULE module);
  // The file's bytes (RVAs are found through the section table); invalid when the
  // file cannot be read or is no 32-bit PE file.
  explicit PeImage(const std::wstring& path);
  PeImage(const PeImage&) = delete;
  PeImage& operator=(const PeImage&) = delete;

  bool valid() const { return nt_ != NULL; }
  const IMAGE_NT_HEADERS32& headers() const { return *nt_; }
  // The bytes at `rva`, when `size` of them lie within the image; NULL otherwise.
  const BYTE* at(DWORD rva, DWORD size) const;
  // A section's name; a long one ("/N") is read from the file's string table.
  std::string sectionName(const IMAGE_SECTION_HEADER& section) const;
  const IMAGE_SECTION_HEADER* section(const char* name) const;
  // The section's bytes as stored in the file (a file image only).
  std::string sectionData(const char* name) const;

  // "name@ordinal" for each export by name, in the table's order.
  std::vector<std::string> exports() const;
  std::vector<PeImport> imports() const;
  // The TLS directory's callbacks, as RVAs; empty without a TLS directory.
  std::vector<DWORD> tlsCallbacks() const;
  // The COFF symbol table of a file image (a debug file keeps it), with RVAs.
  std::vector<PeSymbol> symbols() const;

 private:
  const BYTE* base_ = NULL;
  size_t size_ = 0;  // of the file; 0 for a mapped module (its headers give the size)
  std::string file_;
  const IMAGE_NT_HEADERS32* nt_ = NULL;

  void attach();
  const char* text(DWORD rva) const;
  // The COFF string table of a file image (after the symbols): its bytes, or 0 and NULL.
  const char* strings(DWORD* size) const;
};

}  // namespace kelvra_test

#endif
