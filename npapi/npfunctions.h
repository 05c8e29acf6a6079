/*
 * The two NPAPI function tables and the exported entry points, as the published
 * npfunctions.h declares them for 32-bit Windows.
 */
#ifndef npfunctions_h_
#define npfunctions_h_

#include "npapi.h"
#include "npruntime.h"

#ifdef XP_WIN
#include <windows.h>
#define OSCALL WINAPI
#else
#define OSCALL
#endif

typedef NPError (*NPP_NewProcPtr)(NPMIMEType pluginType, NPP instance, uint16_t mode,
                                  int16_t argc, char* argn[], char* argv[], NPSavedData* saved);
typedef NPError (*NPP_DestroyProcPtr)(NPP instance, NPSavedData** save);
typedef NPError (*NPP_SetWindowProcPtr)(NPP instance, NPWindow* window);
typedef int16_t (*NPP_HandleEventProcPtr)(NPP instance, void* event);
typedef NPError (*NPP_GetValueProcPtr)(NPP instance, NPPVariable variable, void* ret_value);
/* Entries the plug-in never fills: only their size matters here. */
typedef void* NPP_UnusedProcPtr;

typedef struct _NPPluginFuncs {
  uint16_t size;
  uint16_t version;
  NPP_NewProcPtr newp;
  NPP_DestroyProcPtr destroy;
  NPP_SetWindowProcPtr setwindow;
  NPP_UnusedProcPtr newstream;
  NPP_UnusedProcPtr destroystream;
  NPP_UnusedProcPtr asfile;
  NPP_UnusedProcPtr writeready;
  NPP_UnusedProcPtr write;
  NPP_UnusedProcPtr print;
  NPP_HandleEventProcPtr event;
  NPP_UnusedProcPtr urlnotify;
  void* javaClass;
  NPP_GetValueProcPtr getvalue;
  NPP_UnusedProcPtr setvalue;
  NPP_UnusedProcPtr gotfocus;
  NPP_UnusedProcPtr lostfocus;
  NPP_UnusedProcPtr urlredirectnotify;
  NPP_UnusedProcPtr clearsitedata;
  NPP_UnusedProcPtr getsiteswithdata;
  NPP_UnusedProcPtr didComposite;
} NPPluginFuncs;

typedef void* (*NPN_MemAllocProcPtr)(uint32_t size);
typedef void (*NPN_MemFreeProcPtr)(void* ptr);
typedef NPError (*NPN_GetValueProcPtr)(NPP instance, NPNVariable variable, void* ret_value);
typedef NPIdentifier (*NPN_GetStringIdentifierProcPtr)(const NPUTF8* name);
typedef void (*NPN_GetStringIdentifiersProcPtr)(const NPUTF8** names, int32_t nameCount,
                                                NPIdentifier* identifiers);
typedef NPIdentifier (*NPN_GetIntIdentifierProcPtr)(int32_t intid);
typedef bool (*NPN_IdentifierIsStringProcPtr)(NPIdentifier identifier);
typedef NPUTF8* (*NPN_UTF8FromIdentifierProcPtr)(NPIdentifier identifier);
typedef int32_t (*NPN_IntFromIdentifierProcPtr)(NPIdentifier identifier);
typedef NPObject* (*NPN_CreateObjectProcPtr)(NPP npp, NPClass* aClass);
typedef NPObject* (*NPN_RetainObjectProcPtr)(NPObject* obj);
typedef void (*NPN_ReleaseObjectProcPtr)(NPObject* obj);
typedef bool (*NPN_InvokeProcPtr)(NPP npp, NPObject* obj, NPIdentifier methodName,
                                  const NPVariant* args, uint32_t argCount, NPVariant* result);
typedef bool (*NPN_InvokeDefaultProcPtr)(NPP npp, NPObject* obj, const NPVariant* args,
                                         uint32_t argCount, NPVariant* result);
typedef bool (*NPN_EvaluateProcPtr)(NPP npp, NPObject* obj, NPString* script,
                                    NPVariant* result);
typedef bool (*NPN_GetPropertyProcPtr)(NPP npp, NPObject* obj, NPIdentifier propertyName,
                                       NPVariant* result);
typedef bool (*NPN_SetPropertyProcPtr)(NPP npp, NPObject* obj, NPIdentifier propertyName,
                                       const NPVariant* value);
