/*
 * A launcher component served for one run straight from its DLL (its
 * DllGetClassObject), without registering it: CoCreateInstance in this process
 * then finds the class object first. Lets a page run against a launcher build that
 * is not, or not yet, registered, and lets the host see whether the launcher's
 * objects were all released (its DllCanUnloadNow).
 */
#ifndef KELVRA_HOST_LAUNCHER_SERVER_H
#define KELVRA_HOST_LAUNCHER_SERVER_H

#include <windows.h>
#include <unknwn.h>

#include <string>

namespace host {

struct LauncherServer {
  HMODULE module;
  IClassFactory* factory;
  DWORD cookie;
};

// Needs COM initialised on the calling thread; `reason` says why it failed.
bool serveLauncher(const std::wstring& path, LauncherServer* server, std::string* reason);
// Revokes the class object and unloads the DLL. False when the DLL still had live
// objects (DllCanUnloadNow answered S_FALSE); it then stays loaded.
bool stopLauncher(LauncherServer* server);

}  // namespace host

#endif
