/*
 * The module's session with the browser: the browser's function table (declared in
 * base/browser.h) and the COM initialisation of the thread that called NP_Initialize.
 */
#ifndef NPKELVRA_BASE_SESSION_H
#define NPKELVRA_BASE_SESSION_H

void ensureComInitialized();
void releaseCom();
bool isComInitialized();
// Whether the module holds COM and the calling thread is the one it initialised.
bool holdsComOnThisThread();

#endif
