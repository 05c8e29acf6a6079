#include "base/session.h"

#include <objbase.h>

#include "base/browser.h"
#include "diag/ProxyState.h"

NPNetscapeFuncs* npnfuncs = NULL;

namespace {

// All of these are the session thread's alone.
DWORD sessionThread = 0;
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

bool onSessionThread() { return npnfuncs != NULL && sessionThread == GetCurrentThreadId(); }

bool endSession() {
  if (callsUnderWay > 0) {
    endWaiting = true;
    return true;
  }
  finishSession();
  return false;
}

SessionCall::SessionCall() : counted_(onSessionThread()) {
  if (counted_) ++callsUnderWay;
}

SessionCall::~SessionCall() {
  if (counted_ && --callsUnderWay == 0 && endWaiting) finishSession();
}

bool isComInitialized() { return comInitialized; }

bool holdsComOnThisThread() { return comInitialized && comThread == GetCurrentThreadId(); }
