// Messages, tab lists and snapshot documents decoded from arbitrary JSON
// text. The streaming readers must agree with the tree decoders they
// replaced on every input: the same records byte for byte, or both a
// failure; for a message also the same tree of the other members. Whatever
// decodes must survive a round trip: encode, decode again gives an equal
// record, and encoding that gives identical bytes.

#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/json.h"
#include "fuzz_check.h"
#include "handler/message.h"
#include "model/tab_snapshot.h"
#include "tree_reference.h"
#include "support/snapshot_bytes.h"
#include "support/text_in_pieces.h"

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
  if (!streamed) return;
  check(sameBytes(*streamed, *fromTree), "streaming and tree decoding give the same records",
        text);
  checkSnapshotRoundTrip(*streamed);
}

bool sameBytes(const Result<std::vector<SafariTab>>& a, const Result<std::vector<SafariTab>>& b) {
  if (a.ok() != b.ok()) return false;
  if (!a) return true;
  if (a->size() != b->size()) return false;
  for (std::size_t i = 0; i < a->size(); ++i) {
    if (!sameBytes((*a)[i], (*b)[i])) return false;
  }
  return true;
}

bool sameTree(const boost::json::value& a, const boost::json::value& b);

bool sameTree(const boost::json::object& a, const boost::json::object& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, value] : a) {
    const boost::json::value* other = b.if_contains(key);
    if (other == nullptr || !sameTree(value, *other)) return false;
  }
  return true;
}

// Equal as trees, where NaN equals NaN: Boost.JSON reads a zero with a huge
// exponent ("0e400") as NaN, which is equal to nothing, itself included.
bool sameTree(const boost::json::value& a, const boost::json::value& b) {
  if (a.is_double() && b.is_double()) {
    return a.get_double() == b.get_double() ||
           (std::isnan(a.get_double()) && std::isnan(b.get_double()));
  }
  if (a.is_object() && b.is_object()) return sameTree(a.get_object(), b.get_object());
  if (!a.is_array() || !b.is_array()) return a == b;
  const boost::json::array& left = a.get_array();
  const boost::json::array& right = b.get_array();
  if (left.size() != right.size()) return false;
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (!sameTree(left[i], right[i])) return false;
  }
  return true;
}

// What the endpoint made of a message when it parsed it whole.
std::optional<velmora::Message> messageFromTree(std::string_view text) {
  boost::system::error_code error;
  const boost::json::value value = velmora::parseJson(text, error);
  if (error || !value.is_object()) return std::nullopt;
  velmora::Message message;
  message.members = value.get_object();
  message.members.erase("tabs");
  const boost::json::value* tabs = value.get_object().if_contains("tabs");
  if (tabs == nullptr) return message;
  message.tabsAreObjects = tabs->is_array();
  if (tabs->is_array()) {
    for (const boost::json::value& element : tabs->get_array()) {
      message.tabsAreObjects = message.tabsAreObjects && element.is_object();
    }
  }
  message.tabs = velmora::reference::decodeTabs(*tabs);
  return message;
}

void checkMessage(std::string_view text) {
  const std::optional<velmora::Message> streamed = velmora::readMessage(text);
  const std::optional<velmora::Message> fromTree = messageFromTree(text);
  check(streamed.has_value() == fromTree.has_value(), "a message is usable alike", text);
  if (!streamed) return;
  check(sameTree(streamed->members, fromTree->members), "the other members read alike", text);
  check(streamed->tabsAreObjects == fromTree->tabsAreObjects, "tabs judged objects alike", text);
  check(sameBytes(streamed->tabs, fromTree->tabs), "tabs decode alike", text);

  // As the host reads it: from the input, a few bytes at a time.
  const std::optional<velmora::Message> read =
      velmora::readMessage(velmora::inPieces(text, 7), text.size());
  check(read.has_value(), "a message arriving in pieces is usable alike", text);
  if (!read) return;
  check(sameTree(read->members, streamed->members), "the other members arrive alike", text);
  check(sameBytes(read->tabs, streamed->tabs), "tabs arrive alike", text);
}

std::string asTabList(std::string_view tabs) {
  return R"({"scannedAt":"t","tabs":)" + std::string(tabs) + "}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  checkDocument(input);
  checkMessage(input);

  boost::system::error_code error;
  const boost::json::value value = velmora::parseJson(input, error);
  if (error) return 0;
  // The text as a tab list; then each entry of an array on its own, so that
  // one bad entry does not hide the others from the round trip.
  checkDocument(asTabList(input));
  checkMessage(R"({"action":"saveSnapshot","tabs":)" + std::string(input) + "}");
  if (value.is_array()) {
    for (const boost::json::value& entry : value.get_array()) {
      checkDocument(asTabList("[" + boost::json::serialize(entry) + "]"));
    }
  }
  return 0;
}
