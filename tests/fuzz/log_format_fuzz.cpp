// The log's formatter against the C library's snprintf. The input makes a format of up
// to four directives with text between them, its arguments and the room to format
// into (a block of exactly that size, so that a write past it shows). A format wholly
// within the formatter's set is compared with snprintf of the same format where the
// Microsoft rules it follows differ from C99's: a NULL text shows as "(null)", %p
// prints every hexadecimal digit in upper case, the '0' flag pads after a precision
// too, and every field is cut to kLogFieldLimit. A format with a directive outside the
// set is compared with snprintf of the very same format. Line feeds are CR LF.
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "diag/log_format.h"

namespace {

// Every argument travels in one 64-bit slot: the formatter and snprintf read ints,
// unsigned ints, longs and pointers from them alike on x86-64.
typedef unsigned long long Slot;
const size_t kSlots = 8;

enum Conversion { kText, kSigned, kUnsigned, kHex, kPointer, kPercent, kOutside };
// Outside the set: a flag the formatter does not take, a '*' width, or a conversion.
struct Outside {
  const char* flag;
  bool starWidth;
  const char* conversion;
};
const Outside kOutsideSet[] = {{"", false, "i"},  {"", false, "X"},  {"", false, "o"},  {"", false, "c"},
                            {"", false, "ld"}, {"", false, "lu"}, {"", false, "hd"}, {"+", false, "d"},
                            {" ", false, "d"}, {"#", false, "x"}, {"", true, "d"}};
const size_t kOutsideCount = sizeof kOutsideSet / sizeof kOutsideSet[0];

struct Directive {
  Conversion conversion;
  const Outside* outside;  // for kOutside
  std::string flags;    // of '-' and '0'
  bool hasWidth;
  unsigned long long width;
  bool precise;
  unsigned long long precision;
  std::string text;     // for kText
  bool null;            // for kText: a NULL pointer
  Slot value;           // for the numbers and %p
};

unsigned long long fieldNumber(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0: return input.ConsumeIntegralInRange<unsigned long long>(0, 40);
    case 1: return input.ConsumeIntegralInRange<unsigned long long>(kLogFieldLimit - 12, kLogFieldLimit + 12);
    case 2: return input.ConsumeIntegralInRange<unsigned long long>(0, 700);
    default: {
      static const unsigned long long huge[] = {2147483648ull, 4294967297ull, 99999999999ull, 134217727ull};
      return huge[input.ConsumeIntegralInRange<size_t>(0, 3)];
    }
  }
}

Directive makeDirective(FuzzedDataProvider& input) {
  Directive d = {};
  const int kind = input.ConsumeIntegralInRange(0, 7);
  d.conversion = kind < kOutside ? static_cast<Conversion>(kind) : kOutside;
  if (d.conversion == kOutside) {
    d.outside = &kOutsideSet[input.ConsumeIntegralInRange<size_t>(0, kOutsideCount - 1)];
  }
  if (d.conversion == kPercent) return d;
  const int flags = input.ConsumeIntegralInRange(0, 3);
  for (int i = 0; i < flags; ++i) d.flags += input.ConsumeBool() ? '-' : '0';
  d.hasWidth = input.ConsumeBool() && !(d.outside != NULL && d.outside->starWidth);
  if (d.hasWidth) d.width = std::max(1ull, fieldNumber(input));
  d.precise = input.ConsumeBool();
  if (d.precise) d.precision = fieldNumber(input);
  if (d.conversion == kText) {
    d.null = input.ConsumeIntegralInRange(0, 7) == 0;
    d.text = input.ConsumeRandomLengthString(80);
    d.text = d.text.c_str();
  } else {
    d.value = input.ConsumeIntegral<Slot>();
  }
  return d;
}

bool zeroFlag(const Directive& d) { return d.flags.find('0') != std::string::npos; }
bool leftFlag(const Directive& d) { return d.flags.find('-') != std::string::npos; }

// Whether the formatter formats the directive itself rather than handing the whole
// format to the runtime.
bool withinSet(const Directive& d) {
  switch (d.conversion) {
    case kText: return !zeroFlag(d);
    case kPointer: return !zeroFlag(d) && !d.precise;
    case kOutside: return false;
    default: return true;
  }
}

std::string numberText(unsigned long long value) { return std::to_string(value); }

// The directive as the format under test has it, and its arguments.
std::string rendered(const Directive& d, std::vector<Slot>* slots, std::vector<std::string>* texts) {
  if (d.conversion == kPercent) return "%%";
  std::string directive = "%" + d.flags + (d.outside != NULL ? d.outside->flag : "");
  if (d.hasWidth) directive += numberText(d.width);
  if (d.outside != NULL && d.outside->starWidth) {
    // A '*' width takes its own argument first: a small one, whatever the input says.
    directive += "*";
    slots->push_back(static_cast<Slot>(static_cast<long long>(d.value % 1201) - 600));
  }
  if (d.precise) directive += "." + numberText(d.precision);
  switch (d.conversion) {
    case kText:
      texts->push_back(d.text);
      slots->push_back(d.null ? 0 : reinterpret_cast<uintptr_t>(texts->back().c_str()));
      return directive + "s";
    case kSigned: slots->push_back(d.value); return directive + "d";
    case kUnsigned: slots->push_back(d.value); return directive + "u";
    case kHex: slots->push_back(d.value); return directive + "x";
    case kPointer: slots->push_back(d.value); return directive + "p";
    default:
      slots->push_back(d.value);
      return directive + d.outside->conversion;
  }
}

