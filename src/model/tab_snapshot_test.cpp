#include "model/tab_snapshot.h"
#include "support/snapshot_bytes.h"
#include "support/text_in_pieces.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <functional>
#include <string>
#include <vector>

namespace velmora {
namespace {

constexpr std::string_view kTab =
    R"({"id":1,"windowId":1,"title":"T","url":"https:\/\/host\/a","pinned":false,"active":true})";

std::string document(std::string_view tabs, std::string_view rest = "") {
  return std::string(R"({"scannedAt":"2024-05-01T10:00:00Z","tabs":[)") + std::string(tabs) + "]" +
         std::string(rest) + "}";
}

TEST(SnapshotDocument, RoundTripsToIdenticalBytes) {
  // Escapes, non-ASCII text (raw and escaped on input), "/" in URLs, an empty
  // snippet and an absent summary.
  const std::string bytes =
      "{\"scannedAt\":\"2024-05-01T10:00:00.123Z\",\"tabs\":["
      "{\"id\":42,\"windowId\":-7,\"title\":\"Caf\xC3\xA9 \\\"quoted\\\" \\\\ back\\nline\\t"
      "\\u0001 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80\",\"url\":\"https:\\/\\/Host.example:443"
      "\\/path\\/?q=a%2Fb#frag\",\"pinned\":true,\"active\":false,\"snippet\":\"\"},"
      "{\"id\":9223372036854775807,\"windowId\":0,\"title\":\"\",\"url\":\"\",\"pinned\":false,"
      "\"active\":true,\"snippet\":\"s\",\"summary\":\"\xC3\xBC\"}],"
      "\"firstSeen\":{\"https:\\/\\/host.example\\/path\\/?q=a%2Fb\":\"2024-05-01T09:00:00Z\"}}";
  auto snapshot = decodeSnapshot(bytes);
  ASSERT_TRUE(snapshot.ok()) << snapshot.error().description;
  ASSERT_EQ(snapshot->tabs.size(), 2u);
  EXPECT_EQ(snapshot->tabs[0].snippet, std::optional<std::string>(""));
  EXPECT_FALSE(snapshot->tabs[0].summary.has_value());
  EXPECT_EQ(snapshot->tabs[0].url, "https://Host.example:443/path/?q=a%2Fb#frag");
  EXPECT_EQ(snapshotBytes(*snapshot), bytes);
}

// A write that failed wants no more bytes: the rest is never encoded.
TEST(SnapshotDocument, EncodingStopsAtTheFirstRefusedPiece) {
  std::vector<SafariTab> tabs(2000);
  for (SafariTab& tab : tabs) tab.title.assign(100, 't');
  int pieces = 0;
  writeSnapshotBytes("2024-05-01T10:00:00Z", tabs, nullptr, [&](std::string_view) {
    ++pieces;
    return false;
  });
  EXPECT_EQ(pieces, 1);
}

TEST(SnapshotDocument, EmptyScanWritesEmptyTabsAndMap) {
  TabSnapshot snapshot;
  snapshot.scannedAt = "not a time at all";
  snapshot.firstSeen.emplace();
  const std::string bytes = snapshotBytes(snapshot);
  EXPECT_EQ(bytes, R"({"scannedAt":"not a time at all","tabs":[],"firstSeen":{}})");
  auto back = decodeSnapshot(bytes);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back->scannedAt, snapshot.scannedAt);
  EXPECT_TRUE(back->tabs.empty());
  ASSERT_TRUE(back->firstSeen.has_value());
  EXPECT_TRUE(back->firstSeen->empty());
}

TEST(SnapshotDocument, MissingOrNullFirstSeenIsAbsentAndNotWritten) {
  for (std::string_view rest : {"", R"(,"firstSeen":null)"}) {
    auto snapshot = decodeSnapshot(document(kTab, rest));
    ASSERT_TRUE(snapshot.ok()) << rest;
    EXPECT_FALSE(snapshot->firstSeen.has_value()) << rest;
    EXPECT_EQ(snapshotBytes(*snapshot), document(kTab)) << rest;
  }
}

TEST(SnapshotDocument, AcceptsAnyMemberOrderAndDropsUnknownMembers) {
  auto snapshot = decodeSnapshot(
      R"({"version":2,"firstSeen":{"https://host/a":"t0"},"tabs":[],"scannedAt":"t1"})");
  ASSERT_TRUE(snapshot.ok());
  EXPECT_EQ(snapshotBytes(*snapshot),
            R"({"scannedAt":"t1","tabs":[],"firstSeen":{"https:\/\/host\/a":"t0"}})");
}

TEST(SnapshotDocument, EveryFailureFailsTheWholeDocument) {
  struct Case {
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {"", "the snapshot document is not valid JSON"},
      {"{\"scannedAt\":\"t\",\"tabs\":[]", "the snapshot document is not valid JSON"},
      {"[]", "the snapshot document is not a JSON object"},
      {R"({"tabs":[]})", R"(the snapshot document lacks "scannedAt")"},
      {R"({"scannedAt":null,"tabs":[]})", "scannedAt is not a string"},
      {R"({"scannedAt":5,"tabs":[]})", "scannedAt is not a string"},
      {R"({"scannedAt":"t"})", R"(the snapshot document lacks "tabs")"},
      {R"({"scannedAt":"t","tabs":null})", "tabs is not an array"},
      {R"({"scannedAt":"t","tabs":{}})", "tabs is not an array"},
      {document(std::string(kTab) + R"(,{"id":2,"windowId":1,"title":"","pinned":false,)"
                                    R"("active":false})"),
       R"(tabs[1] lacks "url")"},
      {document(kTab, R"(,"firstSeen":{"https://host/a":5})"),
       R"(firstSeen member "https://host/a" is not a string)"},
      {document(kTab, R"(,"firstSeen":{"https://host/a":null})"),
       R"(firstSeen member "https://host/a" is not a string)"},
      {document(kTab, R"(,"firstSeen":[])"), "firstSeen is not an object or null"},
      // Read as it streams by, yet judged as a whole: a member given twice
      // counts with its last value, members are checked in a fixed order,
      // entries by index, and text that is not JSON fails as such even
      // after an entry that does not decode.
      {R"({"scannedAt":"t","tabs":[],"scannedAt":5})", "scannedAt is not a string"},
      {R"({"tabs":[{}],"scannedAt":5})", "scannedAt is not a string"},
      {document(R"({"url":5,"windowId":"w"},{"id":1})"), R"(tabs[0] lacks "id")"},
      {document(std::string(kTab) + R"(,7,{})"), "tabs[1] is not an object"},
      {document(std::string(R"({"url":"u","id":1,"windowId":1,"title":"","url":5,)"
                            R"("pinned":false,"active":false})")),
       "tabs[0].url is not a string"},
      {document(kTab, R"(,"firstSeen":{"a":1,"b":2,"a":"x"})"),
       "firstSeen is not an object of distinct pages"},
      {document(kTab, ",\"firstSeen\":{\"\u00e9\":\"a\",\"e\u0301\":\"b\"}"),
       "firstSeen is not an object of distinct pages"},
      {document("{}") + " x", "the snapshot document is not valid JSON"},
  };
  for (const Case& c : cases) {
    auto snapshot = decodeSnapshot(c.text);
    ASSERT_FALSE(snapshot.ok()) << c.text;
    EXPECT_EQ(snapshot.error().description.substr(0, c.message.size()), c.message) << c.text;
  }
}

TEST(SnapshotDocument, ReadInPiecesDecodesAsReadWhole) {
  const std::string texts[] = {
      document(kTab, R"(,"firstSeen":{"https:\/\/host\/a":"t0"})") + " \n",
      document(kTab, R"(,"firstSeen":{"a":"1","b":"x","a":"2"})"),
      document(R"({"id":1,"windowId":1,"title":"half \ud83d","url":"u","pinned":false,)"
               R"("active":true})"),
      document(kTab) + " x",
      document(kTab) + "{}",
      document(kTab).substr(0, 40),
      document(kTab).substr(0, 36) + "\\",
      document(R"({"id":1.5})"),
      "",
  };
  for (const std::string& text : texts) {
    const Result<TabSnapshot> whole = decodeSnapshot(text);
    for (std::size_t size : {1, 7, 64}) {
      const Result<TabSnapshot> pieces = decodeSnapshot(inPieces(text, size));
      ASSERT_EQ(pieces.ok(), whole.ok()) << text << " in pieces of " << size;
      if (whole.ok()) {
        EXPECT_EQ(snapshotBytes(*pieces), snapshotBytes(*whole)) << text;
      } else {
        EXPECT_EQ(pieces.error(), whole.error()) << text << " in pieces of " << size;
      }
    }
  }
  // Escapes, also when a piece ends inside one, mean what they mean in JSON.
  const std::pair<std::string, std::string> titles[] = {
      {R"(a\/b)", "a/b"},      {R"(a\\/b)", R"(a\/b)"},  {R"(a\\\/b)", R"(a\/b)"},
      {R"(\/\/\\)", R"(//\)"}, {R"(\u002F\")", R"(/")"},
  };
  for (const auto& [escaped, title] : titles) {
    const std::string text = document(R"({"id":1,"windowId":1,"title":")" + escaped +
                                      R"(","url":"u","pinned":false,"active":true})");
    for (std::size_t size : {1, 2, 3, 64}) {
      const Result<TabSnapshot> pieces = decodeSnapshot(inPieces(text, size));
      ASSERT_TRUE(pieces.ok()) << escaped;
      EXPECT_EQ(pieces->tabs.at(0).title, title) << escaped << " in pieces of " << size;
    }
  }

  // A document that cannot be read (or read again) is not one.
  const Result<TabSnapshot> unreadable =
      decodeSnapshot([](const std::function<bool(std::string_view)>&) { return false; });
  ASSERT_FALSE(unreadable.ok());
  EXPECT_EQ(unreadable.error().description.substr(0, 39),
            "the snapshot document is not valid JSON");
}

// Only the bytes this host writes for the tabs are taken without decoding,
// and those decode to the very tabs and a map of exactly their pages. A
// page is the same page in another spelling too (two tabs, one entry).
TEST(SnapshotDocument, OnlyItsOwnBytesForTheTabsAreTakenUndecoded) {
  std::vector<SafariTab> tabs(6);
  tabs[0] = {1, 2, "Caf\xC3\xA9 \"quoted\"", "HTTPS://Host.example/x#top", false, true, "", {}};
  tabs[1] = {2, 2, "B", "https://b.example/", true, false, {}, "sum"};
  tabs[2] = {3, 2, "Again", "https://host.example/x", false, false, {}, {}};
  tabs[3] = {4, 2, "No address", "", false, false, {}, {}};
  tabs[4] = {5, 2, "Same page", "https://b.example/\xC3\xA9", false, false, {}, {}};
  tabs[5] = {6, 2, "Same page", "https://b.example/e\xCC\x81", false, false, {}, {}};
  const auto map = [](std::vector<std::pair<std::string, std::string>> entries) {
    FirstSeenMap result;
    for (auto& [page, time] : entries) result.set(page, time);
    return result;
  };
  const FirstSeenMap pages = map({{"https://host.example/x", "t0"},
                                  {"https://b.example", "2024-05-01T09:00:00.000Z"},
                                  {"https://b.example/\xC3\xA9", ""}});
  const FirstSeenMap fewer = map({{"https://host.example/x", "t0"}, {"https://b.example", "t1"}});
  const std::string time = "2024-05-01T10:00:00Z";
  const std::string own = snapshotBytes(time, tabs, &pages);
  // The document with the last `from` in it made `to`.
  const auto replaced = [](std::string text, std::string_view from, std::string_view to) {
    return text.replace(text.rfind(from), from.size(), to);
  };
  const std::string e = "https:\\/\\/b.example\\/";  // as the map's names begin
  // A map's names with no page taken once: with each page as often as the
  // tabs show it, or with both spellings of one.
  const std::string everyTime = replaced(
      replaced(own, "\"" + e + "\xC3\xA9", R"("https:\/\/host.example\/x":"t",")" + e + "\xC3\xA9"),
      R"(:""}})", ":\"\",\"" + e + "e\xCC\x81\":\"\"}}");
  const std::string bothSpellings =
      replaced(own, R"(:""}})", ":\"\",\"" + e + "e\xCC\x81\":\"\"}}");
  std::vector<SafariTab> recomposed = tabs;
  recomposed[0].title = "Cafe\xCC\x81 \"quoted\"";
  struct Case {
    const char* name;
    std::string text;
    bool taken;
  };
  const Case cases[] = {
      {"its own bytes", own, true},
      {"another scan time", replaced(own, time, "later"), true},
      {"a scan time refused", replaced(own, time, "stale"), false},
      {"a scan time with an escape", replaced(own, time, "10:00\\u003a00"), false},
      {"a scan time with a control character", replaced(own, time, "10:00\t"), false},
      {"a first-seen time with an escape", replaced(own, "\"t0\"", "\"t\\q\""), false},
      {"a first-seen time not valid UTF-8", replaced(own, "\"t0\"", "\"t\xFF\""), false},
      {"a first-seen time not a string", replaced(own, "\"t0\"", "0"), false},
      {"a title in another normalisation form", snapshotBytes(time, recomposed, &pages), false},
      {"one tab fewer", snapshotBytes(time, {tabs.begin(), tabs.end() - 1}, &pages), false},
      {"no map", snapshotBytes(time, tabs, nullptr), false},
      {"a page missing", snapshotBytes(time, tabs, &fewer), false},
      // Both fail the decoding as a map of pages that are not distinct.
      {"a page each time a tab shows it", everyTime, false},
      {"a page in both spellings", bothSpellings, false},
      {"another tab list after the map", own.substr(0, own.size() - 1) + R"(,"tabs":[]})", false},
      {"white space after it", own + " ", false},
      {"cut short", own.substr(0, own.size() - 1), false},
      {"empty", "", false},
  };
  const auto wanted = [](std::string_view scannedAt) { return scannedAt != "stale"; };
  for (const Case& c : cases) {
    for (std::size_t size : {1, 5, 64, 1 << 16}) {
      EXPECT_EQ(isOwnDocumentFor(inPieces(c.text, size), tabs, wanted), c.taken)
          << c.name << " in pieces of " << size;
    }
    if (!c.taken) continue;
    const Result<TabSnapshot> decoded = decodeSnapshot(c.text);
    ASSERT_TRUE(decoded.ok()) << c.name;
    EXPECT_EQ(decoded->tabs, tabs) << c.name;
    ASSERT_TRUE(decoded->firstSeen.has_value()) << c.name;
    EXPECT_EQ(decoded->firstSeen->size(), 3u) << c.name;
  }
}

TEST(SnapshotDocument, AMemberGivenTwiceCountsWithItsLastValue) {
  auto snapshot = decodeSnapshot(
      R"({"scannedAt":"t0","tabs":7,"firstSeen":{"a":1},"firstSeen":{"a":"y","b":"x"},)"
      R"("scannedAt":"t1",)"
      R"("tabs":[{"id":1,"windowId":1,"title":"T","url":"u","pinned":false,"active":true,)"
      R"("title":"T2","snippet":"s","snippet":null}]})");
  ASSERT_TRUE(snapshot.ok()) << snapshot.error().description;
  EXPECT_EQ(snapshotBytes(*snapshot),
            R"({"scannedAt":"t1","tabs":[{"id":1,"windowId":1,"title":"T2","url":"u",)"
            R"("pinned":false,"active":true}],"firstSeen":{"a":"y","b":"x"}})");
}

}  // namespace
}  // namespace velmora
