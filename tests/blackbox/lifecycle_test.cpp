// Each embedding's life through the real DLL: the page host check inside NPP_New,
// the record with its launcher and scriptable object, NPP_GetValue(15), NPP_Destroy,
// and the failure rows of NPP_New. After every case the browser stand-in has back
// every object reference and property value the module took.
#include <windows.h>
#include <objbase.h>
#include <stdio.h>
#include <stdint.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>

#include "import_patch.h"
#include "plugin_fixture.h"

namespace kelvra_test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

const char kOrigin[] = "document origin from the browser: https://www.kelvra.com";
const char kContains[] = "location.host contains substring=kelvra.com";
const char kDoesNotContain[] = "location.host DOES NOT contain substring=kelvra.com";
const char kRefused[] = "newv isKelvraHost = FALSE";
const char kNoLauncher[] = "newv GetIKelvraLauncherInstance() = NULL";
const char kNoObject[] = "newv npnfuncs->createobject(instance, &npcRefObject) = NULL";
const char kDestroyedMeanwhile[] = "newv NPP_Destroy during NPP_New: nothing registered";
const char kListFull[] = "newv objList.push_back(record) -> out of memory";

// A pointer as the module's log prints %p: eight upper-case hexadecimal digits.
std::string pointerText(const void* pointer) {
  char text[16];
  snprintf(text, sizeof text, "%08X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(pointer)));
  return text;
}

// An object address as the script methods print it with 0x%8.8x.
std::string objectText(const void* pointer) {
  char text[16];
  snprintf(text, sizeof text, "%8.8x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(pointer)));
  return text;
}

std::string getValueLine(NPP instance, const std::string& record) {
  return "getvalue - scriptable object : NPP instance=" + pointerText(instance) +
         " objList.find(instance)=" + record;
}

// What the module took from the browser since `before`, given back: every property
// value released, every page-object reference returned, nothing freed or released
// that it did not own. `kept` scriptable objects may still be held by records.
void expectBrowserBalanced(const browser::Counts& before, long kept = 0) {
  browser::Counts after = browser::counts();
  EXPECT_EQ(after.variantsHandedOut - before.variantsHandedOut,
            after.variantsReleased - before.variantsReleased);
  EXPECT_EQ((after.retains - before.retains) + (after.objectsCreated - before.objectsCreated),
            (after.releases - before.releases) + kept);
  EXPECT_EQ(before.liveObjects + kept, after.liveObjects);
  EXPECT_EQ(before.liveBlocks, after.liveBlocks);
  EXPECT_EQ(0, after.badFrees);
  EXPECT_EQ(0, after.deadObjectCalls);
  EXPECT_EQ(0, after.underflows);
}

class LifecycleTest : public PluginFixture {
 protected:
  // NPP_New for the page as the browser stand-in shows it now (host value untouched),
  // which must answer `answer` and log exactly `lines`.
  NPP expectNew(NPError answer, const std::vector<std::string>& lines) {
    mark();
    pages_.push_back(NPP_t());
    NPP instance = &pages_.back();
    char mime[] = "application/x-vnd-kelvra-launcher";
    EXPECT_EQ(answer, funcs.newp(mime, instance, NP_EMBED, 0, NULL, NULL, NULL));
    EXPECT_THAT(messagesSinceMark(), ElementsAreArray(lines));
    return instance;
  }
  NPP expectNew(const std::string& host, NPError answer, const std::vector<std::string>& lines) {
    browser::setHost(host);
    return expectNew(answer, lines);
  }

  // The browser stand-in as a browser that does not answer NPNVdocumentOrigin.
  void withoutOrigin() {
    browser::Faults faults;
    faults.failOrigin = true;
    browser::setFaults(faults);
  }

  // A started plug-in with one embedding on www.kelvra.com, which NPP_New must accept,
  // and the scriptable object script got for it.
  struct Page {
    browser::Counts before;  // from just before NPP_New
    NPP instance = NULL;
    NPObject* object = NULL;
  };
  void startWithPage(Page* page) {
    ASSERT_TRUE(start());
    page->before = browser::counts();
    NPError error = -1;
    page->instance = newInstance("www.kelvra.com", &error);
    ASSERT_EQ(NPERR_NO_ERROR, error);
    page->object = scriptableObject(page->instance);
    ASSERT_NE(nullptr, page->object);
  }

  // A refused NPP_New kept nothing: everything taken from the browser since `before` is
  // back, and the instance is unknown to the module once the refusal's cause is lifted.
  void expectKeptNothing(const browser::Counts& before, NPP instance) {
    expectBrowserBalanced(before);
    expectUnregistered(instance);
  }

  // NPP_GetValue(15) straight, with the answer and what it stored.
  NPError queryObject(NPP instance, NPObject** object) {
    return funcs.getvalue(instance, NPPVpluginScriptableNPObject, object);
  }

  // An instance that the module must not know: variable 15 answers 2 with the lookup's
  // NULL in its line and stores nothing, and NPP_Destroy answers 2 and releases nothing.
  void expectUnregistered(NPP instance) {
    mark();
    browser::Counts before = browser::counts();
    LauncherObjectStats launcherBefore = launcherTotals();
    NPObject* sentinel = reinterpret_cast<NPObject*>(0x5EE5);
    NPObject* object = sentinel;
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, queryObject(instance, &object));
    EXPECT_EQ(sentinel, object);
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, destroy(instance));
    EXPECT_THAT(messagesSinceMark(),
                ElementsAre(getValueLine(instance, "00000000"), "destroy"));
    browser::Counts after = browser::counts();
    EXPECT_EQ(before.retains, after.retains);
    EXPECT_EQ(before.releases, after.releases);
    LauncherObjectStats launcherAfter = launcherTotals();
    EXPECT_EQ(launcherBefore.releases, launcherAfter.releases);
    EXPECT_EQ(launcherBefore.addRefs, launcherAfter.addRefs);
  }

  // Every launcher object's counters added up.
  LauncherObjectStats launcherTotals() const {
    LauncherObjectStats total;
    for (int i = 0; i < launcher.objectsCreated(); ++i) {
      LauncherObjectStats s = launcher.objectStats(i);
      total.references += s.references;
      total.addRefs += s.addRefs;
      total.releases += s.releases;
      total.overReleases += s.overReleases;
    }
    return total;
  }

  std::deque<NPP_t> pages_;
};

// --- The host check inside NPP_New ------------------------------------------------

