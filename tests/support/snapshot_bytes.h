#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "model/tab_snapshot.h"

namespace velmora {

// A snapshot document's byte form held whole, as tests compare it.
inline std::string snapshotBytes(std::string_view scannedAt, const std::vector<SafariTab>& tabs,
                                 const FirstSeenMap* firstSeen) {
  std::string bytes;
  writeSnapshotBytes(scannedAt, tabs, firstSeen,
                     [&bytes](std::string_view piece) {
    bytes.append(piece);
    return true;
  });
  return bytes;
}

inline std::string snapshotBytes(const TabSnapshot& snapshot) {
  return snapshotBytes(snapshot.scannedAt, snapshot.tabs,
                       snapshot.firstSeen ? &*snapshot.firstSeen : nullptr);
}

}  // namespace velmora
