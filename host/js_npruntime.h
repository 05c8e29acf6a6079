/*
 * Page script and a plug-in's objects, joined as Firefox's NPAPI runtime joins them:
 *
 * - An NPObject reaches script as one wrapper per object, a callable object (typeof
 *   "function") whose members go to the object's class: a name the class has as a
 *   property reads through getProperty (a name that is a method too reads as a member
 *   object that calls the method and converts to the property's value), a method
 *   reads as a function cached per object and name, `in` asks hasProperty and
 *   hasMethod, assignment setProperty, `delete` removeProperty, own keys enumerate,
 *   a call invokeDefault and `new` construct. Names that are array indexes go as
 *   integer identifiers. A name the object does not have goes on along the
 *   wrapper's prototype chain.
 * - A script object reaches a plug-in as one NPObject per object, of a class whose
 *   members reach the script object; handed back it is the script object itself.
 * - Values: strings as UTF-8 NPStrings of their exact length (a NUL after it),
 *   numbers as Int32 when they are 32-bit integers and not -0, else as Double.
 * - A plug-in's exception text is thrown as a string; a member that answers false
 *   without one throws Firefox's Error ("Error calling method on NPObject!", ...).
 * - An embedding's element is a callable object: the plug-in's scriptable object
 *   goes into its prototype chain, between the element and the element's prototype.
 *   Lookups that reach it through an element from the DOM's own code pass it by.
 *
 * One page runs at a time: the classes serve the one context installed.
 */
#ifndef KELVRA_HOST_JS_NPRUNTIME_H
#define KELVRA_HOST_JS_NPRUNTIME_H

#include <functional>

#include "npapi.h"  // npruntime.h builds on it, as in the published SDK
#include "npruntime.h"
#include "quickjs.h"

namespace host {

// Sets up the classes in `ctx`; the calling thread becomes the script thread (a
// plug-in reaches script objects from there only, as in Firefox). An exception of
// script that a plug-in called (NPN_Invoke, NPN_GetProperty, ...) goes to
// `scriptError`, and the plug-in's call answers false. Adds `element(prototype)`,
// which makes an embedding's element, and `domDepth(buffer)`, through which the page
// runtime tells while the DOM's own code runs (an Int32Array's buffer: its first
// element above 0), to `hostObject`.
bool installNPRuntime(JSContext* ctx, JSValueConst hostObject,
                      const std::function<void(JSValueConst exception)>& scriptError);
// Before the context goes, as a browser does when a page closes: the script objects
// that plug-ins hold let go of them (the plug-ins' calls on them answer false), and the
// classes let go of their own values.
void invalidateScriptObjects();
// Gives back the references of the wrappers that were collected; called where no
// script runs, since giving one back may deallocate a plug-in's object.
void releaseCollectedWrappers();
// After the context is gone.
void uninstallNPRuntime();
bool onScriptThread();

// A script value as an argument for a plug-in: a string is copied into a block of
// the browser's memalloc, an object carries one reference. Release `out` with
// browser::releaseValue. False for a value that cannot cross (a symbol).
bool toNPVariant(JSContext* ctx, NPP instance, JSValueConst value, NPVariant* out);
// A plug-in's result for script. Takes over `in` and releases it as a browser does
// (a string block freed once copied, an object's reference into the wrapper);
// `in` is void afterwards.
JSValue toScriptValue(JSContext* ctx, NPP instance, NPVariant* in);
// The wrapper of `object`, the same one for as long as it lives; takes over one
// reference of `object`.
JSValue wrapNPObject(JSContext* ctx, NPP instance, NPObject* object);
// The NPObject behind a wrapper (borrowed), or NULL.
NPObject* wrappedNPObject(JSValueConst value);
// The NPObject standing for a script object, with one reference for the caller; a
// wrapper's own object for a wrapper. NULL when out of memory.
NPObject* scriptNPObject(JSContext* ctx, NPP instance, JSValueConst value);

// The plug-in's scriptable object (a wrapper) joins its element's prototype chain,
// and leaves it again when its instance goes.
void attachScriptable(JSContext* ctx, JSValueConst element, JSValueConst scriptable);
void detachScriptable(JSContext* ctx, JSValueConst element);
// After NPP_Destroy, as Firefox does: the wrappers of the instance's objects let go
// of them (script's calls on them throw "Bad NPObject as private data!"), and the
// script objects made for the instance let go of their script objects.
void forgetInstance(NPP instance);

}  // namespace host

#endif
