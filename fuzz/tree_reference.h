#pragma once

// The tree decoders that the host used before it read tabs and snapshot
// documents straight from the text: parse the whole text into a Boost.JSON
// tree, then copy the tree into records. Kept here as the reference that the
// fuzz targets hold the streaming readers to. One rule came later: a
// first-seen map that gives a page twice (the same key, or two canonically
// equal ones) fails the document, since this system never writes one.

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/decode_error.h"
#include "base/json.h"
#include "model/tab_snapshot.h"

namespace velmora::reference {

// A whole number in the signed 64-bit range, with a bound worked out here
// rather than copied from the reader, so that a wrong bound there shows:
// every whole number of magnitude below 2^63. A double of -2^63 is refused,
// as the reader chose: an integer text below the range rounds to it.
inline std::optional<std::int64_t> wholeInt64(const boost::json::value& value) {
  const double twoTo63 = std::ldexp(1.0, 63);
  switch (value.kind()) {
    case boost::json::kind::int64:
      return value.get_int64();
    case boost::json::kind::uint64:
      if (value.get_uint64() >= std::uint64_t{1} << 63) return std::nullopt;
      return static_cast<std::int64_t>(value.get_uint64());
    case boost::json::kind::double_: {
      const double d = value.get_double();
      // The comparison also refuses NaN and the infinities.
      if (!(std::fabs(d) < twoTo63) || std::floor(d) != d) return std::nullopt;
      return static_cast<std::int64_t>(d);
    }
    default:
      return std::nullopt;
  }
}

inline Result<std::int64_t> readInt(const boost::json::object& object, std::string_view key,
                                    std::string_view where) {
  const boost::json::value* value = object.if_contains(key);
  if (value == nullptr) return lacksMember(where, key);
  std::optional<std::int64_t> number = wholeInt64(*value);
  if (!number) return memberIsNot(where, key, "a whole number in the 64-bit range");
  return *number;
}

inline Result<std::string> readString(const boost::json::object& object, std::string_view key,
                                      std::string_view where) {
  const boost::json::value* value = object.if_contains(key);
  if (value == nullptr) return lacksMember(where, key);
  if (!value->is_string()) return memberIsNot(where, key, "a string");
  return std::string(value->get_string());
}

inline Result<bool> readBool(const boost::json::object& object, std::string_view key,
                             std::string_view where) {
  const boost::json::value* value = object.if_contains(key);
  if (value == nullptr) return lacksMember(where, key);
  if (!value->is_bool()) return memberIsNot(where, key, "true or false");
  return value->get_bool();
}

inline Result<std::optional<std::string>> readOptionalString(const boost::json::object& object,
                                                             std::string_view key,
                                                             std::string_view where) {
  const boost::json::value* value = object.if_contains(key);
  if (value == nullptr || value->is_null()) return std::optional<std::string>();
  if (!value->is_string()) return memberIsNot(where, key, "a string or null");
  return std::optional<std::string>(std::string(value->get_string()));
}

inline Result<SafariTab> decodeTab(const boost::json::value& entry, std::string_view where) {
  const boost::json::object* object = entry.if_object();
  if (object == nullptr) return valueIsNot(where, "an object");
  SafariTab tab;
  auto id = readInt(*object, "id", where);
  if (!id) return id.error();
  tab.id = *id;
  auto windowId = readInt(*object, "windowId", where);
  if (!windowId) return windowId.error();
  tab.windowId = *windowId;
  auto title = readString(*object, "title", where);
  if (!title) return title.error();
  tab.title = std::move(*title);
  auto url = readString(*object, "url", where);
  if (!url) return url.error();
  tab.url = std::move(*url);
  auto pinned = readBool(*object, "pinned", where);
  if (!pinned) return pinned.error();
  tab.pinned = *pinned;
  auto active = readBool(*object, "active", where);
  if (!active) return active.error();
  tab.active = *active;
  auto snippet = readOptionalString(*object, "snippet", where);
  if (!snippet) return snippet.error();
  tab.snippet = std::move(*snippet);
  auto summary = readOptionalString(*object, "summary", where);
  if (!summary) return summary.error();
  tab.summary = std::move(*summary);
  return tab;
}

inline Result<std::vector<SafariTab>> decodeTabs(const boost::json::value& array,
                                                 std::string_view where = "tabs") {
  const boost::json::array* entries = array.if_array();
  if (entries == nullptr) return valueIsNot(where, "an array");
  std::vector<SafariTab> tabs;
  for (std::size_t i = 0; i < entries->size(); ++i) {
    auto tab = decodeTab((*entries)[i], elementName(where, i));
    if (!tab) return tab.error();
    tabs.push_back(std::move(*tab));
  }
  return tabs;
}

// The number of members of the document's last "firstSeen" object, a repeated
// key counted each time: the tree keeps only one of them.
class FirstSeenMembers final : public JsonEvents {
 public:
  std::size_t count = 0;

