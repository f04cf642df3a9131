// UTC calendar time the same on every system: known instants both ways, the
// C library's own answer over a wide range (where it has gmtime_r), and text
// that is not a time.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/utc_time.h"

namespace {

TEST(UtcTime, KnownInstantsBothWays) {
  struct Case {
    int64_t seconds;
    const char* text;
    int wday;
    int yday;
  };
  const Case cases[] = {
      {0, "1970-01-01T00:00:00Z", 4, 0},
      {-1, "1969-12-31T23:59:59Z", 3, 364},
      {-3506716800, "1858-11-17T00:00:00Z", 3, 320},  // MJD 0
      {315964800, "1980-01-06T00:00:00Z", 0, 5},      // GPS epoch
      {951782400, "2000-02-29T00:00:00Z", 2, 59},
      {2147483647, "2038-01-19T03:14:07Z", 2, 18},
      {4294967295, "2106-02-07T06:28:15Z", 0, 37},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::tm tm{};
    UtcCalendar(c.seconds, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    EXPECT_STREQ(text, c.text);
    EXPECT_EQ(tm.tm_wday, c.wday);
    EXPECT_EQ(tm.tm_yday, c.yday);
    EXPECT_EQ(ParseUtcText(c.text), c.seconds);
  }
}

#ifndef _WIN32
// Windows has no gmtime_r, and its gmtime refuses times before 1970.
std::string Text(int64_t seconds) {
  std::tm tm{};
  UtcCalendar(seconds, &tm);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ wday %d yday %d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_wday, tm.tm_yday);
  return text;
}

TEST(UtcTime, AgreesWithTheCLibraryOverTwoCenturies) {
  for (int64_t seconds = -3600LL * 24 * 365 * 120; seconds < 3600LL * 24 * 365 * 140; seconds += 86400 * 7 + 3671) {
    const time_t value = static_cast<time_t>(seconds);
    std::tm expected{};
    gmtime_r(&value, &expected);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ wday %d yday %d", expected.tm_year + 1900,
                  expected.tm_mon + 1, expected.tm_mday, expected.tm_hour, expected.tm_min, expected.tm_sec,
                  expected.tm_wday, expected.tm_yday);
    ASSERT_EQ(Text(seconds), text) << seconds;
  }
}
#endif

TEST(UtcTime, TextThatIsNoTimeIsRefused) {
  for (const char* text : {"", "2020-01-01", "2020-01-01T00:00:00", "2020-13-01T00:00:00Z", "2020-01-01T24:00:00Z",
                           "2020-01-01T00:00:00Z trailing", "x2020-01-01T00:00:00Z"})
    EXPECT_FALSE(ParseUtcText(text).has_value()) << text;
}

}  // namespace
