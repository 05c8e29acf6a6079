/*
 * The conversions that _bstr_t calls and that MSVC keeps in its COM support library
 * (comsuppw.lib). MinGW declares them in <comutil.h> without shipping them, so the
 * MinGW build defines them here; an MSVC build leaves this file out. _com_issue_error
 * itself comes with MinGW's <comdef.h> (inline, throwing _com_error), so it is not
 * defined again here. Every failure ends in an exception, even where a handler set with
 * _set_com_error_handler lets _com_issue_error return.
 */
#include <windows.h>
#include <comdef.h>

#include <new>

namespace {

HRESULT lastErrorResult() {
  const DWORD error = GetLastError();
  return error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// _com_issue_error throws _com_error unless a handler set with _set_com_error_handler
// returns; then there is still no result to hand back, and the caller gets the
// allocation failure that _bstr_t's users already handle.
[[noreturn]] void failWith(HRESULT hr) {
  _com_issue_error(hr);
  throw std::bad_alloc();
}

}  // namespace

namespace _com_util {

// ANSI text up to its first NUL; "" gives an empty, non-NULL BSTR.
BSTR WINAPI ConvertStringToBSTR(const char* source) {
  if (source == NULL) return NULL;
  const int units = MultiByteToWideChar(CP_ACP, 0, source, -1, NULL, 0);  // with the NUL
  if (units == 0) failWith(lastErrorResult());
  BSTR result = SysAllocStringLen(NULL, static_cast<UINT>(units - 1));
  if (result == NULL) failWith(E_OUTOFMEMORY);
  if (MultiByteToWideChar(CP_ACP, 0, source, -1, result, units) == 0) {
    const HRESULT hr = lastErrorResult();
    SysFreeString(result);
    failWith(hr);
  }
  return result;
}

// The whole BSTR in the ANSI code page, in a block _bstr_t releases with delete[].
char* WINAPI ConvertBSTRToString(BSTR source) {
  if (source == NULL) return NULL;
  const int units = static_cast<int>(SysStringLen(source)) + 1;  // with the NUL
  const int bytes = WideCharToMultiByte(CP_ACP, 0, source, units, NULL, 0, NULL, NULL);
  if (bytes == 0) failWith(lastErrorResult());
  char* result = new (std::nothrow) char[bytes];
  if (result == NULL) failWith(E_OUTOFMEMORY);
  if (WideCharToMultiByte(CP_ACP, 0, source, units, result, bytes, NULL, NULL) == 0) {
    const HRESULT hr = lastErrorResult();
    delete[] result;
    failWith(hr);
  }
  return result;
}

}  // namespace _com_util
