/*
 * A launcher component of the tests' own, reached through the real CoCreateInstance:
 * LauncherStandIn registers a class factory for CLSID_KelvraLauncher in the test
 * process (so a loaded NPKelvraProxy.dll finds it too), records every call on the
 * objects it creates, answers what the test chose, and counts references.
 *
 * BstrWatch patches one module's imports of the OLE Automation string functions to
 * see which BSTRs that module allocates and frees (and can make allocations fail).
 */
#ifndef KELVRA_TESTS_SUPPORT_LAUNCHER_STANDIN_H
#define KELVRA_TESTS_SUPPORT_LAUNCHER_STANDIN_H

#include <windows.h>
#include <oaidl.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../../npkelvra/base/IKelvraLauncher.h"

namespace kelvra_test {

// The vtable slots of IKelvraLauncher's own methods.
enum LauncherSlot {
  kSlotStartGame = 7,
  kSlotHelloWorld,
  kSlotHello,
  kSlotGetInstallHost,
  kSlotUpdate,
  kSlotPutAuthenticationTicket,
  kSlotGetIsUpToDate,
  kSlotPreStartGame,
  kSlotGetIsGameStarted,
  kSlotSetSilentModeEnabled,
  kSlotGetKeyValue,
  kSlotSetKeyValue,
  kSlotDeleteKeyValue,
  kSlotSetStartInHiddenMode,
  kSlotUnhideApp,
  kSlotBringAppToFront,
  kSlotResetLaunchState,
  kSlotSetEditMode,
};
const int kFirstLauncherSlot = kSlotStartGame;
const int kLastLauncherSlot = kSlotSetEditMode;

// The interface's method name for a slot ("StartGame" for 7), or "?".
const char* launcherSlotName(int slot);

// A BSTR argument as the stand-in received it.
struct ReceivedText {
  bool isNull = true;
  UINT length = 0;     // SysStringLen
  std::wstring text;   // all `length` units, embedded NULs included
  BSTR pointer = NULL; // identity only (compare with BstrWatch); never read after the call
  int watchState = -1; // BstrWatch::liveState at the call: -1 no watch, 0 not live, 1 live
};

struct LauncherCall {
  int object = -1;  // creation index of the object called, from 0
  int slot = 0;
  std::vector<ReceivedText> texts;    // BSTR arguments, in parameter order
  std::vector<VARIANT_BOOL> flags;    // VARIANT_BOOL arguments, raw
  DWORD thread = 0;
  bool afterFinalRelease = false;     // the object's references had already gone to 0
};

// What a method does with its out parameter.
enum OutKind { kStoreNothing, kStoreText, kStoreNullBstr, kStoreFlag };

struct LauncherAnswer {
  HRESULT result = S_OK;
  OutKind out = kStoreNothing;
  std::wstring text;              // kStoreText: a fresh BSTR of exactly these units
  VARIANT_BOOL flag = VARIANT_FALSE;  // kStoreFlag: stored as is (1 and 0x7FFF included)
};

LauncherAnswer answerResult(HRESULT result);
LauncherAnswer answerText(HRESULT result, const std::wstring& text);
LauncherAnswer answerNullText(HRESULT result);
LauncherAnswer answerFlag(HRESULT result, VARIANT_BOOL flag);

// Called for each call after it is recorded, with the answer set for its slot; it may
// change the answer (per object, at random from a seed, ...). Runs outside the lock.
typedef std::function<void(const LauncherCall& call, LauncherAnswer& answer)> AnswerHook;

// Moments in a launcher object's life at which a test may step in, as a real component
// may pump messages there (and so let the browser call the plug-in again).
enum LifeEvent {
  kObjectCreated,   // inside CreateInstance, before the object goes back to the caller
  kObjectReleased,  // inside Release, after the count went down
};
// Runs outside the lock, with the object's creation index.
typedef std::function<void(LifeEvent event, int object)> LifeHook;

struct LauncherObjectStats {
  long references = 0;
  long addRefs = 0;
  long releases = 0;
  long queryInterfaces = 0;
  long calls = 0;           // own methods (slots 7..24)
  long overReleases = 0;    // Release calls after the count had reached 0
  bool alive = false;
};

class StandInLauncher;
class StandInFactory;

class LauncherStandIn {
 public:
  LauncherStandIn();
  ~LauncherStandIn();  // revokes the factory; the objects' memory goes with the stand-in
  LauncherStandIn(const LauncherStandIn&) = delete;
  LauncherStandIn& operator=(const LauncherStandIn&) = delete;

