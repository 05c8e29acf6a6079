#include "base/session.h"

#include <objbase.h>

#include <atomic>

#include "base/browser.h"
#include "diag/ProxyState.h"

NPNetscapeFuncs* npnfuncs = NULL;

namespace {

// Read by a call on any thread, to tell whether it is the session's: a stray thread
// must not read the table while the session thread clears it.
std::atomic<DWORD> sessionThread(0);
// The rest are the session thread's alone.
int callsUnderWay = 0;
bool endWaiting = false;

bool comInitialized = false;
// The thread whose COM initialisation the module holds; only it may give it back.
DWORD comThread = 0;

void ensureComInitialized() {
  if (comInitialized) return;
  // S_FALSE (already initialised on this thread) still takes a reference to give back.
  comInitialized = SUCCEEDED(CoInitialize(NULL));
  if (comInitialized) comThread = GetCurrentThreadId();
}

void finishSession() {
  endWaiting = false;
  npnfuncs = NULL;
  sessionThread = 0;
  // On any other thread CoUninitialize would undo that thread's own initialisation.
  if (!holdsComOnThisThread()) return;
  CoUninitialize();
  comInitialized = false;
  proxyState.logMessage("CoUninitialize Ok");
}

}  // namespace

void beginSession(NPNetscapeFuncs* table) {
  npnfuncs = table;
  sessionThread = GetCurrentThreadId();
  endWaiting = false;
  ensureComInitialized();
}

bool onSessionThread(const char* call) {
  const DWORD thread = sessionThread;
  if (thread == GetCurrentThreadId()) return true;
  if (thread != 0) proxyState.logMessage("%s refused: called on a thread other than the browser's", call);
  return false;
}

bool sessionOpen(const char* call) { return onSessionThread(call) && !endWaiting; }

bool endSession() {
  if (callsUnderWay > 0) {
    endWaiting = true;
    return true;
  }
  finishSession();
  return false;
}

SessionCall::SessionCall() { ++callsUnderWay; }

SessionCall::~SessionCall() {
  if (--callsUnderWay == 0 && endWaiting) finishSession();
}

bool isComInitialized() { return comInitialized; }

bool holdsComOnThisThread() { return comInitialized && comThread == GetCurrentThreadId(); }
