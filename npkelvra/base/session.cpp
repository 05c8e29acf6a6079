#include "base/session.h"

#include <objbase.h>

#include "base/browser.h"

NPNetscapeFuncs* npnfuncs = NULL;

namespace {

bool comInitialized = false;
// The thread whose COM initialisation the module holds; only it may give it back.
DWORD comThread = 0;

}  // namespace

void ensureComInitialized() {
  if (comInitialized) return;
  // S_FALSE (already initialised on this thread) still takes a reference to give back.
  comInitialized = SUCCEEDED(CoInitialize(NULL));
  if (comInitialized) comThread = GetCurrentThreadId();
}

void releaseCom() {
  // On any other thread CoUninitialize would undo that thread's own initialisation.
  if (!holdsComOnThisThread()) return;
  CoUninitialize();
  comInitialized = false;
}

bool isComInitialized() { return comInitialized; }

bool holdsComOnThisThread() { return comInitialized && comThread == GetCurrentThreadId(); }
