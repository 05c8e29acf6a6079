/*
 * The browser side of NPAPI: the services table a plug-in calls, with the ownership
 * rules a browser keeps (reference-counted objects, memalloc blocks, interned
 * identifiers, variants released by their receiver) and counters for each, plus the
 * page a plug-in sees (window -> location -> host and protocol) and switches that
 * make services fail. NPAPI services are plain C callbacks, so there is one browser per process;
 * every service is safe to call from several threads at once.
 */
#ifndef KELVRA_BROWSER_NPBROWSER_H
#define KELVRA_BROWSER_NPBROWSER_H

#include <stddef.h>

#include <functional>
#include <string>

#include "npapi.h"
#include "npfunctions.h"
#include "npruntime.h"

namespace browser {

// What the browser has seen so far; compare two snapshots to see what a call did.
struct Counts {
  long liveObjects;        // created and not yet deallocated
  long objectsCreated;
  long objectsDeallocated;
  long retains;
  long releases;
  long liveBlocks;         // memalloc blocks not yet freed
  long long liveBytes;
  long allocations;        // memalloc calls that answered a block
  long failedAllocations;  // memalloc calls answered NULL on purpose
  long frees;
  long variantsHandedOut;  // property values given to the plug-in
  long variantsReleased;   // releasevariantvalue calls by the plug-in
  long exceptions;         // setexception calls with a message
  long statusMessages;     // status calls
  long invalidations;      // invalidaterect, invalidateregion and forceredraw calls
  long popupStatePushes;   // pushpopupsenabledstate calls
  long popupStatePops;     // poppopupsenabledstate calls that had a state to pop
  // Strings and objects handed to the plug-in as results (properties, calls,
  // evaluations) that it has not given back with releasevariantvalue (an object also
  // with releaseobject) yet. Releasing a void variant, or one the plug-in filled
  // itself, changes nothing here.
  long valuesOwed;
  // Misuse by the plug-in, counted instead of crashing:
  long badFrees;           // memfree of a pointer that is no live memalloc block
  long deadObjectCalls;    // retain, release or a call on an object that is not alive
  long underflows;         // release of a live object whose count is already 0

  long unreleasedVariants() const { return variantsHandedOut - variantsReleased; }
};

// Services that can be made to fail.
struct Faults {
  // memalloc answers NULL once this many calls have passed since setFaults (0: at
  // once, and from then on); -1: never.
  long failAllocationsFrom = -1;
  bool failCreateObject = false;
  bool failWindow = false;         // getvalue(NPNVWindowNPObject) answers an error and NULL
  bool failLocation = false;       // getproperty(window, "location") answers false
  bool failHost = false;           // getproperty(location, "host") answers false
  bool failProtocol = false;       // getproperty(location, "protocol") answers false
  bool locationNotObject = false;  // "location" answers a string instead of an object
  bool failOrigin = false;         // getvalue(NPNVdocumentOrigin) answers an error, as an
                                   // older browser does
};

// A plug-in's request for a URL (NPN_GetURL, NPN_GetURLNotify, NPN_PostURL,
// NPN_PostURLNotify), as the page serves it.
struct UrlRequest {
  NPP instance;
  const char* url;
  const char* target;  // NULL: the stream goes to the plug-in
  bool post;
  const char* data;    // the body, or the name of a file holding it
  uint32_t length;
  bool dataIsFile;
  bool notify;         // NPP_URLNotify is owed when the request ends
  void* notifyData;
};

// The page around the plug-in: answers the services a browser table cannot answer
// alone. Without one (or for a NULL entry) they answer as a browser showing no page
// would: the stand-in's own window, no element, nothing to evaluate, no network,
// timers and asynchronous calls refused.
struct Embedder {
  NPObject* (*window)(NPP);   // borrowed; NULL: the stand-in's window
  NPObject* (*element)(NPP);  // borrowed; NULL: no element object
  void* (*nativeWindow)(NPP); // the page's HWND
  bool (*evaluate)(NPP, NPObject* scope, const NPString* script, NPVariant* result);
  uint32_t (*scheduleTimer)(NPP, uint32_t interval, bool repeat, void (*fire)(NPP, uint32_t));
  void (*unscheduleTimer)(NPP, uint32_t timer);
  bool (*asyncCall)(NPP, void (*call)(void*), void* data);
  NPError (*requestUrl)(const UrlRequest& request);
  // A stream from the plug-in into a window of the page (NPN_NewStream), its bytes
  // (NPN_Write) and its end (NPN_DestroyStream, which also ends streams to the plug-in).
  // Called with an instance, an out pointer, and a buffer for any bytes (none NULL).
  NPError (*newStream)(NPP, NPMIMEType type, const char* target, NPStream** stream);
  int32_t (*write)(NPP, NPStream* stream, int32_t length, void* buffer);
  NPError (*destroyStream)(NPP, NPStream* stream, NPReason reason);
};

// Firefox 52's user agent on Windows, the browser this stand-in answers as.
extern const char kUserAgent[];

// The table a plug-in's NP_Initialize receives: size and version of the newest SDK.
NPNetscapeFuncs* functions();

// Installs the page's answers (borrowed until replaced; NULL removes them).
void setEmbedder(const Embedder* embedder);
// The page's origin, as NPN_GetValue(NPNVdocumentOrigin) answers it (until reset);
// without one it is serialised from location.protocol and location.host.
void setOrigin(const std::string& origin);
std::string lastStatus();
// The last setvalue of `variable` (a boolean or a number), or -1 when none was made.
long lastSetValue(NPPVariable variable);

// Back to a page on https://www.kelvra.com with no faults, no request hook and zeroed
// counters (live objects and blocks stay counted, so leaks of an earlier test still show).
void reset();
Counts counts();
void setFaults(const Faults& faults);
// The last message set with setexception (kept until taken or reset).
std::string lastException();
// The message set since the last take, if any; clears it, as a browser does once it
// has thrown it into script.
bool takeException(std::string* message);
bool isLive(NPObject* object);

// The page's location.host as a string of the given bytes (NULs allowed)...
void setHost(const std::string& host);
// ... or as another value: void, null, a boolean, a number or an object.
void setHostValue(NPVariantType type);
// The page's location.protocol ("https:", "http:", "file:", ...).
void setProtocol(const std::string& protocol);

// Called, before the answer and outside the browser's lock, whenever the plug-in asks
// the page's window or location for a property (with the property's name: "location",
// "host", "protocol"), for the document's origin ("origin") or for a new object
// ("createobject"): a browser may run page script there. An empty hook does nothing.
typedef std::function<void(const std::string& request)> RequestHook;
void setRequestHook(RequestHook hook);

// A URL's scheme in lower case, or "" when it has none (a relative URL, or a path
// after a drive letter).
std::string urlScheme(const std::string& url);

// Services as a browser calls them on a plug-in's objects.
NPIdentifier identifier(const std::string& name);
NPIdentifier intIdentifier(int32_t value);
NPObject* createObject(NPP instance, NPClass* objectClass);
void retain(NPObject* object);
void release(NPObject* object);
// A string the browser owns (a memalloc copy), as page script arguments are.
NPVariant stringArgument(const std::string& text);
// Releases a variant the plug-in handed to the browser (a result, which settles it
// if it was a value the browser had handed out), or an argument made above. Not
// counted as a release by the plug-in.
void releaseValue(NPVariant* value);
bool invoke(NPObject* object, const std::string& method, const NPVariant* args,
            uint32_t argCount, NPVariant* result);

}  // namespace browser

#endif
