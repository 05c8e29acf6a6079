// The binary layouts the module relies on, checked against whichever NPAPI headers
// the build uses (the project's own or the published SDK's).
#include <stddef.h>

#include "base/browser.h"

static_assert(sizeof(void*) == 4, "a 32-bit Windows plug-in");

static_assert(sizeof(NPError) == 2 && sizeof(NPBool) == 1 && sizeof(NPIdentifier) == 4, "");
static_assert(sizeof(NPP_t) == 8 && offsetof(NPP_t, pdata) == 0 && offsetof(NPP_t, ndata) == 4,
              "");
static_assert(sizeof(NPSavedData) == 8, "");
static_assert(sizeof(NPObject) == 8 && offsetof(NPObject, _class) == 0 &&
                  offsetof(NPObject, referenceCount) == 4, "");
static_assert(sizeof(NPString) == 8 && offsetof(NPString, UTF8Characters) == 0 &&
                  offsetof(NPString, UTF8Length) == 4, "");
static_assert(sizeof(NPVariant) == 16 && offsetof(NPVariant, type) == 0 &&
                  offsetof(NPVariant, value) == 8, "");
static_assert(sizeof(bool) == 1, "NPVariant's boolValue and NPClass results are one byte");
static_assert(NPVariantType_Bool == 2 && NPVariantType_Int32 == 3 &&
                  NPVariantType_String == 5 && NPVariantType_Object == 6, "");

static_assert(sizeof(NPClass) == 52, "");
static_assert(offsetof(NPClass, structVersion) == 0 && offsetof(NPClass, hasMethod) == 16 &&
                  offsetof(NPClass, invoke) == 20 && offsetof(NPClass, invokeDefault) == 24 &&
                  offsetof(NPClass, hasProperty) == 28 && offsetof(NPClass, getProperty) == 32 &&
                  offsetof(NPClass, construct) == 48, "");

static_assert(sizeof(NPPluginFuncs) == 84, "");
static_assert(offsetof(NPPluginFuncs, version) == 2 && offsetof(NPPluginFuncs, newp) == 4 &&
                  offsetof(NPPluginFuncs, destroy) == 8 &&
                  offsetof(NPPluginFuncs, setwindow) == 12 &&
                  offsetof(NPPluginFuncs, event) == 40 && offsetof(NPPluginFuncs, getvalue) == 52,
              "");

static_assert(offsetof(NPNetscapeFuncs, version) == 2 &&
                  offsetof(NPNetscapeFuncs, memalloc) == 36 &&
                  offsetof(NPNetscapeFuncs, memfree) == 40 &&
                  offsetof(NPNetscapeFuncs, getvalue) == 68 &&
                  offsetof(NPNetscapeFuncs, getstringidentifier) == 88 &&
                  offsetof(NPNetscapeFuncs, utf8fromidentifier) == 104 &&
                  offsetof(NPNetscapeFuncs, createobject) == 112 &&
                  offsetof(NPNetscapeFuncs, retainobject) == 116 &&
                  offsetof(NPNetscapeFuncs, releaseobject) == 120 &&
                  offsetof(NPNetscapeFuncs, getproperty) == 136 &&
                  offsetof(NPNetscapeFuncs, releasevariantvalue) == 156 &&
                  offsetof(NPNetscapeFuncs, setexception) == 160,
              "");

static_assert(NPPVpluginNameString == 1 && NPPVpluginDescriptionString == 2 &&
                  NPPVpluginNeedsXEmbed == 14 && NPPVpluginScriptableNPObject == 15 &&
                  NPNVWindowNPObject == 15,
              "");
static_assert(NP_CLASS_STRUCT_VERSION == 3, "");
