// The host program end to end: kelvra_host.exe runs page script against the real
// NPKelvraProxy.dll and the demo launcher, as a user runs it. The launcher is served
// to each run with --launcher, so that no test here registers its class (the test
// bed expects the class unregistered in its prefix).
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "plugin_loader.h"

namespace {

const wchar_t kTestId[] = L"@kelvra.com/HostBlackboxTest";

struct HostRun {
  DWORD exitCode;
  std::string out;
  std::string err;
};

std::wstring binPath(const wchar_t* name) { return programDirectory() + name; }

std::wstring inQuotes(const std::wstring& text) { return L"\"" + text + L"\""; }

// The examples folder as a Windows path (a Unix path is reached through drive Z:).
std::wstring examplesPath(const wchar_t* name) {
  std::wstring path = widen(KELVRA_EXAMPLES_DIR);
  if (!path.empty() && path[0] == L'/') path = L"Z:" + path;
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path + L"\\" + name;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class HostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { directory_ = makeTemporaryDirectory(L"kelvra-host-test-"); }
  void TearDown() override {
    runHost(L"--unregister --plugin-id " + inQuotes(kTestId));
  }

  // A page script of the test's, written as the given UTF-8 bytes.
  static std::wstring script(const std::wstring& name, const std::string& bytes) {
    std::wstring path = directory_ + name;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL);
    CloseHandle(file);
    return path;
  }

