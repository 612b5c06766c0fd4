#include "model/tab_snapshot.h"

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <exception>
#include <new>
#include <utility>

#include "base/json.h"
#include "model/document_bytes.h"

namespace velmora {

namespace {

constexpr std::string_view kDocument = "the snapshot document";

Result<FirstSeenMap> decodeFirstSeen(const boost::json::value& value) {
  const boost::json::object* members = value.if_object();
  if (members == nullptr) return Error{"firstSeen is not an object or null"};
  FirstSeenMap map;
  for (const auto& member : *members) {
    const boost::json::string* text = member.value().if_string();
    if (text == nullptr) {
      return Error{"firstSeen member \"" + std::string(member.key()) + "\" is not a string"};
    }
    map.set(std::string(member.key()), std::string(text->data(), text->size()));
  }
  return map;
}

Result<TabSnapshot> decode(const boost::json::value& document) {
  const boost::json::object* members = document.if_object();
  if (members == nullptr) return Error{std::string(kDocument) + " is not a JSON object"};

  TabSnapshot snapshot;
  const boost::json::value* scannedAt = members->if_contains("scannedAt");
  if (scannedAt == nullptr) return Error{std::string(kDocument) + " lacks \"scannedAt\""};
  if (!scannedAt->is_string()) return Error{"scannedAt is not a string"};
  snapshot.scannedAt = std::string(scannedAt->get_string());

  const boost::json::value* tabs = members->if_contains("tabs");
  if (tabs == nullptr) return Error{std::string(kDocument) + " lacks \"tabs\""};
  auto decodedTabs = decodeTabs(*tabs, "tabs");
  if (!decodedTabs) return decodedTabs.error();
  snapshot.tabs = std::move(*decodedTabs);

  const boost::json::value* firstSeen = members->if_contains("firstSeen");
  if (firstSeen != nullptr && !firstSeen->is_null()) {
    auto map = decodeFirstSeen(*firstSeen);
    if (!map) return map.error();
    snapshot.firstSeen = std::move(*map);
  }
  return snapshot;
}

}  // namespace

Result<TabSnapshot> decodeSnapshot(const boost::json::value& document) {
  try {
    return decode(document);
  } catch (const std::bad_alloc&) {
    return Error{std::string(kDocument) + " is too large to read"};
  }
}

Result<TabSnapshot> decodeSnapshot(std::string_view documentText) {
  try {
    // The parsed tree lives only while it is decoded, so one arena serves it.
    boost::json::monotonic_resource arena;
    boost::system::error_code error;
    boost::json::value document = parseJson(documentText, error, &arena);
    if (error) return Error{std::string(kDocument) + " is not valid JSON: " + error.message()};
    return decode(document);
  } catch (const std::bad_alloc&) {
    return Error{std::string(kDocument) + " is too large to read"};
  }
}

std::string snapshotBytes(std::string_view scannedAt, const std::vector<SafariTab>& tabs,
                          const FirstSeenMap* firstSeen) {
  // Written piece by piece: each tab is encoded and written out on its own,
  // so no tree of the whole document is ever held. The pieces join exactly as
  // the whole document would be written.
  std::size_t estimate = 64 + scannedAt.size();  // an over-estimate touches no memory
  for (const SafariTab& tab : tabs) {
    estimate += 128 + tab.title.size() + tab.url.size() * 5 / 4 +
                (tab.snippet ? tab.snippet->size() : 0) + (tab.summary ? tab.summary->size() : 0);
  }
  if (firstSeen) {
    for (const auto& [page, time] : *firstSeen) estimate += 8 + page.size() * 5 / 4 + time.size();
  }

  std::string out;
  out.reserve(estimate);
  out += "{\"scannedAt\":";
  out += documentBytes(
      boost::json::value(boost::json::string_view(scannedAt.data(), scannedAt.size())));
  out += ",\"tabs\":[";
  unsigned char buffer[4096];
  for (std::size_t i = 0; i < tabs.size(); ++i) {
    if (i > 0) out += ',';
    boost::json::monotonic_resource arena(buffer, sizeof buffer);
    out += documentBytes(boost::json::value(encodeTab(tabs[i], &arena)));
  }
  out += ']';
  if (firstSeen) {
    boost::json::monotonic_resource arena;
    boost::json::object members(&arena);
    members.reserve(firstSeen->size());
    for (const auto& [page, time] : *firstSeen) members.emplace(page, time);
    out += ",\"firstSeen\":";
    out += documentBytes(boost::json::value(std::move(members)));
  }
  out += '}';
  return out;
}

std::string snapshotBytes(const TabSnapshot& snapshot) {
  return snapshotBytes(snapshot.scannedAt, snapshot.tabs,
                       snapshot.firstSeen ? &*snapshot.firstSeen : nullptr);
}

}  // namespace velmora
