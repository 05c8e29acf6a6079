#include "diag/log_format.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

// Where the formatted text goes: the bytes that fit are stored, all are counted.
struct Output {
  char* out;
  size_t room;
  size_t length;

  void store(char c) {
    if (length < room) out[length] = c;
    ++length;
  }
  // Text up to `most` bytes, its first NUL or `stop`, whichever comes first; answers
  // where it stopped. Line feeds, from the format or an argument, are stored as CR LF.
  const char* text(const char* text, size_t most, char stop) {
    // In locals: a store through `out` could otherwise alias the members.
    char* const to = out;
    const size_t limit = room;
    size_t at = length;
    for (char c; most != 0 && (c = *text) != '\0' && c != stop; ++text, --most) {
      if (c == '\n') {
        if (at < limit) to[at] = '\r';
        ++at;
      }
      if (at < limit) to[at] = c;
      ++at;
    }
    length = at;
    return text;
  }
  // `count` bytes as they are, NULs too, but line feeds as CR LF.
  void bytes(const char* text, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      if (text[i] == '\n') store('\r');
      store(text[i]);
    }
  }
  void repeat(char c, size_t count) {
    char* const to = out;
    const size_t limit = room;
    size_t at = length;
    for (; count != 0; --count, ++at) {
      if (at < limit) to[at] = c;
    }
    length = at;
  }
};

// One directive's flags, width and precision.
struct Directive {
  bool left;       // '-'
  bool zeros;      // '0'
  size_t width;
  bool precise;    // a precision was given
  size_t precision;
};

// Widths and precisions stop growing here rather than overflow; a text's precision
// bounds what is read, so it is not cut to kLogFieldLimit.
const size_t kLargestField = 0x7FFFFFF;

size_t readNumber(const char*& cursor) {
  size_t value = 0;
  while (*cursor >= '0' && *cursor <= '9') {
    if (value < kLargestField) value = value * 10 + static_cast<size_t>(*cursor - '0');
    ++cursor;
  }
  return value;
}

void text(Output& output, const Directive& d, const char* text) {
  if (text == NULL) text = "(null)";
  // Bounded by the precision: the text need not be terminated within it.
  const size_t most = d.precise ? d.precision : SIZE_MAX;
  if (d.width == 0) {
    output.text(text, most, '\0');
    return;
  }
  size_t count = 0;
  while (count < most && text[count] != '\0') ++count;
  size_t pad = d.width > count ? d.width - count : 0;
  if (!d.left) output.repeat(' ', pad);
  output.text(text, count, '\0');
  if (d.left) output.repeat(' ', pad);
}

// The digits of `value` into the bytes just before `end`; answers how many.
size_t decimalDigits(uint32_t value, char* end) {
  size_t count = 0;
  do {
    *--end = static_cast<char>('0' + value % 10);
    value /= 10;
    ++count;
  } while (value != 0);
  return count;
}

size_t hexDigits(uintptr_t value, char* end, const char* digitSet) {
  size_t count = 0;
  do {
    *--end = digitSet[value & 0xF];
    value >>= 4;
    ++count;
  } while (value != 0);
  return count;
}

// `digits` holds `count` digits; a precision of 0 prints none for the value 0.
void integer(Output& output, const Directive& d, const char* digits, size_t count, bool zero,
             bool negative) {
  if (zero && d.precise && d.precision == 0) count = 0;
  const size_t precision = d.precision < kLogFieldLimit ? d.precision : kLogFieldLimit;
  size_t zeros = d.precise && precision > count ? precision - count : 0;
  size_t body = (negative ? 1 : 0) + zeros + count;
  // The '0' flag pads to the width with zeros after the sign; the Microsoft runtime
  // keeps it when a precision is given too.
  if (d.zeros && !d.left && d.width > body) {
    zeros += d.width - body;
    body = d.width;
  }
  size_t pad = d.width > body ? d.width - body : 0;
  if (!d.left) output.repeat(' ', pad);
  if (negative) output.store('-');
  output.repeat('0', zeros);
  for (size_t i = 0; i < count; ++i) output.store(digits[i]);
  if (d.left) output.repeat(' ', pad);
}