typedef bool (*NPN_RemovePropertyProcPtr)(NPP npp, NPObject* obj, NPIdentifier propertyName);
typedef bool (*NPN_HasPropertyProcPtr)(NPP npp, NPObject* obj, NPIdentifier propertyName);
typedef bool (*NPN_HasMethodProcPtr)(NPP npp, NPObject* obj, NPIdentifier propertyName);
typedef void (*NPN_ReleaseVariantValueProcPtr)(NPVariant* variant);
typedef void (*NPN_SetExceptionProcPtr)(NPObject* obj, const NPUTF8* message);
typedef bool (*NPN_EnumerateProcPtr)(NPP npp, NPObject* obj, NPIdentifier** identifier,
                                     uint32_t* count);
typedef bool (*NPN_ConstructProcPtr)(NPP npp, NPObject* obj, const NPVariant* args,
                                     uint32_t argCount, NPVariant* result);
/* Services the plug-in never calls: only their size matters here. */
typedef void* NPN_UnusedProcPtr;

typedef struct _NPNetscapeFuncs {
  uint16_t size;
  uint16_t version;
  NPN_UnusedProcPtr geturl;
  NPN_UnusedProcPtr posturl;
  NPN_UnusedProcPtr requestread;
  NPN_UnusedProcPtr newstream;
  NPN_UnusedProcPtr write;
  NPN_UnusedProcPtr destroystream;
  NPN_UnusedProcPtr status;
  NPN_UnusedProcPtr uagent;
  NPN_MemAllocProcPtr memalloc;
  NPN_MemFreeProcPtr memfree;
  NPN_UnusedProcPtr memflush;
  NPN_UnusedProcPtr reloadplugins;
  NPN_UnusedProcPtr getJavaEnv;
  NPN_UnusedProcPtr getJavaPeer;
  NPN_UnusedProcPtr geturlnotify;
  NPN_UnusedProcPtr posturlnotify;
  NPN_GetValueProcPtr getvalue;
  NPN_UnusedProcPtr setvalue;
  NPN_UnusedProcPtr invalidaterect;
  NPN_UnusedProcPtr invalidateregion;
  NPN_UnusedProcPtr forceredraw;
  NPN_GetStringIdentifierProcPtr getstringidentifier;
  NPN_GetStringIdentifiersProcPtr getstringidentifiers;
  NPN_GetIntIdentifierProcPtr getintidentifier;
  NPN_IdentifierIsStringProcPtr identifierisstring;
  NPN_UTF8FromIdentifierProcPtr utf8fromidentifier;
  NPN_IntFromIdentifierProcPtr intfromidentifier;
  NPN_CreateObjectProcPtr createobject;
  NPN_RetainObjectProcPtr retainobject;
  NPN_ReleaseObjectProcPtr releaseobject;
  NPN_InvokeProcPtr invoke;
  NPN_InvokeDefaultProcPtr invokeDefault;
  NPN_EvaluateProcPtr evaluate;
  NPN_GetPropertyProcPtr getproperty;
  NPN_SetPropertyProcPtr setproperty;
  NPN_RemovePropertyProcPtr removeproperty;
  NPN_HasPropertyProcPtr hasproperty;
  NPN_HasMethodProcPtr hasmethod;
  NPN_ReleaseVariantValueProcPtr releasevariantvalue;
  NPN_SetExceptionProcPtr setexception;
  NPN_UnusedProcPtr pushpopupsenabledstate;
  NPN_UnusedProcPtr poppopupsenabledstate;
  NPN_EnumerateProcPtr enumerate;
  NPN_UnusedProcPtr pluginthreadasynccall;
  NPN_ConstructProcPtr construct;
  NPN_UnusedProcPtr getvalueforurl;
  NPN_UnusedProcPtr setvalueforurl;
  NPN_UnusedProcPtr getauthenticationinfo;
  NPN_UnusedProcPtr scheduletimer;
  NPN_UnusedProcPtr unscheduletimer;
  NPN_UnusedProcPtr popupcontextmenu;
  NPN_UnusedProcPtr convertpoint;
  NPN_UnusedProcPtr handleevent;
  NPN_UnusedProcPtr unfocusinstance;
  NPN_UnusedProcPtr urlredirectresponse;
  NPN_UnusedProcPtr initasyncsurface;
  NPN_UnusedProcPtr finalizeasyncsurface;
  NPN_UnusedProcPtr setcurrentasyncsurface;
} NPNetscapeFuncs;

#ifdef __cplusplus
extern "C" {
#endif
NPError OSCALL NP_GetEntryPoints(NPPluginFuncs* pFuncs);
NPError OSCALL NP_Initialize(NPNetscapeFuncs* bFuncs);
NPError OSCALL NP_Shutdown(void);
const char* NP_GetMIMEDescription(void);
#ifdef __cplusplus
}
#endif

#endif