// The same directive for C99's snprintf, as the Microsoft rules and the field limit
// make it print.
std::string referenceDirective(const Directive& d, std::vector<Slot>* slots) {
  if (d.conversion == kPercent) return "%%";
  const unsigned long long width = std::min<unsigned long long>(d.width, kLogFieldLimit);
  const bool integer = d.conversion != kText && d.conversion != kPointer;
  const unsigned long long precision =
      integer ? std::min<unsigned long long>(d.precision, kLogFieldLimit) : std::min(d.precision, 100000ull);
  if (d.conversion == kText) {
    static const char kNull[] = "(null)";
    slots->push_back(d.null ? reinterpret_cast<uintptr_t>(kNull) : reinterpret_cast<uintptr_t>(d.text.c_str()));
  } else if (d.conversion == kPointer) {
    slots->push_back(d.value);
  } else {
    slots->push_back(d.value);
  }
  const char* conversion = d.conversion == kText      ? "s"
                           : d.conversion == kSigned  ? "d"
                           : d.conversion == kUnsigned ? "u"
                           : d.conversion == kHex      ? "x"
                                                       : "llX";
  if (d.conversion == kPointer) {
    // Every digit of the address: the precision of two per byte.
    return std::string("%") + (leftFlag(d) ? "-" : "") + (d.hasWidth ? numberText(width) : "") + "." +
           numberText(2 * sizeof(void*)) + conversion;
  }
  if (integer && zeroFlag(d) && !leftFlag(d) && d.precise) {
    // Zeros to the precision, then on to the width after the sign.
    const bool negative = d.conversion == kSigned && static_cast<int>(d.value) < 0;
    const long long toWidth = d.hasWidth ? static_cast<long long>(width) - (negative ? 1 : 0) : 0;
    return "%." + numberText(std::max<long long>(static_cast<long long>(precision), toWidth)) + conversion;
  }
  std::string directive = "%" + d.flags;
  if (d.hasWidth) directive += numberText(width);
  if (d.precise) directive += "." + numberText(precision);
  return directive + conversion;
}

size_t formatInto(char* out, size_t room, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const size_t length = formatLogText(out, room, format, args);
  va_end(args);
  return length;
}

std::string runtimeText(const std::string& format, const std::vector<Slot>& slots) {
  Slot s[kSlots] = {};
  std::copy(slots.begin(), slots.begin() + std::min(slots.size(), kSlots), s);
  const char* f = format.c_str();
  const int length = snprintf(NULL, 0, f, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7]);
  if (length < 0) abort();
  std::string text(static_cast<size_t>(length) + 1, '\0');
  snprintf(&text[0], text.size(), f, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7]);
  text.resize(static_cast<size_t>(length));
  std::string lines;
  for (char c : text) {
    if (c == '\n') lines += '\r';
    lines += c;
  }
  return lines;
}

// Literal text: any byte but '%' and NUL, line feeds among them.
std::string literal(FuzzedDataProvider& input) {
  std::string text = input.ConsumeRandomLengthString(24);
  text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '%' || c == '\0'; }),
             text.end());
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const size_t room = input.ConsumeIntegralInRange<size_t>(0, 1200);
  std::vector<Directive> directives;
  std::vector<std::string> literals;
  const int count = input.ConsumeIntegralInRange(0, 4);
  literals.push_back(literal(input));
  for (int i = 0; i < count; ++i) {
    directives.push_back(makeDirective(input));
    literals.push_back(literal(input));
  }
  const bool whole = std::all_of(directives.begin(), directives.end(), withinSet);
  if (!whole) {
    // The runtime pads what it is told: fields the size of a line, not of the heap.
    for (Directive& d : directives) {
      d.width = std::min(d.width, 700ull);
      d.precision = std::min(d.precision, 700ull);
    }
  }
  std::vector<std::string> texts;
  texts.reserve(kSlots);
  std::vector<Slot> slots, referenceSlots;
  std::string format = literals[0], reference = literals[0];
  for (size_t i = 0; i < directives.size(); ++i) {
    format += rendered(directives[i], &slots, &texts) + literals[i + 1];
    if (whole) reference += referenceDirective(directives[i], &referenceSlots) + literals[i + 1];
  }
  if (!whole) {
    reference = format;
    referenceSlots = slots;
  }
  Slot s[kSlots] = {};
  std::copy(slots.begin(), slots.end(), s);

  const std::string expected = runtimeText(reference, referenceSlots);
  std::unique_ptr<char[]> out(new char[room]);
  const size_t length = formatInto(out.get(), room, format.c_str(), s[0], s[1], s[2], s[3], s[4],
                                   s[5], s[6], s[7]);
  if (length != expected.size()) abort();
  if (memcmp(out.get(), expected.data(), std::min(room, length)) != 0) abort();
  return 0;
}
