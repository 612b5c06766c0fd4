// VelmoraDate::parse on arbitrary text, checked against a second, plain
// reading of the two internet date-time forms written here from scratch:
//   YYYY-MM-DDTHH:MM:SS[.fraction](Z|+hh:mm|-hh:mm)
// with the parser's own choices: "T" and "Z" upper case only, any number of
// fraction digits (at least one), second 60 refused, offsets up to 23:59.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "storage/velmora_date.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The text matches the picture, where 'd' stands for any digit and every
// other character for itself.
bool matches(std::string_view text, std::string_view picture) {
  if (text.size() != picture.size()) return false;
  for (std::size_t i = 0; i < picture.size(); ++i) {
    if (picture[i] == 'd' ? !isDigit(text[i]) : text[i] != picture[i]) return false;
  }
  return true;
}

long number(std::string_view text, std::size_t pos, std::size_t count) {
  long value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) value = value * 10 + (text[i] - '0');
  return value;
}

bool isLeapYear(long year) { return year % 400 == 0 || (year % 4 == 0 && year % 100 != 0); }

long daysInMonth(long year, long month) {
  switch (month) {
    case 2:
      return isLeapYear(year) ? 29 : 28;
    case 4:
    case 6:
    case 9:
    case 11:
      return 30;
    default:
      return 31;
  }
}

long daysInYear(long year) { return isLeapYear(year) ? 366 : 365; }

// Days from 2001-01-01 to the date, counted year by year and month by month.
long daysSinceReferenceDate(long year, long month, long day) {
  long days = 0;
  for (long y = 2001; y < year; ++y) days += daysInYear(y);
  for (long y = year; y < 2001; ++y) days -= daysInYear(y);
  for (long m = 1; m < month; ++m) days += daysInMonth(year, m);
  return days + day - 1;
}

std::optional<double> referenceParse(std::string_view text) {
  constexpr std::string_view kDateTime = "dddd-dd-ddTdd:dd:dd";
  if (text.size() < kDateTime.size() || !matches(text.substr(0, kDateTime.size()), kDateTime)) {
    return std::nullopt;
  }
  const long year = number(text, 0, 4), month = number(text, 5, 2), day = number(text, 8, 2);
  const long hour = number(text, 11, 2), minute = number(text, 14, 2), second = number(text, 17, 2);
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month)) return std::nullopt;
  if (hour > 23 || minute > 59 || second > 59) return std::nullopt;

  std::string_view rest = text.substr(kDateTime.size());
  double fraction = 0;
  if (!rest.empty() && rest.front() == '.') {
    std::size_t digits = 1;
    while (digits < rest.size() && isDigit(rest[digits])) ++digits;
    if (digits == 1) return std::nullopt;
    fraction = std::strtod(std::string("0").append(rest.substr(0, digits)).c_str(), nullptr);
    rest.remove_prefix(digits);
  }

  long offset = 0;
  if (rest == "Z") {
    offset = 0;
  } else if (matches(rest, "+dd:dd") || matches(rest, "-dd:dd")) {
    const long offsetHours = number(rest, 1, 2), offsetMinutes = number(rest, 4, 2);
    if (offsetHours > 23 || offsetMinutes > 59) return std::nullopt;
    offset = (rest[0] == '-' ? -1 : 1) * (offsetHours * 3600 + offsetMinutes * 60);
  } else {
    return std::nullopt;
  }

  const long seconds = daysSinceReferenceDate(year, month, day) * 86400 + hour * 3600 +
                       minute * 60 + second - offset;
  return static_cast<double>(seconds) + fraction;
}

std::string describe(std::string_view text, std::optional<double> got,
                     std::optional<double> expected) {
  std::string out(text);
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, " | parse: %s%.9f | reference: %s%.9f", got ? "" : "none ",
                got.value_or(0), expected ? "" : "none ", expected.value_or(0));
  return out.append(numbers);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using velmora::fuzz::check;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::optional<double> parsed = velmora::VelmoraDate::parse(text);
  const std::optional<double> expected = referenceParse(text);
  check(parsed.has_value() == expected.has_value(), "parse accepts exactly the two forms",
        describe(text, parsed, expected));
  if (!parsed) return 0;

  // Both readings add a fraction below one to a whole count of seconds, so
  // they may differ by the rounding of the sum: a few units in the last place.
  const double magnitude = std::fabs(*expected);
  const double tolerance = 4 * (std::nextafter(magnitude, INFINITY) - magnitude) + 1e-12;
  check(std::fabs(*parsed - *expected) <= tolerance, "parse gives the reference's point in time",
        describe(text, parsed, expected));

  // Asked again, the remembered answer is the same value exactly.
  const std::optional<double> again = velmora::VelmoraDate::parse(text);
  check(again.has_value() && *again == *parsed, "a remembered string answers the same time",
        describe(text, again, parsed));
  return 0;
}
