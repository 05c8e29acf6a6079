/*
 * Script values and NPAPI values, converted as Firefox converts them between page
 * script and a plug-in: strings as UTF-8 NPStrings (NUL-terminated after their
 * length), integral numbers as Int32 and other numbers (and -0) as Double, booleans,
 * null, undefined and objects.
 *
 * An NPObject reaches script as one IDispatchEx per object whose members go to the
 * object's class (hasMethod, invoke, invokeDefault, hasProperty, getProperty,
 * setProperty, removeProperty, enumerate, construct); a script object reaches a
 * plug-in as one NPObject per object, of a class whose members reach the script
 * object. Identity holds both ways.
 */
#ifndef KELVRA_HOST_SCRIPT_VALUES_H
#define KELVRA_HOST_SCRIPT_VALUES_H

#include <oaidl.h>
#include <windows.h>

#include <string>

#include "npapi.h"  // npruntime.h builds on it, as in the published SDK
#include "npruntime.h"

namespace host {

// Script functions of the running engine that native code cannot make itself. All
// are called with DISPATCH_METHOD on DISPID_VALUE:
//   method(target, name): a script function calling `name` on `target` (what reading
//     a method of a plug-in object gives, so that typeof is "function");
//   isFunction(value): whether `value` is callable.
struct ScriptHelpers {
  IDispatch* method;
  IDispatch* isFunction;
};

// The error number of the exceptions a plug-in sets with NPN_SetException. Firefox
// throws the message string itself; JScript makes an Error of every exception that
// comes from outside the engine, so the host's prelude lets such an Error convert
// to its message (`e == "message"`, String(e), "" + e hold as in Firefox; typeof e
// is "object" where Firefox has "string").
const HRESULT kPluginExceptionNumber = static_cast<HRESULT>(0x80044E50);
// Borrowed until replaced; NULL while no engine runs. The calling thread becomes the
// script thread.
void setScriptHelpers(const ScriptHelpers* helpers);
// Whether the caller runs on the script thread: as in Firefox, a plug-in reaches
// script objects only from there (elsewhere the calls answer false).
bool onScriptThread();

// A script value as an argument for a plug-in: strings are copied into a block of
// the browser's memalloc, objects carry one reference. Release `out` with
// browser::releaseValue. DISP_E_TYPEMISMATCH for a value script cannot hand on.
HRESULT toNPVariant(NPP instance, const VARIANT& in, NPVariant* out);

// A plug-in's result for script. Takes over `in` and releases it as a browser does
// (a string block with memfree once copied, an object's reference into the wrapper
// or back to the browser); `in` is void afterwards. `out` may be NULL when the
// caller wants no value.
HRESULT toVariant(NPP instance, NPVariant* in, VARIANT* out);

// The IDispatch through which script reaches `object`: the same one for as long as
// it lives. Takes over one reference of `object`; the caller owns one reference of
// the answer.
IDispatch* wrapObject(NPP instance, NPObject* object);
// The object behind a wrapper made by wrapObject, borrowed; NULL for another IDispatch.
NPObject* wrappedObject(IDispatch* dispatch);

// What script sees of an embedding's element, made from `element` (a script object
// with its attributes and DOM members) when the parser reaches it: one object from
// then on, so that the plug-in's element object (NPNVPluginElementNPObject) is the
// element script sees. The caller owns one reference; NULL when out of memory.
IDispatch* elementObject(IDispatch* element);
// The instance's scriptable object (a wrapper of wrapObject) joins its element, as
// Firefox puts it into the element's prototype chain: a name the plug-in has reaches
// the plug-in, any other the element.
void attachScriptable(IDispatch* elementObject, IDispatch* scriptable);

// The NPObject standing for a script object (one per object), with one reference
// for the caller; a wrapper gives its own object back. NULL when out of memory.
NPObject* scriptObject(NPP instance, IDispatch* dispatch);

// Ends every crossing between script and plug-ins, as a browser does when a page
// closes: wrappers give their NPObject references back (script calls on them fail
// from then on) and script objects held by a plug-in let go of the script object
// (the plug-in still releases its NPObject).
void invalidateAll();

// Frees the texts of an exception a call filled in.
void freeExceptionTexts(EXCEPINFO* exception);

// The text of a script value, as String(value) gives it for the values this host
// meets (strings, numbers, booleans, null, undefined; objects by their value).
std::wstring scriptText(const VARIANT& value);

}  // namespace host

#endif
