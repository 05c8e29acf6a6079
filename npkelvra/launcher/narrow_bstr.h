/*
 * The BSTR a launcher call sends, made from narrow text and freed when its owner goes,
 * like the compiler's _bstr_t but without an exception on failure: a C++ throw inside
 * the module depends on whichever unwinder the process loaded first, so the module
 * throws nothing. A BSTR that cannot be made leaves the owner NULL with the reason.
 */
#ifndef NPKELVRA_LAUNCHER_NARROW_BSTR_H
#define NPKELVRA_LAUNCHER_NARROW_BSTR_H

#include <windows.h>
#include <oleauto.h>

class NarrowBstr {
public:
  // The text up to its first NUL, in the ANSI code page; "" gives an empty, non-NULL BSTR.
  explicit NarrowBstr(const char* text);
  ~NarrowBstr() { SysFreeString(text_); }
  NarrowBstr(const NarrowBstr&) = delete;
  NarrowBstr& operator=(const NarrowBstr&) = delete;

  operator BSTR() const { return text_; }
  // S_OK; E_OUTOFMEMORY; or the conversion's error as an HRESULT.
  HRESULT status() const { return status_; }

private:
  BSTR text_;
  HRESULT status_;
};

#endif
