/*
 * How the demo launcher answers in one run, so that a page's error handling can be
 * tried: per script method an HRESULT, a text, a flag and a delay, or the whole
 * class "not installed". The host hands the answers to the launcher in an
 * environment variable of its process, which the launcher reads each time it
 * creates an object (the component is loaded into the host's process).
 *
 * One answer is "METHOD=VALUE" (METHOD a script method's name, any letter case)
 * or "not-installed"; VALUE is one of
 *   an HRESULT       0x80004005, -2147467259, or a name: S_OK, S_FALSE, E_FAIL, ...
 *   text:TEXT        Hello, Get_InstallHost, GetKeyValue (every key): answer TEXT
 *   true | false     Get_GameStarted, Get_IsUpToDate: the flag stays at that
 *   delay:MS         wait MS milliseconds (at most 600000) before answering
 * The variable holds the answers one per line.
 */
#ifndef KELVRA_DEMO_ANSWERS_H
#define KELVRA_DEMO_ANSWERS_H

#include <windows.h>

#include <string>

#define KELVRA_DEMO_ANSWERS_VARIABLE L"KELVRA_DEMO_ANSWERS"

namespace demo {

// The launcher's methods by the names page script calls them.
enum Method {
  kStartGame, kHelloWorld, kHello, kGet_InstallHost, kUpdate, kPut_AuthenticationTicket,
  kGet_IsUpToDate, kPreStartGame, kGet_GameStarted, kSetSilentModeEnabled, kGetKeyValue,
  kSetKeyValue, kDeleteKeyValue, kSetStartInHiddenMode, kUnhideApp, kBringAppToFront,
  kResetLaunchState, kSetEditMode, kMethodCount
};

struct Answer {
  bool hasResult = false;  // answer `result` instead of doing the method's work
  HRESULT result = S_OK;
  bool hasText = false;  // text methods: answer `text`
  std::wstring text;
  int flag = -1;  // flag methods: -1 as the launcher keeps it, else 0 or 1
  DWORD delayMs = 0;
};

struct Answers {
  bool notInstalled = false;
  Answer methods[kMethodCount];
};

const unsigned long kMaxDelayMs = 600000;

// Adds one answer; false with a one-line `reason` for one that is not understood.
bool addAnswer(const std::wstring& answer, Answers* answers, std::string* reason);
// Every line of `lines`; empty lines are skipped.
bool parseAnswers(const std::wstring& lines, Answers* answers, std::string* reason);
// What the variable holds in this process now (empty answers without it).
bool answersOfProcess(Answers* answers, std::string* reason);

}  // namespace demo

#endif
