/*
 * Text cut to a caller's buffer. Needs no Windows call, so that CI builds it natively
 * under the address and undefined-behaviour sanitizers and fuzzes it.
 */
#ifndef NPKELVRA_LAUNCHER_TEXT_CUT_H
#define NPKELVRA_LAUNCHER_TEXT_CUT_H

#include <stddef.h>

// The text up to its NUL, cut to `size` - 1 bytes, and a NUL after it; nothing at all
// for a size of 0.
void cutText(const char* text, char* destination, size_t size);

#endif
