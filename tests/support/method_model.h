/*
 * Shared by the hostile-input and fault tests and by the soak and benchmark programs:
 * a model of the eighteen script methods (argument rules, launcher slot, result
 * family), the conversions the plug-in applies on the way to and from the launcher,
 * a checker for the log's byte stream, the sound host rule, and a small seeded
 * random source whose sequence is the same on every compiler.
 */
#ifndef KELVRA_TESTS_SUPPORT_METHOD_MODEL_H
#define KELVRA_TESTS_SUPPORT_METHOD_MODEL_H

#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "npapi.h"  // npruntime.h builds on it, as in the published SDK
#include "npruntime.h"

namespace kelvra_test {
namespace model {

// How a method answers script.
enum Family {
  kIntegerResult,  // the launcher's HRESULT, or -1 when a check fails
  kFlagResult,     // a boolean; the HRESULT only logged
  kTextResult,     // the launcher's text, or the adapter's error text
  kKeyValueResult  // the value text, or -1 when the launcher fails
};

// Methods that look neither at the argument count nor at the arguments.
const int kAnyArguments = -1;

struct MethodModel {
  const char* name;
  int slot;               // the launcher method it reaches (LauncherSlot)
  Family family;
  int argCount;           // the exact count, or kAnyArguments
  NPVariantType argType;  // of every argument when the count is exact
  const char* errorText;  // kTextResult: what a failed launcher call answers
};

const int kMethodCount = 18;
extern const MethodModel kMethods[kMethodCount];

// The method of that exact (case-sensitive) name, or NULL.
const MethodModel* findMethod(const std::string& name);
const MethodModel& method(const char* name);  // must exist
// Whether a call with these arguments passes the method's count and type checks.
bool argumentsAccepted(const MethodModel& row, const NPVariant* args, uint32_t argCount);

// Arguments that pass the method's checks ("ticket-1", "script-2"... for strings, true
// for a boolean, none where it takes any), owned by the browser: release each after.
std::vector<NPVariant> wellFormedArguments(const MethodModel& row);

// The bytes a script string stands for in the plug-in: everything before its first NUL.
std::string cutAtNul(const std::string& bytes);
// What the launcher receives for a script string: the bytes before the first NUL in
// the ANSI code page.
std::wstring launcherTextOf(const std::string& bytes);
// What script receives for a launcher text: the units before the first NUL in the
// ANSI code page, cut to `limit` bytes (the plug-in's 2047). Exact for single-byte
// code pages and for texts that fit.
std::string scriptTextOf(const std::wstring& text, size_t limit);
bool singleByteCodePage();

// "MM-DD-YYYY HH:MM:SS " with every field in range.
const size_t kStampLength = 20;
bool hasStamp(const std::string& line);

// Script strings and launcher texts that contain CR or LF carry them only between
// these two markers, so that the log checker can tell a line end the plug-in wrote
// from one that came with the data. No other generated text contains CR or LF.
extern const char kSpanBegin[];
extern const char kSpanEnd[];
// A stretch of log bytes (whole lines, as appended by some calls). Answers "" when
// every line is a stamp + a message without CR or LF (spans excepted) + CR LF, else
// a description of the first fault.
std::string logFault(const std::string& bytes);
// `text` with every LF stored as CR LF, as the log keeps a message.
std::string asLogged(const std::string& text);

// Reads what a file gained since the last read (the file may be held by a writer).
class FileTail {
 public:
  explicit FileTail(const std::wstring& path = std::wstring()) : path_(path) {}
  void reset(const std::wstring& path) { path_ = path; offset_ = 0; }
  std::string readNew();

 private:
  std::wstring path_;
  unsigned long long offset_ = 0;
};

// Accepted exactly when the host is name[:port] (the name of no control, blank, NUL or
// "/?#@\[]:", the port one to five digits up to 65535) and the name, after dropping one
// trailing dot, has no empty label and is "kelvra.com" or ends in ".kelvra.com" (ASCII
// letters without case).
bool soundHostRule(const std::string& host);
// The log line that decides a page whose browser gave `origin` (NUL-terminated: only
// what comes before a NUL counts): the origin must be exactly scheme "://" host, with
// an optional port of one to five digits up to 65535, the host meeting the rule above
// and the scheme https.
std::string originVerdict(const std::string& origin);
// Bytes shown with C escapes, for failure messages.
std::string printable(const std::string& bytes, size_t limit = 120);

// splitmix64: the same sequence from one seed everywhere.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next();
  uint32_t below(uint32_t bound);  // 0 .. bound-1 (bound > 0)
  bool chance(uint32_t percent) { return below(100) < percent; }
  template <typename T, size_t N>
  const T& pick(const T (&items)[N]) {
    return items[below(static_cast<uint32_t>(N))];
  }

 private:
  uint64_t state_;
};

// The seed named by the environment variable (decimal or 0x hex), or a fresh one.
uint64_t seedFrom(const char* variable);

}  // namespace model
}  // namespace kelvra_test

#endif