  static HANDLE outputFile(const std::wstring& path) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  }

  static HostRun runHost(const std::wstring& arguments) {
    HostRun run = {999, std::string(), std::string()};
    std::wstring outPath = directory_ + L"stdout.txt", errPath = directory_ + L"stderr.txt";
    HANDLE out = outputFile(outPath), err = outputFile(errPath);
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = err;
    std::wstring command = inQuotes(binPath(L"kelvra_host.exe")) + L" " + arguments;
    PROCESS_INFORMATION process;
    if (CreateProcessW(NULL, &command[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
      WaitForSingleObject(process.hProcess, INFINITE);
      GetExitCodeProcess(process.hProcess, &run.exitCode);
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    }
    CloseHandle(out);
    CloseHandle(err);
    run.out = readFileShared(outPath);
    run.err = readFileShared(errPath);
    return run;
  }

  static std::wstring launcher() {
    return L"--launcher " + inQuotes(binPath(L"KelvraDemoLauncher.dll")) + L" ";
  }

  // A run of `scriptPath` with the DLL named on the command line.
  static HostRun runPage(const std::wstring& scriptPath, const std::wstring& options) {
    return runHost(launcher() + L"--plugin " + inQuotes(binPath(L"NPKelvraProxy.dll")) + L" " +
                   options + L" " + inQuotes(scriptPath));
  }

  static std::wstring directory_;
};

std::wstring HostTest::directory_;

TEST_F(HostTest, TheExamplePageCallsEveryMethodOfThePlugin) {
  std::string page = readFileShared(examplesPath(L"launcher-page.js"));
  ASSERT_FALSE(page.empty()) << narrow(examplesPath(L"launcher-page.js"));
  const char* methods[] = {"HelloWorld", "Hello", "StartGame", "Get_InstallHost", "Update",
                           "Put_AuthenticationTicket", "Get_GameStarted", "SetSilentModeEnabled",
                           "SetStartInHiddenMode", "UnhideApp", "DeleteKeyValue", "Get_IsUpToDate",
                           "PreStartGame", "GetKeyValue", "SetKeyValue", "BringAppToFront",
                           "ResetLaunchState", "SetEditMode"};
  for (const char* method : methods) {
    EXPECT_TRUE(contains(page, std::string("plugin.") + method + "(")) << method;
  }

  HostRun run = runPage(examplesPath(L"launcher-page.js"),
                        L"--url https://www.kelvra.com/play --private-temp --show-log");
  EXPECT_EQ(0u, run.exitCode) << run.err;
  const char* lines[] = {
      "page host: www.kelvra.com",
      "  Hello() -> \"Hello from the Kelvra demo launcher\"  [string]",
      "  Get_InstallHost() -> \"install.kelvra.com\"  [string]",
      "  Update() -> 0  [number]",
      "  Put_AuthenticationTicket(\"\") -> -2147024809 (0x80070057)  [number]",
      "  Get_GameStarted() -> true  [boolean]",
      "  BringAppToFront()   (hidden: S_FALSE) -> 1  [number]",
      "  GetKeyValue(\"demo.note\") -> \"see you soon\"  [string]",
      "  DeleteKeyValue(\"demo.note\")   (missing) -> -2147024894 (0x80070002)  [number]",
      "  SetSilentModeEnabled(1)   (a number is no boolean) -> -1  [number]",
      "  StartGame(\"ticket-42\", 7)   (the script must be a string) -> -1  [number]",
      "  plugin() -> 42  [number]",
      "  plugin.hello() threw: exception during invocation",
      // The plug-in's log of this run follows the script's output.
      "---- plug-in log ",
      " invokeKelvraAdapterHello 0x",
      " KelvraAdapterGet_SetSilentModeEnabled Bad arguments type : MUST be BOOL",
      " KelvraAdapterStartGame Bad arguments type : MUST BE String",
      " invokeDefault",
  };
  for (const char* line : lines) EXPECT_TRUE(contains(run.out, line)) << line << "\n" << run.out;
  EXPECT_TRUE(contains(run.err, "host: NPP_GetValue(scriptable object) -> 0")) << run.err;
  EXPECT_TRUE(contains(run.err, "host: browser accounting balanced")) << run.err;
}

TEST_F(HostTest, ARefusedPageHasNoScriptableObject) {
  HostRun run = runPage(examplesPath(L"launcher-page.js"),
                        L"--url https://www.example.com/games --private-temp --show-log");
  EXPECT_EQ(0u, run.exitCode) << run.err;
  EXPECT_TRUE(contains(run.out, "page host: www.example.com\n")) << run.out;
  EXPECT_TRUE(contains(run.out, "the plug-in refused this page")) << run.out;
  EXPECT_FALSE(contains(run.out, "Hello()")) << run.out;
  EXPECT_TRUE(contains(run.out, " newv isKelvraHost = FALSE")) << run.out;
  EXPECT_TRUE(contains(run.err, "host: NPP_GetValue(scriptable object) -> 2")) << run.err;
  EXPECT_TRUE(contains(run.err, "host: NPP_Destroy -> 2")) << run.err;
  EXPECT_TRUE(contains(run.err, "host: browser accounting balanced")) << run.err;
}

TEST_F(HostTest, AScriptErrorIsReportedWithItsLineAndFailsTheRun) {
  HostRun run = runPage(script(L"error.js", "console.log('before');\nvar x = 1;\nnoSuchThing();\n"
                                           "console.log('after');\n"),
                        L"");
  EXPECT_EQ(1u, run.exitCode) << run.err;
  EXPECT_EQ("before\n", run.out);
  EXPECT_TRUE(contains(run.err, "SCRIPT ERROR ")) << run.err;
  EXPECT_TRUE(contains(run.err, "error.js:3:")) << run.err;

  // An exception of the plug-in that script does not catch.
  run = runPage(script(L"uncaught.js", "plugin.HelloWorld();\nplugin.NoSuchMethod();\n"), L"");
  EXPECT_EQ(1u, run.exitCode) << run.err;
  EXPECT_TRUE(contains(run.err, "uncaught.js:2:1: exception during invocation")) << run.err;
  EXPECT_TRUE(contains(run.err, "host: NPP_Destroy -> 0")) << "the page still closes: " << run.err;

  run = runPage(script(L"syntax.js", "var ok = 1;\nvar broken = ;\n"), L"");
  EXPECT_EQ(1u, run.exitCode) << run.err;
  EXPECT_TRUE(contains(run.err, "syntax.js:2:")) << run.err;
}

TEST_F(HostTest, ADllWhoseVersionResourceDoesNotListTheTypeIsRefused) {
  std::wstring page = script(L"ran.js", "console.log('ran');\n");
  HostRun run = runHost(L"--plugin " + inQuotes(binPath(L"KelvraDemoLauncher.dll")) + L" " +
                        inQuotes(page));
  EXPECT_EQ(3u, run.exitCode) << run.err;
  EXPECT_EQ("", run.out) << "no script runs";
  EXPECT_TRUE(contains(run.err, "REFUSED")) << run.err;
  EXPECT_TRUE(contains(run.err, "no MIMEType")) << run.err;

  run = runPage(page, L"--type application/x-other");
  EXPECT_EQ(3u, run.exitCode) << run.err;
  EXPECT_EQ("", run.out);
  EXPECT_TRUE(contains(run.err, "not \"application/x-other\"")) << run.err;

  run = runHost(L"--register " + inQuotes(binPath(L"KelvraDemoLauncher.dll")) + L" --plugin-id " +
                inQuotes(kTestId));
  EXPECT_EQ(3u, run.exitCode) << run.err;
  run = runHost(L"--plugin-id " + inQuotes(kTestId) + L" " + inQuotes(page));
  EXPECT_EQ(3u, run.exitCode) << "nothing was registered: " << run.err;
}

TEST_F(HostTest, ThePluginIsFoundThroughItsPerUserRegistration) {
  std::wstring page = script(L"found.js", "console.log(plugin.HelloWorld());\n");
  HostRun run = runHost(L"--plugin-id " + inQuotes(kTestId) + L" " + inQuotes(page));
  EXPECT_EQ(3u, run.exitCode) << run.err;
  EXPECT_TRUE(contains(run.err, "no plug-in registered under HKCU\\Software\\MozillaPlugins\\" +
                                    narrow(kTestId)))
      << run.err;

  run = runHost(L"--register " + inQuotes(binPath(L"NPKelvraProxy.dll")) + L" --plugin-id " +
                inQuotes(kTestId));
  EXPECT_EQ(0u, run.exitCode) << run.err;
  run = runHost(launcher() + L"--plugin-id " + inQuotes(kTestId) + L" " + inQuotes(page));
  EXPECT_EQ(0u, run.exitCode) << run.err;
  EXPECT_EQ("0\n", run.out);
  EXPECT_TRUE(contains(run.err, "registered plug-in " + narrow(kTestId) +
                                    ": Kelvra Launcher Plugin, Kelvra Launcher Plugin 1.2.7.22 "
                                    "by Kelvra"))
      << run.err;

  run = runHost(L"--unregister --plugin-id " + inQuotes(kTestId));
  EXPECT_EQ(0u, run.exitCode) << run.err;
  run = runHost(L"--plugin-id " + inQuotes(kTestId) + L" " + inQuotes(page));
  EXPECT_EQ(3u, run.exitCode) << run.err;
}

TEST_F(HostTest, ALauncherDllMustServeTheLauncherClass) {
  std::wstring page = script(L"served.js", "console.log('ran');\n");
  HostRun run = runHost(L"--launcher " + inQuotes(binPath(L"NPKelvraProxy.dll")) + L" --plugin " +
                        inQuotes(binPath(L"NPKelvraProxy.dll")) + L" " + inQuotes(page));
  EXPECT_EQ(3u, run.exitCode) << run.err;
  EXPECT_EQ("", run.out);
  EXPECT_TRUE(contains(run.err, "serves no launcher class")) << run.err;
  run = runPage(page, L"");
  EXPECT_EQ(0u, run.exitCode) << run.err;
  EXPECT_TRUE(contains(run.err, "host: launcher class served from ")) << run.err;
  EXPECT_FALSE(contains(run.err, "IMBALANCE")) << "every launcher object released: " << run.err;
}

TEST_F(HostTest, ScriptFilesAreReadAsUtf8) {
  HostRun run = runPage(
      script(L"utf8.js",
             "\xEF\xBB\xBF"
             "console.log('gr\xC3\xBC\xC3\x9F \xE2\x82\xAC');\n"
             "console.log(plugin.SetKeyValue('host_test.text', 'caf\xC3\xA9'),\n"
             "            plugin.GetKeyValue('host_test.text'),\n"
             "            plugin.DeleteKeyValue('host_test.text'));\n"),
      L"");
  EXPECT_EQ(0u, run.exitCode) << run.err;
  // The plug-in hands the UTF-8 bytes on as ANSI text and back: they come back whole.
  EXPECT_EQ("gr\xC3\xBC\xC3\x9F \xE2\x82\xAC\n0 caf\xC3\xA9 0\n", run.out);

  run = runPage(script(L"latin1.js", "console.log('caf\xE9');\n"), L"");
  EXPECT_EQ(2u, run.exitCode) << "not UTF-8: " << run.err;
  EXPECT_TRUE(contains(run.err, "as UTF-8")) << run.err;
}

TEST_F(HostTest, UsageErrorsAndHelp) {
  HostRun run = runHost(L"");
  EXPECT_EQ(2u, run.exitCode);
  EXPECT_TRUE(contains(run.err, "usage: kelvra_host")) << run.err;
  run = runHost(L"--url");
  EXPECT_EQ(2u, run.exitCode);
  run = runHost(L"--help");
  EXPECT_EQ(0u, run.exitCode);
  EXPECT_TRUE(contains(run.out, "--private-temp")) << run.out;
  run = runPage(directory_ + L"missing.js", L"");
  EXPECT_EQ(2u, run.exitCode) << run.err;
}

}  // namespace
