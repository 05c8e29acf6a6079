#include "launcher_standin.h"

#include <string.h>

#include <atomic>
#include <initializer_list>

#include "com_object.h"
#include "import_patch.h"

namespace kelvra_test {

namespace {

const char* const kSlotNames[] = {
    "StartGame",        "HelloWorld",           "Hello",           "get_InstallHost",
    "Update",           "put_AuthenticationTicket", "get_IsUpToDate", "PreStartGame",
    "get_IsGameStarted", "SetSilentModeEnabled", "GetKeyValue",     "SetKeyValue",
    "DeleteKeyValue",   "SetStartInHiddenMode", "UnhideApp",       "BringAppToFront",
    "ResetLaunchState", "SetEditMode",
};
static_assert(sizeof kSlotNames / sizeof kSlotNames[0] == kLastLauncherSlot - kFirstLauncherSlot + 1,
              "one name per launcher slot");

}  // namespace

const char* launcherSlotName(int slot) {
  if (slot < kFirstLauncherSlot || slot > kLastLauncherSlot) return "?";
  return kSlotNames[slot - kFirstLauncherSlot];
}

LauncherAnswer answerResult(HRESULT result) {
  LauncherAnswer answer;
  answer.result = result;
  return answer;
}

LauncherAnswer answerText(HRESULT result, const std::wstring& text) {
  LauncherAnswer answer = answerResult(result);
  answer.out = kStoreText;
  answer.text = text;
  return answer;
}

LauncherAnswer answerNullText(HRESULT result) {
  LauncherAnswer answer = answerResult(result);
  answer.out = kStoreNullBstr;
  return answer;
}

LauncherAnswer answerFlag(HRESULT result, VARIANT_BOOL flag) {
  LauncherAnswer answer = answerResult(result);
  answer.out = kStoreFlag;
  answer.flag = flag;
  return answer;
}

// One launcher object. Its reference count and records live in the stand-in, which also
// keeps the object's memory after the last Release, so that a surplus Release or a call
// on a released object is counted instead of crashing the test.
class StandInLauncher : public comhelp::VtableOnly<IKelvraLauncher> {
 public:
  StandInLauncher(LauncherStandIn* owner, int index) : owner_(owner), index_(index) {}
  virtual ~StandInLauncher() {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
    owner_->count(index_, &LauncherObjectStats::queryInterfaces);
    if (result == NULL) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, IID_IKelvraLauncher)) {
      *result = static_cast<IKelvraLauncher*>(this);
      AddRef();
      return S_OK;
    }
    *result = NULL;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return owner_->addRef(index_); }
  ULONG STDMETHODCALLTYPE Release() override { return owner_->release(index_); }

  HRESULT STDMETHODCALLTYPE StartGame(BSTR ticket, BSTR script) override {
    return call(kSlotStartGame, {ticket, script}, {});
  }
  HRESULT STDMETHODCALLTYPE HelloWorld() override { return call(kSlotHelloWorld, {}, {}); }
  HRESULT STDMETHODCALLTYPE Hello(BSTR* text) override { return call(kSlotHello, {}, {}, text); }
  HRESULT STDMETHODCALLTYPE get_InstallHost(BSTR* host) override {
    return call(kSlotGetInstallHost, {}, {}, host);
  }
  HRESULT STDMETHODCALLTYPE Update() override { return call(kSlotUpdate, {}, {}); }
  HRESULT STDMETHODCALLTYPE put_AuthenticationTicket(BSTR ticket) override {
    return call(kSlotPutAuthenticationTicket, {ticket}, {});
  }
  HRESULT STDMETHODCALLTYPE get_IsUpToDate(VARIANT_BOOL* upToDate) override {
    return call(kSlotGetIsUpToDate, {}, {}, NULL, upToDate);
  }
  HRESULT STDMETHODCALLTYPE PreStartGame() override { return call(kSlotPreStartGame, {}, {}); }
  HRESULT STDMETHODCALLTYPE get_IsGameStarted(VARIANT_BOOL* started) override {
    return call(kSlotGetIsGameStarted, {}, {}, NULL, started);
  }
  HRESULT STDMETHODCALLTYPE SetSilentModeEnabled(VARIANT_BOOL enabled) override {
    return call(kSlotSetSilentModeEnabled, {}, {enabled});
  }
  HRESULT STDMETHODCALLTYPE GetKeyValue(BSTR key, BSTR* value) override {
    return call(kSlotGetKeyValue, {key}, {}, value);
  }
  HRESULT STDMETHODCALLTYPE SetKeyValue(BSTR key, BSTR value) override {
    return call(kSlotSetKeyValue, {key, value}, {});
  }
  HRESULT STDMETHODCALLTYPE DeleteKeyValue(BSTR key) override {
    return call(kSlotDeleteKeyValue, {key}, {});
  }
  HRESULT STDMETHODCALLTYPE SetStartInHiddenMode(VARIANT_BOOL hidden) override {
    return call(kSlotSetStartInHiddenMode, {}, {hidden});
  }
  HRESULT STDMETHODCALLTYPE UnhideApp() override { return call(kSlotUnhideApp, {}, {}); }
  HRESULT STDMETHODCALLTYPE BringAppToFront() override { return call(kSlotBringAppToFront, {}, {}); }
  HRESULT STDMETHODCALLTYPE ResetLaunchState() override {
    return call(kSlotResetLaunchState, {}, {});
  }
  HRESULT STDMETHODCALLTYPE SetEditMode() override { return call(kSlotSetEditMode, {}, {}); }

 private:
  HRESULT call(int slot, std::initializer_list<BSTR> texts, std::initializer_list<VARIANT_BOOL> flags,
               BSTR* textOut = NULL, VARIANT_BOOL* flagOut = NULL) {
    LauncherCall record;
    record.object = index_;
    record.slot = slot;
    record.thread = GetCurrentThreadId();
    for (BSTR text : texts) {
      ReceivedText received;
      received.pointer = text;
      received.isNull = text == NULL;
      if (text != NULL) {
        received.length = SysStringLen(text);
        received.text.assign(text, received.length);
      }
      received.watchState = BstrWatch::liveState(text);
      record.texts.push_back(received);
    }
    record.flags.assign(flags.begin(), flags.end());
    const LauncherAnswer answer = owner_->record(record);
    if (answer.out == kStoreText && textOut != NULL) {
      *textOut = BstrWatch::allocateUnwatched(answer.text.data(),
                                              static_cast<UINT>(answer.text.size()));
      owner_->noteHandedOut(*textOut);
    } else if (answer.out == kStoreNullBstr && textOut != NULL) {
      *textOut = NULL;
    } else if (answer.out == kStoreFlag && flagOut != NULL) {
      *flagOut = answer.flag;
    }
    return answer.result;
  }

  LauncherStandIn* owner_;
  int index_;
};

