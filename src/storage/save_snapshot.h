#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "model/safari_tab.h"
#include "storage/options.h"
#include "platform/native_messaging.h"
#include "base/status.h"

namespace velmora::VelmoraStorage {

// The current snapshot document inside the storage directory.
inline constexpr char kSnapshotFileName[] = "snapshot.v1.json";

// Where a document at the snapshot's place that does not decode is kept,
// beside it, before a save replaces it: "snapshot.v1.json.unreadable".
inline constexpr char kDamagedSnapshotSuffix[] = ".unreadable";

// No document this host writes comes near this size: a message holds at most
// kMaxMessageBytes, and its document at most doubles each tab entry (escaped
// "/", integers written out in full) and adds, per page, the address again
// with a scan time of at most 250 bytes, under 6 times the message in all. A
// larger file at the snapshot's place was not written by this host and is
// not read, so that whatever lies there costs bounded memory.
inline constexpr std::size_t kMaxSnapshotDocumentBytes = 8 * std::size_t{kMaxMessageBytes};

// A scan whose tabs and first-seen map equal the stored ones is not written
// again unless the stored one is at least this old (seconds); the same window
// spaces history copies while the set of open pages stays the same.
inline constexpr double kRecentWindow = 600;

// What a save that succeeded has to tell besides.
struct Saved {
  // The previous document, which did not decode, kept aside under this path
  // before it was replaced.
  std::optional<std::filesystem::path> keptDamaged;
};

// Stores the scan as the current snapshot document, carrying over for every
// page the scan time in which it was first seen, and keeps a dated history
// copy (then prunes the history) when the set of pages changed or the newest
// copy is old. Writes nothing when nothing changed recently. A scan time
// that cannot name a file on this system (Env::fileNameProblem: a "/", a NUL
// character, and on Windows also what Windows forbids) cannot name a history
// file, and a previous document that exists but cannot be read must not be
// overwritten: such a call fails before anything is touched.
Result<Saved> save(std::vector<SafariTab> tabs, std::string_view scannedAt, const Options& options);

}  // namespace velmora::VelmoraStorage
