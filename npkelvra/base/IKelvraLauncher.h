/*
 * The launcher component's COM contract. The slot order is the binary interface:
 * never reorder or insert methods.
 */
#ifndef NPKELVRA_BASE_IKELVRALAUNCHER_H
#define NPKELVRA_BASE_IKELVRALAUNCHER_H

#include <windows.h>
#include <oaidl.h>

// {5A0C2E71-93D4-4B6F-A1E8-7C3F90D2B465}
inline const CLSID CLSID_KelvraLauncher = {
    0x5a0c2e71, 0x93d4, 0x4b6f, {0xa1, 0xe8, 0x7c, 0x3f, 0x90, 0xd2, 0xb4, 0x65}};
// {C4E19B3A-2F70-4D85-9B6C-E0A7D35F1C28}
inline const IID IID_IKelvraLauncher = {
    0xc4e19b3a, 0x2f70, 0x4d85, {0x9b, 0x6c, 0xe0, 0xa7, 0xd3, 0x5f, 0x1c, 0x28}};

struct IKelvraLauncher : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE StartGame(BSTR ticket, BSTR script) = 0;        // 7
  virtual HRESULT STDMETHODCALLTYPE HelloWorld() = 0;                               // 8
  virtual HRESULT STDMETHODCALLTYPE Hello(BSTR* text) = 0;                          // 9
  virtual HRESULT STDMETHODCALLTYPE get_InstallHost(BSTR* host) = 0;                // 10
  virtual HRESULT STDMETHODCALLTYPE Update() = 0;                                   // 11
  virtual HRESULT STDMETHODCALLTYPE put_AuthenticationTicket(BSTR ticket) = 0;      // 12
  virtual HRESULT STDMETHODCALLTYPE get_IsUpToDate(VARIANT_BOOL* upToDate) = 0;     // 13
  virtual HRESULT STDMETHODCALLTYPE PreStartGame() = 0;                             // 14
  virtual HRESULT STDMETHODCALLTYPE get_IsGameStarted(VARIANT_BOOL* started) = 0;   // 15
  virtual HRESULT STDMETHODCALLTYPE SetSilentModeEnabled(VARIANT_BOOL enabled) = 0; // 16
  virtual HRESULT STDMETHODCALLTYPE GetKeyValue(BSTR key, BSTR* value) = 0;         // 17
  virtual HRESULT STDMETHODCALLTYPE SetKeyValue(BSTR key, BSTR value) = 0;          // 18
  virtual HRESULT STDMETHODCALLTYPE DeleteKeyValue(BSTR key) = 0;                   // 19
  virtual HRESULT STDMETHODCALLTYPE SetStartInHiddenMode(VARIANT_BOOL hidden) = 0;  // 20
  virtual HRESULT STDMETHODCALLTYPE UnhideApp() = 0;                                // 21
  virtual HRESULT STDMETHODCALLTYPE BringAppToFront() = 0;                          // 22
  virtual HRESULT STDMETHODCALLTYPE ResetLaunchState() = 0;                         // 23
  virtual HRESULT STDMETHODCALLTYPE SetEditMode() = 0;                              // 24
};

#endif