// Lives as long as the stand-in; COM's references to it do not own it.
class StandInFactory : public IClassFactory {
 public:
  explicit StandInFactory(LauncherStandIn* owner) : owner_(owner) {}
  virtual ~StandInFactory() {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
    if (result == NULL) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *result = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *result = NULL;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** result) override {
    if (result == NULL) return E_POINTER;
    *result = NULL;
    if (outer != NULL) return CLASS_E_NOAGGREGATION;
    return owner_->createObject(iid, result);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  LauncherStandIn* owner_;
  std::atomic<ULONG> references_{0};
};

LauncherStandIn::LauncherStandIn() : factory_(new StandInFactory(this)) {}

LauncherStandIn::~LauncherStandIn() { revokeFactory(); }

HRESULT LauncherStandIn::registerFactory() {
  if (registered_) return S_OK;
  const HRESULT hr = CoRegisterClassObject(CLSID_KelvraLauncher, factory_.get(),
                                           CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
  registered_ = SUCCEEDED(hr);
  return hr;
}

void LauncherStandIn::revokeFactory() {
  if (!registered_) return;
  CoRevokeClassObject(cookie_);
  registered_ = false;
}

bool LauncherStandIn::registered() const { return registered_; }

void LauncherStandIn::refuseCreation(HRESULT result) {
  std::lock_guard<std::mutex> guard(lock_);
  refusal_ = result;
}

void LauncherStandIn::setAnswer(int slot, const LauncherAnswer& answer) {
  std::lock_guard<std::mutex> guard(lock_);
  answers_[slot] = answer;
}

void LauncherStandIn::setHook(AnswerHook hook) {
  std::lock_guard<std::mutex> guard(lock_);
  hook_ = hook;
}

void LauncherStandIn::clearCalls() {
  std::lock_guard<std::mutex> guard(lock_);
  calls_.clear();
  answers_.clear();
  hook_ = AnswerHook();
}

std::vector<LauncherCall> LauncherStandIn::calls() const {
  std::lock_guard<std::mutex> guard(lock_);
  return calls_;
}

size_t LauncherStandIn::callCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return calls_.size();
}

LauncherCall LauncherStandIn::lastCall() const {
  std::lock_guard<std::mutex> guard(lock_);
  return calls_.empty() ? LauncherCall() : calls_.back();
}

long LauncherStandIn::createRequests() const {
  std::lock_guard<std::mutex> guard(lock_);
  return createRequests_;
}

int LauncherStandIn::objectsCreated() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int>(objects_.size());
}

