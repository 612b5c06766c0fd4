#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"

// Dated copies of the snapshot document in the "history" directory, named
// after their scan time, and the rule that thins them out.
namespace velmora::VelmoraStorage {

inline constexpr char kHistoryDirectoryName[] = "history";

// Every copy younger than this (in seconds) is kept.
inline constexpr double kKeepAllCopiesFor = 2 * 3600;
// For this long (in seconds) one copy per hour is kept; older copies go.
inline constexpr double kKeepHourlyCopiesFor = 30 * 86400;

// "2024-05-01T12:30:00.000Z" names "2024-05-01T12_30_00.000Z.json": every ":"
// becomes "_" (colons are awkward in file names), nothing else changes.
std::string historyFileName(std::string_view scannedAt);

// The entries of the directory whose extension is exactly "json", the
// greatest name (for uniform scan times, the newest) first. An unreadable or
// missing directory gives an empty list.
std::vector<std::filesystem::path> historyFiles(Env& env, const std::filesystem::path& dir);

// The scan time read back from a history file's name; nothing when the name
// does not parse as one.
std::optional<double> historyFileDate(const std::filesystem::path& file);

// Keeps every copy of the last 2 hours and, up to 30 days, the greatest name
// of each hour key; removes the other copies. Names without a date stay, and
// only regular files are ever removed. Never fails: errors are ignored.
void pruneHistory(Env& env, const std::filesystem::path& dir, double now);

}  // namespace velmora::VelmoraStorage