// These read the page's location, as for a browser that does not tell the document's
// origin; the origin's own rows follow them.
TEST_F(LifecycleTest, AllowedHostsGetARecordAndAScriptableObject) {
  ASSERT_TRUE(start());
  withoutOrigin();
  const char* hosts[] = {"www.kelvra.com", "kelvra.com", "SHOP.KELVRA.COM:8080",
                         "www.kelvra.com.:443"};
  int created = 0;
  for (const char* host : hosts) {
    SCOPED_TRACE(host);
    browser::Counts before = browser::counts();
    NPP instance = expectNew(host, NPERR_NO_ERROR, {"newv", kContains});
    EXPECT_EQ(++created, launcher.objectsCreated());
    EXPECT_EQ(1, launcher.liveObjects());
    EXPECT_EQ(1, browser::counts().objectsCreated - before.objectsCreated);
    expectBrowserBalanced(before, 1);

    mark();
    NPObject* object = NULL;
    ASSERT_EQ(NPERR_NO_ERROR, queryObject(instance, &object));
    ASSERT_NE(nullptr, object);
    EXPECT_TRUE(browser::isLive(object));
    EXPECT_NE(nullptr, object->_class);
    EXPECT_EQ(2u, object->referenceCount);  // the record's and the browser's
    std::vector<std::string> lines = messagesSinceMark();
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(getValueLine(instance, "00000000"), lines[0]);
    EXPECT_EQ(getValueLine(instance, ""), lines[0].substr(0, lines[0].size() - 8));

    browser::release(object);
    mark();
    EXPECT_EQ(NPERR_NO_ERROR, destroy(instance));
    EXPECT_THAT(messagesSinceMark(), ElementsAre("destroy"));
    EXPECT_FALSE(browser::isLive(object));
    EXPECT_EQ(0, launcher.liveObjects());
    expectBrowserBalanced(before);
  }
}

TEST_F(LifecycleTest, RefusedHostsGetNoRecordAndNoLauncher) {
  ASSERT_TRUE(start());
  withoutOrigin();
  const std::string hosts[] = {
      "kelvra.com.attacker.example", "notkelvra.com", "evil-kelvra.com", "kelvra.co",
      "kelvra.comm", "kelvra.com..", "[::1]", "[::1]:80",
      std::string("kelvra.com\0.evil", 16),
      // The domain's tail matches: only the NUL refuses it.
      std::string("attacker.example\0.kelvra.com", 28),
      // The same characters and labels as an origin's host.
      ".kelvra.com", "www..kelvra.com", "evil.example/.kelvra.com", "kelvra.com:evil.example",
      "user@www.kelvra.com", "www .kelvra.com",
      "",  // an empty host is a string too: it gets the DOES NOT line
  };
  for (const std::string& host : hosts) {
    SCOPED_TRACE("host \"" + host + "\"");
    browser::Counts before = browser::counts();
    NPP instance = expectNew(host, NPERR_NO_ERROR, {"newv", kDoesNotContain, kRefused});
    EXPECT_EQ(0, browser::counts().objectsCreated - before.objectsCreated);
    expectKeptNothing(before, instance);
    expectBrowserBalanced(before);
  }
  EXPECT_EQ(0, launcher.createRequests());
}

TEST_F(LifecycleTest, NonStringHostIsRefusedWithoutAHostLine) {
  ASSERT_TRUE(start());
  withoutOrigin();
  const struct {
    const char* name;
    NPVariantType type;
  } values[] = {
      {"void", NPVariantType_Void},   {"null", NPVariantType_Null},
      {"bool", NPVariantType_Bool},   {"int", NPVariantType_Int32},
      {"double", NPVariantType_Double}, {"object", NPVariantType_Object},
  };
  for (const auto& value : values) {
    SCOPED_TRACE(value.name);
    browser::setHostValue(value.type);
    browser::Counts before = browser::counts();
    NPP instance = expectNew(NPERR_NO_ERROR, {"newv", kRefused});
    // window, location and host were all read, and all given back.
    EXPECT_EQ(2, browser::counts().variantsHandedOut - before.variantsHandedOut);
    expectKeptNothing(before, instance);
  }
  EXPECT_EQ(0, launcher.createRequests());
}

