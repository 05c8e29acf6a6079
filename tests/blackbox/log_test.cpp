// The diagnostic log as a browser's user finds it: where the file goes, what its name
// and lines look like, and what happens when the temporary directory is unusable.
#include <windows.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "plugin_fixture.h"

namespace kelvra_test {
namespace {

using ::testing::ElementsAre;

// Seconds since 1601 of a UTC time, its milliseconds dropped.
long long secondsOf(SYSTEMTIME time) {
  time.wMilliseconds = 0;
  FILETIME file;
  SystemTimeToFileTime(&time, &file);
  return ((static_cast<long long>(file.dwHighDateTime) << 32) | file.dwLowDateTime) / 10000000;
}

// The UTC time of a line's "MM-DD-YYYY HH:MM:SS " stamp, or -1 when it is not one.
long long stampSeconds(const std::string& line) {
  SYSTEMTIME time = {};
  int month, day, year, hour, minute, second;
  if (line.size() < 20 || sscanf(line.c_str(), "%2d-%2d-%4d %2d:%2d:%2d", &month, &day, &year,
                                 &hour, &minute, &second) != 6) {
    return -1;
  }
  char again[32];
  snprintf(again, sizeof again, "%02d-%02d-%d %02d:%02d:%02d ", month, day, year, hour, minute,
           second);
  if (line.compare(0, 20, again) != 0) return -1;  // digits, blanks and widths exactly
  time.wYear = static_cast<WORD>(year);
  time.wMonth = static_cast<WORD>(month);
  time.wDay = static_cast<WORD>(day);
  time.wHour = static_cast<WORD>(hour);
  time.wMinute = static_cast<WORD>(minute);
  time.wSecond = static_cast<WORD>(second);
  return secondsOf(time);
}

// Every file below `directory`, however deep.
std::vector<std::wstring> allFilesBelow(const std::wstring& directory) {
  std::vector<std::wstring> files;
  for (const std::wstring& entry : findFiles(directory, L"*")) {
    std::wstring name = entry.substr(directory.size());
    if (name == L"." || name == L"..") continue;
    DWORD attributes = GetFileAttributesW(entry.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      for (const std::wstring& inner : allFilesBelow(entry + L"\\")) files.push_back(inner);
    } else {
      files.push_back(entry);
    }
  }
  return files;
}

class LogTest : public PluginFixture {
 protected:
  // A browser's usual start and stop, every call of which logs.
  void runSession() {
    ASSERT_EQ(NPERR_NO_ERROR, startPlugin(plugin, browser::functions(), &funcs));
    EXPECT_NE(nullptr, plugin.mimeDescription());
    EXPECT_EQ(NPERR_NO_ERROR, plugin.shutdown());
  }

