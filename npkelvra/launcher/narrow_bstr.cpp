#include "launcher/narrow_bstr.h"

namespace {

HRESULT lastErrorResult() {
  const DWORD error = GetLastError();
  return error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

}  // namespace

NarrowBstr::NarrowBstr(const char* text) : text_(NULL), status_(S_OK) {
  const int units = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);  // with the NUL
  if (units == 0) {
    status_ = lastErrorResult();
    return;
  }
  text_ = SysAllocStringLen(NULL, static_cast<UINT>(units - 1));
  if (text_ == NULL) {
    status_ = E_OUTOFMEMORY;
    return;
  }
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, text_, units) == 0) {
    status_ = lastErrorResult();
    SysFreeString(text_);
    text_ = NULL;
  }
}
