#include "model/tab_snapshot.h"

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parse.hpp>
#include <exception>
#include <new>
#include <utility>

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
    boost::json::value document = boost::json::parse(documentText, error, &arena);
    if (error) return Error{std::string(kDocument) + " is not valid JSON: " + error.message()};
    return decode(document);
  } catch (const std::bad_alloc&) {
    return Error{std::string(kDocument) + " is too large to read"};
  }
}

boost::json::value encodeSnapshot(const TabSnapshot& snapshot, boost::json::storage_ptr storage) {
  boost::json::object document(storage);
  document.reserve(3);
  document.emplace("scannedAt", snapshot.scannedAt);
  boost::json::array tabs(storage);
  tabs.reserve(snapshot.tabs.size());
  for (const SafariTab& tab : snapshot.tabs) tabs.emplace_back(encodeTab(tab, storage));
  document.emplace("tabs", std::move(tabs));
  if (snapshot.firstSeen) {
    boost::json::object firstSeen(storage);
    firstSeen.reserve(snapshot.firstSeen->size());
    for (const auto& [key, value] : *snapshot.firstSeen) firstSeen.emplace(key, value);
    document.emplace("firstSeen", std::move(firstSeen));
  }
  return boost::json::value(std::move(document));
}

std::string snapshotBytes(const TabSnapshot& snapshot) {
  // The tree is thrown away once serialised: build it in one arena.
  boost::json::monotonic_resource arena;
  return documentBytes(encodeSnapshot(snapshot, &arena));
}

}  // namespace velmora
