/*
 * The part of the Netscape Plug-in API that this plug-in uses, laid out as the
 * published headers lay it out for 32-bit Windows. Names and values follow the
 * published npapi.h so that the plug-in compiles unchanged against either.
 */
#ifndef npapi_h_
#define npapi_h_

#include "nptypes.h"

#if defined(_WIN32) && !defined(XP_WIN)
#define XP_WIN 1
#endif

#define NP_VERSION_MAJOR 0
#define NP_VERSION_MINOR 29

typedef unsigned char NPBool;
typedef int16_t NPError;
typedef int16_t NPReason;
typedef char* NPMIMEType;
typedef void* NPMenu;

typedef enum {
  NPCoordinateSpacePlugin = 1,
  NPCoordinateSpaceWindow,
  NPCoordinateSpaceFlippedWindow,
  NPCoordinateSpaceScreen,
  NPCoordinateSpaceFlippedScreen
} NPCoordinateSpace;

typedef enum {
  NPFocusNext = 0,
  NPFocusPrevious = 1
} NPFocusDirection;

typedef struct _NPSize {
  int32_t width;
  int32_t height;
} NPSize;

typedef enum {
  NPImageFormatBGRA32 = 0x1,
  NPImageFormatBGRX32 = 0x2
} NPImageFormat;

/* Only pointers to it cross this interface here. */
typedef struct _NPAsyncSurface NPAsyncSurface;

typedef struct _NPP {
  void* pdata; /* plug-in private data */
  void* ndata; /* browser private data */
} NPP_t;
typedef NPP_t* NPP;

typedef struct _NPSavedData {
  int32_t len;
  void* buf;
} NPSavedData;

typedef struct _NPStream {
  void* pdata; /* plug-in private data */
  void* ndata; /* browser private data */
  const char* url;
  uint32_t end;
  uint32_t lastmodified;
  void* notifyData;
  const char* headers; /* response headers, each line ending in \n; NULL for file: */
} NPStream;

typedef struct _NPByteRange {
  int32_t offset;
  uint32_t length;
  struct _NPByteRange* next;
} NPByteRange;

typedef struct _NPRect {
  uint16_t top;
  uint16_t left;
  uint16_t bottom;
  uint16_t right;
} NPRect;

typedef enum {
  NPWindowTypeWindow = 1,
  NPWindowTypeDrawable
} NPWindowType;

#ifdef XP_WIN
typedef struct HRGN__* NPRegion;
#else
typedef void* NPRegion;
#endif

typedef struct _NPWindow {
  void* window;
  int32_t x;
  int32_t y;
  uint32_t width;
  uint32_t height;
  NPRect clipRect;
  NPWindowType type;
} NPWindow;

typedef enum {
  NPPVpluginNameString = 1,
  NPPVpluginDescriptionString = 2,
  NPPVpluginWindowBool = 3,
  NPPVpluginTransparentBool = 4,
  NPPVjavaClass = 5,
  NPPVpluginWindowSize = 6,
  NPPVpluginTimerInterval = 7,
  NPPVpluginScriptableInstance = 10,
  NPPVpluginScriptableIID = 11,
  NPPVjavascriptPushCallerBool = 12,
  NPPVpluginKeepLibraryInMemory = 13,
  NPPVpluginNeedsXEmbed = 14,
  NPPVpluginScriptableNPObject = 15,
  NPPVformValue = 16,
  NPPVpluginUrlRequestsDisplayedBool = 17,
  NPPVpluginWantsAllNetworkStreams = 18,
  NPPVpluginNativeAccessibleAtkPlugId = 19,
  NPPVpluginCancelSrcStream = 20,
  NPPVsupportsAdvancedKeyHandling = 21,
  NPPVpluginUsesDOMForCursorBool = 22,
  NPPVpluginDrawingModel = 1000,
  NPPVpluginIsPlayingAudio = 4000
} NPPVariable;

typedef enum {
  NPNVxDisplay = 1,
  NPNVxtAppContext = 2,
  NPNVnetscapeWindow = 3,
  NPNVjavascriptEnabledBool = 4,
  NPNVasdEnabledBool = 5,
  NPNVisOfflineBool = 6,
  NPNVserviceManager = 10,
  NPNVDOMElement = 11,
  NPNVDOMWindow = 12,
  NPNVToolkit = 13,
  NPNVSupportsXEmbedBool = 14,
  NPNVWindowNPObject = 15,
  NPNVPluginElementNPObject = 16,
  NPNVSupportsWindowless = 17,
  NPNVprivateModeBool = 18,
  NPNVsupportsAdvancedKeyHandling = 21,
  NPNVdocumentOrigin = 22,
  NPNVCSSZoomFactor = 23,
  NPNVpluginDrawingModel = 1000,
#if defined(XP_MACOSX)
  NPNVcontentsScaleFactor = 1001,
#endif
  NPNVsupportsAsyncBitmapSurfaceBool = 2007,
  NPNVsupportsAsyncWindowsDXGISurfaceBool = 2008,
  NPNVmuteAudioBool = 4000
} NPNVariable;

typedef enum {
  NPNURLVCookie = 501,
  NPNURLVProxy
} NPNURLVariable;

#define NPERR_BASE 0
#define NPERR_NO_ERROR (NPERR_BASE + 0)
#define NPERR_GENERIC_ERROR (NPERR_BASE + 1)
#define NPERR_INVALID_INSTANCE_ERROR (NPERR_BASE + 2)
#define NPERR_INVALID_FUNCTABLE_ERROR (NPERR_BASE + 3)
#define NPERR_MODULE_LOAD_FAILED_ERROR (NPERR_BASE + 4)
#define NPERR_OUT_OF_MEMORY_ERROR (NPERR_BASE + 5)
#define NPERR_INVALID_PLUGIN_ERROR (NPERR_BASE + 6)
#define NPERR_INVALID_PLUGIN_DIR_ERROR (NPERR_BASE + 7)
#define NPERR_INCOMPATIBLE_VERSION_ERROR (NPERR_BASE + 8)
#define NPERR_INVALID_PARAM (NPERR_BASE + 9)
#define NPERR_INVALID_URL (NPERR_BASE + 10)
#define NPERR_FILE_NOT_FOUND (NPERR_BASE + 11)
#define NPERR_NO_DATA (NPERR_BASE + 12)
#define NPERR_STREAM_NOT_SEEKABLE (NPERR_BASE + 13)

#define NPRES_BASE 0
#define NPRES_DONE (NPRES_BASE + 0)
#define NPRES_NETWORK_ERR (NPRES_BASE + 1)
#define NPRES_USER_BREAK (NPRES_BASE + 2)

#define NP_NORMAL 1
#define NP_SEEK 2
#define NP_ASFILE 3
#define NP_ASFILEONLY 4

#define NP_EMBED 1
#define NP_FULL 2

#ifdef __cplusplus
extern "C" {
#endif

/* The plug-in's callbacks that this plug-in provides, declared as the published npapi.h
 * declares them, so that their definitions are checked against these signatures. */
NPError NPP_New(NPMIMEType pluginType, NPP instance, uint16_t mode, int16_t argc, char* argn[],
                char* argv[], NPSavedData* saved);
NPError NPP_Destroy(NPP instance, NPSavedData** save);
NPError NPP_SetWindow(NPP instance, NPWindow* window);
int16_t NPP_HandleEvent(NPP instance, void* event);
NPError NPP_GetValue(NPP instance, NPPVariable variable, void* value);

#ifdef __cplusplus
}
#endif

#endif
