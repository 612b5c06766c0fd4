// Tab entries, tab lists and snapshot documents decoded from arbitrary JSON
// text. Whatever decodes must survive a round trip: decode, encode, decode
// again gives an equal record, and encoding that gives identical bytes.
// Texts are kept byte for byte: decoding never normalises them.

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "model/document_bytes.h"
#include "model/safari_tab.h"
#include "model/tab_snapshot.h"

namespace {

using velmora::SafariTab;
using velmora::TabSnapshot;
using velmora::fuzz::check;

std::optional<boost::json::value> parseJson(std::string_view text) {
  boost::system::error_code error;
  boost::json::value value = boost::json::parse(text, error);
  if (error) return std::nullopt;
  return value;
}

// The text member of the entry, when it holds one.
std::optional<std::string_view> textMember(const boost::json::object& entry, std::string_view key) {
  const boost::json::value* value = entry.if_contains(key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return std::string_view(value->get_string());
}

bool sameText(const std::optional<std::string>& decoded, std::optional<std::string_view> given) {
  return decoded.has_value() == given.has_value() && (!decoded || *decoded == *given);
}

void checkTextsKept(const SafariTab& tab, const boost::json::value& entry,
                    const std::string& bytes) {
  const boost::json::object& object = entry.as_object();
  check(textMember(object, "title") == tab.title, "title kept byte for byte", bytes);
  check(textMember(object, "url") == tab.url, "url kept byte for byte", bytes);
  check(sameText(tab.snippet, textMember(object, "snippet")), "snippet kept byte for byte", bytes);
  check(sameText(tab.summary, textMember(object, "summary")), "summary kept byte for byte", bytes);
}

void checkTabRoundTrip(const SafariTab& tab) {
  const std::string bytes = velmora::documentBytes(velmora::encodeTab(tab));
  const auto reparsed = parseJson(bytes);
  check(reparsed.has_value(), "an encoded tab entry is JSON", bytes);
  const auto again = velmora::decodeTab(*reparsed, "tab");
  check(again.ok(), "an encoded tab entry decodes", bytes);
  check(*again == tab, "a tab decodes back to an equal record", bytes);
  check(velmora::documentBytes(velmora::encodeTab(*again)) == bytes,
        "a tab encodes again to identical bytes", bytes);
  checkTextsKept(*again, *reparsed, bytes);
}

void checkTab(const boost::json::value& value, std::string_view input) {
  const auto tab = velmora::decodeTab(value, "tab");
  if (!tab) {
    check(!tab.error().description.empty(), "a failed decoding says why", input);
    return;
  }
  checkTextsKept(*tab, value, std::string(input));
  checkTabRoundTrip(*tab);
}

void checkTabList(const boost::json::value& value, std::string_view input) {
  const auto tabs = velmora::decodeTabs(value, "tabs");
  bool everyEntryDecodes = value.is_array();
  if (value.is_array()) {
    for (const boost::json::value& entry : value.get_array()) {
      everyEntryDecodes = everyEntryDecodes && velmora::decodeTab(entry, "tab").ok();
    }
  }
  check(tabs.ok() == everyEntryDecodes, "a list decodes exactly when every entry does", input);
  if (!tabs) return;
  check(tabs->size() == value.get_array().size(), "a list keeps every entry", input);
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

void checkSnapshot(const boost::json::value& value, std::string_view input) {
  const auto snapshot = velmora::decodeSnapshot(value);
  // The same text decoded from its bytes gives the same outcome.
  const auto fromText = velmora::decodeSnapshot(input);
  check(snapshot.ok() == fromText.ok(), "text and value decode alike", input);
  if (!snapshot) return;

  const boost::json::array& entries = value.as_object().at("tabs").as_array();
  check(snapshot->tabs.size() == entries.size(), "the document keeps every tab", input);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    checkTextsKept(snapshot->tabs[i], entries[i], std::string(input));
  }
  checkSnapshotRoundTrip(*snapshot);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto value = parseJson(input);
  if (!value) {
    check(!velmora::decodeSnapshot(input).ok(), "text that is not JSON is no document", input);
    return 0;
  }
  checkTab(*value, input);
  checkTabList(*value, input);
  checkSnapshot(*value, input);
  // Each entry of an array on its own, so that one bad entry does not hide
  // the others from the round trip.
  if (value->is_array()) {
    for (const boost::json::value& entry : value->get_array()) checkTab(entry, input);
  }
  return 0;
}
