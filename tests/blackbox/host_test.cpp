// The host program end to end: kelvra_host.exe runs page script against the real
// NPKelvraProxy.dll and the demo launcher, as a user runs it. The launcher is served
// to each run with --launcher, so that no test here registers its class (the test
// bed expects the class unregistered in its prefix).
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

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

// A file of a source folder as a Windows path (a Unix path is reached through drive Z:).
std::wstring sourcePath(const char* folder, const wchar_t* name) {
  std::wstring path = widen(folder);
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
  static void TearDownTestSuite() { removeTemporaryDirectory(directory_); }
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

  // With `merged`, standard output and error go to one file, read into `out`.
  static HostRun runHost(const std::wstring& arguments, bool merged = false) {
    HostRun run = {999, std::string(), std::string()};
    std::wstring outPath = directory_ + L"stdout.txt", errPath = directory_ + L"stderr.txt";
    HANDLE out = outputFile(outPath), err = merged ? out : outputFile(errPath);
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
    if (!merged) CloseHandle(err);
    run.out = readFileShared(outPath);
    run.err = merged ? std::string() : readFileShared(errPath);
    return run;
  }

  static std::wstring launcher() {
    return L"--launcher " + inQuotes(binPath(L"KelvraDemoLauncher.dll")) + L" ";
  }

  // A run of `scriptPath` with the DLL named on the command line.
  static HostRun runPage(const std::wstring& scriptPath, const std::wstring& options,
                         bool merged = false) {
    return runHost(launcher() + L"--plugin " + inQuotes(binPath(L"NPKelvraProxy.dll")) + L" " +
                       options + L" " + inQuotes(scriptPath),
                   merged);
  }

  // A run of `scriptPath` against the test bed's generic plug-in.
  static HostRun runTestPlugin(const std::wstring& scriptPath, const std::wstring& options) {
    return runHost(L"--plugin " + inQuotes(binPath(L"NPKelvraTestPlugin.dll")) +
                   L" --type application/x-kelvra-test " + options + L" " + inQuotes(scriptPath));
  }

  static std::wstring directory_;
};