TEST_F(LifecycleTest, PageServiceFailuresRefuseAndReleaseOnlyWhatWasObtained) {
  ASSERT_TRUE(start());
  const struct {
    const char* name;
    std::function<void(browser::Faults&)> arm;
    long valuesObtained;   // property values the module got and must release
    long retainsObtained;  // page-object references the module got and must release
  } rows[] = {
      {"window fails", [](browser::Faults& f) { f.failWindow = true; }, 0, 0},
      {"location fails", [](browser::Faults& f) { f.failLocation = true; }, 0, 1},
      {"host fails", [](browser::Faults& f) { f.failHost = true; }, 1, 2},
      {"location is a string", [](browser::Faults& f) { f.locationNotObject = true; }, 1, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    browser::Faults faults;
    faults.failOrigin = true;
    row.arm(faults);
    browser::setFaults(faults);
    browser::Counts before = browser::counts();
    NPP instance = expectNew("www.kelvra.com", NPERR_NO_ERROR, {"newv", kRefused});
    browser::Counts after = browser::counts();
    EXPECT_EQ(row.valuesObtained, after.variantsReleased - before.variantsReleased);
    EXPECT_EQ(row.retainsObtained, after.releases - before.releases);
    browser::setFaults(browser::Faults());
    expectKeptNothing(before, instance);
  }
  EXPECT_EQ(0, launcher.createRequests());

  // The same page without the fault is accepted: the refusals came from the faults.
  withoutOrigin();
  browser::Counts before = browser::counts();
  NPError error = -1;
  NPP instance = newInstance("www.kelvra.com", &error);
  EXPECT_EQ(NPERR_NO_ERROR, error);
  EXPECT_EQ(NPERR_NO_ERROR, destroy(instance));
  EXPECT_EQ(1, launcher.createRequests());
  expectBrowserBalanced(before);
}

// Only an https: page on the domain is the maker's: any other scheme is refused with a
// line that names it, and the protocol value is given back like the others.
TEST_F(LifecycleTest, PagesOnTheDomainNeedTheHttpsScheme) {
  ASSERT_TRUE(start());
  const struct {
    const char* name;
    std::string protocol;
    bool failProtocol;
    const char* refusal;  // NULL: accepted
  } rows[] = {
      {"https:", "https:", false, NULL},
      {"HTTPS:", "HTTPS:", false, NULL},
      {"http:", "http:", false, "page protocol=http: is not https:"},
      {"file:", "file:", false, "page protocol=file: is not https:"},
      {"ftp:", "ftp:", false, "page protocol=ftp: is not https:"},
      {"https", "https", false, "page protocol=https is not https:"},
      {"https:x", "https:x", false, "page protocol=https:x is not https:"},
      {"empty", "", false, "page protocol= is not https:"},
      {"https NUL", std::string("https:\0", 7), false, "page protocol=https:? is not https:"},
      {"long", "http" + std::string(40, 's') + ":",  false,
       "page protocol=httpssssssssssssssssssssssssssss... is not https:"},
      {"protocol fails", "https:", true, "page protocol= is not https:"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    browser::setProtocol(row.protocol);
    browser::Faults faults;
    faults.failOrigin = true;
    faults.failProtocol = row.failProtocol;
    browser::setFaults(faults);
    const long requests = launcher.createRequests();
    browser::Counts before = browser::counts();
    const bool accepted = row.refusal == NULL;
    NPP instance = accepted ? expectNew("www.kelvra.com", NPERR_NO_ERROR, {"newv", kContains})
                            : expectNew("www.kelvra.com", NPERR_NO_ERROR,
                                        {"newv", row.refusal, kRefused});
    browser::Counts after = browser::counts();
    // location, host and (when the browser answered) protocol, all released.
    EXPECT_EQ(row.failProtocol ? 2 : 3, after.variantsHandedOut - before.variantsHandedOut);
    EXPECT_EQ(accepted ? 1 : 0, launcher.createRequests() - requests);
    browser::setFaults(browser::Faults());
    if (accepted) {
      EXPECT_EQ(NPERR_NO_ERROR, destroy(instance));
      expectBrowserBalanced(before);
    } else {
      expectKeptNothing(before, instance);
    }
  }
  // A foreign host is refused before its scheme is asked for.
  withoutOrigin();
  browser::setProtocol("http:");
  browser::Counts before = browser::counts();
  expectNew("www.example.com", NPERR_NO_ERROR, {"newv", kDoesNotContain, kRefused});
  EXPECT_EQ(2, browser::counts().variantsHandedOut - before.variantsHandedOut);
}

// The browser's NPNVdocumentOrigin decides whenever the browser answers it: the page's
// location, which script can replace, is then never read. The origin is split strictly
// and its host meets the same rule; the browser's string is given back with memfree.
TEST_F(LifecycleTest, TheDocumentOriginDecidesAndThePageCannotFakeIt) {
  ASSERT_TRUE(start());
  const char* const doesNotContain = kDoesNotContain;
  const struct {
    std::string origin;
    const char* verdict;  // the line after the origin's
    const char* shown;    // the origin as logged, when not as given
  } rows[] = {
      {"https://www.kelvra.com", kContains, NULL},
      {"https://kelvra.com", kContains, NULL},
      {"HTTPS://SHOP.KELVRA.COM", kContains, NULL},
      {"https://www.kelvra.com:8443", kContains, NULL},
      {"https://www.kelvra.com.", kContains, NULL},
      {"http://www.kelvra.com", "page protocol=http: is not https:", NULL},
      {"file://", doesNotContain, NULL},
      {"http://www.example.com", doesNotContain, NULL},
      {"https://kelvra.com.evil.net", doesNotContain, NULL},
      {"https://evilkelvra.com", doesNotContain, NULL},
      {"https://www.kelvra.com/", doesNotContain, NULL},
      {"https://www.kelvra.com/path", doesNotContain, NULL},
      {"https://user@www.kelvra.com", doesNotContain, NULL},
      {"https://www.kelvra.com:", doesNotContain, NULL},
      {"https://www.kelvra.com:65536", doesNotContain, NULL},
      {"https://www.kelvra.com:443x", doesNotContain, NULL},
      {"https://[::1]:443", doesNotContain, NULL},
      {"https://.kelvra.com", doesNotContain, NULL},
      {"https://..kelvra.com", doesNotContain, NULL},
      {"https://www..kelvra.com", doesNotContain, NULL},
      {"https:www.kelvra.com", doesNotContain, NULL},
      {"https://www.kelvra.com\n", doesNotContain, "https://www.kelvra.com?"},
      {"https://www.kelvra.com" + std::string(300, '.'), doesNotContain,
       NULL},  // cut in the log, checked below
      {"null", doesNotContain, NULL},
      {"", doesNotContain, NULL},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.origin);
    // A page that replaced its location with the maker's, on a foreign origin or not.
    browser::setHost("www.kelvra.com");
    browser::setProtocol("https:");
    browser::setOrigin(row.origin);
    const bool accepted = row.verdict == kContains;
    const long requests = launcher.createRequests();
    browser::Counts before = browser::counts();
    mark();
    pages_.push_back(NPP_t());
    char mime[] = "application/x-vnd-kelvra-launcher";
    EXPECT_EQ(NPERR_NO_ERROR, funcs.newp(mime, &pages_.back(), NP_EMBED, 0, NULL, NULL, NULL));
    const std::vector<std::string> lines = messagesSinceMark();
    ASSERT_EQ(accepted ? 3u : 4u, lines.size());
    const std::string shown = row.shown != NULL ? row.shown : row.origin;
    if (row.origin.size() < 256) {
      EXPECT_EQ("document origin from the browser: " + shown, lines[1]);
    } else {
      EXPECT_EQ("document origin from the browser: " + row.origin.substr(0, 256) + "...", lines[1]);
    }
    EXPECT_EQ(row.verdict, lines[2]);
    if (!accepted) {
      EXPECT_EQ(kRefused, lines[3]);
    }
    browser::Counts after = browser::counts();
    EXPECT_EQ(0, after.variantsHandedOut - before.variantsHandedOut) << "the location was read";
    EXPECT_EQ(accepted ? 1 : 0, launcher.createRequests() - requests);
    if (accepted) {
      EXPECT_EQ(NPERR_NO_ERROR, destroy(&pages_.back()));
      expectBrowserBalanced(before);
    } else {
      expectKeptNothing(before, &pages_.back());
    }
  }
  // Only a browser that does not answer is followed to the location.
  withoutOrigin();
  browser::Counts before = browser::counts();
  expectNew("www.kelvra.com", NPERR_NO_ERROR, {"newv", kContains});
  EXPECT_EQ(3, browser::counts().variantsHandedOut - before.variantsHandedOut);
}

// --- NPP_New failure rows ----------------------------------------------------------

TEST_F(LifecycleTest, LauncherCreationFailureAnswersTwoAndKeepsNothing) {
  ASSERT_TRUE(start());
  const struct {
    const char* name;
    std::function<void(LauncherStandIn&)> fail;
    std::function<void(LauncherStandIn&)> restore;
    long requests;  // CreateInstance calls that reach the stand-in's factory
  } rows[] = {
      {"factory revoked", [](LauncherStandIn& l) { l.revokeFactory(); },
       [](LauncherStandIn& l) { ASSERT_EQ(S_OK, l.registerFactory()); }, 0},
      {"creation refused", [](LauncherStandIn& l) { l.refuseCreation(E_FAIL); },
       [](LauncherStandIn& l) { l.refuseCreation(S_OK); }, 1},
      {"out of memory", [](LauncherStandIn& l) { l.refuseCreation(E_OUTOFMEMORY); },
       [](LauncherStandIn& l) { l.refuseCreation(S_OK); }, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    row.fail(launcher);
    long requestsBefore = launcher.createRequests();
    browser::Counts before = browser::counts();
    NPP instance = expectNew("www.kelvra.com", NPERR_INVALID_INSTANCE_ERROR,
                             {"newv", kOrigin, kContains, kNoLauncher});
    EXPECT_EQ(row.requests, launcher.createRequests() - requestsBefore);
    EXPECT_EQ(0, launcher.objectsCreated());
    EXPECT_EQ(0, launcher.liveObjects());
    EXPECT_EQ(0, browser::counts().objectsCreated - before.objectsCreated);
    row.restore(launcher);
    expectKeptNothing(before, instance);
  }
}

TEST_F(LifecycleTest, ScriptableObjectFailureAnswersTwoAndReleasesTheLauncher) {
  ASSERT_TRUE(start());
  browser::Faults faults;
  faults.failCreateObject = true;
  browser::setFaults(faults);
  browser::Counts before = browser::counts();
  NPP instance =
      expectNew("www.kelvra.com", NPERR_INVALID_INSTANCE_ERROR, {"newv", kOrigin, kContains, kNoObject});
  ASSERT_EQ(1, launcher.objectsCreated());
  LauncherObjectStats stats = launcher.objectStats(0);
  EXPECT_EQ(0, stats.references);
  EXPECT_FALSE(stats.alive);
  EXPECT_EQ(0, stats.overReleases);
  EXPECT_EQ(0, stats.calls);
  EXPECT_EQ(0, launcher.liveObjects());
  browser::setFaults(browser::Faults());
  expectKeptNothing(before, instance);
  EXPECT_EQ(0, launcher.objectStats(0).overReleases);
}

// The list insert is NPP_New's second allocation in the module (the record is the
// first). Its failure answers 5 with everything given back and nothing registered.
TEST_F(LifecycleTest, ListInsertOutOfMemoryAnswersFiveAndKeepsNothing) {
  ASSERT_TRUE(start());
  browser::Counts before = browser::counts();
  {
    HeapWatch heap(plugin.module);
    ASSERT_GT(heap.patchedImports(), 0) << "no malloc import to watch";
    heap.failAllocations(1, 1);
    NPP instance = expectNew("www.kelvra.com", NPERR_OUT_OF_MEMORY_ERROR,
                             {"newv", kOrigin, kContains, kListFull});
    EXPECT_EQ(1, heap.failedAllocations());
    // The record is the first block.
    EXPECT_EQ(sizeof(void*) * 3, heap.allocationSize(0));
    EXPECT_TRUE(heap.allocationFreed(0)) << "the record was not freed";
    ASSERT_EQ(1, launcher.objectsCreated());
    EXPECT_EQ(0, launcher.objectStats(0).references);
    EXPECT_EQ(0, launcher.objectStats(0).overReleases);
    EXPECT_EQ(1, browser::counts().objectsCreated - before.objectsCreated);
    expectKeptNothing(before, instance);
  }
  // Memory back, the same page is accepted.
  NPError error = -1;
  NPP instance = newInstance("www.kelvra.com", &error);
  EXPECT_EQ(NPERR_NO_ERROR, error);
  EXPECT_EQ(NPERR_NO_ERROR, destroy(instance));
  expectBrowserBalanced(before);
}

// Before NP_Initialize has kept a browser table there is nothing to ask the page with.
TEST_F(LifecycleTest, NewBeforeInitializeAnswersAnErrorAndCallsNothing) {
  ASSERT_TRUE(load());
  funcs.size = sizeof funcs;
  ASSERT_EQ(NPERR_NO_ERROR, plugin.getEntryPoints(&funcs));
  browser::Counts before = browser::counts();
  mark();
  NPP_t page = {};
  char mime[] = "application/x-vnd-kelvra-launcher";
  EXPECT_EQ(NPERR_GENERIC_ERROR, funcs.newp(mime, &page, NP_EMBED, 0, NULL, NULL, NULL));
  EXPECT_THAT(messagesSinceMark(), ElementsAre("newv"));
  EXPECT_EQ(0, launcher.createRequests());
  EXPECT_EQ(before.retains, browser::counts().retains);
  EXPECT_EQ(before.variantsHandedOut, browser::counts().variantsHandedOut);
}

// NP_Initialize on a thread already in the multithreaded apartment: CoInitialize fails
// there and the module must not go on as if COM were up. That apartment holds a
// stand-in's factory, so a module that called CoCreateInstance regardless would get a
// launcher and be seen.
TEST_F(LifecycleTest, WithoutComEveryNewAnswersTwoAndCreatesNoLauncher) {
  ASSERT_TRUE(load());
  std::thread([&] {
    ASSERT_EQ(S_OK, CoInitializeEx(NULL, COINIT_MULTITHREADED));
    LauncherStandIn local;
    ASSERT_EQ(S_OK, local.registerFactory());
    ASSERT_EQ(NPERR_NO_ERROR, startPlugin(plugin, browser::functions(), &funcs));
    EXPECT_THAT(messages(),
                ElementsAre("NP_GetEntryPoints", "NPKelvraProxy: NP_Initialize", "CoInitialize fail"));

    browser::Counts before = browser::counts();
    for (int i = 0; i < 2; ++i) {
      SCOPED_TRACE(i);
      expectUnregistered(expectNew("www.kelvra.com", NPERR_INVALID_INSTANCE_ERROR,
                                   {"newv", kOrigin, kContains, kNoLauncher}));
    }
    EXPECT_EQ(0, local.createRequests());
    expectBrowserBalanced(before);

    // The control: in this apartment the stand-in is reachable.
    IUnknown* direct = NULL;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KelvraLauncher, NULL, CLSCTX_INPROC_SERVER,
                                     IID_IUnknown, reinterpret_cast<void**>(&direct)));
    direct->Release();
    EXPECT_EQ(1, local.createRequests());
    plugin.shutdown();
    local.revokeFactory();
    CoUninitialize();
  }).join();
}