  void reset() override { *this = FirstSeenMembers(); }
  void objectBegin() override {
    if (depth_ == 1 && key_ == "firstSeen") counting_ = true;
    ++depth_;
  }
  void objectEnd(std::size_t size) override {
    if (--depth_ == 1 && counting_) count = size;
    if (depth_ == 1) counting_ = false;
  }
  void arrayBegin() override { ++depth_; }
  void arrayEnd(std::size_t) override { --depth_; }
  void keyPart(std::string_view piece, bool last) override {
    if (depth_ != 1) return;
    if (!inKey_) key_.clear();
    key_.append(piece);
    inKey_ = !last;
    if (last && key_ == "firstSeen") count = 0;
  }
  void stringPart(std::string_view, bool) override {}
  void int64Value(std::int64_t) override {}
  void uint64Value(std::uint64_t) override {}
  void doubleValue(double) override {}
  void boolValue(bool) override {}
  void nullValue() override {}

 private:
  int depth_ = 0;
  std::string key_;
  bool inKey_ = false;
  bool counting_ = false;
};

inline Result<TabSnapshot> decodeSnapshot(const boost::json::value& document,
                                          std::size_t firstSeenMembers) {
  constexpr std::string_view kDocument = "the snapshot document";
  const boost::json::object* members = document.if_object();
  if (members == nullptr) return valueIsNot(kDocument, "a JSON object");
  TabSnapshot snapshot;
  const boost::json::value* scannedAt = members->if_contains("scannedAt");
  if (scannedAt == nullptr) return lacksMember(kDocument, "scannedAt");
  if (!scannedAt->is_string()) return valueIsNot("scannedAt", "a string");
  snapshot.scannedAt = std::string(scannedAt->get_string());
  const boost::json::value* tabs = members->if_contains("tabs");
  if (tabs == nullptr) return lacksMember(kDocument, "tabs");
  auto decodedTabs = decodeTabs(*tabs, "tabs");
  if (!decodedTabs) return decodedTabs.error();
  snapshot.tabs = std::move(*decodedTabs);
  const boost::json::value* firstSeen = members->if_contains("firstSeen");
  if (firstSeen != nullptr && !firstSeen->is_null()) {
    const boost::json::object* entries = firstSeen->if_object();
    if (entries == nullptr) return valueIsNot("firstSeen", "an object or null");
    FirstSeenMap& map = snapshot.firstSeen.emplace();
    for (const auto& entry : *entries) {
      const boost::json::string* text = entry.value().if_string();
      if (text == nullptr) {
        return valueIsNot("firstSeen member \"" + std::string(entry.key()) + "\"", "a string");
      }
      map.set(std::string(entry.key()), std::string(*text));
    }
    if (map.size() != firstSeenMembers) {
      return valueIsNot("firstSeen", "an object of distinct pages");
    }
  }
  return snapshot;
}

inline Result<TabSnapshot> decodeSnapshot(std::string_view text) {
  boost::system::error_code error;
  const boost::json::value document = parseJson(text, error);
  if (error) return Error{"the snapshot document is not valid JSON: " + error.message()};
  FirstSeenMembers members;
  (void)readJson(text, members);
  return decodeSnapshot(document, members.count);
}

}  // namespace velmora::reference
