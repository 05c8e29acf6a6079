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
  EXPECT_EQ(6u, run.exitCode) << run.err;
  EXPECT_EQ("start\n", run.out);
  EXPECT_TRUE(contains(run.err, "host: SCRIPT TIME-OUT ")) << run.err;
  EXPECT_TRUE(contains(run.err, "forever.js: no end after 1 s")) << run.err;
}

}  // namespace