// --- Records, references and NPP_Destroy -------------------------------------------

TEST_F(LifecycleTest, TwoEmbeddingsOnOnePageStayIndependent) {
  ASSERT_TRUE(start());
  browser::Counts before = browser::counts();
  NPError errorA = -1, errorB = -1;
  NPP a = newInstance("www.kelvra.com", &errorA);
  NPP b = newInstance("www.kelvra.com", &errorB);
  ASSERT_EQ(NPERR_NO_ERROR, errorA);
  ASSERT_EQ(NPERR_NO_ERROR, errorB);
  EXPECT_EQ(2, launcher.objectsCreated());
  EXPECT_EQ(2, launcher.liveObjects());
  EXPECT_EQ(2, browser::counts().objectsCreated - before.objectsCreated);

  mark();
  NPObject* objectA = scriptableObject(a);
  NPObject* objectB = scriptableObject(b);
  ASSERT_NE(nullptr, objectA);
  ASSERT_NE(nullptr, objectB);
  EXPECT_NE(objectA, objectB);
  std::vector<std::string> lines = messagesSinceMark();
  ASSERT_EQ(2u, lines.size());
  EXPECT_NE(lines[0].substr(lines[0].size() - 8), lines[1].substr(lines[1].size() - 8))
      << "two records";

  // Each object reaches its own launcher.
  launcher.setAnswer(kSlotHelloWorld, answerResult(0x00001234));
  NPVariant result;
  ASSERT_TRUE(call(objectA, "HelloWorld", {}, &result));
  EXPECT_EQ(0, launcher.lastCall().object);
  ASSERT_TRUE(call(objectB, "HelloWorld", {}, &result));
  EXPECT_EQ(1, launcher.lastCall().object);

  EXPECT_EQ(NPERR_NO_ERROR, destroy(a));
  EXPECT_EQ(0, launcher.objectStats(0).references);
  EXPECT_FALSE(launcher.objectStats(0).alive);
  EXPECT_EQ(1, launcher.objectStats(1).references);
  EXPECT_EQ(1u, objectA->referenceCount);  // only the browser's own now
  EXPECT_EQ(2u, objectB->referenceCount);

  // The survivor is fully usable: its object calls launcher object 1, its record answers.
  size_t callsBefore = launcher.callCount();
  ASSERT_TRUE(call(objectB, "HelloWorld", {}, &result));
  ASSERT_TRUE(NPVARIANT_IS_INT32(result));
  EXPECT_EQ(0x00001234, NPVARIANT_TO_INT32(result));
  EXPECT_EQ(callsBefore + 1, launcher.callCount());
  EXPECT_EQ(1, launcher.lastCall().object);
  EXPECT_EQ(kSlotHelloWorld, launcher.lastCall().slot);
  ASSERT_TRUE(call(objectA, "HelloWorld", {}, &result));
  ASSERT_TRUE(NPVARIANT_IS_INT32(result));
  EXPECT_EQ(-1, NPVARIANT_TO_INT32(result));
  EXPECT_EQ(callsBefore + 1, launcher.callCount());
  NPObject* again = scriptableObject(b);
  EXPECT_EQ(objectB, again);
  EXPECT_EQ(nullptr, scriptableObject(a));
  if (again != NULL) browser::release(again);

  EXPECT_EQ(NPERR_NO_ERROR, destroy(b));
  EXPECT_EQ(0, launcher.liveObjects());
  browser::release(objectA);
  browser::release(objectB);
  expectBrowserBalanced(before);
}

