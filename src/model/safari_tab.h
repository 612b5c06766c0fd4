#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>


namespace velmora {

// One open browser tab as the extension script reports it.
struct SafariTab {
  std::int64_t id = 0;
  std::int64_t windowId = 0;
  std::string title;
  std::string url;  // exactly as reported; never normalised in place
  bool pinned = false;
  bool active = false;
  // Absent and empty are different values and both survive a round trip.
  std::optional<std::string> snippet;
  std::optional<std::string> summary;

  // The page identity, computed from url on each call.
  std::string normalizedURL() const;

  // All eight fields; texts compare by canonical equivalence.
  friend bool operator==(const SafariTab& a, const SafariTab& b);
};

// A tab entry is read by TabListReader (model/tab_list_reader.h) and written
// by writeSnapshotBytes (model/tab_snapshot.h), as part of the list that holds it.

}  // namespace velmora
