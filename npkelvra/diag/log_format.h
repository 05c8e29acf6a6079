/*
 * The log's own formatting: the time stamp and the message, written straight into the
 * line buffer. Both run on every line, where the runtime's printf family costs about
 * as much as the write itself.
 */
#ifndef NPKELVRA_DIAG_LOG_FORMAT_H
#define NPKELVRA_DIAG_LOG_FORMAT_H

#include <stdarg.h>
#include <stddef.h>

// The text formatter needs no Windows call, so that CI builds it natively under the
// address and undefined-behaviour sanitizers and fuzzes it; only the stamp takes the
// system's time record.
#if defined(_WIN32)
#include <windows.h>
#endif

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
#if defined(_WIN32)
size_t formatLogStamp(const SYSTEMTIME& time, char* out);
#endif

// The widest field the formatter pads to: a width, or an integer's precision, beyond
// the room of a line on the stack is cut to it, as the runtime's output would be cut
// by the line (a width of 2^31 pads 510 bytes, not 2 GB).
const size_t kLogFieldLimit = 510;

// The message as the Microsoft runtime's printf family formats it. The conversions
// the module's messages use are formatted here: %s (NULL shows as "(null)"), %d, %u,
// %x and %p (every hexadecimal digit of the address, upper case), with the flags '-'
// and '0' (this one for integers), a width and a precision (fields capped at
// kLogFieldLimit), and %%. A format with any other directive (%i, %X, %ld, %+d, %*d,
// %p with '0' or a precision, ...) is formatted whole by the C runtime's formatter
// instead, so that every format the compiler's format check accepts is logged as the
// runtime prints it; such formats are rare, and that path costs more and allocates.
// Every line feed is stored as CR LF. Writes at most `room` bytes at `out`, without a
// terminator, and answers the whole length: when that exceeds `room`, format again
// into that much room.
size_t formatLogText(char* out, size_t room, const char* format, va_list args)
    KELVRA_PRINTF_FORMAT(3, 0);

#endif