TEST_F(LifecycleTest, EachScriptableQueryAddsOneReference) {
  ASSERT_TRUE(start());
  browser::Counts before = browser::counts();
  NPError error = -1;
  NPP instance = newInstance("www.kelvra.com", &error);
  ASSERT_EQ(NPERR_NO_ERROR, error);
  std::vector<NPObject*> handed;
  for (int i = 1; i <= 3; ++i) {
    SCOPED_TRACE(i);
    long retains = browser::counts().retains;
    mark();
    NPObject* object = NULL;
    ASSERT_EQ(NPERR_NO_ERROR, queryObject(instance, &object));
    ASSERT_NE(nullptr, object);
    if (!handed.empty()) {
      EXPECT_EQ(handed.front(), object);
    }
    handed.push_back(object);
    EXPECT_EQ(static_cast<uint32_t>(1 + i), object->referenceCount);
    EXPECT_EQ(retains + 1, browser::counts().retains);
    std::vector<std::string> lines = messagesSinceMark();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(getValueLine(instance, ""), lines[0].substr(0, lines[0].size() - 8));
    EXPECT_NE(getValueLine(instance, "00000000"), lines[0]);
  }
  // A query with nowhere to store the object takes no reference.
  long retains = browser::counts().retains;
  EXPECT_EQ(NPERR_INVALID_PARAM, queryObject(instance, NULL));
  EXPECT_EQ(retains, browser::counts().retains);

  EXPECT_EQ(NPERR_NO_ERROR, destroy(instance));
  EXPECT_EQ(3u, handed.front()->referenceCount);
  for (NPObject* object : handed) browser::release(object);
  EXPECT_FALSE(browser::isLive(handed.front()));
  expectBrowserBalanced(before);
}

TEST_F(LifecycleTest, SecondDestroyAnswersTwoAndReleasesNothing) {
  Page page;
  ASSERT_NO_FATAL_FAILURE(startWithPage(&page));
  EXPECT_EQ(NPERR_NO_ERROR, destroy(page.instance));
  EXPECT_EQ(1u, page.object->referenceCount);

  browser::Counts between = browser::counts();
  LauncherObjectStats stats = launcher.objectStats(0);
  mark();
  EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, destroy(page.instance));
  EXPECT_THAT(messagesSinceMark(), ElementsAre("destroy"));
  EXPECT_EQ(between.releases, browser::counts().releases);
  EXPECT_EQ(1u, page.object->referenceCount);
  EXPECT_EQ(stats.releases, launcher.objectStats(0).releases);
  EXPECT_EQ(0, launcher.objectStats(0).overReleases);
  EXPECT_TRUE(browser::isLive(page.object));

  browser::release(page.object);
  expectBrowserBalanced(page.before);
}

// Script may hold the object past NPP_Destroy: the record's two references are back,
// the calls find no launcher, and the object goes once the browser lets go too.
TEST_F(LifecycleTest, DestroyGivesBothReferencesBackWhileScriptHoldsTheObject) {
  Page page;
  ASSERT_NO_FATAL_FAILURE(startWithPage(&page));
  ASSERT_EQ(1, launcher.objectStats(0).references);

  long releases = browser::counts().releases;
  EXPECT_EQ(NPERR_NO_ERROR, destroy(page.instance));
  LauncherObjectStats stats = launcher.objectStats(0);
  EXPECT_EQ(0, stats.references);
  EXPECT_FALSE(stats.alive);
  EXPECT_EQ(0, stats.overReleases);
  EXPECT_EQ(releases + 1, browser::counts().releases);
  EXPECT_EQ(1u, page.object->referenceCount);
  EXPECT_TRUE(browser::isLive(page.object));

  const std::string address = "0x" + objectText(page.object);
  mark();
  NPVariant result;
  ASSERT_TRUE(call(page.object, "HelloWorld", {}, &result));
  ASSERT_TRUE(NPVARIANT_IS_INT32(result));
  EXPECT_EQ(-1, NPVARIANT_TO_INT32(result));
  EXPECT_THAT(messagesSinceMark(),
              ElementsAre("invoke", "invokeKelvraAdapterHelloWorld " + address,
                          "ERROR: Launcher not found",
                          "NPKelvraProxy: KelvraAdapterHelloWorld result = -1"));
  mark();
  ASSERT_TRUE(call(page.object, "Get_GameStarted", {}, &result));
  ASSERT_TRUE(NPVARIANT_IS_BOOLEAN(result));
  EXPECT_FALSE(NPVARIANT_TO_BOOLEAN(result));
  EXPECT_THAT(messagesSinceMark(),
              ElementsAre("invoke", "invokeKelvraAdapterGet_IsGameStarted " + address,
                          "ERROR: Launcher not found",
                          "invokeKelvraAdapterGet_IsGameStarted result=0"));
  EXPECT_EQ(0u, launcher.callCount());
  EXPECT_EQ(nullptr, scriptableObject(page.instance));

  long deallocated = browser::counts().objectsDeallocated;
  browser::release(page.object);
  EXPECT_FALSE(browser::isLive(page.object));
  EXPECT_EQ(deallocated + 1, browser::counts().objectsDeallocated);
  EXPECT_EQ(0, launcher.liveObjects());
  expectBrowserBalanced(page.before);
}

// --- The browser calling back in --------------------------------------------------