// The console lines of `out` (the plug-in's log and host lines aside).
std::vector<std::string> lines(const std::string& out) {
  std::vector<std::string> result;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    result.push_back(out.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

// Whether `parts` occur in `text` in this order.
bool inOrder(const std::string& text, const std::vector<std::string>& parts) {
  size_t at = 0;
  for (const std::string& part : parts) {
    at = text.find(part, at);
    if (at == std::string::npos) return false;
    at += part.size();
  }
  return true;
}

std::wstring HostTest::directory_;

TEST_F(HostTest, TheExamplePageCallsEveryMethodOfThePlugin) {
  std::string page = readFileShared(sourcePath(KELVRA_EXAMPLES_DIR, L"launcher-page.js"));
  ASSERT_FALSE(page.empty()) << narrow(sourcePath(KELVRA_EXAMPLES_DIR, L"launcher-page.js"));
  const char* methods[] = {"HelloWorld", "Hello", "StartGame", "Get_InstallHost", "Update",
                           "Put_AuthenticationTicket", "Get_GameStarted", "SetSilentModeEnabled",
                           "SetStartInHiddenMode", "UnhideApp", "DeleteKeyValue", "Get_IsUpToDate",
                           "PreStartGame", "GetKeyValue", "SetKeyValue", "BringAppToFront",
                           "ResetLaunchState", "SetEditMode"};
  for (const char* method : methods) {
    EXPECT_TRUE(contains(page, std::string("plugin.") + method + "(")) << method;
  }

  HostRun run = runPage(sourcePath(KELVRA_EXAMPLES_DIR, L"launcher-page.js"),
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
  HostRun run = runPage(sourcePath(KELVRA_EXAMPLES_DIR, L"launcher-page.js"),
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
  EXPECT_TRUE(contains(run.err, "uncaught.js:2: uncaught exception: exception during invocation"))
      << run.err;
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

  run = runPage(script(L"latin1.js", "console.log('ok');\nconsole.log('caf\xE9');\n"), L"");
  EXPECT_EQ(2u, run.exitCode) << "not UTF-8: " << run.err;
  EXPECT_TRUE(contains(run.err, "latin1.js is not valid UTF-8: line 2, byte 0xE9 at offset 35"))
      << run.err;
}

// Every refusal of the command line: its exit code and one line on standard error
// that names the option or file and the reason; nothing runs. In `arguments`, PAGE
// stands for a page that prints location.host.
TEST_F(HostTest, TheCommandLineIsCheckedBeforeAnythingRuns) {
  const std::wstring page = script(L"where.js", "console.log(window.location.host);\n");
  const std::wstring latin1 = script(L"latin1-page.js", "var a = 1;\n\n'caf\xE9';\n");
  struct Row {
    const wchar_t* arguments;
    DWORD exitCode;
    const char* line;  // on stderr; for a run that is accepted, its standard output
  };
  const Row rows[] = {
      {L"--bogus PAGE", 2, "kelvra_host: unknown option --bogus (--help lists the options)\n"},
      {L"PAGE --url", 2, "kelvra_host: --url needs a value: --url URL\n"},
      {L"--show-log=yes PAGE", 2, "kelvra_host: --show-log takes no value\n"},
      {L"--url www.kelvra.com PAGE", 2, "kelvra_host: --url \"www.kelvra.com\" is not a URL"},
      {L"--url https:///play PAGE", 2, "kelvra_host: --url \"https:///play\" has no host"},
      {L"--url https://www.kelvra.com:0/ PAGE", 2,
       ": the port \"0\" is not a number from 1 to 65535\n"},
      {L"--url https://www.kelvra.com:65536/ PAGE", 2, "the port \"65536\" is not a number"},
      {L"--url https://www.kelvra.com:80a/ PAGE", 2, "the port \"80a\" is not a number"},
      {L"--url \"https://www.kel vra.com/\" PAGE", 2, "holds a ' ', which no host name has"},
      {L"--param width PAGE", 2, "kelvra_host: --param wants NAME=VALUE, not \"width\"\n"},
      {L"--script-timeout soon PAGE", 2, "kelvra_host: --script-timeout wants whole seconds"},
      {L"--timeout 86401 PAGE", 2, "kelvra_host: --timeout wants whole seconds from 0 (no limit)"},
      {L"--syntax-level es2021 PAGE", 2, "kelvra_host: --syntax-level wants es5, es2015 to es2020 or off"},
      {L"--launcher-answer Upgrade=E_FAIL PAGE", 2, "\"Upgrade\": no such script method\n"},
      {L"--launcher-answer Update=maybe PAGE", 2, "Update=maybe: not an HRESULT"},
      {L"--launcher-answer Update=text:x PAGE", 2,
       "only Hello, Get_InstallHost and GetKeyValue answer a text\n"},
      {L"--launcher-answer Hello=true PAGE", 2, "only Get_GameStarted and Get_IsUpToDate answer a flag"},
      {L"--launcher-answer Update=delay:-5 PAGE", 2, "the delay is milliseconds from 0 to 600000"},
      {L"--launcher-answer Update PAGE", 2, "is not METHOD=VALUE or not-installed\n"},
      {L"PAGE PAGE", 2, "kelvra_host: one page at a time: "},
      {L"", 2, "kelvra_host: no page script named"},
      {L"DIR", 2, " is a directory, not a page script\n"},
      {L"DIR\\missing.js", 2, "missing.js: no such file\n"},
      {L"LATIN1", 2, "latin1-page.js is not valid UTF-8: line 3, byte 0xE9 at offset 16"},
      // Accepted: options before or after the page, --name=value as --name value.
      {L"--url https://shop.kelvra.com/ PAGE", 0, "shop.kelvra.com\n"},
      {L"PAGE --url=https://shop.kelvra.com:8443/x", 0, "shop.kelvra.com:8443\n"},
      {L"PAGE --url http://[::1]:8080/", 0, "[::1]:8080\n"},
      {L"--timeout=0 PAGE --script-timeout 5", 0, "www.kelvra.com\n"},
  };
  for (const Row& row : rows) {
    std::wstring arguments = row.arguments;
    const std::pair<const wchar_t*, std::wstring> names[] = {
        {L"PAGE", inQuotes(page)}, {L"DIR", directory_.substr(0, directory_.size() - 1)},
        {L"LATIN1", inQuotes(latin1)}};
    for (const auto& name : names) {
      for (size_t at; (at = arguments.find(name.first)) != std::wstring::npos;) {
        arguments.replace(at, wcslen(name.first), name.second);
      }
    }
    HostRun run = runHost(launcher() + L"--private-temp --plugin " +
                          inQuotes(binPath(L"NPKelvraProxy.dll")) + L" " + arguments);
    SCOPED_TRACE(narrow(arguments));
    EXPECT_EQ(row.exitCode, run.exitCode) << run.err;
    if (row.exitCode == 0) {
      EXPECT_EQ(row.line, run.out);
      continue;
    }
    EXPECT_EQ("", run.out);
    EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
    EXPECT_TRUE(contains(run.err, row.line)) << run.err;
  }

  // A page that another program holds open without sharing cannot be read.
  HANDLE held = CreateFileW(page.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  HostRun run = runPage(page, L"");
  CloseHandle(held);
  EXPECT_EQ(2u, run.exitCode) << run.err;
  EXPECT_TRUE(contains(run.err, "where.js cannot be read: ")) << run.err;

  for (const wchar_t* help : {L"--help", L"-h", L"PAGE --help"}) {
    run = runHost(help);
    EXPECT_EQ(0u, run.exitCode) << narrow(help);
    EXPECT_TRUE(contains(run.out, "usage: kelvra_host [options] PAGE-SCRIPT.js")) << run.out;
    EXPECT_TRUE(contains(run.out, "--launcher-answer ANSWER")) << run.out;
    EXPECT_EQ("", run.err);
  }
}

// The answers set for a run reach page script through the real plug-in. `answers`
// are the --launcher-answer values, `page` the script, `out` what it prints.
TEST_F(HostTest, TheDemoLauncherAnswersAsToldForTheRun) {
  const std::string longText(3000, 'x');
  struct Row {
    std::vector<const char*> answers;
    const char* page;
    const char* out;
  };
  const Row rows[] = {
      {{"Update=0x80004005"}, "console.log(plugin.Update(), plugin.Get_IsUpToDate());", "-2147467259 false\n"},
      {{"update=E_ACCESSDENIED"}, "console.log(plugin.Update());", "-2147024891\n"},
      {{"StartGame=-2147467259"}, "console.log(plugin.StartGame('t', 's'));", "-2147467259\n"},
      {{"SetKeyValue=S_FALSE"}, "console.log(plugin.SetKeyValue('k', 'v'));", "1\n"},
      {{"Hello=text:Bonjour"}, "console.log(plugin.Hello());", "Bonjour\n"},
      {{"Hello=E_FAIL"}, "console.log(plugin.Hello());", "IKelvraLauncher->Hello() Error occured !\n"},
      {{"Get_InstallHost=text:", "Get_InstallHost=S_FALSE"}, "console.log('[' + plugin.Get_InstallHost() + ']');", "[]\n"},
      {{"GetKeyValue=text:same for every key"}, "console.log(plugin.GetKeyValue('any'));", "same for every key\n"},
      {{"GetKeyValue=E_FAIL"}, "console.log(plugin.GetKeyValue('any'));", "-1\n"},
      // "Is up to date" staying false, and a game that is always started.
      {{"Get_IsUpToDate=false"}, "console.log(plugin.Update(), plugin.Get_IsUpToDate());", "0 false\n"},
      {{"Get_GameStarted=true"}, "console.log(plugin.Get_GameStarted());", "true\n"},
      {{"Get_GameStarted=true", "Get_GameStarted=E_FAIL"}, "console.log(plugin.Get_GameStarted());", "true\n"},
      // A slow Update.
      {{"Update=delay:400"}, "var t = new Date(); var r = plugin.Update();\n"
                             "console.log(r, new Date() - t >= 400);", "0 true\n"},
  };
  for (const Row& row : rows) {
    std::wstring options = L"--private-temp";
    for (const char* answer : row.answers) options += L" --launcher-answer " + inQuotes(widen(answer));
    SCOPED_TRACE(narrow(options));
    HostRun run = runPage(script(L"answers.js", row.page), options);
    EXPECT_EQ(0u, run.exitCode) << run.err;
    EXPECT_EQ(row.out, run.out) << run.err;
  }

  // Launcher text longer than the plug-in's buffer is cut at 2047 bytes.
  HostRun run = runPage(script(L"long.js", "console.log(plugin.Hello().length);"),
                        L"--private-temp --launcher-answer Hello=text:" + widen(longText));
  EXPECT_EQ("2047\n", run.out) << run.err;

  // Not installed: the class cannot be created, so the plug-in refuses the embedding.
  run = runPage(script(L"never.js", "console.log('ran');"),
                L"--private-temp --launcher-answer not-installed");
  EXPECT_EQ(3u, run.exitCode) << run.err;
  EXPECT_EQ("", run.out);
  EXPECT_TRUE(contains(run.err, "log: ")) << run.err;
  EXPECT_TRUE(contains(run.err, " newv GetIKelvraLauncherInstance() = NULL\n")) << run.err;
  EXPECT_TRUE(contains(run.err, "host: NOT RUN: the plug-in refused the embedding (NPP_New -> 2;"))
      << run.err;
}

// The plug-in's log lines come under the page's line that printed the calls that
// wrote them; --follow shows them the moment they are written; the run's folder
// goes unless --keep-log.
TEST_F(HostTest, TheLogIsShownWhereTheCallsHappened) {
  std::wstring page = script(L"interleaved.js",
                             "console.log('A', plugin.HelloWorld());\n"
                             "console.log('B', plugin.Get_IsUpToDate());\n");
  HostRun run = runPage(page, L"--private-temp", true);
  EXPECT_EQ(0u, run.exitCode) << run.out;
  const char* order[] = {"host: running ", "\nA 0\n", " invokeKelvraAdapterHelloWorld 0x",
                         " KelvraAdapterHelloWorld result = 0\n", "\nB false\n",
                         " invokeKelvraAdapterGet_IsUpToDate result=0\n", "host: NPP_Destroy",
                         " destroy\n"};
  size_t at = 0;
  for (const char* part : order) {
    size_t found = run.out.find(part, at);
    EXPECT_NE(std::string::npos, found) << "in order: " << part << "\n" << run.out;
    if (found != std::string::npos) at = found;
  }
  EXPECT_TRUE(contains(run.out, "  log: ")) << run.out;
  // The log's path in both forms, and the folder removed afterwards.
  size_t named = run.out.find("host: plug-in log C:\\");
  ASSERT_NE(std::string::npos, named) << run.out;
  size_t end = run.out.find('\n', named);
  std::string windowsPath = run.out.substr(named + 18, end - named - 18);
  EXPECT_TRUE(contains(run.out, "\n      = /")) << run.out;
  EXPECT_TRUE(contains(run.out, "host: removed the run's temporary directory")) << run.out;
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(widen(windowsPath).c_str())) << windowsPath;

  run = runPage(page, L"--private-temp --keep-log", true);
  named = run.out.find("host: plug-in log C:\\");
  ASSERT_NE(std::string::npos, named) << run.out;
  end = run.out.find('\n', named);
  windowsPath = run.out.substr(named + 18, end - named - 18);
  EXPECT_TRUE(contains(run.out, "host: kept the run's temporary directory ")) << run.out;
  std::string kept = readFileShared(widen(windowsPath));
  EXPECT_TRUE(contains(kept, " invokeKelvraAdapterHelloWorld 0x")) << windowsPath;
  DeleteFileW(widen(windowsPath).c_str());
  RemoveDirectoryW(widen(windowsPath.substr(0, windowsPath.rfind('\\'))).c_str());

  // While Update is slow, the lines of the calls before it are already there with
  // --follow; without it they wait for the page's next line.
  page = script(L"slow.js", "plugin.HelloWorld();\nplugin.Update();\nconsole.log('after');\n");
  const std::wstring slow = L"--private-temp --launcher-answer Update=delay:1500";
  run = runPage(page, slow + L" --follow", true);
  EXPECT_LT(run.out.find(" invokeKelvraAdapterUpdate 0x"), run.out.find("\nafter\n")) << run.out;
  run = runPage(page, slow, true);
  EXPECT_GT(run.out.find(" invokeKelvraAdapterHelloWorld 0x"), run.out.find("\nafter\n")) << run.out;
}

// A page that never ends is stopped by the script time-out.
TEST_F(HostTest, APageThatNeverEndsIsStopped) {
  HostRun run = runPage(script(L"forever.js", "console.log('start');\nfor (;;) {}\n"),
                        L"--private-temp --script-timeout 1");
  EXPECT_EQ(7u, run.exitCode) << run.err;
  EXPECT_EQ("start\n", run.out);
  EXPECT_TRUE(contains(run.err, "host: SCRIPT TIME-OUT ")) << run.err;
  EXPECT_TRUE(contains(run.err, "forever.js: no end after 1 s")) << run.err;
  EXPECT_TRUE(contains(run.err, "host: NPP_Destroy -> 0")) << "the page still closes: " << run.err;
}

}  // namespace

namespace {

// Each expression is printed with String(); the line must read as Firefox shows it.
TEST_F(HostTest, PageScriptSeesAPluginObjectAsFirefoxShowsIt) {
  // The rows are the page host's too (tests/cli/page_host_test.sh).
  std::vector<std::string> expressions, expected;
  std::vector<std::string> table =
      lines(readFileShared(sourcePath(KELVRA_PAGES_DIR, L"object_rules.txt")));
  for (const std::string& line : table) {
    if (line.compare(0, 2, "> ") == 0) expressions.push_back(line.substr(2));
    if (line.compare(0, 2, "= ") == 0) expected.push_back(line.substr(2));
  }
  ASSERT_FALSE(expressions.empty()) << "no rows in tests/pages/object_rules.txt";
  ASSERT_EQ(expressions.size(), expected.size());
  std::string source;
  for (const std::string& expression : expressions) {
    source += "console.log(String(" + expression + "));\n";
  }
  HostRun run = runTestPlugin(script(L"semantics.js", source),
                              L"--url https://www.kelvra.com:8443/play/x?q=1#h");
  EXPECT_EQ(0u, run.exitCode) << run.err;
  std::vector<std::string> got = lines(run.out);
  ASSERT_EQ(expected.size(), got.size()) << run.out << run.err;
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i], got[i]) << expressions[i];
  }
  // services() set the status line and asked for three redraws; it released a void variant.
  EXPECT_TRUE(contains(run.err, "status line (1 times): \"status from the test plug-in\"; "
                                "3 redraws asked for"))
      << run.err;
  // Its streams: one it ended, one the host ends (and frees) after NPP_Destroy.
  EXPECT_TRUE(inOrder(run.err, {"host: the plug-in's stream (text/plain) to _blank: 11 bytes, "
                                "NPRES_DONE\n",
                                "host: NPP_Destroy -> 0\n",
                                "host: the plug-in's stream (text/html) to _self: 4 bytes, left "
                                "open, ended by the host with its instance\n"}))
      << run.err;
  EXPECT_TRUE(contains(run.err, "host: browser accounting balanced")) << run.err;
}

TEST_F(HostTest, TimersAsyncCallsAndStreamsArriveThroughThePageLoop) {
  std::wstring file = script(L"stream.txt", "file body");
  std::string fileUrl = "file:///" + narrow(file);
  for (char& c : fileUrl) {
    if (c == '\\') c = '/';
  }
  wchar_t temp[MAX_PATH];
  DWORD tempLength = GetTempPathW(MAX_PATH, temp);
  std::wstring tempDirectory(temp, tempLength < MAX_PATH ? tempLength : 0);
  size_t cachedBefore = findFiles(tempDirectory, L"kelvra-stream-*").size();
  HostRun run = runTestPlugin(
      script(L"events.js",
             "plugin.listener = function (e) { console.log(e); };\n"
             "console.log('get ' + plugin.get('data:text/plain;base64,aGVsbG8gd29ybGQ=', true));\n"
             "console.log('get ' + plugin.get('" + fileUrl + "', true));\n"
             "console.log('get ' + plugin.get('https://www.kelvra.com/offline', true));\n"
             "console.log('get ' + plugin.get('no scheme at all', true));\n"
             "console.log('get ' + plugin.get('data:,asfile%20body', true));\n"
             "console.log('get ' + plugin.get('data:,cancel%20me%20now', true));\n"
             "console.log('timer ' + plugin.timer(5, false));\n"
             "plugin.async();\n"
             "setTimeout(function (a) { console.log('timeout ' + a); }, 20, 'arg');\n"
             "var n = 0, ticks = setInterval(function () {\n"
             "  if (++n == 3) { clearInterval(ticks); console.log('interval x3'); }\n"
             "}, 1);\n"
             "clearTimeout(setTimeout(function () { console.log('cleared'); }, 1));\n"
             "Promise.resolve('job').then(function (v) { console.log('promise ' + v); });\n"
             "console.log('script end');\n"),
      L"");
  EXPECT_EQ(0u, run.exitCode) << run.err;
  // Nothing of the loop's runs before the script ends; each stream in a browser's order.
  // A page on https cannot have its plug-in read a local file: that call fails at once.
  EXPECT_TRUE(
      inOrder(run.out, {"get 0\nget 1\nget 0\nget 0\nget 0\nget 0\ntimer ", "script end\n"}))
      << run.out;
  // A Promise job runs at the end of its task; NPP_Destroy comes with the page still there.
  EXPECT_TRUE(inOrder(run.out, {"script end\npromise job\n", "newstream text/plain end=11\n"}))
      << run.out;
  EXPECT_EQ("destroy", lines(run.out).back()) << run.out;
  EXPECT_TRUE(inOrder(run.out, {"script end\n", "newstream text/plain end=11\n", "write 0 hello\n",
                                "write 5  worl\n", "write 10 d\n", "destroystream 0\n",
                                "urlnotify data:text/plain;base64,aGVsbG8gd29ybGQ= 0 42\n"}))
      << run.out;
  EXPECT_FALSE(contains(run.out, "urlnotify " + fileUrl)) << run.out;
  // A stream taken as a file only, and one the plug-in ends at its first write.
  EXPECT_TRUE(inOrder(run.out, {"newstream text/plain end=11\n", "asfile asfile body\n",
                                "destroystream 0\n", "urlnotify data:,asfile%20body 0 42\n"}))
      << run.out;
  EXPECT_TRUE(inOrder(run.out, {"write 0 cance\n", "write back -1\n", "destroystream 2\n",
                                "urlnotify data:,cancel%20me%20now 2 42\n"}))
      << run.out;
  EXPECT_FALSE(contains(run.out, "write 5 l me ")) << run.out;
  // Offline: no stream, only the notification of a network error; a relative URL is
  // one of the page's site.
  EXPECT_TRUE(contains(run.out, "urlnotify https://www.kelvra.com/offline 1 42\n")) << run.out;
  EXPECT_TRUE(contains(run.out, "urlnotify no scheme at all 1 42\n")) << run.out;
  for (const char* line : {"timer 1\n", "async call on the page's thread\n", "timeout arg\n",
                           "interval x3\n"}) {
    EXPECT_TRUE(contains(run.out, line)) << line << run.out;
  }
  EXPECT_FALSE(contains(run.out, "cleared")) << run.out;
  EXPECT_TRUE(contains(run.err, "3 streams delivered, 2 URLs refused (offline)")) << run.err;
  // The data: stream's cache file lives only as long as its stream.
  EXPECT_EQ(cachedBefore, findFiles(tempDirectory, L"kelvra-stream-*").size());
  EXPECT_TRUE(contains(run.err, "host: browser accounting balanced")) << run.err;
}

TEST_F(HostTest, AnHtmlPagesEmbeddingsParamsAndScriptsRunInOrder) {
  script(L"page-part.js", "console.log('src script sees ' + typeof first.args);\n");
  HostRun run = runTestPlugin(
      script(L"page.html",
             "<html><head><title>A &amp; B</title>\n"
             "<script>console.log('head script: ' +\n"
             "  document.getElementsByTagName('embed').length + ' embeds');</script></head><body>\n"
             "<embed id=\"first\" type=\"application/x-kelvra-test\" width=1 height='2' flag>\n"
             "<!-- <embed id=\"commented\" type=\"application/x-kelvra-test\"> -->\n"
             "<object id=\"second\" type=\"application/x-kelvra-test\">\n"
             "  <param name=\"mode\" value=\"quiet\"><param name=\"n\" value=\"&#51;&#x1F600;\">\n"
             "</object>\n"
             "<embed id=\"refused\" type=\"application/x-kelvra-test\" fail=\"yes\">\n"
             "<embed id=\"other\" type=\"application/x-other\">\n"
             "<script>\n"
             "var first = document.getElementById('first');\n"
             "console.log(document.title + ': ' + first.args());\n"
             "console.log(second.args());\n"
             "var refused = document.getElementById('refused');\n"
             "console.log(refused.tagName, typeof refused.echo, refused.getAttribute('fail'));\n"
             "console.log(typeof document.getElementById('other').echo,\n"
             "            document.getElementById('commented'));\n"
             "</script>\n"
             "<script type=\"text/template\">console.log('not run');</script>"
             "<script src=\"page-part.js\"></script>\n"
             "<script>throw 'the last script fails';</script>\n"
             "</body></html>\n"),
      L"");
  EXPECT_EQ(1u, run.exitCode) << run.err;
  std::vector<std::string> expected = {
      // As in a browser, an element exists from where the parser reaches it on.
      "head script: 0 embeds",
      "A & B: id=first;type=application/x-kelvra-test;width=1;height=2;flag=",
      "id=second;type=application/x-kelvra-test;PARAM=(null);mode=quiet;n=3\xF0\x9F\x98\x80",
      "EMBED undefined yes",
      "undefined null",
      "src script sees function",
  };
  EXPECT_EQ(expected, lines(run.out)) << run.err;
  EXPECT_TRUE(inOrder(run.err, {"host: running ", "host: NPP_New(application/x-kelvra-test) -> 0",
                                "host: running "}))
      << run.err;
  EXPECT_TRUE(contains(run.err, "host: NPP_New(application/x-kelvra-test) -> 1")) << run.err;
  EXPECT_TRUE(contains(run.err, "page.html (the script from line 21): uncaught exception: the last "
                                "script fails"))
      << run.err;
  EXPECT_TRUE(contains(run.err, "host: browser accounting balanced")) << run.err;
}

TEST_F(HostTest, HangsAndCrashesEndTheRunASlowCallDoesNot) {
  const struct {
    const char* method;
    DWORD exitCode;
    const char* report;
  } rows[] = {
      // Past the script's time too: a hanging call is the plug-in's fault, not the page's.
      {"hang", 5, "host: HUNG: the plug-in did not return within 3 s, in NPClass.invoke(hang)"},
      // An access violation; under an emulator of 32-bit code it may read as 0xC000001D.
      {"crash", 6, "host: CRASHED: exception 0xC00000"},
      // A fault the plug-in's own handler deals with is none of the host's business.
      {"recover", 0, "host: browser accounting balanced"},
      // A slow call that returns is no time the script used: the page goes on.
      {"slow", 0, "host: browser accounting balanced"},
  };
  for (const auto& row : rows) {
    HostRun run = runTestPlugin(
        script(L"fault.js", std::string("console.log('before');\nplugin.") + row.method +
                                "();\nconsole.log('after');\n"),
        L"--timeout 3 --script-timeout 1");
    EXPECT_EQ(row.exitCode, run.exitCode) << row.method << run.err;
    EXPECT_EQ(row.exitCode == 0 ? "before\nafter\n" : "before\n", run.out) << row.method;
    EXPECT_TRUE(contains(run.err, row.report)) << run.err;
  }
  // Without the watchdog a crash is still reported.
  HostRun run = runTestPlugin(script(L"fault.js", "plugin.crash();\n"), L"--timeout 0");
  EXPECT_EQ(6u, run.exitCode) << run.err;
  EXPECT_TRUE(contains(run.err, "NPKelvraTestPlugin.dll, in NPClass.invoke(crash)")) << run.err;
}

TEST_F(HostTest, TheExampleHtmlPageFeatureTestsThePlugin) {
  const struct {
    const wchar_t* url;
    const char* lines[3];
  } rows[] = {
      {L"https://www.kelvra.com/play",
       {"typeof plugin.HelloWorld: function",
        "  Hello() -> \"Hello from the Kelvra demo launcher\"",
        "a timer after the page's scripts: done"}},
      {L"https://www.example.com/games",
       {"typeof plugin.HelloWorld: undefined", "the plug-in refused this page",
        "a timer after the page's scripts: done"}},
  };
  for (const auto& row : rows) {
    HostRun run = runPage(sourcePath(KELVRA_EXAMPLES_DIR, L"launcher-page.html"), std::wstring(L"--url ") + row.url);
    EXPECT_EQ(0u, run.exitCode) << run.err;
    for (const char* line : row.lines) EXPECT_TRUE(contains(run.out, line)) << line << run.out;
    EXPECT_TRUE(contains(run.err, "host: browser accounting balanced")) << run.err;
  }
}

}  // namespace

