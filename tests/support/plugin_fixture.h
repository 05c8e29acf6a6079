/*
 * One load of the real NPKelvraProxy.dll per test, the way a browser loads it, with
 * the browser stand-in's table, a private temporary directory (so the test reads
 * exactly the log file this load wrote) and the launcher stand-in registered for
 * the DLL's CoCreateInstance to find.
 */
#ifndef KELVRA_TESTS_SUPPORT_PLUGIN_FIXTURE_H
#define KELVRA_TESTS_SUPPORT_PLUGIN_FIXTURE_H

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "launcher_standin.h"
#include "npbrowser.h"
#include "plugin_loader.h"

namespace kelvra_test {

// The plug-in under test: the one KELVRA_PLUGIN_DLL names (the shipped DLL, say), else
// the one next to the test program.
std::wstring pluginPath();
// A log line without its "MM-DD-YYYY HH:MM:SS " stamp.
std::string messageOf(const std::string& line);

class PluginFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // LoadLibrary on a fresh temporary directory (TMP and TEMP), nothing called yet.
  bool load();
  // load(), then NP_GetEntryPoints and NP_Initialize with the browser's table.
  bool start();
  // NP_Shutdown and unload (TearDown does it for a start()ed plug-in still loaded).
  void stop();

  // This load's log files (the one file, normally).
  std::vector<std::wstring> logFiles() const;
  // The raw bytes of this load's one log file; "" unless there is exactly one.
  std::string logText() const;
  // Every message of this load's log, in order, without time stamps.
  std::vector<std::string> messages() const;
  // Messages logged since the last mark.
  std::vector<std::string> messagesSinceMark() const;
  void mark();

  // NPP_New for a page on `host`; `error` gets its answer.
  NPP newInstance(const std::string& host, NPError* error = nullptr);
  // NPP_GetValue(15); NULL when refused.
  NPObject* scriptableObject(NPP instance);
  NPError destroy(NPP instance);

  // Calls `method` on `object` with browser-owned copies of the arguments and answers
  // whether invoke succeeded; `result` must be released with browser::releaseValue.
  bool call(NPObject* object, const std::string& method, std::vector<NPVariant> args,
            NPVariant* result);

  LoadedPlugin plugin = {};
  NPPluginFuncs funcs = {};
  std::wstring temporaryDirectory;
  LauncherStandIn launcher;

 private:
  std::deque<NPP_t> instances_;
  size_t mark_ = 0;
  bool comStarted_ = false;
  bool started_ = false;
};

NPVariant boolArgument(bool value);
NPVariant intArgument(int32_t value);
NPVariant doubleArgument(double value);
NPVariant nullArgument();
NPVariant voidArgument();
// The text of a string variant.
std::string textOf(const NPVariant& value);
// An authentication ticket (the copy the module made, cut at its first NUL) as the log
// shows it: its first four UTF-8 characters when it has sixteen or more (a control or a
// byte of no well-formed character as '?'), then "... (n bytes)".
std::string ticketAsLogged(const std::string& ticket);

// Nothing left behind since `before`: browser objects, memalloc blocks and their bytes,
// unreleased variants and misuse; launcher objects alive, still referenced or released
// too often; with a watch, BSTRs the module neither freed nor handed on.
void expectNothingLeaked(const browser::Counts& before, const LauncherStandIn& launcher,
                         const BstrWatch* watch = nullptr);

}  // namespace kelvra_test

#endif