// NPP_Destroy from inside the launcher's own method (a method that pumps messages): the
// call holds its own reference, so the launcher outlives the destroy until its method
// has returned; the result still reaches script and later calls find no launcher.
TEST_F(LifecycleTest, DestroyInsideALauncherMethodKeepsTheLauncherUntilItReturns) {
  const struct {
    const char* method;
    int slot;
    std::vector<NPVariant> (*args)();
    LauncherAnswer answer;
    NPVariantType type;
  } rows[] = {
      {"HelloWorld", kSlotHelloWorld, [] { return std::vector<NPVariant>(); },
       answerResult(S_FALSE), NPVariantType_Int32},
      {"Get_GameStarted", kSlotGetIsGameStarted, [] { return std::vector<NPVariant>(); },
       answerFlag(S_OK, VARIANT_TRUE), NPVariantType_Bool},
      {"Hello", kSlotHello, [] { return std::vector<NPVariant>(); }, answerText(S_OK, L"abc"),
       NPVariantType_String},
      {"GetKeyValue", kSlotGetKeyValue,
       [] { return std::vector<NPVariant>{browser::stringArgument("key")}; },
       answerText(S_OK, L"value"), NPVariantType_String},
  };
  ASSERT_TRUE(start());
  for (const auto& row : rows) {
    SCOPED_TRACE(row.method);
    browser::Counts before = browser::counts();
    NPError error = -1;
    NPP instance = newInstance("www.kelvra.com", &error);
    ASSERT_EQ(NPERR_NO_ERROR, error);
    NPObject* object = scriptableObject(instance);
    ASSERT_NE(nullptr, object);
    const int index = launcher.objectsCreated() - 1;
    launcher.clearCalls();
    launcher.setAnswer(row.slot, row.answer);
    NPError destroyed = -1;
    long referencesInside = -1;
    launcher.setHook([&](const LauncherCall& call, LauncherAnswer&) {
      destroyed = destroy(instance);
      referencesInside = launcher.objectStats(call.object).references;
    });
    NPVariant result;
    ASSERT_TRUE(call(object, row.method, row.args(), &result));
    launcher.setHook(AnswerHook());
    EXPECT_EQ(NPERR_NO_ERROR, destroyed);
    EXPECT_EQ(1, referencesInside) << "the call's own reference";
    const LauncherObjectStats stats = launcher.objectStats(index);
    EXPECT_EQ(0, stats.references);
    EXPECT_FALSE(stats.alive);
    EXPECT_EQ(0, stats.overReleases);
    EXPECT_EQ(1u, launcher.callCount());
    EXPECT_FALSE(launcher.lastCall().afterFinalRelease);
    ASSERT_EQ(row.type, result.type);
    switch (row.type) {
      case NPVariantType_Int32:
        EXPECT_EQ(S_FALSE, NPVARIANT_TO_INT32(result));
        break;
      case NPVariantType_Bool:
        EXPECT_TRUE(NPVARIANT_TO_BOOLEAN(result));
        break;
      default:
        EXPECT_EQ(narrow(row.answer.text), textOf(result));
        break;
    }
    browser::releaseValue(&result);

    // From now on the object answers as destroyed.
    ASSERT_TRUE(call(object, row.method, row.args(), &result));
    EXPECT_EQ(1u, launcher.callCount());
    if (row.type == NPVariantType_Bool) {
      EXPECT_TRUE(NPVARIANT_IS_BOOLEAN(result) && !NPVARIANT_TO_BOOLEAN(result));
    } else {
      EXPECT_TRUE(NPVARIANT_IS_INT32(result) && NPVARIANT_TO_INT32(result) == -1);
    }
    EXPECT_EQ(1u, object->referenceCount);
    browser::release(object);
    expectBrowserBalanced(before);
  }
}

// Script calling the object again from inside a launcher call: both calls complete,
// their lines in the order they happened, each with its own launcher reference.
TEST_F(LifecycleTest, NestedInvokeFromInsideALauncherCallCompletesBothCalls) {
  Page page;
  ASSERT_NO_FATAL_FAILURE(startWithPage(&page));
  launcher.setAnswer(kSlotHello, answerText(S_OK, L"outer"));
  launcher.setAnswer(kSlotHelloWorld, answerResult(0x1234));
  NPVariant inner;
  VOID_TO_NPVARIANT(inner);
  bool innerAnswered = false;
  long referencesInner = -1;
  launcher.setHook([&](const LauncherCall& call, LauncherAnswer&) {
    if (call.slot == kSlotHello) {
      innerAnswered = this->call(page.object, "HelloWorld", {}, &inner);
    } else {
      referencesInner = launcher.objectStats(call.object).references;
    }
  });
  const std::string address = "0x" + objectText(page.object);
  mark();
  NPVariant outer;
  ASSERT_TRUE(call(page.object, "Hello", {}, &outer));
  launcher.setHook(AnswerHook());
  EXPECT_TRUE(innerAnswered);
  EXPECT_EQ(3, referencesInner) << "the record's and one per call in progress";
  EXPECT_TRUE(NPVARIANT_IS_INT32(inner) && NPVARIANT_TO_INT32(inner) == 0x1234);
  EXPECT_EQ("outer", textOf(outer));
  EXPECT_THAT(messagesSinceMark(),
              ElementsAre("invoke", "invokeKelvraAdapterHello " + address, "invoke",
                          "invokeKelvraAdapterHelloWorld " + address,
                          "NPKelvraProxy: KelvraAdapterHelloWorld result = 4660",
                          "IKelvraLauncher->Hello() result 0",
                          "KelvraAdapterHello result=0 size=6 ssMess=outer"));
  EXPECT_EQ(1, launcher.objectStats(0).references);
  browser::releaseValue(&outer);
  EXPECT_EQ(NPERR_NO_ERROR, destroy(page.instance));
  browser::release(page.object);
  expectBrowserBalanced(page.before);
}