int LauncherStandIn::liveObjects() const {
  std::lock_guard<std::mutex> guard(lock_);
  int live = 0;
  for (const LauncherObjectStats& stats : stats_) live += stats.alive ? 1 : 0;
  return live;
}

LauncherObjectStats LauncherStandIn::objectStats(int object) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (object < 0 || object >= static_cast<int>(stats_.size())) return LauncherObjectStats();
  return stats_[object];
}

long LauncherStandIn::bstrsHandedOut() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<long>(handedOut_.size());
}

std::vector<BSTR> LauncherStandIn::handedOutBstrs() const {
  std::lock_guard<std::mutex> guard(lock_);
  return handedOut_;
}

// The object is handed out with its first reference, uncounted as an AddRef.
HRESULT LauncherStandIn::createObject(REFIID iid, void** result) {
  std::lock_guard<std::mutex> guard(lock_);
  ++createRequests_;
  if (FAILED(refusal_)) return refusal_;
  if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) &&
      !IsEqualIID(iid, IID_IKelvraLauncher)) {
    return E_NOINTERFACE;
  }
  const int index = static_cast<int>(objects_.size());
  objects_.emplace_back(new StandInLauncher(this, index));
  LauncherObjectStats stats;
  stats.references = 1;
  stats.alive = true;
  stats_.push_back(stats);
  *result = static_cast<IKelvraLauncher*>(objects_.back().get());
  return S_OK;
}

LauncherAnswer LauncherStandIn::record(LauncherCall& call) {
  LauncherAnswer answer;
  AnswerHook hook;
  {
    std::lock_guard<std::mutex> guard(lock_);
    LauncherObjectStats& stats = stats_[call.object];
    call.afterFinalRelease = !stats.alive;
    ++stats.calls;
    calls_.push_back(call);
    std::map<int, LauncherAnswer>::const_iterator chosen = answers_.find(call.slot);
    if (chosen != answers_.end()) answer = chosen->second;
    hook = hook_;
  }
  if (hook) hook(call, answer);
  return answer;
}

void LauncherStandIn::noteHandedOut(BSTR text) {
  if (text == NULL) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    handedOut_.push_back(text);
  }
  BstrWatch::noteForeign(text);
}

void LauncherStandIn::count(int object, long LauncherObjectStats::*counter) {
  std::lock_guard<std::mutex> guard(lock_);
  ++(stats_[object].*counter);
}

long LauncherStandIn::addRef(int object) {
  std::lock_guard<std::mutex> guard(lock_);
  LauncherObjectStats& stats = stats_[object];
  ++stats.addRefs;
  stats.alive = ++stats.references > 0;
  return stats.references;
}

long LauncherStandIn::release(int object) {
  std::lock_guard<std::mutex> guard(lock_);
  LauncherObjectStats& stats = stats_[object];
  ++stats.releases;
  if (stats.references <= 0) {
    ++stats.overReleases;
    return 0;
  }
  stats.alive = --stats.references > 0;
  return stats.references;
}

// ---------------------------------------------------------------------------------------

namespace {

typedef BSTR(WINAPI* AllocStringFn)(const OLECHAR*);
typedef BSTR(WINAPI* AllocStringLenFn)(const OLECHAR*, UINT);
typedef BSTR(WINAPI* AllocStringByteLenFn)(LPCSTR, UINT);
typedef void(WINAPI* FreeStringFn)(BSTR);

// Resolved by name, so that they bypass every patched import table.
struct RealFunctions {
  AllocStringFn allocString;
  AllocStringLenFn allocStringLen;
  AllocStringByteLenFn allocStringByteLen;
  FreeStringFn freeString;
};

const RealFunctions& real() {
  static const RealFunctions functions = []() {
    HMODULE oleaut = LoadLibraryW(L"oleaut32.dll");
    RealFunctions resolved;
    resolved.allocString = procAddress<AllocStringFn>(oleaut, "SysAllocString");
    resolved.allocStringLen = procAddress<AllocStringLenFn>(oleaut, "SysAllocStringLen");
    resolved.allocStringByteLen = procAddress<AllocStringByteLenFn>(oleaut, "SysAllocStringByteLen");
    resolved.freeString = procAddress<FreeStringFn>(oleaut, "SysFreeString");
    return resolved;
  }();
  return functions;
}

std::atomic<BstrWatch*> activeWatch{NULL};

}  // namespace

