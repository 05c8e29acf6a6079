/*
 * Finding a plug-in as Windows browsers do: its registration under
 * HKEY_CURRENT_USER\Software\MozillaPlugins\<id> (per user) or, failing that, the same
 * key under HKEY_LOCAL_MACHINE (per machine), and its version resource, whose MIMEType
 * field must list the type the page embeds before the DLL is loaded.
 */
#ifndef KELVRA_HOST_PLUGIN_DISCOVERY_H
#define KELVRA_HOST_PLUGIN_DISCOVERY_H

#include <string>

namespace host {

const wchar_t kDefaultPluginId[] = L"@kelvra.com/KelvraLauncherPlugin";

struct PluginRegistration {
  std::wstring path;
  std::wstring description;
  std::wstring productName;
  std::wstring vendor;
  std::wstring version;
};

// False when the key (under HKCU, else HKLM) or its Path value is missing; the other
// values may be empty.
bool findRegisteredPlugin(const std::wstring& id, PluginRegistration* registration);

// Writes the registration of the DLL at `path` (made absolute), its other values
// taken from the DLL's version resource. Refuses a DLL that does not list
// `mimeType`; `reason` says why it failed.
bool registerPlugin(const std::wstring& id, const std::wstring& path,
                    const std::string& mimeType, std::string* reason);
// True also when there was nothing to remove.
bool unregisterPlugin(const std::wstring& id);

// Whether a MIMEType field ("type|type|...") lists `mimeType`, letter case ignored.
bool mimeFieldLists(const std::string& field, const std::string& mimeType);

// Whether the DLL's version resource lists `mimeType`; `reason` says why not.
bool pluginHandles(const std::wstring& path, const std::string& mimeType, std::string* reason);

}  // namespace host

#endif