// NPP_Destroy for the instance from inside one of NPP_New's calls out: NPP_New gives
// back what it made, creates no launcher once the instance is gone and registers
// nothing; a second NPP_Destroy from inside the same call finds no instance; the next
// embedding at the same NPP address gets a fresh record, launcher and object.
TEST_F(LifecycleTest, DestroyDuringNewLeavesNothingAndTheAddressStartsAfresh) {
  ASSERT_TRUE(start());
  NPP_t page = {};
  NPError destroyed = -1;
  NPError destroyedAgain = -1;
  bool twice = false;
  auto destroyOnce = [&] {
    if (destroyed != -1) return;
    destroyed = destroy(&page);
    if (twice) destroyedAgain = destroy(&page);
  };
  auto whenAsked = [&](const std::string& wanted) {
    return [&, wanted] {
      browser::setRequestHook([&, wanted](const std::string& request) {
        if (request == wanted) destroyOnce();
      });
    };
  };
  const struct {
    const char* name;
    std::function<void()> arm;
    bool twice;     // a second NPP_Destroy right after the first, from the same call out
    int launchers;  // created by the NPP_New
    std::vector<std::string> lines;
  } rows[] = {
      {"reading the document origin", whenAsked("origin"), false, 0,
       {"newv", "destroy", kOrigin, kContains, kDestroyedMeanwhile}},
      {"reading the document origin, destroyed twice", whenAsked("origin"), true, 0,
       {"newv", "destroy", "destroy", kOrigin, kContains, kDestroyedMeanwhile}},
      {"reading location.host",
       [&] {
         withoutOrigin();
         whenAsked("host")();
       },
       false, 0, {"newv", "destroy", kContains, kDestroyedMeanwhile}},
      {"reading location.protocol",
       [&] {
         withoutOrigin();
         whenAsked("protocol")();
       },
       false, 0, {"newv", "destroy", kContains, kDestroyedMeanwhile}},
      {"creating the scriptable object", whenAsked("createobject"), false, 1,
       {"newv", kOrigin, kContains, "destroy", kDestroyedMeanwhile}},
      {"creating the launcher",
       [&] {
         launcher.setLifeHook([&](LifeEvent event, int) {
           if (event == kObjectCreated) destroyOnce();
         });
       },
       false, 1, {"newv", kOrigin, kContains, "destroy", kDestroyedMeanwhile}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    browser::Counts before = browser::counts();
    const int launchersBefore = launcher.objectsCreated();
    destroyed = -1;
    destroyedAgain = -1;
    twice = row.twice;
    row.arm();
    mark();
    char mime[] = "application/x-vnd-kelvra-launcher";
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, funcs.newp(mime, &page, NP_EMBED, 0, NULL, NULL, NULL));
    browser::setRequestHook(browser::RequestHook());
    browser::setFaults(browser::Faults());
    launcher.setLifeHook(LifeHook());
    EXPECT_EQ(NPERR_NO_ERROR, destroyed) << "the destroy reached an instance being created";
    EXPECT_EQ(row.twice ? NPERR_INVALID_INSTANCE_ERROR : -1, destroyedAgain);
    EXPECT_THAT(messagesSinceMark(), ElementsAreArray(row.lines));
    EXPECT_EQ(launchersBefore + row.launchers, launcher.objectsCreated());
    EXPECT_EQ(0, launcher.liveObjects());
    for (int i = launchersBefore; i < launcher.objectsCreated(); ++i) {
      EXPECT_EQ(0, launcher.objectStats(i).overReleases);
    }
    expectKeptNothing(before, &page);

    // The same address again, undisturbed: a new launcher and a new object.
    const long createdBefore = browser::counts().objectsCreated;
    char again[] = "application/x-vnd-kelvra-launcher";
    ASSERT_EQ(NPERR_NO_ERROR, funcs.newp(again, &page, NP_EMBED, 0, NULL, NULL, NULL));
    NPObject* object = scriptableObject(&page);
    ASSERT_NE(nullptr, object);
    EXPECT_EQ(2u, object->referenceCount);
    EXPECT_EQ(1, launcher.liveObjects());
    EXPECT_EQ(createdBefore + 1, browser::counts().objectsCreated);
    launcher.clearCalls();
    NPVariant result;
    ASSERT_TRUE(call(object, "HelloWorld", {}, &result));
    EXPECT_EQ(launcher.objectsCreated() - 1, launcher.lastCall().object);
    EXPECT_EQ(NPERR_NO_ERROR, destroy(&page));
    browser::release(object);
    expectBrowserBalanced(before);
  }
}

// NP_Shutdown forgets every record: the launchers go while COM is still up, the
// scriptable objects are left to the browser, and the browser table is cleared, so that
// later calls answer as before NP_Initialize and a new NP_Initialize starts clean. One
// that comes from inside a launcher call or an NPP_New leaves COM and the table up until
// that call has returned, and every NPP_New under way or begun meanwhile registers
// nothing (nested ones too: each is told, not only the innermost). Each row runs on a thread
// whose apartment only the module keeps up once the test has given its own back, so the
// stand-in's Release can tell whether COM was still up.
TEST_F(LifecycleTest, ShutdownForgetsEveryRecordAndWaitsForTheCallUnderWay) {
  ASSERT_TRUE(load());
  enum When {
    kAfterDestroySkipped,
    kInsideLauncherCall,
    kInsideLauncherCallThenNew,
    kInsideNewAtOrigin,
    kInsideNewAtObject,
    kInsideNestedNew,
  };
  const struct {
    const char* name;
    When when;
  } rows[] = {
      {"the browser skipped NPP_Destroy", kAfterDestroySkipped},
      {"from inside a launcher call", kInsideLauncherCall},
      {"from inside a launcher call, then an NPP_New there", kInsideLauncherCallThenNew},
      {"from inside NPP_New, at the origin", kInsideNewAtOrigin},
      {"from inside NPP_New, at the object", kInsideNewAtObject},
      {"from inside an NPP_New nested in another, at the origin", kInsideNestedNew},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<HRESULT> comAtRelease;
    HRESULT afterwards = E_FAIL;
    NPError destroyAfter = -1, newAfter = -1, valueAfter = -1;
    // The second page's NPP_New made from inside the first's call, and its record after
    // the restart.
    NPError innerNew = -1, innerAfter = -1;
    bool invokeAfter = false;
    int launchersMade = -1;
    std::string answer;
    std::vector<std::string> lines;
    browser::Counts before = browser::counts();
    std::thread([&] {
      ASSERT_EQ(S_OK, CoInitialize(NULL));
      LauncherStandIn local;
      ASSERT_EQ(S_OK, local.registerFactory());
      ASSERT_EQ(NPERR_NO_ERROR, startPlugin(plugin, browser::functions(), &funcs));
      CoUninitialize();  // the test's own: the module's keeps the apartment
      local.setLifeHook([&](LifeEvent event, int) {
        if (event != kObjectReleased) return;
        comAtRelease.push_back(CoInitialize(NULL));
        CoUninitialize();
      });
      NPP_t page = {}, inner = {};
      NPObject* object = NULL;
      char mime[] = "application/x-vnd-kelvra-launcher";
      mark();
      if (row.when == kInsideNewAtOrigin || row.when == kInsideNewAtObject || row.when == kInsideNestedNew) {
        const std::string at = row.when == kInsideNewAtObject ? "createobject" : "origin";
        browser::setRequestHook([&, at](const std::string& request) {
          if (request != at) return;
          // Nested: the first page's origin read starts the second's NPP_New, whose shuts down.
          if (row.when == kInsideNestedNew && innerNew == -1) {
            innerNew = -2;
            innerNew = funcs.newp(mime, &inner, NP_EMBED, 0, NULL, NULL, NULL);
          } else {
            plugin.shutdown();
          }
        });
        EXPECT_EQ(NPERR_GENERIC_ERROR, funcs.newp(mime, &page, NP_EMBED, 0, NULL, NULL, NULL));
        browser::setRequestHook(browser::RequestHook());
      } else {
        ASSERT_EQ(NPERR_NO_ERROR, funcs.newp(mime, &page, NP_EMBED, 0, NULL, NULL, NULL));
        object = scriptableObject(&page);
        ASSERT_NE(nullptr, object);
        if (row.when == kInsideLauncherCall || row.when == kInsideLauncherCallThenNew) {
          local.setHook([&](const LauncherCall&, LauncherAnswer& out) {
            plugin.shutdown();
            if (row.when == kInsideLauncherCallThenNew) {
              innerNew = funcs.newp(mime, &inner, NP_EMBED, 0, NULL, NULL, NULL);
            }
            out = answerText(S_OK, L"still here");
          });
          NPVariant result;
          EXPECT_TRUE(call(object, "Hello", {}, &result));
          answer = textOf(result);
          browser::releaseValue(&result);
          local.setHook(AnswerHook());
        } else {
          plugin.shutdown();
        }
      }
      lines = messagesSinceMark();
      launchersMade = local.objectsCreated();
      // COM went down with the shutdown, or once the call had returned.
      afterwards = CoInitialize(NULL);
      local.setLifeHook(LifeHook());
      // As before NP_Initialize.
      NPObject* stored = NULL;
      valueAfter = funcs.getvalue(&page, NPPVpluginScriptableNPObject, &stored);
      destroyAfter = destroy(&page);
      if (object != NULL) {
        NPVariant ignored;
        invokeAfter = call(object, "HelloWorld", {}, &ignored);
        // The page's reference, and the one the record left for the browser to sweep.
        browser::release(object);
        browser::release(object);
      }
      newAfter = funcs.newp(mime, &page, NP_EMBED, 0, NULL, NULL, NULL);

      // A new NP_Initialize starts clean: the same address gets a record of its own.
      // (The apartment went down with the factory's registration in it.)
      ASSERT_EQ(NPERR_NO_ERROR, plugin.initialize(browser::functions()));
      local.revokeFactory();
      ASSERT_EQ(S_OK, local.registerFactory());
      ASSERT_EQ(NPERR_NO_ERROR, funcs.newp(mime, &page, NP_EMBED, 0, NULL, NULL, NULL));
      NPObject* fresh = scriptableObject(&page);
      ASSERT_NE(nullptr, fresh);
      NPObject* none = NULL;
      innerAfter = funcs.getvalue(&inner, NPPVpluginScriptableNPObject, &none);
      EXPECT_EQ(2u, fresh->referenceCount) << "the record's and the page's";
      NPVariant result;
      EXPECT_TRUE(call(fresh, "HelloWorld", {}, &result));
      EXPECT_TRUE(NPVARIANT_IS_INT32(result) && NPVARIANT_TO_INT32(result) == 0);
      EXPECT_EQ(NPERR_NO_ERROR, destroy(&page));
      browser::release(fresh);
      plugin.shutdown();
      if (SUCCEEDED(afterwards)) CoUninitialize();
      EXPECT_EQ(0, local.liveObjects());
    }).join();
    EXPECT_THAT(comAtRelease, ::testing::Each(S_FALSE)) << "a launcher released after COM went down";
    // A shutdown at the origin comes before any launcher is made.
    EXPECT_EQ(row.when == kInsideNewAtOrigin || row.when == kInsideNestedNew ? 0 : 1, launchersMade);
    const bool secondPage = row.when == kInsideLauncherCallThenNew || row.when == kInsideNestedNew;
    EXPECT_EQ(secondPage ? NPERR_GENERIC_ERROR : -1, innerNew);
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, innerAfter) << "the second page kept a record";
    EXPECT_EQ(launchersMade > 0, !comAtRelease.empty());
    EXPECT_EQ(S_OK, afterwards) << "the module kept its initialisation";
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, valueAfter);
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, destroyAfter);
    EXPECT_FALSE(invokeAfter);
    EXPECT_EQ(NPERR_GENERIC_ERROR, newAfter);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("CoUninitialize Ok", lines.back());
    switch (row.when) {
      case kInsideLauncherCall:
      case kInsideLauncherCallThenNew:
        EXPECT_EQ("still here", answer);
        EXPECT_THAT(lines, ::testing::Contains("NP_Shutdown during a call: COM stays up until it returns"));
        EXPECT_EQ("KelvraAdapterHello result=0 size=11 ssMess=still here", lines[lines.size() - 2]);
        break;
      case kInsideNewAtOrigin:
      case kInsideNewAtObject:
        EXPECT_THAT(lines, ::testing::Contains("newv NP_Shutdown during NPP_New: nothing registered"));
        break;
      case kInsideNestedNew:
        EXPECT_EQ(2, std::count(lines.begin(), lines.end(), "newv NP_Shutdown during NPP_New: nothing registered"));
        break;
      case kAfterDestroySkipped:
        EXPECT_EQ("NPKelvraProxy: NP_Shutdown", lines[lines.size() - 2]);
        break;
    }
    expectBrowserBalanced(before);
  }
}

