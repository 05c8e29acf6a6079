/*
 * The module's session with the browser, from an accepted NP_Initialize to its
 * NP_Shutdown: the browser's function table (npnfuncs, base/browser.h), the thread that
 * began it, and the COM initialisation of that thread. An NP_Shutdown that comes while
 * a call of the browser's into the module is under way on that thread (a script call,
 * NPP_New, NPP_Destroy: each calls out, and the browser or a launcher may shut the
 * module down from there) leaves the table and COM up until the outermost such call
 * has returned.
 */
#ifndef NPKELVRA_BASE_SESSION_H
#define NPKELVRA_BASE_SESSION_H

#include "npapi.h"
#include "npfunctions.h"

// Keeps the table and initialises COM on the calling thread, once.
void beginSession(NPNetscapeFuncs* table);
// Whether the calling thread began the session under way: the browser's thread, the
// only one on which a call may reach the table or the registry. A call named `call` on
// any other thread while a session is under way is the browser's mistake: it is logged,
// and the caller refuses it before touching either.
bool onSessionThread(const char* call);
// Whether the call may make something new in the session: onSessionThread(), and no
// NP_Shutdown waiting for the call under way to return.
bool sessionOpen(const char* call);
// Ends the session (once no call is under way): the table is cleared, and COM is given
// back when this thread holds it ("CoUninitialize Ok" in the log). Answers whether it
// had to wait for a call under way.
bool endSession();

// A browser call into the module, once onSessionThread() has answered true, for the
// length of which the session stays up.
class SessionCall {
public:
  SessionCall();
  ~SessionCall();
  SessionCall(const SessionCall&) = delete;
  SessionCall& operator=(const SessionCall&) = delete;
};

bool isComInitialized();
// Whether the module holds COM and the calling thread is the one it initialised.
bool holdsComOnThisThread();

#endif
