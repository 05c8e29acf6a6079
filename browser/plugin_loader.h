/*
 * Brings a plug-in DLL up the way a Windows browser does: load the module, resolve
 * its four exports by name, and later unload it. Also the file helpers a browser
 * and the tests need around a load: a private temporary directory, the plug-in's
 * log files there, and the module's version resource.
 */
#ifndef KELVRA_BROWSER_PLUGIN_LOADER_H
#define KELVRA_BROWSER_PLUGIN_LOADER_H

#include <windows.h>

#include <string>
#include <vector>

#include "npfunctions.h"

struct LoadedPlugin {
  HMODULE module;
  NPError(WINAPI* getEntryPoints)(NPPluginFuncs*);
  NPError(WINAPI* initialize)(NPNetscapeFuncs*);
  NPError(WINAPI* shutdown)();
  const char* (*mimeDescription)();  // NULL when the module does not export it
};

// False (with nothing loaded) when the module or one of the three entry points is
// missing.
bool loadPlugin(const std::wstring& path, LoadedPlugin* plugin);
// The browser's order after the load: NP_GetEntryPoints into `funcs` (its size set,
// every other field zero), then NP_Initialize with `browserFuncs`; the first error.
NPError startPlugin(const LoadedPlugin& plugin, NPNetscapeFuncs* browserFuncs,
                    NPPluginFuncs* funcs);
void unloadPlugin(LoadedPlugin* plugin);

// The folder of the running program, with a trailing backslash.
std::wstring programDirectory();
// A new, empty folder below the temporary directory the process started with
// (not the one TMP names now), trailing backslash.
std::wstring makeTemporaryDirectory(const std::wstring& prefix);
// Removes a folder made by makeTemporaryDirectory with the files in it; false when
// something stays (a file still open).
bool removeTemporaryDirectory(const std::wstring& directory);
// Points TMP and TEMP, and so GetTempPathW, at `directory`.
void setProcessTemporaryDirectory(const std::wstring& directory);
// Full names of the files matching `pattern` (e.g. L"KLV-*.log") in `directory`.
std::vector<std::wstring> findFiles(const std::wstring& directory, const wchar_t* pattern);
// The whole file, opened with full sharing so that a writer may still hold it.
std::string readFileShared(const std::wstring& path);
// The file's lines without their CR LF ends (a last line without one is kept too).
std::vector<std::string> splitLines(const std::string& text);

// A string of the module's version resource (US English, code page 1252), or "".
std::string versionString(const std::wstring& path, const char* name);
// The resource's fixed part; false when the file has none.
bool versionFixedInfo(const std::wstring& path, VS_FIXEDFILEINFO* info);

std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& text);

#endif
