// The log's own formatting against the runtime's: the time stamp against
// "%02d-%02d-%d %02d:%02d:%02d " for the edges of every field and a spread of times
// (the clock itself cannot be set, so the year's turn is checked here), and the
// message against _snprintf for every conversion, flag, width and precision it takes,
// for formats it hands to the runtime, and for fields wider than a line's room.
#include <windows.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "diag/log_format.h"

namespace {

std::string handStamp(const SYSTEMTIME& time) {
  char out[kLogStampChars];
  size_t length = formatLogStamp(time, out);
  EXPECT_LE(length, kLogStampChars);
  return std::string(out, length);
}

std::string runtimeStamp(const SYSTEMTIME& time) {
  char out[64];
  int length = _snprintf(out, sizeof out, "%02d-%02d-%d %02d:%02d:%02d ", time.wMonth, time.wDay,
                         time.wYear, time.wHour, time.wMinute, time.wSecond);
  return std::string(out, static_cast<size_t>(length));
}

SYSTEMTIME at(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
  SYSTEMTIME time = {};
  time.wYear = year;
  time.wMonth = month;
  time.wDay = day;
  time.wHour = hour;
  time.wMinute = minute;
  time.wSecond = second;
  return time;
}

TEST(LogStamp, TheYearsLastSecondAndTheNextYearsFirst) {
  EXPECT_EQ("12-31-2026 23:59:59 ", handStamp(at(2026, 12, 31, 23, 59, 59)));
  EXPECT_EQ("01-01-2027 00:00:00 ", handStamp(at(2027, 1, 1, 0, 0, 0)));
  EXPECT_EQ("07-04-2026 09:05:03 ", handStamp(at(2026, 7, 4, 9, 5, 3)));
}

TEST(LogStamp, MatchesTheRuntimeFormatAcrossTheSystemClocksRange) {
  // Every second of a day, on dates from the first a FILETIME can hold to the last.
  const WORD years[] = {1601, 1999, 2000, 2026, 9999, 10000, 30827};
  int compared = 0;
  for (WORD year : years) {
    for (WORD month = 1; month <= 12; month += 11) {
      for (WORD day = 1; day <= 31; day += 30) {
        for (int second = 0; second < 24 * 3600; second += 7) {
          SYSTEMTIME time = at(year, month, day, static_cast<WORD>(second / 3600),
                               static_cast<WORD>(second / 60 % 60), static_cast<WORD>(second % 60));
          ASSERT_EQ(runtimeStamp(time), handStamp(time)) << year << "-" << month << "-" << day;
          ++compared;
        }
      }
    }
  }
  EXPECT_GT(compared, 300000);
}

size_t formatInto(char* out, size_t room, const char* format, ...) {
  va_list args;
  va_start(args, format);
  size_t length = formatLogText(out, room, format, args);
  va_end(args);
  return length;
}

template <typename... Values>
std::string logText(const char* format, Values... values) {
  char out[1024];
  size_t length = formatInto(out, sizeof out, format, values...);
  return std::string(out, length < sizeof out ? length : sizeof out);
}

template <typename... Values>
std::string runtimeText(const char* format, Values... values) {
  char out[1024];
  int length = _snprintf(out, sizeof out, format, values...);
  return length < 0 ? "(runtime overflow)" : std::string(out, static_cast<size_t>(length));
}

struct IntegerRow {
  const char* format;
  int value;
};
struct TextRow {
  const char* format;
  const char* value;
};
struct PointerRow {
  const char* format;
  const void* value;
};

TEST(LogText, MatchesTheRuntimeForEveryConversionTheMessagesUse) {
  const IntegerRow integers[] = {
      {"%d", 0}, {"%d", 7}, {"%d", -1}, {"%d", INT_MAX}, {"%d", INT_MIN},
      {"%5d|", 42}, {"%-5d|", -42}, {"%05d", -42}, {"%.3d", -5}, {"%.0d", 0}, {"%.0d", 3},
      {"%8.3d|", 7}, {"%-08d|", 3}, {"%08.3d|", 5}, {"%1d", 123}, {"%0510d", 7},
      {"%-05d|", -3}, {"%012d", INT_MIN}, {"%.11d", INT_MIN}, {"%3.0d|", 0},
      {"%u", 0}, {"%u", -1}, {"%10u|", 123456}, {"%.12u", INT_MIN},
      {"%x", 0}, {"%x", -559038737}, {"%8.8x", 0x12ab}, {"%8.8x", 0}, {"%8.8x", -1}, {"%.0x", 0},
      {"%08x", 255}, {"%-6x|", 255}, {"invokeKelvraAdapterPreStartGame 0x%8.8x", 0x00a1b2c0},
      {"KelvraAdapterPreStartGame result=%d", -2147467259}, {"100%% %d%%", 5},
  };
  for (const IntegerRow& row : integers) {
    EXPECT_EQ(runtimeText(row.format, row.value), logText(row.format, row.value)) << row.format;
  }
  const TextRow texts[] = {
      {"%s", "abc"}, {"%s", ""}, {"%s", NULL}, {"%.2s", "abcdef"}, {"%.2s", NULL}, {"%.0s", "abc"},
      {"%8s|", "ab"}, {"%-8s|", "ab"}, {"%8.3s|", "abcdef"}, {"%2s", "abcdef"},
      {"%%s %s", "x"}, {"ERROR: Launcher not found%s", ""},
  };
  for (const TextRow& row : texts) {
    EXPECT_EQ(runtimeText(row.format, row.value), logText(row.format, row.value)) << row.format;
  }
  int local = 0;
  const PointerRow pointers[] = {
      {"%p", NULL}, {"%p", &local}, {"%p", reinterpret_cast<const void*>(0x0012abcd)},
      {"%12p|", &local}, {"%-12p|", &local},
  };
  for (const PointerRow& row : pointers) {
    EXPECT_EQ(runtimeText(row.format, row.value), logText(row.format, row.value)) << row.format;
  }
  // The module's messages with several arguments.
  const char* hello = "KelvraAdapterHello result=%d size=%d ssMess=%s";
  EXPECT_EQ(runtimeText(hello, -1, 1, ""), logText(hello, -1, 1, ""));
  const char* value = "getvalue - scriptable object : NPP instance=%p objList.find(instance)=%p";
  EXPECT_EQ(runtimeText(value, &local, static_cast<void*>(NULL)), logText(value, &local, static_cast<void*>(NULL)));
  const char* start = "KelvraAdapterStartGame Auth = %s, Script = %s";
  EXPECT_EQ(runtimeText(start, "ticket", static_cast<const char*>(NULL)),
            logText(start, "ticket", static_cast<const char*>(NULL)));
  const char* memalloc = "%s npnfuncs->memalloc(%u) = NULL";
  EXPECT_EQ(runtimeText(memalloc, "KelvraAdapterHello", 25u), logText(memalloc, "KelvraAdapterHello", 25u));
}

// Line feeds from the format and from the arguments alike become CR LF; a format with
// a directive the log does not take is the runtime's text, whole (arguments read
// before that directive included), its line feeds stored as CR LF too.
TEST(LogText, LineFeedsAndDirectivesOutsideTheSet) {
  EXPECT_EQ("a\r\nb\r\n\r\nc 1\r\n", logText("a\nb\n%s %d\n", "\nc", 1));
  const IntegerRow integers[] = {
      {"%i", -12}, {"%X", 0xBEEF}, {"%ld|", -7}, {"%lu", -1}, {"%+d", 5}, {"% d", 5},
      {"%#x", 255}, {"%o", 8}, {"%c", 'c'}, {"%hd", 70000}, {"%05s", 0}, {"%", 0},
      {"%d %", 7}, {"%d then %i", 1},
  };
  for (const IntegerRow& row : integers) {
    EXPECT_EQ(runtimeText(row.format, row.value, row.value, row.value),
              logText(row.format, row.value, row.value, row.value))
        << row.format;
  }
  EXPECT_EQ("1 then 1\r\nand 1", logText("%d then %i\nand %d", 1, 1, 1));
  EXPECT_EQ(runtimeText("%I64d|%s", -5LL, "x"), logText("%I64d|%s", -5LL, "x"));
  EXPECT_EQ(runtimeText("n=%d %5.2f %s", 1, 1.5, "x"), logText("n=%d %5.2f %s", 1, 1.5, "x"));
  EXPECT_EQ(runtimeText("%*d|%-*s|", 6, 42, 4, "ab"), logText("%*d|%-*s|", 6, 42, 4, "ab"));
  int local = 0;
  EXPECT_EQ(runtimeText("%012p|%.4p", &local, &local), logText("%012p|%.4p", &local, &local));
}

// A width or an integer's precision beyond a line's room pads to that room only.
TEST(LogText, FieldsAreCutToTheLinesRoom) {
  const std::string room(kLogFieldLimit, ' ');
  const struct {
    const char* format;
    const char* capped;  // the same with every field at most kLogFieldLimit
  } rows[] = {
      {"%2147483648d|", "%510d|"}, {"%4294967297d|", "%510d|"}, {"%-600u|", "%-510u|"},
      {"%0999999x|", "%0510x|"}, {"%.700d|", "%.510d|"}, {"%600.600d|", "%510.510d|"},
      {"%511d|", "%510d|"}, {"%510d|", "%510d|"}, {"%600p|", "%510p|"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(runtimeText(row.capped, 7), logText(row.format, 7)) << row.format;
  }
  // A text's precision bounds what is read, not a field: it is not cut.
  const std::string text(700, 't');
  EXPECT_EQ(text.substr(0, 600), logText("%.600s", text.c_str()));
}

// Short room: only that many bytes are stored, the whole length is answered, and
// formatting again into that length gives the whole text.
TEST(LogText, ShortRoomAnswersTheWholeLength) {
  const char* format = "%s|%5d|\n%s";
  const std::string whole = logText(format, "abcd", 12, "ef");
  ASSERT_EQ("abcd|   12|\r\nef", whole);
  char out[24];
  for (size_t room = 0; room <= whole.size(); ++room) {
    memset(out, '#', sizeof out);
    EXPECT_EQ(whole.size(), formatInto(out, room, format, "abcd", 12, "ef")) << room;
    EXPECT_EQ(whole.substr(0, room), std::string(out, room)) << room;
    EXPECT_EQ(std::string(sizeof out - room, '#'), std::string(out + room, sizeof out - room)) << room;
  }
}

}  // namespace