  // CoRegisterClassObject(CLSID_KelvraLauncher, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE)
  // in the calling thread's apartment, which must have COM initialised.
  HRESULT registerFactory();
  void revokeFactory();
  bool registered() const;

  // The factory's CreateInstance answers `result` without creating anything while it
  // is a failure; S_OK creates again.
  void refuseCreation(HRESULT result);

  void setAnswer(int slot, const LauncherAnswer& answer);
  void setHook(AnswerHook hook);
  void setLifeHook(LifeHook hook);
  // Calls, answers and hooks back to their defaults (S_OK, nothing stored); objects and
  // counters stay.
  void clearCalls();

  std::vector<LauncherCall> calls() const;
  size_t callCount() const;
  LauncherCall lastCall() const;  // a record with slot 0 when there was none

  long createRequests() const;  // CreateInstance calls, refused ones included
  int objectsCreated() const;
  int liveObjects() const;
  LauncherObjectStats objectStats(int object) const;

  long bstrsHandedOut() const;
  std::vector<BSTR> handedOutBstrs() const;  // identities only, never to be read

 private:
  friend class StandInLauncher;
  friend class StandInFactory;

  HRESULT createObject(REFIID iid, void** result);
  LauncherAnswer record(LauncherCall& call);
  void noteHandedOut(BSTR text);
  void count(int object, long LauncherObjectStats::*counter);
  long addRef(int object);
  long release(int object);
  void noteLife(LifeEvent event, int object);

  mutable std::mutex lock_;
  std::unique_ptr<StandInFactory> factory_;
  DWORD cookie_ = 0;
  bool registered_ = false;
  HRESULT refusal_ = S_OK;
  long createRequests_ = 0;
  std::vector<std::unique_ptr<StandInLauncher>> objects_;
  std::vector<LauncherObjectStats> stats_;
  std::vector<LauncherCall> calls_;
  std::map<int, LauncherAnswer> answers_;
  AnswerHook hook_;
  LifeHook lifeHook_;
  std::vector<BSTR> handedOut_;
};

class BstrWatch {
 public:
  // Patches the import table of `module` (GetModuleHandle(NULL) for the test program,
  // the HMODULE of a loaded DLL). One watch at a time.
  explicit BstrWatch(HMODULE module);
  ~BstrWatch();
  BstrWatch(const BstrWatch&) = delete;
  BstrWatch& operator=(const BstrWatch&) = delete;

  int patchedImports() const;  // how many import slots now lead to the watch
  long allocations() const;    // successful SysAllocString* calls by the module
  long frees() const;          // SysFreeString of a live BSTR
  long badFrees() const;       // SysFreeString of a BSTR not live: freed twice or unknown
  long nullFrees() const;      // SysFreeString(NULL)
  long outstanding() const;    // live BSTRs: allocated or handed in, not yet freed
  bool isLive(BSTR text) const;

  // After `skip` more allocations succeed, the next `count` answer NULL.
  void failAllocations(int skip, int count);

  // A BSTR given to the module from outside (a launcher's answer); it is live from now.
  static void noteForeign(BSTR text);
  // -1 without a watch, else whether `text` is live.
  static int liveState(BSTR text);

  // The real allocation, unseen by any watch.
  static BSTR allocateUnwatched(const wchar_t* text, UINT length);

 private:
  struct Hooks;
  friend struct Hooks;
  BSTR allocated(BSTR text);
  bool shouldFail();
  void freed(BSTR text);
  void patch(bool install);

  HMODULE module_;
  int patched_ = 0;
  mutable std::mutex lock_;
  std::map<BSTR, int> live_;
  long allocations_ = 0;
  long frees_ = 0;
  long badFrees_ = 0;
  long nullFrees_ = 0;
  int failSkip_ = 0;
  int failCount_ = 0;
};

}  // namespace kelvra_test

#endif
