#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "model/safari_tab.h"
#include "platform/result.h"

namespace velmora::VelmoraStorage {

// The current snapshot document inside the storage directory.
inline constexpr char kSnapshotFileName[] = "snapshot.v1.json";

// A scan whose tabs and first-seen map equal the stored ones is not written
// again unless the stored one is at least this old (seconds); the same window
// spaces history copies while the set of open pages stays the same.
inline constexpr double kRecentWindow = 600;

// Stores the scan as the current snapshot document, carrying over for every
// page the scan time in which it was first seen, and keeps a dated history
// copy (then prunes the history) when the set of pages changed or the newest
// copy is old. Writes nothing when nothing changed recently. `dir` is the
// storage directory; without it, writeDir() supplies it. A scan time holding
// "/" or a NUL character cannot name a history file: such a call fails before
// anything is touched.
Status save(const std::vector<SafariTab>& tabs, std::string_view scannedAt,
            const std::optional<std::filesystem::path>& dir = std::nullopt);

}  // namespace velmora::VelmoraStorage
