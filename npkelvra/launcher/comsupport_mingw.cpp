/*
 * The conversions that _bstr_t calls and that MSVC keeps in its COM support library
 * (comsuppw.lib). MinGW declares them in <comutil.h> without shipping them, so the
 * MinGW build defines them here; an MSVC build leaves this file out. _com_issue_error
 * itself comes with MinGW's <comdef.h> (inline, throwing _com_error), so it is not
 * defined again here.
 */
#include <windows.h>
#include <comdef.h>

#include <new>

namespace {

HRESULT lastErrorResult() {
  const DWORD error = GetLastError();
  return error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

}  // namespace

namespace _com_util {

// ANSI text up to its first NUL; "" gives an empty, non-NULL BSTR.
BSTR WINAPI ConvertStringToBSTR(const char* source) {
  if (source == NULL) return NULL;
  const int units = MultiByteToWideChar(CP_ACP, 0, source, -1, NULL, 0);  // with the NUL
  if (units == 0) _com_issue_error(lastErrorResult());
  BSTR result = SysAllocStringLen(NULL, static_cast<UINT>(units - 1));
  if (result == NULL) _com_issue_error(E_OUTOFMEMORY);
  if (MultiByteToWideChar(CP_ACP, 0, source, -1, result, units) == 0) {
    const HRESULT hr = lastErrorResult();
    SysFreeString(result);
    _com_issue_error(hr);
  }
  return result;
}

// The whole BSTR in the ANSI code page, in a block _bstr_t releases with delete[].
char* WINAPI ConvertBSTRToString(BSTR source) {
  if (source == NULL) return NULL;
  const int units = static_cast<int>(SysStringLen(source)) + 1;  // with the NUL
  const int bytes = WideCharToMultiByte(CP_ACP, 0, source, units, NULL, 0, NULL, NULL);
  if (bytes == 0) _com_issue_error(lastErrorResult());
  char* result = new (std::nothrow) char[bytes];
  if (result == NULL) _com_issue_error(E_OUTOFMEMORY);
  if (WideCharToMultiByte(CP_ACP, 0, source, units, result, bytes, NULL, NULL) == 0) {
    const HRESULT hr = lastErrorResult();
    delete[] result;
    _com_issue_error(hr);
  }
  return result;
}

}  // namespace _com_util