namespace {

// Pages written as for Firefox 52 and Pale Moon, one behaviour a row, against the test
// bed's plug-in: the page's console lines (exactly), the host's lines that must appear
// in this order on standard error, and the exit code.
TEST_F(HostTest, ModernPagesRunAsInFirefox) {
  script(L"defer.js", "console.log('defer ' + document.readyState);\n");
  script(L"async.js", "console.log('async');\n");
  script(L"movie.txt", "first");
  const struct {
    const char* behaviour;
    std::string page;
    std::vector<std::string> out;
    std::vector<std::string> err;
    DWORD exitCode;
  } rows[] = {
      {"language of today's engines",
       "<script>\n"
       "var seen = [];\n"
       "for (let i = 0; i < 3; i++) setTimeout(() => seen.push(i));\n"
       "setTimeout(() => console.log('one i per iteration: ' + seen.join()));\n"
       "try { const c = 1; c = 2; } catch (e) { console.log(e instanceof TypeError); }\n"
       "class A { constructor(x) { this.x = x; } get twice() { return 2 * this.x; } }\n"
       "const {x, ...rest} = {x: 1, y: 2, z: 3};\n"
       "console.log('abc'.substr(-1), new A(21).twice, x, Object.keys(rest).join(),\n"
       "            `${[...'ab'].reverse().join('')}`, 2 ** 10, [1, [2, [3]]].flat(2).join());\n"
       "function* g() { yield 1; yield 2; }\n"
       "(async () => { await null; console.log('async function', [...g()].join(),\n"
       "                                        new Map([[1, 'm']]).get(1)); })();\n"
       "</script>\n",
       {"true", "c 42 1 y,z ba 1024 1,2,3", "async function 1,2 m", "one i per iteration: 0,1,2"},
       {},
       0},
      {"DOM calls on the page's elements",
       "<title>A &amp; B</title><div id=\"panel\" class=\"box\">waiting</div>\n"
       "<ul><li>a</li><li class=\"b\">b</li></ul>\n"
       "<script>\n"
       "var s = document.getElementById('panel');\n"
       "s.textContent = 'ready';\n"
       "var li = document.createElement('li'); li.textContent = 'c';\n"
       "document.querySelector('ul').appendChild(li);\n"
       "console.log(document.title, s.textContent, s.className, s instanceof HTMLDivElement,\n"
       "            document.querySelector('.b').textContent, document.querySelectorAll('li').length);\n"
       "s.innerHTML = '<b>bold</b> and <i>italic</i>';\n"
       "console.log(s.innerHTML, s.firstChild.tagName, s.textContent, panel === s);\n"
       "</script>\n",
       {"A & B ready box true b 3", "<b>bold</b> and <i>italic</i> B bold and italic true"},
       {},
       0},
      {"events on the window and the document, <body onload>",
       "<body onload=\"console.log('body onload ' + event.type)\">\n"
       "<script>\n"
       "document.addEventListener('readystatechange', function () {\n"
       "  console.log('readystatechange ' + document.readyState); });\n"
       "document.addEventListener('DOMContentLoaded', function () {\n"
       "  console.log('document DOMContentLoaded'); });\n"
       "window.addEventListener('DOMContentLoaded', function () { console.log('window DOMContentLoaded'); });\n"
       "window.addEventListener('load', function (e) { console.log('window load ' + e.type); });\n"
       "var b = document.createElement('button');\n"
       "b.addEventListener('ping', function (e) { console.log('ping once ' + (this === b)); }, {once: true});\n"
       "b.dispatchEvent(new Event('ping')); b.dispatchEvent(new Event('ping'));\n"
       "console.log('readyState ' + document.readyState);\n"
       "</script></body>\n",
       {"ping once true", "readyState loading", "readystatechange interactive",
        "document DOMContentLoaded", "window DOMContentLoaded", "readystatechange complete",
        "body onload load", "window load load"},
       {},
       0},
      {"the page's life: scripts, defer, async, load, unload, then NPP_Destroy",
       "<title>alive</title>\n"
       "<script src=\"async.js\" async></script><script src=\"defer.js\" defer></script>\n"
       "<script>console.log('inline before the embedding');</script>\n"
       "<embed id=\"plugin\" type=\"application/x-kelvra-test\">\n"
       "<script>\n"
       "plugin.listener = function (e) { if (e == 'destroy') console.log('NPP_Destroy in ' + document.title); };\n"
       "console.log('inline after it: ' + typeof plugin.echo);\n"
       "document.addEventListener('DOMContentLoaded', function () { console.log('DOMContentLoaded'); });\n"
       "for (const e of ['load', 'beforeunload', 'unload']) window.addEventListener(e, function () { console.log(e); });\n"
       "setTimeout(function () { console.log('timer'); });\n"
       "</script>\n"
       "<script type=\"text/x-template\">console.log('a template, not run');</script>\n"
       "<script type=\"module\">console.log('a module, which Firefox 52 does not know');</script>\n"
       "<script language=\"javascript\">console.log('the last inline script');</script>\n",
       {"inline before the embedding", "inline after it: function", "the last inline script",
        "defer interactive", "DOMContentLoaded", "async", "load", "timer", "beforeunload", "unload",
        "NPP_Destroy in alive"},
       {"host: NPP_New(application/x-kelvra-test) -> 0", "host: running ", "defer.js",
        "async.js", "host: NPP_Destroy -> 0", "host: NP_Shutdown -> 0"},
       0},
      {"location: its parts, and unforgeable for the page and the plug-in",
       "<embed id=\"plugin\" type=\"application/x-kelvra-test\">\n"
       "<script>\n"
       "location.host = 'www.example.com'; window.location = 'https://www.example.com/';\n"
       "location.href = 'https://www.example.com/x'; document.location = 'https://www.example.com/y';\n"
       "try { Object.defineProperty(location, 'host', {value: 'www.example.com'}); }\n"
       "catch (e) { console.log('redefine: ' + e.name); }\n"
       "try { Object.defineProperty(window, 'location', {value: {host: 'www.example.com'}}); }\n"
       "catch (e) { console.log('replace: ' + e.name); }\n"
       "console.log(location.host, location.origin, String(location), document.location === location);\n"
       "console.log(plugin.value(22), plugin.getOn(plugin.getOn(plugin.window(), 'location'), 'host'));\n"
       "</script>\n",
       {"redefine: TypeError", "replace: TypeError",
        "www.kelvra.com https://www.kelvra.com https://www.kelvra.com/ true",
        "https://www.kelvra.com www.kelvra.com"},
       {"host: the page asked to navigate (location.host = \"www.example.com\")",
        "host: the page asked to navigate (location = \"https://www.example.com/\")"},
       0},
      {"navigator: Firefox 52's user agent, the plug-in in plugins and mimeTypes",
       "<script>\n"
       "var p = navigator.plugins[0], m = navigator.mimeTypes.namedItem('application/x-kelvra-test');\n"
       "console.log(navigator.userAgent);\n"
       "console.log(navigator.plugins.length, p.name, p.filename, p.description, p.version,\n"
       "            navigator.plugins.namedItem('Kelvra Test Plug-in') === p, m.enabledPlugin === p,\n"
       "            m.suffixes, m.description, p[0] === m);\n"
       "</script>\n",
       {"Mozilla/5.0 (Windows NT 6.1; rv:52.0) Gecko/20100101 Firefox/52.0",
        "1 Kelvra Test Plug-in NPKelvraTestPlugin.dll Generic scriptable test plug-in 1.0.0.0 true "
        "true kts Kelvra test data true"},
       {},
       0},
      {"console: formats and objects shown readably",
       "<div id=\"status\">x</div><script>\n"
       "console.log('%s is %d, %o', 'n', 42.9, {a: [1, 'x'], b: null});\n"
       "console.debug('debug', [1, 2], {k: {l: true}}); console.info(1, null, undefined);\n"
       "console.log(document.getElementById('status'), new Error('e'));\n"
       "console.warn('to standard error');\n"
       "</script>\n",
       {"n is 42, { a: [ 1, \"x\" ], b: null }", "debug [ 1, 2 ] { k: { l: true } }",
        "1 null undefined", "<div id=\"status\"> Error: e"},
       {"to standard error"},
       0},
      {"timers and requestAnimationFrame",
       "<script>\n"
       "var done = [];\n"
       "function mark(what) { done.push(what); if (done.length == 4) console.log(done.sort().join()); }\n"
       "requestAnimationFrame(function (t) { mark('frame ' + typeof t); });\n"
       "var n = 0, id = setInterval(function () { if (++n == 2) { clearInterval(id); mark('interval'); } }, 5);\n"
       "setTimeout(function (a, b) { mark('timeout ' + a + b); }, 1, 'x', 'y');\n"
       "setTimeout(\"mark('code')\", 2);\n"
       "clearTimeout(setTimeout(function () { mark('cleared'); }, 1));\n"
       "</script>\n",
       {"code,frame number,interval,timeout xy"},
       {},
       0},
      {"atob and btoa, URL and URLSearchParams, localStorage and sessionStorage",
       "<script>\n"
       "console.log(btoa('kelvra'), atob('a2VsdnJh'), new URL('../x?a=1#h', 'https://www.kelvra.com/play/y').href,\n"
       "            new URLSearchParams('a=1&b=2&a=3').getAll('a').join());\n"
       "try { atob('%%'); } catch (e) { console.log(e.name); }\n"
       "localStorage.setItem('k', 1); localStorage.n = 'v'; sessionStorage.setItem('s', 'x');\n"
       "console.log(localStorage.getItem('k'), localStorage.n, localStorage.length, sessionStorage.length,\n"
       "            localStorage.getItem('s'), Object.keys(localStorage).join(), String(localStorage));\n"
       "</script>\n",
       {"a2VsdnJh kelvra https://www.kelvra.com/x?a=1#h 1,3", "InvalidCharacterError",
        "1 v 2 1 null k,n [object Storage]"},
       {},
       0},
      {"alert, confirm and prompt printed and answered",
       "<script>\n"
       "alert('saved');\n"
       "console.log(confirm('go on?'), prompt('name?', 'Ann'), JSON.stringify(prompt('empty?')));\n"
       "</script>\n",
       {"alert: saved", "confirm: go on?  [answered OK]", "prompt: name?  [answered \"Ann\"]",
        "prompt: empty?  [answered \"\"]", "true Ann \"\""},
       {},
       0},
      {"XMLHttpRequest and fetch as an offline browser answers them",
       "<script>\n"
       "var x = new XMLHttpRequest();\n"
       "x.onreadystatechange = function () { if (x.readyState == 4) console.log('xhr done ' + x.status); };\n"
       "x.onerror = function (e) { console.log('xhr ' + e.type); };\n"
       "x.open('GET', '/api/status'); x.send();\n"
       "fetch('/api/status').then(function () { console.log('fetched'); },\n"
       "                          function (e) { console.log('fetch ' + e.name + ': ' + e.message); });\n"
       "try { var s = new XMLHttpRequest(); s.open('GET', '/sync', false); s.send(); }\n"
       "catch (e) { console.log('sync ' + e.name); }\n"
       "console.log('onLine ' + navigator.onLine);\n"
       "</script>\n",
       {"sync NetworkError", "onLine false", "xhr done 0", "xhr error",
        "fetch TypeError: NetworkError when attempting to fetch resource."},
       {"host: offline: XMLHttpRequest GET https://www.kelvra.com/api/status"},
       0},
      {"a page saved as windows-1252 with a matching <meta charset>",
       "<meta charset=\"windows-1252\"><title>caf\xE9</title>\n"
       "<script>console.log(document.title, '\x80', document.title.charCodeAt(3));</script>\n",
       {"caf\xC3\xA9 \xE2\x82\xAC 233"},
       {},
       0},
      {"a missing and a remote script src, named; the page goes on",
       "<script src=\"missing.js\"></script>\n"
       "<script src=\"https://cdn.example.com/lib.js\"></script>\n"
       "<script>console.log('the page goes on');</script>\n",
       {"the page goes on"},
       {"host: script missing.js not loaded: ", "missing.js: no such file",
        "host: script https://cdn.example.com/lib.js not loaded: https://cdn.example.com/lib.js is "
        "not available offline"},
       1},
      {"the embedding's src streamed to its instance first; its window of the element's size",
       "<embed id=\"plugin\" type=\"application/x-kelvra-test\" src=\"movie.txt\" width=\"320\"\n"
       "       height=\"240\" get=\"data:,asked%20for%20in%20NPP_New\">\n"
       "<script>\n"
       "plugin.listener = function (e) { if (/^(newstream|urlnotify|destroy$)/.test(e)) console.log(e); };\n"
       "console.log(plugin.windowSize());\n"
       "</script>\n",
       {"320x240", "newstream text/plain end=5", "newstream text/plain end=20",
        "urlnotify data:,asked%20for%20in%20NPP_New 0 42", "destroy"},
       {},
       0},
      {"javascript: URLs evaluated in the page, their value streamed to the plug-in",
       "<embed id=\"plugin\" type=\"application/x-kelvra-test\">\n"
       "<script>\n"
       "var answer = 6 * 7;\n"
       "plugin.listener = function (e) { console.log(e); };\n"
       "plugin.get('javascript:\"js \" + answer', true);\n"
       "</script>\n",
       {"newstream text/plain end=5", "write 0 js 42", "destroystream 0",
        "urlnotify javascript:\"js \" + answer 0 42", "destroy"},
       {},
       0},
      {"syntax Firefox 52 cannot parse: a warning with its page line, and the script runs",
       "<title>t</title>\n<script>\nvar a = {b: 1};\nconsole.log(a?.b ?? 0);\n</script>\n",
       {"1"},
       {"host: WARNING ", "modern.html:4: not ES2017 syntax (--syntax-level): Unexpected token",
        "host:   console.log(a?.b ?? 0);"},
       0},
      {"a promise rejected with no handler is an error of its task; a handled one is not",
       "<script>\n"
       "Promise.reject(new Error('handled')).catch(() => console.log('caught'));\n"
       "(async () => {\n"
       "  await null;\n"
       "  throw new TypeError('nobody waits');\n"
       "})();\n"
       "setTimeout(() => console.log('the page goes on'), 10);\n"
       "</script>\n",
       {"caught", "the page goes on"},
       {"host: SCRIPT ERROR ", "modern.html:5: unhandled promise rejection: TypeError: nobody waits"},
       1},
      {"an error in a timer named by its page line; the page goes on with its next task",
       "<div id=\"status\"></div><script>\n"
       "function missing() { return status.id + noSuchThing; }\n"
       "setTimeout(function () { missing(); }, 1);\n"
       "setTimeout(function () { console.log('the next timer runs'); }, 30);\n"
       "</script>\n",
       {"the next timer runs"},
       {"host: SCRIPT ERROR ", "modern.html:2 (timer): ReferenceError: 'noSuchThing' is not defined",
        "host:   function missing() {"},
       1},
      {"a page on https cannot have the plug-in load file: URLs",
       "<embed id=\"plugin\" type=\"application/x-kelvra-test\">\n"
       "<script>\n"
       "plugin.listener = function (e) { console.log(e); };\n"
       "console.log('get ' + plugin.get('file:///C:/windows/win.ini', true));\n"
       "</script>\n",
       {"get 1", "destroy"},
       {"host: refused file:///C:/windows/win.ini: a page on https: may not load local files"},
       0},
      {"a plug-in's pending timer fires before the page closes",
       "<embed id=\"plugin\" type=\"application/x-kelvra-test\">\n"
       "<script>\n"
       "var id = plugin.timer(30, true);\n"
       "plugin.listener = function (e) {\n"
       "  if (e.indexOf('timer ') == 0) { plugin.stopTimer(id); console.log('the plug-in timer fired'); }\n"
       "  if (e == 'destroy') console.log(e);\n"
       "};\n"
       "</script>\n",
       {"the plug-in timer fired", "destroy"},
       {},
       0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.behaviour);
    HostRun run = runTestPlugin(script(L"modern.html", row.page), L"");
    EXPECT_EQ(row.exitCode, run.exitCode) << run.err;
    EXPECT_EQ(row.out, lines(run.out)) << run.err;
    EXPECT_TRUE(inOrder(run.err, row.err)) << run.err;
    EXPECT_TRUE(contains(run.err, "host: browser accounting balanced")) << run.err;
  }
}

}  // namespace
