// The log's seams, on private ProxyState objects: message shapes (line feeds, the
// stack/heap boundary, very long and empty messages), concurrent writers, and the
// Off and Failed states.
#include <windows.h>
#include <stdint.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "diag/ProxyState.h"
#include <gmock/gmock.h>

#include "import_patch.h"
#include "plugin_fixture.h"

namespace kelvra_test {
namespace {

using ::testing::ElementsAre;

const size_t kStamp = 20;  // "MM-DD-YYYY HH:MM:SS "

// A text of `length` characters whose every position is recognisable, so a cut,
// a shift or a lost byte shows.
std::string patterned(size_t length, char first = 'a') {
  std::string text(length, ' ');
  for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>(first + i % 26);
  return text;
}

bool isStamp(const std::string& line) {
  if (line.size() < kStamp) return false;
  for (size_t i = 0; i < kStamp; ++i) {
    char c = line[i];
    bool ok = i == 2 || i == 5 ? c == '-'
              : i == 13 || i == 16 ? c == ':'
              : i == 10 || i == 19 ? c == ' '
                                   : c >= '0' && c <= '9';
    if (!ok) return false;
  }
  return true;
}

class ProxyStateLogTest : public ::testing::Test {
 protected:
  void SetUp() override { directory = makeTemporaryDirectory(L"kelvra-unit-log-"); }
  void TearDown() override { state.reset(); }

  // A ProxyState built with TMP = `temp`.
  void build(const std::wstring& temp) {
    setProcessTemporaryDirectory(temp);
    state.reset(new ProxyState());
  }
  void build() { build(directory); }

  // Existing folders below `directory` whose path, trailing backslash included, is
  // `length` characters long; made with the \\?\ prefix to pass CreateDirectoryW's limit.
  std::wstring folderOfLength(size_t length) const {
    std::wstring folder = directory;
    wchar_t letter = L'a';
    while (folder.size() < length) {
      size_t room = length - folder.size() - 1;
      // 39 rather than 40 when that would leave room for a backslash alone.
      size_t part = room == 41 ? 39 : std::min<size_t>(room, 40);
      folder += std::wstring(part, letter++) + L"\\";
      CreateDirectoryW((L"\\\\?\\" + folder).c_str(), NULL);
    }
    return folder;
  }

  std::string text() const { return readFileShared(state->logPath); }
  std::vector<std::string> lines() const { return splitLines(text()); }

  std::wstring directory;
  std::unique_ptr<ProxyState> state;
};

TEST_F(ProxyStateLogTest, PathIsTheTemporaryDirectoryAndTheFileExistsEmpty) {
  build();
  ASSERT_FALSE(state->logDisabled);
  EXPECT_EQ(directory, std::wstring(state->logPath).substr(0, directory.size()));
  EXPECT_THAT(findFiles(directory, L"KLV-*.log"), ElementsAre(std::wstring(state->logPath)));
  EXPECT_EQ("", text());
}

TEST_F(ProxyStateLogTest, AMessageLineFeedIsStoredAsCrLfAndOnlyTheFirstLineIsStamped) {
  build();
  state->logMessage("first\nsecond");
  state->logMessage("%s\n%d", "third", 4);
  std::string all = text();
  std::vector<std::string> got = splitLines(all);
  ASSERT_EQ(4u, got.size()) << all;
  EXPECT_TRUE(isStamp(got[0]));
  EXPECT_EQ("first", got[0].substr(kStamp));
  EXPECT_EQ("second", got[1]);
  EXPECT_TRUE(isStamp(got[2]));
  EXPECT_EQ("third", got[2].substr(kStamp));
  EXPECT_EQ("4", got[3]);
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), std::count(all.begin(), all.end(), '\r'));
}

// Around the stack buffer's end and far beyond it, each message lands whole on one
// line; the empty one leaves the stamp and its blank.
TEST_F(ProxyStateLogTest, MessagesOfEveryLengthAreWrittenWholeOnOneLine) {
  build();
  const size_t lengths[] = {0, 1, 509, 510, 511, 512, 4000, 70000};
  for (size_t length : lengths) state->logMessage("%s", patterned(length).c_str());
  // A message that is longer only once formatted, from a short format (its field as
  // wide as a field can be).
  state->logMessage("%0510d|%s", 7, "end");
  std::vector<std::string> got = lines();
  ASSERT_EQ(sizeof lengths / sizeof lengths[0] + 1, got.size());
  for (size_t i = 0; i < sizeof lengths / sizeof lengths[0]; ++i) {
    ASSERT_TRUE(isStamp(got[i])) << lengths[i];
    EXPECT_EQ(patterned(lengths[i]), got[i].substr(kStamp)) << lengths[i];
  }
  EXPECT_EQ(kStamp, got[0].size());
  EXPECT_EQ(std::string(509, '0') + "7|end", got.back().substr(kStamp));
}