struct BstrWatch::Hooks {
  static BSTR WINAPI allocString(const OLECHAR* text) {
    BstrWatch* watch = activeWatch.load();
    if (watch != NULL && watch->shouldFail()) return NULL;
    const BSTR result = real().allocString(text);
    return watch != NULL ? watch->allocated(result) : result;
  }
  static BSTR WINAPI allocStringLen(const OLECHAR* text, UINT length) {
    BstrWatch* watch = activeWatch.load();
    if (watch != NULL && watch->shouldFail()) return NULL;
    const BSTR result = real().allocStringLen(text, length);
    return watch != NULL ? watch->allocated(result) : result;
  }
  static BSTR WINAPI allocStringByteLen(LPCSTR text, UINT length) {
    BstrWatch* watch = activeWatch.load();
    if (watch != NULL && watch->shouldFail()) return NULL;
    const BSTR result = real().allocStringByteLen(text, length);
    return watch != NULL ? watch->allocated(result) : result;
  }
  static void WINAPI freeString(BSTR text) {
    BstrWatch* watch = activeWatch.load();
    if (watch != NULL) {
      watch->freed(text);
    } else {
      real().freeString(text);
    }
  }
};

BstrWatch::BstrWatch(HMODULE module) : module_(module) {
  activeWatch.store(this);
  patch(true);
}

BstrWatch::~BstrWatch() {
  patch(false);
  activeWatch.store(NULL);
}

// Rewrites every import slot that holds one of the real functions (or, when removing,
// one of the hooks), whatever the import's name or ordinal.
void BstrWatch::patch(bool install) {
  const ULONG_PTR reals[] = {addressOf(real().allocString), addressOf(real().allocStringLen),
                             addressOf(real().allocStringByteLen), addressOf(real().freeString)};
  const ULONG_PTR hooks[] = {addressOf(&Hooks::allocString), addressOf(&Hooks::allocStringLen),
                             addressOf(&Hooks::allocStringByteLen), addressOf(&Hooks::freeString)};
  const int replaced = replaceImports(module_, install ? reals : hooks, install ? hooks : reals,
                                      sizeof reals / sizeof reals[0]);
  if (install) patched_ += replaced;
}

int BstrWatch::patchedImports() const { return patched_; }

long BstrWatch::allocations() const {
  std::lock_guard<std::mutex> guard(lock_);
  return allocations_;
}

long BstrWatch::frees() const {
  std::lock_guard<std::mutex> guard(lock_);
  return frees_;
}

long BstrWatch::badFrees() const {
  std::lock_guard<std::mutex> guard(lock_);
  return badFrees_;
}

long BstrWatch::nullFrees() const {
  std::lock_guard<std::mutex> guard(lock_);
  return nullFrees_;
}

long BstrWatch::outstanding() const {
  std::lock_guard<std::mutex> guard(lock_);
  long count = 0;
  for (const auto& entry : live_) count += entry.second;
  return count;
}

bool BstrWatch::isLive(BSTR text) const {
  std::lock_guard<std::mutex> guard(lock_);
  return live_.count(text) != 0;
}

void BstrWatch::failAllocations(int skip, int count) {
  std::lock_guard<std::mutex> guard(lock_);
  failSkip_ = skip;
  failCount_ = count;
}

void BstrWatch::noteForeign(BSTR text) {
  BstrWatch* watch = activeWatch.load();
  if (watch == NULL || text == NULL) return;
  std::lock_guard<std::mutex> guard(watch->lock_);
  ++watch->live_[text];
}

int BstrWatch::liveState(BSTR text) {
  BstrWatch* watch = activeWatch.load();
  if (watch == NULL) return -1;
  return watch->isLive(text) ? 1 : 0;
}

BSTR BstrWatch::allocateUnwatched(const wchar_t* text, UINT length) {
  return real().allocStringLen(text, length);
}

BSTR BstrWatch::allocated(BSTR text) {
  if (text == NULL) return NULL;
  std::lock_guard<std::mutex> guard(lock_);
  ++allocations_;
  ++live_[text];
  return text;
}

bool BstrWatch::shouldFail() {
  std::lock_guard<std::mutex> guard(lock_);
  if (failCount_ <= 0) return false;
  if (failSkip_ > 0) {
    --failSkip_;
    return false;
  }
  --failCount_;
  return true;
}

// A BSTR that is not live is only counted, never handed to the real free: freeing it
// again could corrupt the heap under the test.
void BstrWatch::freed(BSTR text) {
  if (text == NULL) {
    std::lock_guard<std::mutex> guard(lock_);
    ++nullFrees_;
    return;
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    std::map<BSTR, int>::iterator entry = live_.find(text);
    if (entry == live_.end()) {
      ++badFrees_;
      return;
    }
    if (--entry->second == 0) live_.erase(entry);
    ++frees_;
  }
  real().freeString(text);
}

}  // namespace kelvra_test
