// The log's time stamp, formatted by hand, against the runtime's own formatting of
// "%02d-%02d-%d %02d:%02d:%02d " for the edges of every field and a spread of times
// (the clock itself cannot be set, so the year's turn is checked here).
#include <windows.h>
#include <stdio.h>

#include <string>

#include <gtest/gtest.h>

#include "diag/ProxyState.h"

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

}  // namespace
