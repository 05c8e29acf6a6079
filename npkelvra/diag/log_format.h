/*
 * The log's own formatting: the time stamp and the message, written straight into the
 * line buffer. Both run on every line, where the runtime's printf family costs about
 * as much as the write itself.
 */
#ifndef NPKELVRA_DIAG_LOG_FORMAT_H
#define NPKELVRA_DIAG_LOG_FORMAT_H

#include <windows.h>
#include <stdarg.h>
#include <stddef.h>

// The module formats with the Microsoft runtime's rules on every compiler. clang
// knows no ms_printf (and ignores it), so it checks the arguments as printf's.
#if defined(__clang__)
#define KELVRA_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#elif defined(__GNUC__)
#define KELVRA_PRINTF_FORMAT(fmt, args) __attribute__((format(ms_printf, fmt, args)))
#else
#define KELVRA_PRINTF_FORMAT(fmt, args)
#endif

// "MM-DD-YYYY HH:MM:SS " (month, day, year, 24-hour time, one trailing blank) into `out`,
// which holds kLogStampChars; answers the length written.
const size_t kLogStampChars = 24;
size_t formatLogStamp(const SYSTEMTIME& time, char* out);

// The message as the Microsoft runtime's printf family formats it, for the conversions
// the module's messages use: %s (NULL shows as "(null)"), %d, %u, %x and %p (eight
// upper-case hexadecimal digits), with the flags '-' and '0' (this one for integers),
// a width and a precision, and %%. A directive outside that set is written as it
// stands, with the rest of the format, and no further argument is read.
// Every line feed is stored as CR LF. Writes at most `room` bytes at `out`, without a
// terminator, and answers the whole length: when that exceeds `room`, format again
// into that much room.
size_t formatLogText(char* out, size_t room, const char* format, va_list args)
    KELVRA_PRINTF_FORMAT(3, 0);

#endif