// The whole message by the C runtime's formatter (the Microsoft one on Windows); an
// empty message when it refuses the format or no block for its text is to be had.
void runtimeText(Output& output, const char* format, va_list args) {
  va_list counting;
  va_copy(counting, args);
#if defined(_WIN32)
  const int length = _vscprintf(format, counting);
#else
  const int length = vsnprintf(NULL, 0, format, counting);
#endif
  va_end(counting);
  if (length < 0) return;
  const size_t size = static_cast<size_t>(length) + 1;
  char* text = static_cast<char*>(malloc(size));
  if (text == NULL) return;
#if defined(_WIN32)
  _vsnprintf(text, size, format, args);
#else
  vsnprintf(text, size, format, args);
#endif
  output.bytes(text, static_cast<size_t>(length));
  free(text);
}

}  // namespace

#if defined(_WIN32)
namespace {

char* twoDigits(char* out, unsigned value) {
  *out++ = static_cast<char>('0' + value / 10 % 10);
  *out++ = static_cast<char>('0' + value % 10);
  return out;
}

}  // namespace

size_t formatLogStamp(const SYSTEMTIME& time, char* out) {
  char* end = out;
  end = twoDigits(end, time.wMonth);
  *end++ = '-';
  end = twoDigits(end, time.wDay);
  *end++ = '-';
  char year[5];
  int digits = 0;
  unsigned value = time.wYear;
  do {
    year[digits++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (digits > 0) *end++ = year[--digits];
  *end++ = ' ';
  end = twoDigits(end, time.wHour);
  *end++ = ':';
  end = twoDigits(end, time.wMinute);
  *end++ = ':';
  end = twoDigits(end, time.wSecond);
  *end++ = ' ';
  return static_cast<size_t>(end - out);
}
#endif

size_t formatLogText(char* out, size_t room, const char* format, va_list args) {
  static const char lower[] = "0123456789abcdef";
  static const char upper[] = "0123456789ABCDEF";
  Output output = {out, room, 0};
  // For the runtime, should a directive outside the set come after some arguments
  // have been read.
  va_list whole;
  va_copy(whole, args);
  const char* cursor = format;
  for (;;) {
    cursor = output.text(cursor, SIZE_MAX, '%');
    if (*cursor == '\0') break;

    ++cursor;
    if (*cursor == '%') {
      output.store('%');
      ++cursor;
      continue;
    }
    Directive d = {false, false, 0, false, 0};
    for (;; ++cursor) {
      if (*cursor == '-') {
        d.left = true;
      } else if (*cursor == '0') {
        d.zeros = true;
      } else {
        break;
      }
    }
    d.width = readNumber(cursor);
    if (d.width > kLogFieldLimit) d.width = kLogFieldLimit;
    if (*cursor == '.') {
      ++cursor;
      d.precise = true;
      d.precision = readNumber(cursor);
    }
    // Ten decimal digits of 32 bits, or every hexadecimal digit of an address.
    char digits[2 * sizeof(uintptr_t) > 10 ? 2 * sizeof(uintptr_t) : 10];
    char* end = digits + sizeof digits;
    const char conversion = *cursor++;
    if (conversion == 's' && !d.zeros) {
      text(output, d, va_arg(args, const char*));
    } else if (conversion == 'd') {
      const int value = va_arg(args, int);
      const uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
      size_t count = decimalDigits(magnitude, end);
      integer(output, d, end - count, count, value == 0, value < 0);
    } else if (conversion == 'u') {
      const uint32_t value = va_arg(args, unsigned int);
      size_t count = decimalDigits(value, end);
      integer(output, d, end - count, count, value == 0, false);
    } else if (conversion == 'x') {
      const uint32_t value = va_arg(args, unsigned int);
      size_t count = hexDigits(value, end, lower);
      integer(output, d, end - count, count, value == 0, false);
    } else if (conversion == 'p' && !d.zeros && !d.precise) {
      // As the Microsoft runtime prints a pointer: every hexadecimal digit, upper case.
      const uintptr_t value = reinterpret_cast<uintptr_t>(va_arg(args, void*));
      d.precise = true;
      d.precision = 2 * sizeof(void*);
      size_t count = hexDigits(value, end, upper);
      integer(output, d, end - count, count, value == 0, false);
    } else {
      output.length = 0;
      runtimeText(output, format, whole);
      break;
    }
  }
  va_end(whole);
  return output.length;
}