  // Loads the plug-in on TMP = `temp` (which need not exist).
  void loadOn(const std::wstring& temp) {
    setProcessTemporaryDirectory(temp);
    ASSERT_TRUE(loadPlugin(pluginPath(), &plugin));
  }
};

TEST_F(LogTest, FileIsNamedKlvAndEightUpperCaseHexDigitsInTheTemporaryDirectory) {
  ASSERT_TRUE(load());
  std::vector<std::wstring> files = allFilesBelow(temporaryDirectory);
  ASSERT_EQ(1u, files.size());
  std::string name = narrow(files[0].substr(temporaryDirectory.size()));
  ASSERT_EQ(16u, name.size()) << name;
  EXPECT_EQ("KLV-", name.substr(0, 4));
  EXPECT_EQ(".log", name.substr(12));
  for (char c : name.substr(4, 8)) {
    EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << name;
  }
  EXPECT_EQ("", readFileShared(files[0]));  // created at load, empty until a call logs
}

TEST_F(LogTest, EveryLineIsStampedWithUtcTimeAndEndsInCrLf) {
  SYSTEMTIME before, after;
  GetSystemTime(&before);
  ASSERT_TRUE(load());
  runSession();
  GetSystemTime(&after);
  std::string text = logText();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ("\r\n", text.substr(text.size() - 2));
  for (size_t i = 0; i < text.size(); ++i) {
    // Every LF follows a CR, every CR precedes an LF.
    EXPECT_EQ(text[i] == '\n', i > 0 && text[i - 1] == '\r') << i;
  }
  std::vector<std::string> lines = splitLines(text);
  ASSERT_EQ(6u, lines.size());
  for (const std::string& line : lines) {
    long long stamp = stampSeconds(line);
    EXPECT_GE(stamp, secondsOf(before)) << line;
    EXPECT_LE(stamp, secondsOf(after)) << line;
  }
  EXPECT_THAT(messages(), ElementsAre("NP_GetEntryPoints", "NPKelvraProxy: NP_Initialize",
                                      "CoInitialize Ok", "NPKelvraProxy: NP_GetMIMEDescription",
                                      "NPKelvraProxy: NP_Shutdown", "CoUninitialize Ok"));
}

// Each call's line is in the file, for another reader, before the call returns,
// while the module still holds the file open for writing.
TEST_F(LogTest, EachLineIsReadableAtOnceWhileTheModuleHoldsTheFile) {
  ASSERT_TRUE(load());
  plugin.mimeDescription();
  EXPECT_THAT(messages(), ElementsAre("NPKelvraProxy: NP_GetMIMEDescription"));
  plugin.getEntryPoints(&funcs);
  EXPECT_THAT(messages(),
              ElementsAre("NPKelvraProxy: NP_GetMIMEDescription", "NP_GetEntryPoints"));
  // Another writer may open it too.
  std::vector<std::wstring> files = logFiles();
  ASSERT_EQ(1u, files.size());
  HANDLE other = CreateFileW(files[0].c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, NULL);
  EXPECT_NE(INVALID_HANDLE_VALUE, other);
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
}

TEST_F(LogTest, TwoLoadsWriteTwoFilesAndDeleteNeither) {
  ASSERT_TRUE(load());
  plugin.mimeDescription();
  unloadPlugin(&plugin);
  loadOn(temporaryDirectory);
  plugin.getEntryPoints(&funcs);
  unloadPlugin(&plugin);
  std::vector<std::wstring> files = logFiles();
  ASSERT_EQ(2u, files.size());
  std::vector<std::vector<std::string>> perFile;
  for (const std::wstring& file : files) {
    std::vector<std::string> lines;
    for (const std::string& line : splitLines(readFileShared(file))) {
      lines.push_back(messageOf(line));
    }
    perFile.push_back(lines);
  }
  EXPECT_THAT(perFile, ::testing::UnorderedElementsAre(
                           ElementsAre("NPKelvraProxy: NP_GetMIMEDescription"),
                           ElementsAre("NP_GetEntryPoints")));
}

TEST_F(LogTest, ATemporaryPathOutsideTheAnsiCodePageStillGetsItsFile) {
  temporaryDirectory = makeTemporaryDirectory(L"\x0436\x0443\x0440\x043D\x0430\x043B-\x65E5\x5FD7-");
  loadOn(temporaryDirectory);
  runSession();
  EXPECT_EQ(1u, logFiles().size());
  EXPECT_THAT(messages(), ::testing::Contains("NPKelvraProxy: NP_Initialize"));
}

// Temporary paths the log cannot use: the module works on, and writes nothing
// anywhere, neither in the named place nor, cut short, in a folder above it.
class UnusableTemporaryPathTest : public LogTest,
                                  public ::testing::WithParamInterface<const char*> {};

TEST_P(UnusableTemporaryPathTest, ModuleWorksAndNoFileAppears) {
  std::wstring base = makeTemporaryDirectory(L"kelvra-unusable-");
  std::string kind = GetParam();
  std::wstring temp;
  if (kind == "missing directory") {
    temp = base + L"missing\\";
  } else if (kind == "a file, not a directory") {
    temp = base + L"plain.txt";
    HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);
    temp += L"\\";
  } else {
    // Longer than GetTempPathW's 256-character buffer, or short enough for it but too
    // long for the 260-character file name; the folders exist where Windows allows.
    size_t length = kind == "longer than 256 characters" ? 300 : 250;
    temp = base;
    while (temp.size() < length) {
      temp += std::wstring(std::min<size_t>(40, length - temp.size()), L'd');
      CreateDirectoryW(temp.c_str(), NULL);
      temp += L"\\";
    }
  }
  loadOn(temp);
  runSession();
  std::vector<std::wstring> files = allFilesBelow(base);
  if (kind == "a file, not a directory") {
    ASSERT_EQ(1u, files.size());  // the plain file itself
    files.clear();
  }
  EXPECT_TRUE(files.empty()) << narrow(files.empty() ? L"" : files[0]);
}

INSTANTIATE_TEST_SUITE_P(Log, UnusableTemporaryPathTest,
                         ::testing::Values("missing directory", "a file, not a directory",
                                           "longer than 256 characters",
                                           "too long for the file name"));

}  // namespace
}  // namespace kelvra_test
