/*
 * Objects across the two processes, as Firefox's plug-in channel carried them:
 *
 * - A plug-in object the page may use is exported under a number, once per object
 *   and instance, holding one reference until the page gives the number back (with
 *   the count of times it received it, so that a number sent again meanwhile stays)
 *   or the instance is destroyed (then, as in Firefox, NPClass.invalidate before the
 *   release).
 * - A page object reaches the plug-in as one NPObject per number, made by the
 *   browser's createobject, whose class asks the page; when the plug-in lets go of
 *   it, the page is told how many times it was received.
 * - Values: void, null, booleans, Int32, doubles, strings (UTF-8 of their exact
 *   length; for the plug-in a memalloc copy with a NUL after it), objects by number.
 */
#ifndef KELVRA_HOST_PLUGIN_PROCESS_BRIDGE_H
#define KELVRA_HOST_PLUGIN_PROCESS_BRIDGE_H

#include <string>

#include "channel.h"
#include "npapi.h"
#include "npruntime.h"

namespace host {

// The channel the page objects ask through (NULL: the page is gone, calls fail).
void setPage(Channel* channel);

// A value for the page; a plug-in object in it is exported for `instance`.
void writeValue(wire::Writer& out, NPP instance, const NPVariant& value);
// A value from the page as the plug-in receives it, owned by the receiver (release
// it with releasevariantvalue).
void readValue(wire::Reader& in, NPP instance, NPVariant* value);
void writeIdentifier(wire::Writer& out, NPIdentifier name);
NPIdentifier readIdentifier(wire::Reader& in);
// Asks the page (the time it takes is the script's): its answer is a flag and, when
// set, a value for the plug-in, which lands in `result`. False when the flag is not
// set or the page is gone.
bool askPage(const wire::Writer& request, NPP instance, NPVariant* result);
// The page object of a number, retained for the caller; NULL for none.
NPObject* pageObject(NPP instance, uint32_t number);

// A value the plug-in handed over, released once the answer that carries it is sent:
// a page object in it must not be given back to the page before the page has read it.
void releaseAfterAnswer(const NPVariant& value);
// After each answer: the values held for it are released.
void answered();

// An exported plug-in object (not retained), NULL when the number is not (or no
// longer) one, and the instance it was exported for.
NPObject* exportedObject(uint32_t number, NPP* instance);
// The page gave a number back, received `count` times.
void releaseExport(uint32_t number, uint32_t count);
// Every object exported for the instance: invalidated, then released.
void forgetExports(NPP instance);

}  // namespace host

#endif
