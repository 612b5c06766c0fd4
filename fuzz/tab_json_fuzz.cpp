// Tab lists and snapshot documents decoded from arbitrary JSON text. The
// streaming reader must agree with the tree decoder it replaced on every
// input: the same records byte for byte, or the same failure in the same
// words. Whatever decodes must survive a round trip: encode, decode again
// gives an equal record, and encoding that gives identical bytes.

#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/json.h"
#include "fuzz_check.h"
#include "model/tab_snapshot.h"
#include "tree_reference.h"

namespace {

using velmora::Result;
using velmora::SafariTab;
using velmora::TabSnapshot;
using velmora::fuzz::check;

// Byte for byte, not by canonical equivalence: decoding never normalises.
bool sameBytes(const SafariTab& a, const SafariTab& b) {
  return a.id == b.id && a.windowId == b.windowId && a.title == b.title && a.url == b.url &&
         a.pinned == b.pinned && a.active == b.active && a.snippet == b.snippet &&
         a.summary == b.summary;
}

bool sameBytes(const TabSnapshot& a, const TabSnapshot& b) {
  if (a.scannedAt != b.scannedAt || a.tabs.size() != b.tabs.size()) return false;
  for (std::size_t i = 0; i < a.tabs.size(); ++i) {
    if (!sameBytes(a.tabs[i], b.tabs[i])) return false;
  }
  if (a.firstSeen.has_value() != b.firstSeen.has_value()) return false;
  if (!a.firstSeen) return true;
  // The same entries in the same order.
  if (a.firstSeen->size() != b.firstSeen->size()) return false;
  auto other = b.firstSeen->begin();
  for (const auto& entry : *a.firstSeen) {
    if (entry != *other++) return false;
  }
  return true;
}

void checkSnapshotRoundTrip(const TabSnapshot& snapshot) {
  const std::string bytes = velmora::snapshotBytes(snapshot);
  const auto again = velmora::decodeSnapshot(bytes);
  check(again.ok(), "an encoded snapshot document decodes", bytes);
  check(again->scannedAt == snapshot.scannedAt, "scannedAt kept byte for byte", bytes);
  check(again->tabs == snapshot.tabs, "the tabs decode back to an equal list", bytes);
  check(again->firstSeen.has_value() == snapshot.firstSeen.has_value() &&
            (!snapshot.firstSeen || *again->firstSeen == *snapshot.firstSeen),
        "firstSeen decodes back to an equal map", bytes);
  check(velmora::snapshotBytes(*again) == bytes, "a snapshot encodes again to identical bytes",
        bytes);
}

void checkDocument(std::string_view text) {
  const Result<TabSnapshot> streamed = velmora::decodeSnapshot(text);
  const Result<TabSnapshot> fromTree = velmora::reference::decodeSnapshot(text);
  check(streamed.ok() == fromTree.ok(), "streaming and tree decoding agree on success", text);
  if (!streamed) {
    check(streamed.error() == fromTree.error(), "streaming and tree decoding fail alike", text);
    return;
  }
  check(sameBytes(*streamed, *fromTree), "streaming and tree decoding give the same records",
        text);
  checkSnapshotRoundTrip(*streamed);
}

std::string asTabList(std::string_view tabs) {
  return R"({"scannedAt":"t","tabs":)" + std::string(tabs) + "}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  checkDocument(input);

  boost::system::error_code error;
  const boost::json::value value = velmora::parseJson(input, error);
  if (error) return 0;
  // The text as a tab list; then each entry of an array on its own, so that
  // one bad entry does not hide the others from the round trip.
  checkDocument(asTabList(input));
  if (value.is_array()) {
    for (const boost::json::value& entry : value.get_array()) {
      checkDocument(asTabList("[" + boost::json::serialize(entry) + "]"));
    }
  }
  return 0;
}
