/*
 * Building blocks for the small COM objects of the host, the demo launcher and the
 * test bed: reference counting with QueryInterface, and the IDispatch members of
 * objects that have no type library.
 */
#ifndef KELVRA_COMHELP_COM_OBJECT_H
#define KELVRA_COMHELP_COM_OBJECT_H

#include <windows.h>
#include <oaidl.h>

namespace comhelp {

// An object created with one reference and deleted by its last Release. Interlocked,
// so that a reference may be released on any thread.
template <class Interface>
class Unknown : public Interface {
 public:
  virtual ~Unknown() {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == NULL) return E_POINTER;
    *out = NULL;
    if (!IsEqualIID(iid, IID_IUnknown) && !implements(iid)) return E_NOINTERFACE;
    *out = static_cast<Interface*>(this);
    this->AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return left;
  }

 protected:
  // Whether QueryInterface answers `iid` (IUnknown aside) with the Interface pointer.
  virtual bool implements(REFIID iid) const = 0;

 private:
  LONG references_ = 1;
};

// IDispatch without type information. Base is IDispatch or a class derived from it.
template <class Base>
class NoTypeInfo : public Base {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == NULL) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info != NULL) *info = NULL;
    return E_NOTIMPL;
  }
};

// A dual interface whose callers use the vtable only: no late binding by name.
template <class Base>
class VtableOnly : public NoTypeInfo<Base> {
 public:
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }
};

}  // namespace comhelp

#endif
