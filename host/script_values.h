/*
 * Script values and NPAPI values, converted as a browser converts them between page
 * script and a plug-in: strings as UTF-8 NPStrings, integral numbers as Int32 and
 * other numbers as Double, booleans, null, undefined and objects.
 *
 * An NPObject reaches script as an IDispatch whose calls go to the object's class
 * (invoke, invokeDefault, getProperty, setProperty); a script object reaches a
 * plug-in as an NPObject of the host's own class that holds the IDispatch.
 */
#ifndef KELVRA_HOST_SCRIPT_VALUES_H
#define KELVRA_HOST_SCRIPT_VALUES_H

#include <windows.h>
#include <oaidl.h>

#include "npapi.h"  // npruntime.h builds on it, as in the published SDK
#include "npruntime.h"

namespace host {

// A script value as an argument for a plug-in: strings are copied into a block of
// the browser's memalloc, objects carry one reference. Release `out` with
// browser::releaseValue. DISP_E_TYPEMISMATCH for a value script cannot hand on.
HRESULT toNPVariant(NPP instance, const VARIANT& in, NPVariant* out);

// A plug-in's result for script. Takes over `in` and releases it as a browser does
// (a string block with memfree once copied, an object's reference into the wrapper
// or back to the browser); `in` is void afterwards. `out` may be NULL when the
// caller wants no value.
HRESULT toVariant(NPP instance, NPVariant* in, VARIANT* out);

// The IDispatch through which script reaches `object`. Takes over one reference of
// `object`; the caller owns the one reference of the answer.
IDispatch* wrapObject(NPP instance, NPObject* object);
// The object behind a wrapper made by wrapObject, borrowed; NULL for another IDispatch.
NPObject* wrappedObject(IDispatch* dispatch);

}  // namespace host

#endif
