#include "plugin_fixture.h"

#include <objbase.h>
#include <stdint.h>

namespace kelvra_test {

// "MM-DD-YYYY HH:MM:SS " in front of every message.
const size_t kStampLength = 20;

std::wstring pluginPath() {
  wchar_t named[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(L"KELVRA_PLUGIN_DLL", named, MAX_PATH);
  if (length > 0 && length < MAX_PATH) return named;
  return programDirectory() + L"NPKelvraProxy.dll";
}

std::string messageOf(const std::string& line) {
  return line.size() >= kStampLength ? line.substr(kStampLength) : std::string();
}

void PluginFixture::SetUp() {
  comStarted_ = SUCCEEDED(CoInitialize(NULL));
  ASSERT_TRUE(comStarted_);
  ASSERT_EQ(S_OK, launcher.registerFactory());
  browser::reset();
}

void PluginFixture::TearDown() {
  if (started_) stop();
  unloadPlugin(&plugin);
  launcher.revokeFactory();
  if (comStarted_) CoUninitialize();
  // A failed test's log stays for a look.
  if (!temporaryDirectory.empty() && !HasFailure()) removeTemporaryDirectory(temporaryDirectory);
}

bool PluginFixture::load() {
  temporaryDirectory = makeTemporaryDirectory(L"kelvra-test-");
  setProcessTemporaryDirectory(temporaryDirectory);
  return loadPlugin(pluginPath(), &plugin);
}

bool PluginFixture::start() {
  started_ = load() && startPlugin(plugin, browser::functions(), &funcs) == NPERR_NO_ERROR;
  return started_;
}

void PluginFixture::stop() {
  plugin.shutdown();
  unloadPlugin(&plugin);
  started_ = false;
}

std::vector<std::wstring> PluginFixture::logFiles() const {
  return findFiles(temporaryDirectory, L"KLV-*.log");
}

std::string PluginFixture::logText() const {
  std::vector<std::wstring> logs = logFiles();
  return logs.size() == 1 ? readFileShared(logs[0]) : std::string();
}

std::vector<std::string> PluginFixture::messages() const {
  std::vector<std::string> result;
  for (const std::string& line : splitLines(logText())) result.push_back(messageOf(line));
  return result;
}

std::vector<std::string> PluginFixture::messagesSinceMark() const {
  std::vector<std::string> all = messages();
  return std::vector<std::string>(all.begin() + std::min(mark_, all.size()), all.end());
}

void PluginFixture::mark() { mark_ = messages().size(); }

NPP PluginFixture::newInstance(const std::string& host, NPError* error) {
  browser::setHost(host);
  instances_.push_back(NPP_t());
  NPP instance = &instances_.back();
  char mime[] = "application/x-vnd-kelvra-launcher";
  NPError answer = funcs.newp(mime, instance, NP_EMBED, 0, NULL, NULL, NULL);
  if (error != nullptr) *error = answer;
  return instance;
}

NPObject* PluginFixture::scriptableObject(NPP instance) {
  NPObject* object = NULL;
  if (funcs.getvalue(instance, NPPVpluginScriptableNPObject, &object) != NPERR_NO_ERROR) {
    return NULL;
  }
  return object;
}

NPError PluginFixture::destroy(NPP instance) { return funcs.destroy(instance, NULL); }

bool PluginFixture::call(NPObject* object, const std::string& method,
                         std::vector<NPVariant> args, NPVariant* result) {
  bool answered = browser::invoke(object, method, args.data(),
                                  static_cast<uint32_t>(args.size()), result);
  for (NPVariant& arg : args) browser::releaseValue(&arg);
  return answered;
}

NPVariant boolArgument(bool value) {
  NPVariant v;
  BOOLEAN_TO_NPVARIANT(value, v);
  return v;
}

NPVariant intArgument(int32_t value) {
  NPVariant v;
  INT32_TO_NPVARIANT(value, v);
  return v;
}

NPVariant doubleArgument(double value) {
  NPVariant v;
  DOUBLE_TO_NPVARIANT(value, v);
  return v;
}

NPVariant nullArgument() {
  NPVariant v;
  NULL_TO_NPVARIANT(v);
  return v;
}

NPVariant voidArgument() {
  NPVariant v;
  VOID_TO_NPVARIANT(v);
  return v;
}

std::string textOf(const NPVariant& value) {
  if (!NPVARIANT_IS_STRING(value)) return std::string();
  return std::string(value.value.stringValue.UTF8Characters, value.value.stringValue.UTF8Length);
}

std::string ticketAsLogged(const std::string& ticket) {
  const std::string copy = ticket.c_str();
  // The characters: each well-formed UTF-8 sequence, decoded and range-checked, or a
  // single byte that starts none.
  std::vector<std::string> characters;
  for (size_t at = 0; at < copy.size();) {
    const unsigned char lead = static_cast<unsigned char>(copy[at]);
    const size_t length = lead < 0x80 ? 1 : lead >> 5 == 6 ? 2 : lead >> 4 == 14 ? 3 : lead >> 3 == 30 ? 4 : 0;
    uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    bool wellFormed = length != 0 && at + length <= copy.size();
    for (size_t i = 1; wellFormed && i < length; ++i) {
      const unsigned char next = static_cast<unsigned char>(copy[at + i]);
      wellFormed = next >> 6 == 2;
      code = code << 6 | (next & 0x3F);
    }
    static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    wellFormed = wellFormed && code >= kSmallest[length] && code <= 0x10FFFF &&
                 (code < 0xD800 || code > 0xDFFF);
    const bool control = code < 0x20 || (code >= 0x7F && code < 0xA0);
    characters.push_back(!wellFormed || control ? "?" : copy.substr(at, length));
    at += wellFormed ? length : 1;
  }
  std::string shown;
  if (characters.size() >= 16) {
    for (size_t i = 0; i < 4; ++i) shown += characters[i];
  }
  return shown + "... (" + std::to_string(copy.size()) + " bytes)";
}

void expectNothingLeaked(const browser::Counts& before, const LauncherStandIn& launcher,
                         const BstrWatch* watch) {
  const browser::Counts now = browser::counts();
  EXPECT_EQ(before.liveObjects, now.liveObjects);
  EXPECT_EQ(before.liveBlocks, now.liveBlocks);
  EXPECT_EQ(before.liveBytes, now.liveBytes);
  EXPECT_EQ(0, now.unreleasedVariants());
  EXPECT_EQ(0, now.badFrees + now.deadObjectCalls + now.underflows);
  EXPECT_EQ(0, launcher.liveObjects());
  for (int i = 0; i < launcher.objectsCreated(); ++i) {
    const LauncherObjectStats stats = launcher.objectStats(i);
    EXPECT_EQ(0, stats.references) << "launcher object " << i;
    EXPECT_EQ(0, stats.overReleases) << "launcher object " << i;
  }
  if (watch != nullptr) {
    EXPECT_EQ(0, watch->outstanding()) << "BSTRs the plug-in did not free";
    EXPECT_EQ(0, watch->badFrees());
  }
}

}  // namespace kelvra_test
