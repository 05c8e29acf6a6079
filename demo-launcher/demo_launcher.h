/*
 * What the demo launcher promises its callers: the fixed texts it answers and where
 * it keeps its data. Shared with the tests and the host's documentation.
 */
#ifndef KELVRA_DEMO_LAUNCHER_H
#define KELVRA_DEMO_LAUNCHER_H

// Answered by Hello and get_InstallHost.
#define KELVRA_DEMO_GREETING L"Hello from the Kelvra demo launcher"
#define KELVRA_DEMO_INSTALL_HOST L"install.kelvra.com"

// The key-value store: one REG_SZ value per key, below HKEY_CURRENT_USER.
#define KELVRA_DEMO_STORE_KEY L"Software\\Kelvra\\DemoLauncher"
// Longer values are refused, so that every stored value fits the plug-in's
// 2048-byte text buffer in any ANSI code page (at most two bytes a character).
#define KELVRA_DEMO_MAX_VALUE_LENGTH 1023

// The class registration lives per user, below HKCU\Software\Classes\CLSID\{...},
// so that registering needs no elevation. Where the system does not show per-user
// classes to COM activation (HKEY_CLASSES_ROOT without them), registering also
// writes HKEY_CLASSES_ROOT\CLSID\{...}, and unregistering removes both.
#define KELVRA_DEMO_USER_CLASSES_KEY L"Software\\Classes\\"
#define KELVRA_DEMO_FRIENDLY_NAME L"Kelvra Demo Launcher"

#endif
