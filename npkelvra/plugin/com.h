/* The module's COM initialisation of the thread that called NP_Initialize. */
#ifndef NPKELVRA_PLUGIN_COM_H
#define NPKELVRA_PLUGIN_COM_H

void ensureComInitialized();
void releaseCom();
bool isComInitialized();
// Whether the module holds COM and the calling thread is the one it initialised.
bool holdsComOnThisThread();

#endif