// Lines logged through several turns of the second, in bursts: each stamp names the
// second in which its line was logged, also when it was kept from an earlier line.
TEST_F(ProxyStateLogTest, EachStampNamesTheSecondOfItsLine) {
  build();
  auto stampOf = [](const SYSTEMTIME& time) {
    char out[kLogStampChars];
    return std::string(out, formatLogStamp(time, out));
  };
  std::vector<std::pair<std::string, std::string>> bounds;
  const DWORD began = GetTickCount();
  while (GetTickCount() - began < 2500) {
    for (int i = 0; i < 5; ++i) {
      SYSTEMTIME before, after;
      GetSystemTime(&before);
      state->logMessage("%u", static_cast<unsigned>(bounds.size()));
      GetSystemTime(&after);
      bounds.emplace_back(stampOf(before), stampOf(after));
    }
    Sleep(1);
  }
  std::vector<std::string> got = lines();
  ASSERT_EQ(bounds.size(), got.size());
  for (size_t i = 0; i < got.size(); ++i) {
    const std::string stamp = got[i].substr(0, kStamp);
    ASSERT_TRUE(stamp == bounds[i].first || stamp == bounds[i].second)
        << i << ": " << stamp << "not " << bounds[i].first;
    EXPECT_EQ(std::to_string(i), got[i].substr(kStamp));
  }
  EXPECT_NE(bounds.front().first, bounds.back().first);
}

// The test program's import of WriteFile, patched (the module's code is linked into
// it): each write to one file counted, and those made by a thread that did not hold
// one critical section at the time. Wine does not interleave writes on one handle,
// so only this shows a line written outside the log's lock.
class LockedWrites {
 public:
  LockedWrites(HANDLE file, const CRITICAL_SECTION* lock) {
    file_ = file;
    lock_ = lock;
    writes_ = 0;
    unlocked_ = 0;
    real_ = kelvra_test::procAddress<WriteFn>(GetModuleHandleW(L"kernel32.dll"), "WriteFile");
    from_ = kelvra_test::addressOf(real_);
    to_ = kelvra_test::addressOf(&noteWrite);
    patched = kelvra_test::patchImports(GetModuleHandleW(NULL), &from_, &to_, 1);
  }
  ~LockedWrites() { kelvra_test::patchImports(GetModuleHandleW(NULL), &to_, &from_, 1); }
  LockedWrites(const LockedWrites&) = delete;
  LockedWrites& operator=(const LockedWrites&) = delete;

  long writes() const { return writes_; }
  long unlocked() const { return unlocked_; }
  int patched = 0;

 private:
  typedef BOOL(WINAPI* WriteFn)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
  static BOOL WINAPI noteWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                               LPOVERLAPPED overlapped) {
    if (file == file_) {
      ++writes_;
      const HANDLE self = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId()));
      if (lock_->OwningThread != self) ++unlocked_;
    }
    return real_(file, data, size, written, overlapped);
  }
  static HANDLE file_;
  static const CRITICAL_SECTION* lock_;
  static std::atomic<long> writes_;
  static std::atomic<long> unlocked_;
  static WriteFn real_;
  ULONG_PTR from_;
  ULONG_PTR to_;
};
HANDLE LockedWrites::file_;
const CRITICAL_SECTION* LockedWrites::lock_;
std::atomic<long> LockedWrites::writes_;
std::atomic<long> LockedWrites::unlocked_;
LockedWrites::WriteFn LockedWrites::real_;

