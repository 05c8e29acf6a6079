#include "diag/log_format.h"

#include <stdint.h>
#include <string.h>

namespace {

char* twoDigits(char* out, unsigned value) {
  *out++ = static_cast<char>('0' + value / 10 % 10);
  *out++ = static_cast<char>('0' + value % 10);
  return out;
}

// Where the formatted text goes: the bytes that fit are stored, all are counted.
struct Output {
  char* out;
  size_t room;
  size_t length;

  void raw(const char* text, size_t count) {
    if (length < room) memcpy(out + length, text, count < room - length ? count : room - length);
    length += count;
  }
  void repeat(char c, size_t count) {
    if (length < room) memset(out + length, c, count < room - length ? count : room - length);
    length += count;
  }
  // Text that may hold line feeds, each stored as CR LF.
  void text(const char* text, size_t count) {
    while (count != 0) {
      const char* feed = static_cast<const char*>(memchr(text, '\n', count));
      if (feed == NULL) {
        raw(text, count);
        return;
      }
      size_t before = static_cast<size_t>(feed - text);
      raw(text, before);
      raw("\r\n", 2);
      text = feed + 1;
      count -= before + 1;
    }
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

// Widths and precisions stop growing here rather than overflow; the module's own
// formats stay far below.
const size_t kLargestField = 0x7FFFFFF;

size_t readNumber(const char*& cursor) {
  size_t value = 0;
  while (*cursor >= '0' && *cursor <= '9') {
    if (value < kLargestField) value = value * 10 + static_cast<size_t>(*cursor - '0');
    ++cursor;
  }
  return value;
}

void padded(Output& output, const Directive& d, const char* body, size_t count) {
  size_t pad = d.width > count ? d.width - count : 0;
  if (!d.left) output.repeat(' ', pad);
  output.text(body, count);
  if (d.left) output.repeat(' ', pad);
}

void integer(Output& output, const Directive& d, uint32_t value, bool negative, unsigned base,
             const char* digitSet) {
  char digits[12];
  size_t count = 0;
  // A precision of 0 prints no digit for the value 0.
  if (value != 0 || !d.precise || d.precision != 0) {
    do {
      digits[sizeof digits - ++count] = digitSet[value % base];
      value /= base;
    } while (value != 0);
  }
  size_t zeros = d.precise && d.precision > count ? d.precision - count : 0;
  size_t body = (negative ? 1 : 0) + zeros + count;
  // The '0' flag pads to the width with zeros after the sign; the Microsoft runtime
  // keeps it when a precision is given too.
  if (d.zeros && !d.left && d.width > body) {
    zeros += d.width - body;
    body = d.width;
  }
  size_t pad = d.width > body ? d.width - body : 0;
  if (!d.left) output.repeat(' ', pad);
  if (negative) output.raw("-", 1);
  output.repeat('0', zeros);
  output.raw(digits + sizeof digits - count, count);
  if (d.left) output.repeat(' ', pad);
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

size_t formatLogText(char* out, size_t room, const char* format, va_list args) {
  static const char lower[] = "0123456789abcdef";
  static const char upper[] = "0123456789ABCDEF";
  Output output = {out, room, 0};
  const char* cursor = format;
  for (;;) {
    const char* literal = cursor;
    while (*cursor != '\0' && *cursor != '%') ++cursor;
    output.text(literal, static_cast<size_t>(cursor - literal));
    if (*cursor == '\0') break;

    const char* start = cursor++;
    if (*cursor == '%') {
      output.raw("%", 1);
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
    if (*cursor == '.') {
      ++cursor;
      d.precise = true;
      d.precision = readNumber(cursor);
    }
    const char conversion = *cursor++;
    if (conversion == 's' && !d.zeros) {
      const char* text = va_arg(args, const char*);
      if (text == NULL) text = "(null)";
      // Bounded by the precision: the text need not be terminated within it.
      size_t count = 0;
      while ((!d.precise || count < d.precision) && text[count] != '\0') ++count;
      padded(output, d, text, count);
    } else if (conversion == 'd') {
      const int value = va_arg(args, int);
      const uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
      integer(output, d, magnitude, value < 0, 10, lower);
    } else if (conversion == 'u') {
      integer(output, d, va_arg(args, unsigned int), false, 10, lower);
    } else if (conversion == 'x') {
      integer(output, d, va_arg(args, unsigned int), false, 16, lower);
    } else if (conversion == 'p' && !d.zeros && !d.precise) {
      static_assert(sizeof(void*) == sizeof(uint32_t), "a 32-bit module");
      // As the Microsoft runtime prints a pointer: every hexadecimal digit, upper case.
      d.precise = true;
      d.precision = 2 * sizeof(void*);
      integer(output, d, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(va_arg(args, void*))),
              false, 16, upper);
    } else {
      output.text(start, strlen(start));
      break;
    }
  }
  return output.length;
}
