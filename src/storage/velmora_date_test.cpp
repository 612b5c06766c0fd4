#include "storage/velmora_date.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace velmora::VelmoraDate {
namespace {

// The expected value from the standard library's own calendar arithmetic.
double utc(int year, int month, int day, int hour, int minute, int second) {
  using namespace std::chrono;
  const sys_seconds time = sys_days{std::chrono::year{year} / month / day} + hours{hour} +
                           minutes{minute} + seconds{second};
  return static_cast<double>(time.time_since_epoch().count()) - 978307200.0;
}

TEST(VelmoraDateTest, ParsesBothInternetForms) {
  const struct {
    const char* text;
    double expected;
  } cases[] = {
      {"2001-01-01T00:00:00.5Z", 0.5},
      {"2024-05-01T12:30:15Z", utc(2024, 5, 1, 12, 30, 15)},
      {"2024-05-01T12:30:15.250Z", utc(2024, 5, 1, 12, 30, 15) + 0.25},
      // An offset of each sign is taken away from the local time.
      {"2024-05-01T14:30:15+02:00", utc(2024, 5, 1, 12, 30, 15)},
      {"2024-05-01T07:00:15-05:30", utc(2024, 5, 1, 12, 30, 15)},
      {"2024-05-01T12:30:15-00:00", utc(2024, 5, 1, 12, 30, 15)},
      {"2000-02-29T00:00:00Z", utc(2000, 2, 29, 0, 0, 0)},
      {"1970-01-01T00:00:00Z", -978307200},
      {"1969-12-31T23:59:59.9Z", -978307201 + 0.9},
      {"9999-12-31T23:59:59Z", utc(9999, 12, 31, 23, 59, 59)},
      {"2024-12-31T23:59:59.999Z", utc(2024, 12, 31, 23, 59, 59) + 0.999},
  };
  for (const auto& c : cases) {
    std::optional<double> parsed = parse(c.text);
    ASSERT_TRUE(parsed.has_value()) << c.text;
    EXPECT_NEAR(*parsed, c.expected, 1e-6) << c.text;
  }
}

TEST(VelmoraDateTest, RefusesEverythingElse) {
  const char* cases[] = {
      "",
      "2024-05-01T12:30Z",
      "2024-05-01T12:30:15",
      "2024-05-01 12:30:15Z",
      "2024-05-01t12:30:15Z",
      "2024-05-01T12:30:15z",
      "2024-05-01T12:30:15+02",
      "2024-05-01T12:30:15,5Z",
      " 2024-05-01T12:30:15Z",
      "2024-05-01T12:30:15Z ",
      "2024-05-01T12:30:15ZZ",
      "24-05-01T12:30:15Z",
      "2024-5-01T12:30:15Z",
      "+2024-05-01T12:30:15Z",
      "2024-13-01T00:00:00Z",
      "2024-00-01T00:00:00Z",
      "2024-01-00T00:00:00Z",
      "2024-01-32T00:00:00Z",
      "2024-04-31T00:00:00Z",
      "2023-02-29T00:00:00Z",
      "1900-02-29T00:00:00Z",  // a century is a leap year only when 400 divides it
      "2024-02-30T00:00:00Z",
      "2024-05-01T24:00:00Z",
      "2024-05-01T12:60:00Z",
      "2024-05-01T12:30:60Z",
      "2024-05-01T12:30:15+24:00",
      "2024-05-01T12:30:15+02:60",
      "2024-05-01T12:30:15.5",
      "2024-05-01T12:30:15.5+02:00x",
  };
  for (const char* text : cases) {
    EXPECT_FALSE(parse(text).has_value()) << '"' << text << '"';
  }
}

TEST(VelmoraDateTest, RefusesTextWithAnEmbeddedNul) {
  EXPECT_FALSE(parse(std::string_view("2024-05-01T12:30:15Z\0", 21)).has_value());
  EXPECT_FALSE(parse(std::string_view("2024-05-01T12:30:15\0Z", 21)).has_value());
}

TEST(VelmoraDateTest, ThreadsParsingAtOnceAgree) {
  constexpr int kThreads = 8;
  constexpr int kTexts = 3000;
  std::vector<std::string> texts;
  std::vector<double> expected;
  for (int i = 0; i < kTexts; ++i) {
    char text[64];
    std::snprintf(text, sizeof text, "2032-%02d-%02dT%02d:%02d:%02d.%03dZ", 1 + i % 12, 1 + i % 28,
                  i % 24, i % 60, (i * 7) % 60, i % 1000);
    texts.push_back(text);
    expected.push_back(utc(2032, 1 + i % 12, 1 + i % 28, i % 24, i % 60, (i * 7) % 60) +
                       (i % 1000) / 1000.0);
  }
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread walks the texts from its own starting point, so that
      // threads both miss on the same texts and hit what others stored;
      // some texts fail and must stay failures.
      for (int round = 0; round < 3; ++round) {
        for (int k = 0; k < kTexts; ++k) {
          const int i = (k + t * kTexts / kThreads) % kTexts;
          std::optional<double> parsed = parse(texts[i]);
          if (!parsed || std::abs(*parsed - expected[i]) > 1e-6) ++wrong;
          if (parse("2032-02-30T00:00:00Z").has_value()) ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace velmora::VelmoraDate