// NPAPI calls come on the browser's thread. One on another thread is refused before it
// reaches the browser's table, the registry or a launcher, and ends nothing: the page
// on the browser's thread goes on with its record, its launcher and COM.
TEST_F(LifecycleTest, CallsOnAStrayThreadAreRefusedAndEndNothing) {
  Page page;
  startWithPage(&page);
  launcher.clearCalls();
  const browser::Counts before = browser::counts();
  const char* const refusal = " refused: called on a thread other than the browser's";
  NPObject* sentinel = reinterpret_cast<NPObject*>(0x5EE5);
  NPObject* stored = sentinel;
  NPVariant result;
  VOID_TO_NPVARIANT(result);
  bool invoked = true, hasMethod = true, invokedDefault = true;
  NPError value = -1, destroyed = -1, created = -1, shutDown = -1;
  mark();
  std::thread([&] {
    NPClass* objectClass = page.object->_class;
    invoked = call(page.object, "HelloWorld", {}, &result);
    hasMethod = objectClass->hasMethod(page.object, browser::identifier("HelloWorld"));
    invokedDefault = objectClass->invokeDefault(page.object, NULL, 0, &result);
    value = queryObject(page.instance, &stored);
    destroyed = destroy(page.instance);
    NPP_t other = {};
    char mime[] = "application/x-vnd-kelvra-launcher";
    created = funcs.newp(mime, &other, NP_EMBED, 0, NULL, NULL, NULL);
    shutDown = plugin.shutdown();
  }).join();
  EXPECT_FALSE(invoked);
  EXPECT_FALSE(hasMethod);
  EXPECT_FALSE(invokedDefault);
  EXPECT_TRUE(NPVARIANT_IS_VOID(result));
  EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, value);
  EXPECT_EQ(sentinel, stored);
  EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, destroyed);
  EXPECT_EQ(NPERR_GENERIC_ERROR, created);
  EXPECT_EQ(NPERR_NO_ERROR, shutDown);
  EXPECT_THAT(messagesSinceMark(),
              ElementsAre("invoke", std::string("invoke") + refusal, "hasMethod",
                          std::string("hasMethod") + refusal, "invokeDefault",
                          std::string("invokeDefault") + refusal,
                          std::string("getvalue - scriptable object") + refusal, "destroy",
                          std::string("destroy") + refusal, "newv", std::string("newv") + refusal,
                          "NPKelvraProxy: NP_Shutdown", std::string("NP_Shutdown") + refusal));
  const browser::Counts after = browser::counts();
  EXPECT_EQ(before.retains, after.retains);
  EXPECT_EQ(before.releases, after.releases);
  EXPECT_EQ(before.allocations, after.allocations);
  EXPECT_EQ(before.variantsHandedOut, after.variantsHandedOut);
  EXPECT_EQ(before.exceptions, after.exceptions);
  EXPECT_EQ(before.objectsCreated, after.objectsCreated);
  EXPECT_EQ(0u, launcher.callCount());
  EXPECT_EQ(1, launcher.objectsCreated());

  // The browser's thread still has its page.
  ASSERT_TRUE(call(page.object, "Hello", {}, &result));
  EXPECT_EQ(1u, launcher.callCount());
  browser::releaseValue(&result);
  EXPECT_EQ(page.object, scriptableObject(page.instance));
  browser::release(page.object);
  EXPECT_EQ(NPERR_NO_ERROR, destroy(page.instance));
  browser::release(page.object);
  EXPECT_EQ(0, launcher.liveObjects());
  expectBrowserBalanced(page.before);
}

}  // namespace
}  // namespace kelvra_test
