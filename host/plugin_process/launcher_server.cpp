#include "launcher_server.h"

#include <stdio.h>

#include "base/IKelvraLauncher.h"
#include "plugin_loader.h"

namespace host {
namespace {

typedef HRESULT(STDAPICALLTYPE* GetClassObjectFunction)(REFCLSID, REFIID, void**);
typedef HRESULT(STDAPICALLTYPE* CanUnloadNowFunction)();

FARPROC entry(HMODULE module, const char* name) { return GetProcAddress(module, name); }

}  // namespace

bool serveLauncher(const std::wstring& path, LauncherServer* server, std::string* reason) {
  server->module = LoadLibraryW(path.c_str());
  server->factory = NULL;
  server->cookie = 0;
  if (server->module == NULL) {
    *reason = narrow(path) + " cannot be loaded";
    return false;
  }
  GetClassObjectFunction getClassObject = reinterpret_cast<GetClassObjectFunction>(
      reinterpret_cast<void*>(entry(server->module, "DllGetClassObject")));
  HRESULT result = getClassObject != NULL
                       ? getClassObject(CLSID_KelvraLauncher, IID_IClassFactory,
                                        reinterpret_cast<void**>(&server->factory))
                       : E_NOINTERFACE;
  if (SUCCEEDED(result)) {
    result = CoRegisterClassObject(CLSID_KelvraLauncher, server->factory, CLSCTX_INPROC_SERVER,
                                   REGCLS_MULTIPLEUSE, &server->cookie);
  }
  if (FAILED(result)) {
    char text[64];
    snprintf(text, sizeof text, " serves no launcher class (0x%08lX)",
             static_cast<unsigned long>(result));
    *reason = narrow(path) + text;
    if (server->factory != NULL) server->factory->Release();
    FreeLibrary(server->module);
    server->module = NULL;
    return false;
  }
  return true;
}

bool stopLauncher(LauncherServer* server) {
  CoRevokeClassObject(server->cookie);
  server->factory->Release();
  CanUnloadNowFunction canUnloadNow = reinterpret_cast<CanUnloadNowFunction>(
      reinterpret_cast<void*>(entry(server->module, "DllCanUnloadNow")));
  // Without DllCanUnloadNow nothing tells whether objects live on: keep it loaded.
  bool released = canUnloadNow == NULL || canUnloadNow() == S_OK;
  if (canUnloadNow != NULL && released) FreeLibrary(server->module);
  server->module = NULL;
  return released;
}

}  // namespace host
