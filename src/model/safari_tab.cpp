#include "model/safari_tab.h"

#include <boost/json/array.hpp>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "base/decode_error.h"
#include "model/normalized_url.h"
#include "model/unicode_text.h"

namespace velmora {

namespace {

// A whole number within the signed 64-bit range, whatever form the number
// took in the text: 3, 3.0 and 3e2 all qualify, 1.5 and 2^63 do not. The
// parser keeps integer texts exact (int64, or uint64 above its range) and
// turns everything else into a double.
std::optional<std::int64_t> wholeInt64(const boost::json::value& value) {
  switch (value.kind()) {
    case boost::json::kind::int64:
      return value.get_int64();
    case boost::json::kind::uint64:
      if (value.get_uint64() >
          static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return std::nullopt;
      }
      return static_cast<std::int64_t>(value.get_uint64());
    case boost::json::kind::double_: {
      double d = value.get_double();
      // Both bounds are excluded. 2^63 is the first value above the range;
      // -2^63 is its minimum, but as a double it is nearly always an integer
      // text just below the range that the parser rounded (the minimum
      // written as an integer stays an exact int64).
      constexpr double kLimit = 9223372036854775808.0;
      if (!std::isfinite(d) || d != std::trunc(d) || d <= -kLimit || d >= kLimit) {
        return std::nullopt;
      }
      return static_cast<std::int64_t>(d);
    }
    default:
      return std::nullopt;
  }
}

Result<std::int64_t> readInt(const boost::json::object& object, std::string_view key,
                             std::string_view where) {
  const boost::json::value* value = object.if_contains(key);
  if (value == nullptr) return lacksMember(where, key);
  std::optional<std::int64_t> number = wholeInt64(*value);
  if (!number) return memberIsNot(where, key, "a whole number in the 64-bit range");
  return *number;
}

Result<std::string> readString(const boost::json::object& object, std::string_view key,
                               std::string_view where) {
  const boost::json::value* value = object.if_contains(key);
  if (value == nullptr) return lacksMember(where, key);
  if (!value->is_string()) return memberIsNot(where, key, "a string");
  const boost::json::string& text = value->get_string();
  return std::string(text.data(), text.size());
}

Result<bool> readBool(const boost::json::object& object, std::string_view key,
                      std::string_view where) {
  const boost::json::value* value = object.if_contains(key);
  if (value == nullptr) return lacksMember(where, key);
  if (!value->is_bool()) return memberIsNot(where, key, "true or false");
  return value->get_bool();
}

// Missing and null both give absent; a string, also "", gives present.
Result<std::optional<std::string>> readOptionalString(const boost::json::object& object,
                                                      std::string_view key,
                                                      std::string_view where) {
  const boost::json::value* value = object.if_contains(key);
  if (value == nullptr || value->is_null()) return std::optional<std::string>();
  if (!value->is_string()) return memberIsNot(where, key, "a string or null");
  const boost::json::string& text = value->get_string();
  return std::optional<std::string>(std::in_place, text.data(), text.size());
}

void combine(std::size_t& seed, std::size_t hash) {
  seed ^= hash + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

void combineOptional(std::size_t& seed, const std::optional<std::string>& text) {
  // A presence marker first, so absent and empty hash apart.
  combine(seed, text ? 1 : 0);
  if (text) combine(seed, canonicalHash(*text));
}

bool equalOptional(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || canonicallyEqual(*a, *b);
}

}  // namespace

std::string SafariTab::normalizedURL() const { return velmora::normalizedURL(url); }

bool operator==(const SafariTab& a, const SafariTab& b) {
  return a.id == b.id && a.windowId == b.windowId && a.pinned == b.pinned && a.active == b.active &&
         canonicallyEqual(a.title, b.title) && canonicallyEqual(a.url, b.url) &&
         equalOptional(a.snippet, b.snippet) && equalOptional(a.summary, b.summary);
}

Result<SafariTab> decodeTab(const boost::json::value& entry, std::string_view where) {
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

namespace {

Result<std::vector<SafariTab>> decodeList(const boost::json::value& array, std::string_view where) {
  const boost::json::array* entries = array.if_array();
  if (entries == nullptr) return valueIsNot(where, "an array");
  std::vector<SafariTab> tabs;
  tabs.reserve(entries->size());
  for (std::size_t i = 0; i < entries->size(); ++i) {
    auto tab = decodeTab((*entries)[i], elementName(where, i));
    if (!tab) return tab.error();
    tabs.push_back(std::move(*tab));
  }
  return tabs;
}

}  // namespace

Result<std::vector<SafariTab>> decodeTabs(const boost::json::value& array, std::string_view where) {
  try {
    return decodeList(array, where);
  } catch (const std::bad_alloc&) {
    return tooLargeToRead(where);
  }
}

boost::json::object encodeTab(const SafariTab& tab, boost::json::storage_ptr storage) {
  boost::json::object object(std::move(storage));
  object.reserve(8);
  object.emplace("id", tab.id);
  object.emplace("windowId", tab.windowId);
  object.emplace("title", tab.title);
  object.emplace("url", tab.url);
  object.emplace("pinned", tab.pinned);
  object.emplace("active", tab.active);
  if (tab.snippet) object.emplace("snippet", *tab.snippet);
  if (tab.summary) object.emplace("summary", *tab.summary);
  return object;
}

}  // namespace velmora

std::size_t std::hash<velmora::SafariTab>::operator()(
    const velmora::SafariTab& tab) const noexcept {
  // The same eight fields, in the same order, as equality.
  std::size_t seed = 0;
  velmora::combine(seed, std::hash<std::int64_t>{}(tab.id));
  velmora::combine(seed, std::hash<std::int64_t>{}(tab.windowId));
  velmora::combine(seed, velmora::canonicalHash(tab.title));
  velmora::combine(seed, velmora::canonicalHash(tab.url));
  velmora::combine(seed, tab.pinned ? 1 : 0);
  velmora::combine(seed, tab.active ? 1 : 0);
  velmora::combineOptional(seed, tab.snippet);
  velmora::combineOptional(seed, tab.summary);
  return seed;
}
