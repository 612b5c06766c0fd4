#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

// Turns the timestamp texts that travel through the system into points in
// time. Parsed strings are remembered for the life of the process, so a text
// met again costs one map lookup.
namespace velmora::VelmoraDate {

// Seconds between the Unix epoch and 2001-01-01T00:00:00Z, the reference
// date of every point in time this system stores. The Env tells Unix time;
// it becomes a reference time here, and only here.
inline constexpr double kReferenceDateUnixOffset = 978307200.0;

// A Unix time (Env::now(), say) as seconds since the reference date.
inline double fromUnixTime(double unixSeconds) { return unixSeconds - kReferenceDateUnixOffset; }

// The memo is emptied whole once it holds more than this many entries and a
// new string is about to be stored: a plain bound with no per-entry
// bookkeeping.
inline constexpr std::size_t kMemoLimit = 20000;

// Seconds since 2001-01-01T00:00:00Z for an internet date-time such as
// "2024-05-01T12:30:00Z" or "2024-05-01T14:30:00.250+02:00"; nothing for any
// other text. Safe to call from several threads at once.
std::optional<double> parse(std::string_view text);

}  // namespace velmora::VelmoraDate
