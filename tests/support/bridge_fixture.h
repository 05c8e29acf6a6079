/*
 * Shared pieces of the script bridge's end-to-end tests: script arguments described by
 * value, accepted embeddings with their scriptable objects, one call with everything it
 * left behind (result, log lines, launcher calls, browser counts), the object address as
 * the log prints it, the browser's misuse counters, and a fixture whose tests start with
 * one embedding open.
 */
#ifndef KELVRA_TESTS_SUPPORT_BRIDGE_FIXTURE_H
#define KELVRA_TESTS_SUPPORT_BRIDGE_FIXTURE_H

#include <stdint.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "plugin_fixture.h"

namespace kelvra_test {

// A script argument; made into a browser-owned variant only when a call needs it, so
// that the browser's counts around a call include the argument's own block.
struct ScriptArg {
  NPVariantType type = NPVariantType_Void;
  std::string text;    // string: its bytes, NULs included
  int32_t number = 0;  // int32; for a boolean the raw byte the browser stores
  double real = 0;
};
ScriptArg stringArg(const std::string& text);
ScriptArg boolArg(bool value);
ScriptArg rawBoolArg(unsigned char byte);  // a boolean whose byte is not 0 or 1
ScriptArg intArg(int32_t value);
ScriptArg doubleArg(double value);
ScriptArg nullArg();
ScriptArg voidArg();
std::vector<NPVariant> makeArguments(const std::vector<ScriptArg>& args);
void PrintTo(const ScriptArg& arg, std::ostream* out);

// The object's address as "0x%8.8x".
std::string addressText(const NPObject* object);
// `lines` with every "{name}" of `tokens` replaced by its text.
std::vector<std::string> expandTokens(const std::vector<std::string>& lines,
                                      const std::map<std::string, std::string>& tokens);
// Frees of unknown blocks, calls on dead objects and releases below zero together.
long misuseOf(const browser::Counts& counts);

// What one script call did. The result is still the test's to release.
struct CallOutcome {
  bool answered = false;
  NPVariant result = {};
  std::vector<std::string> lines;  // logged during the call
  size_t launcherCalls = 0;
  browser::Counts before = {};     // before the arguments were made
  browser::Counts after = {};      // after the arguments were released
};

class BridgeFixture : public PluginFixture {
 protected:
  struct Embedding {
    NPP instance = NULL;
    NPObject* object = NULL;  // holds one browser reference, dropped by close()
  };

  // An accepted embedding on www.kelvra.com; object NULL when refused.
  Embedding open();
  // NPP_Destroy, then the browser's own reference dropped.
  void close(const Embedding& embedding);

  // Calls `method` the way page script does. With `failAllocationsFrom` >= 0 the
  // browser's memalloc starts failing after that many further blocks, counted from
  // just after the arguments were made (the method name's UTF-8 copy is the first).
  CallOutcome run(NPObject* object, const std::string& method, const std::vector<ScriptArg>& args,
                  long failAllocationsFrom = -1);
};

// A started plug-in with one accepted embedding for every test. A test that destroys it
// and drops the object itself sets `embedding.object` to NULL.
class OpenEmbeddingFixture : public BridgeFixture {
 protected:
  void SetUp() override;
  void TearDown() override;

  Embedding embedding;
};

}  // namespace kelvra_test

#endif
