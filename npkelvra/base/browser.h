/*
 * The browser's function table, kept by NP_Initialize and used for every call into
 * the browser: getvalue, getstringidentifier, getproperty, releasevariantvalue,
 * releaseobject, createobject, retainobject, utf8fromidentifier, memfree,
 * setexception and memalloc.
 */
#ifndef NPKELVRA_BASE_BROWSER_H
#define NPKELVRA_BASE_BROWSER_H

#include "npapi.h"
#include "npfunctions.h"
#include "npruntime.h"

extern NPNetscapeFuncs* npnfuncs;

#endif