// Writers on several threads at once, short and heap-sized messages mixed: every
// line is one whole message after one stamp, every message is there once, and each
// was written with the log's lock held.
TEST_F(ProxyStateLogTest, LinesFromConcurrentThreadsNeverInterleave) {
  build();
  std::unique_ptr<LockedWrites> watch(new LockedWrites(state->logFile, &state->logLock));
  ASSERT_EQ(1, watch->patched);
  const int kThreads = 6;
  const int kPerThread = 150;
  auto message = [](int thread, int i) {
    return "t" + std::to_string(thread) + "-" + std::to_string(i) + ":" +
           patterned(i % 3 == 0 ? 900 : 40 + i, static_cast<char>('A' + thread));
  };
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) state->logMessage("%s", message(t, i).c_str());
    });
  }
  for (std::thread& writer : writers) writer.join();
  EXPECT_EQ(kThreads * kPerThread, watch->writes());
  EXPECT_EQ(0, watch->unlocked());
  watch.reset();
  std::map<std::string, int> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPerThread; ++i) expected[message(t, i)] = 0;
  }
  std::vector<std::string> got = lines();
  EXPECT_EQ(static_cast<size_t>(kThreads * kPerThread), got.size());
  for (const std::string& line : got) {
    ASSERT_TRUE(isStamp(line)) << line.substr(0, 60);
    auto found = expected.find(line.substr(kStamp));
    ASSERT_NE(expected.end(), found) << line.substr(0, 60);
    ++found->second;
  }
  for (const auto& entry : expected) EXPECT_EQ(1, entry.second) << entry.first.substr(0, 20);
}

// Each state closes its file when it goes (the module's at unload): nothing holds
// either file afterwards.
TEST_F(ProxyStateLogTest, TwoStatesOnOneDirectoryKeepTwoFilesAndCloseThem) {
  build();
  std::wstring first = state->logPath;
  state->logMessage("one");
  build();
  state->logMessage("two");
  std::wstring second = state->logPath;
  EXPECT_NE(first, second);
  state.reset();
  EXPECT_EQ(2u, findFiles(directory, L"KLV-*.log").size());
  EXPECT_EQ("one", splitLines(readFileShared(first)).at(0).substr(kStamp));
  for (const std::wstring& path : {first, second}) {
    HANDLE exclusive = CreateFileW(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, NULL);
    EXPECT_NE(INVALID_HANDLE_VALUE, exclusive) << "still open: " << narrow(path);
    if (exclusive != INVALID_HANDLE_VALUE) CloseHandle(exclusive);
  }
}

// Off: a temporary path (trailing backslash included) that does not fit GetTempPathW's
// 256-character buffer, from 256 on, or leaves no room for the 16-character name and
// its NUL in 260, from 244 on. No file, and logMessage returns before it formats: the
// argument below would fault if it were ever read. 243 characters still take the log.
TEST_F(ProxyStateLogTest, OffForPathsTooLongForTheBuffersAndNothingIsFormatted) {
  for (size_t length : {300u, 256u, 250u, 244u}) {
    build(folderOfLength(length));
    EXPECT_TRUE(state->logDisabled) << length;
    EXPECT_EQ(L'\0', state->logPath[0]) << length;
    state->logMessage("%s", reinterpret_cast<const char*>(static_cast<uintptr_t>(1)));
  }
  // Only the folders made above: no file anywhere below the directory.
  std::vector<std::wstring> pending = {L"\\\\?\\" + directory};
  while (!pending.empty()) {
    std::wstring folder = pending.back();
    pending.pop_back();
    for (const std::wstring& entry : findFiles(folder, L"*")) {
      std::wstring name = entry.substr(folder.size());
      if (name == L"." || name == L"..") continue;
      DWORD attributes = GetFileAttributesW(entry.c_str());
      ASSERT_TRUE(attributes != INVALID_FILE_ATTRIBUTES &&
                  (attributes & FILE_ATTRIBUTE_DIRECTORY))
          << narrow(entry);
      pending.push_back(entry + L"\\");
    }
  }

  std::wstring longest = folderOfLength(243);
  build(longest);
  EXPECT_FALSE(state->logDisabled);
  EXPECT_EQ(longest.size() + 16, wcslen(state->logPath));
  state->logMessage("kept");
  EXPECT_EQ("kept", lines().at(0).substr(kStamp));
}

// Failed: the directory is known but the file cannot be made; lines are dropped.
TEST_F(ProxyStateLogTest, FailedWhenTheDirectoryIsMissingAndLinesAreDropped) {
  std::wstring missing = directory + L"missing\\";
  build(missing);
  EXPECT_FALSE(state->logDisabled);
  EXPECT_EQ(missing, std::wstring(state->logPath).substr(0, missing.size()));
  state->logMessage("dropped %d", 1);
  state->logMessage("%s", patterned(2000).c_str());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(missing.c_str()));
  EXPECT_TRUE(findFiles(directory, L"*.log").empty());
}

}  // namespace
}  // namespace kelvra_test
