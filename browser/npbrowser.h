/*
 * The browser side of NPAPI: the services table a plug-in calls, with the ownership
 * rules a browser keeps (reference-counted objects, memalloc blocks, interned
 * identifiers, variants released by their receiver) and counters for each, plus the
 * page a plug-in sees (window -> location -> host) and switches that make services
 * fail. NPAPI services are plain C callbacks, so there is one browser per process;
 * every service is safe to call from several threads at once.
 */
#ifndef KELVRA_BROWSER_NPBROWSER_H
#define KELVRA_BROWSER_NPBROWSER_H

#include <stddef.h>

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
  long misuse;             // bad frees, dead objects, counts below zero: never a crash
};

// Services that can be made to fail.
struct Faults {
  long failAllocationsFrom;  // memalloc answers NULL from this call on (counted from arming); -1: never
  bool failCreateObject;
  bool failWindow;           // getvalue(NPNVWindowNPObject) answers an error
  bool failLocation;         // getproperty(window, "location") answers false
  bool failHost;             // getproperty(location, "host") answers false
  bool locationNotObject;    // "location" answers a string instead of an object
};

// The table a plug-in's NP_Initialize receives: size and version of the newest SDK.
NPNetscapeFuncs* functions();

// Drops the page, the faults and the counters (live objects and blocks stay counted).
void reset();
Counts counts();
Faults& faults();
std::string lastException();

// The page's location.host as a string of the given bytes (NULs allowed)...
void setHost(const std::string& host);
// ... or as another value: void, null, a boolean, a number or an object.
void setHostValue(NPVariantType type);

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
