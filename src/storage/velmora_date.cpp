#include "storage/velmora_date.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>


namespace velmora::VelmoraDate {
namespace {

// One of the two internet date-time forms: with a fraction of the second, or
// without one. It holds no mutable state, so any number of threads may use
// one instance at once.
class InternetDateTimeFormat {
 public:
  explicit InternetDateTimeFormat(bool withFractionalSeconds)
      : withFractionalSeconds_(withFractionalSeconds) {}

  // YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM), nothing more and nothing
  // less. "T" and "Z" must be upper case. Second 60 is refused: a count of
  // seconds since a reference date has no place for a leap second.
  std::optional<double> parse(std::string_view s) const {
    // The shortest text, without a fraction and in UTC, has 20 bytes; the
    // steps up to the fraction's point rely on them.
    if (s.size() < 20) return std::nullopt;
    Fields fields;
    if (!readDate(s, fields) || !readTime(s, fields) || !inRange(fields)) return std::nullopt;
    std::size_t pos = 19;
    if (withFractionalSeconds_ && !readFraction(s, pos, fields.fraction)) return std::nullopt;
    if (!readZone(s, pos, fields.offsetSeconds) || pos != s.size()) return std::nullopt;
    return referenceSeconds(fields);
  }

 private:
  // What the text says, field by field.
  struct Fields {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    double fraction = 0;
    int offsetSeconds = 0;  // east of UTC
  };

  // YYYY-MM-DD, at the start.
  static bool readDate(std::string_view s, Fields& f) {
    return digits(s, 0, 4, f.year) && s[4] == '-' && digits(s, 5, 2, f.month) && s[7] == '-' &&
           digits(s, 8, 2, f.day);
  }

  // THH:MM:SS, after the date.
  static bool readTime(std::string_view s, Fields& f) {
    return s[10] == 'T' && digits(s, 11, 2, f.hour) && s[13] == ':' && digits(s, 14, 2, f.minute) &&
           s[16] == ':' && digits(s, 17, 2, f.second);
  }

  // A day of its month and a time of a day without a leap second.
  static bool inRange(const Fields& f) {
    // The month first: daysInMonth needs one of the twelve.
    return f.month >= 1 && f.month <= 12 && f.day >= 1 && f.day <= daysInMonth(f.year, f.month) &&
           f.hour <= 23 && f.minute <= 59 && f.second <= 59;
  }

  // .DIGITS at `pos`, one digit at least; `pos` moves past them.
  static bool readFraction(std::string_view s, std::size_t& pos, double& fraction) {
    if (pos >= s.size() || s[pos] != '.') return false;
    const std::size_t start = ++pos;
    std::uint64_t value = 0;
    std::uint64_t scale = 1;
    for (; pos < s.size() && isDigit(s[pos]); ++pos) {
      // Digits past the 18th are below a double's resolution here.
      if (pos - start < 18) {
        value = value * 10 + static_cast<std::uint64_t>(s[pos] - '0');
        scale *= 10;
      }
    }
    if (pos == start) return false;
    fraction = static_cast<double>(value) / static_cast<double>(scale);
    return true;
  }

  // Z, +HH:MM or -HH:MM at `pos`; `pos` moves past it.
  static bool readZone(std::string_view s, std::size_t& pos, int& offsetSeconds) {
    if (pos >= s.size()) return false;
    if (s[pos] == 'Z') {
      ++pos;
      return true;
    }
    if (s[pos] != '+' && s[pos] != '-') return false;
    int hours, minutes;
    if (s.size() - pos < 6 || !digits(s, pos + 1, 2, hours) || s[pos + 3] != ':' ||
        !digits(s, pos + 4, 2, minutes) || hours > 23 || minutes > 59) {
      return false;
    }
    offsetSeconds = (hours * 3600 + minutes * 60) * (s[pos] == '-' ? -1 : 1);
    pos += 6;
    return true;
  }

  // Seconds since the reference date. The offset is how far the local time
  // runs ahead of UTC, so it is taken away.
  static double referenceSeconds(const Fields& f) {
    const std::int64_t unixSeconds = daysSinceUnixEpoch(f.year, f.month, f.day) * 86400 +
                                     f.hour * 3600 + f.minute * 60 + f.second - f.offsetSeconds;
    const auto referenceOffset = static_cast<std::int64_t>(kReferenceDateUnixOffset);
    return static_cast<double>(unixSeconds - referenceOffset) + f.fraction;
  }

  static bool isDigit(char c) { return c >= '0' && c <= '9'; }

  static bool digits(std::string_view s, std::size_t pos, std::size_t count, int& out) {
    if (pos + count > s.size()) return false;
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
      if (!isDigit(s[i])) return false;
      value = value * 10 + (s[i] - '0');
    }
    out = value;
    return true;
  }

  static int daysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
  }

  // Days from 1970-01-01 to the given proleptic Gregorian date.
  static std::int64_t daysSinceUnixEpoch(int year, int month, int day) {
    const std::int64_t y = month <= 2 ? year - 1 : year;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
  }

  bool withFractionalSeconds_;
};

// Lets the memo be searched with a string_view, without building a string.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};
using Memo = std::unordered_map<std::string, double, TextHash, std::equal_to<>>;

// The shared values are function-local statics: each is made once, by the
// first thread that needs it, while any other thread waits.
std::mutex& memoLock() {
  static std::mutex lock;
  return lock;
}

Memo& memo() {
  static Memo entries;
  return entries;
}

const InternetDateTimeFormat& withFraction() {
  static const InternetDateTimeFormat format(true);
  return format;
}

// Only made once a string without a fraction shows up.
const InternetDateTimeFormat& plain() {
  static const InternetDateTimeFormat format(false);
  return format;
}

}  // namespace

std::optional<double> parse(std::string_view text) {
  {
    std::lock_guard<std::mutex> guard(memoLock());
    const Memo& entries = memo();
    if (auto found = entries.find(text); found != entries.end()) return found->second;
  }

  // Parse outside the lock; two threads missing on the same text both parse
  // it and store the same value.
  std::optional<double> result = withFraction().parse(text);
  if (!result) {
    result = plain().parse(text);
    // Failures are not remembered: they are rare and would only fill the memo.
    if (!result) return std::nullopt;
  }

  std::lock_guard<std::mutex> guard(memoLock());
  Memo& entries = memo();
  try {
    if (entries.size() > kMemoLimit) Memo().swap(entries);
    entries.insert_or_assign(std::string(text), *result);
  } catch (const std::bad_alloc&) {
    // Remembering is only a shortcut; the answer stands without it.
  }
  return result;
}

}  // namespace velmora::VelmoraDate
