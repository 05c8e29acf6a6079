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
  long exceptions;         // setexception calls
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
};

// The table a plug-in's NP_Initialize receives: size and version of the newest SDK.
NPNetscapeFuncs* functions();

// Back to a page on https://www.kelvra.com with no faults, no request hook and zeroed
// counters (live objects and blocks stay counted, so leaks of an earlier test still show).
void reset();
Counts counts();
void setFaults(const Faults& faults);
std::string lastException();
bool isLive(NPObject* object);

// The page's location.host as a string of the given bytes (NULs allowed)...
void setHost(const std::string& host);
// ... or as another value: void, null, a boolean, a number or an object.
void setHostValue(NPVariantType type);
// The page's location.protocol ("https:", "http:", "file:", ...).
void setProtocol(const std::string& protocol);

// Called, before the answer and outside the browser's lock, whenever the plug-in asks
// the page's window or location for a property (with the property's name: "location",
// "host", "protocol") or asks for a new object ("createobject"): a browser may run page
// script there. An empty hook does nothing.
typedef std::function<void(const std::string& request)> RequestHook;
void setRequestHook(RequestHook hook);

// Services as a browser calls them on a plug-in's objects.
NPIdentifier identifier(const std::string& name);
NPIdentifier intIdentifier(int32_t value);
NPObject* createObject(NPP instance, NPClass* objectClass);
void retain(NPObject* object);
void release(NPObject* object);
// A string the browser owns (a memalloc copy), as page script arguments are.
NPVariant stringArgument(const std::string& text);
// Releases a variant the plug-in handed to the browser (a result), or an argument
// made above. Not counted as a release by the plug-in.
void releaseValue(NPVariant* value);
bool invoke(NPObject* object, const std::string& method, const NPVariant* args,
            uint32_t argCount, NPVariant* result);

}  // namespace browser

#endif
