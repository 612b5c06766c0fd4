#include "model/safari_tab.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <string>

namespace velmora {
namespace {

boost::json::value json(std::string_view text) { return boost::json::parse(text); }

// A complete entry with one member replaced (or removed, for an empty value).
boost::json::value entryWith(std::string_view key, std::string_view valueText) {
  boost::json::value entry =
      json(R"({"id":7,"windowId":2,"title":"T","url":"https://a/","pinned":false,"active":true})");
  if (valueText.empty()) {
    entry.as_object().erase(key);
  } else {
    entry.as_object()[key] = json(valueText);
  }
  return entry;
}

SafariTab sampleTab() {
  SafariTab tab;
  tab.id = 7;
  tab.windowId = 2;
  tab.title = "T";
  tab.url = "https://a/";
  tab.active = true;
  return tab;
}

TEST(DecodeTab, ReadsAllFields) {
  auto tab = decodeTab(json(R"({"active":false,"summary":"Sum","id":-4,"windowId":9,
      "title":"Caf\u00e9","url":"https://x/y","pinned":true,"snippet":"","extra":[1]})"),
                       "tabs[0]");
  ASSERT_TRUE(tab.ok()) << tab.error().description;
  EXPECT_EQ(tab->id, -4);
  EXPECT_EQ(tab->windowId, 9);
  EXPECT_EQ(tab->title, "Caf\xC3\xA9");
  EXPECT_EQ(tab->url, "https://x/y");
  EXPECT_TRUE(tab->pinned);
  EXPECT_FALSE(tab->active);
  EXPECT_EQ(tab->snippet, std::optional<std::string>(""));
  EXPECT_EQ(tab->summary, std::optional<std::string>("Sum"));
}

TEST(DecodeTab, AcceptsWholeNumbersInAnyFormWithinSigned64Bits) {
  struct Case {
    const char* text;
    std::int64_t expected;
  };
  for (const Case& c : {Case{"3", 3}, Case{"-9223372036854775808", INT64_MIN},
                        Case{"9223372036854775807", INT64_MAX}, Case{"3.0", 3}, Case{"3e2", 300},
                        Case{"-0.0", 0}, Case{"9.2e18", 9200000000000000000}}) {
    for (const char* key : {"id", "windowId"}) {
      auto tab = decodeTab(entryWith(key, c.text), "tab");
      ASSERT_TRUE(tab.ok()) << key << " = " << c.text << ": " << tab.error().description;
      EXPECT_EQ(std::string(key) == "id" ? tab->id : tab->windowId, c.expected)
          << key << " = " << c.text;
    }
  }
  // Small unsigned values can arrive from values built in code, not parsed.
  boost::json::value entry = entryWith("id", "1");
  entry.as_object()["id"] = std::uint64_t{5};
  auto tab = decodeTab(entry, "tab");
  ASSERT_TRUE(tab.ok());
  EXPECT_EQ(tab->id, 5);
}

TEST(DecodeTab, FailsOnEveryWrongShapeWithAPlainMessage) {
  struct Case {
    const char* key;
    const char* valueText;  // empty: member removed
    const char* message;
  };
  const Case cases[] = {
      {"id", "", R"(tabs[2] lacks "id")"},
      {"id", "1.5", "tabs[2].id is not a whole number in the 64-bit range"},
      {"id", "9223372036854775808", "tabs[2].id is not a whole number in the 64-bit range"},
      {"id", "-9223372036854775809", "tabs[2].id is not a whole number in the 64-bit range"},
      {"id", "18446744073709551616", "tabs[2].id is not a whole number in the 64-bit range"},
      {"id", "1e400", "tabs[2].id is not a whole number in the 64-bit range"},
      {"id", "9.3e18", "tabs[2].id is not a whole number in the 64-bit range"},
      {"id", "-9.3e18", "tabs[2].id is not a whole number in the 64-bit range"},
      {"id", "\"3\"", "tabs[2].id is not a whole number in the 64-bit range"},
      {"id", "null", "tabs[2].id is not a whole number in the 64-bit range"},
      {"id", "true", "tabs[2].id is not a whole number in the 64-bit range"},
      {"windowId", "", R"(tabs[2] lacks "windowId")"},
      {"windowId", "0.5", "tabs[2].windowId is not a whole number in the 64-bit range"},
      {"title", "", R"(tabs[2] lacks "title")"},
      {"title", "3", "tabs[2].title is not a string"},
      {"title", "null", "tabs[2].title is not a string"},
      {"url", "", R"(tabs[2] lacks "url")"},
      {"url", "[\"x\"]", "tabs[2].url is not a string"},
      {"pinned", "", R"(tabs[2] lacks "pinned")"},
      {"pinned", "1", "tabs[2].pinned is not true or false"},
      {"pinned", "\"true\"", "tabs[2].pinned is not true or false"},
      {"active", "", R"(tabs[2] lacks "active")"},
      {"active", "null", "tabs[2].active is not true or false"},
      {"snippet", "0", "tabs[2].snippet is not a string or null"},
      {"snippet", "false", "tabs[2].snippet is not a string or null"},
      {"summary", "{}", "tabs[2].summary is not a string or null"},
  };
  for (const Case& c : cases) {
    auto tab = decodeTab(entryWith(c.key, c.valueText), "tabs[2]");
    ASSERT_FALSE(tab.ok()) << c.key << " = " << c.valueText;
    EXPECT_EQ(tab.error().description, c.message) << c.key << " = " << c.valueText;
  }
  for (const char* notObject : {"[]", "null", "\"tab\"", "1"}) {
    auto tab = decodeTab(json(notObject), "tabs[0]");
    ASSERT_FALSE(tab.ok()) << notObject;
    EXPECT_EQ(tab.error().description, "tabs[0] is not an object");
  }
}

TEST(DecodeTab, MemberNamesAreCaseSensitive) {
  boost::json::value entry = entryWith("url", "");
  entry.as_object()["URL"] = "https://a/";
  EXPECT_FALSE(decodeTab(entry, "tab").ok());
}

TEST(DecodeTab, MissingOrNullOptionalIsAbsentAndStaysAbsent) {
  for (const char* snippet : {"", "null"}) {
    auto tab = decodeTab(entryWith("snippet", snippet), "tab");
    ASSERT_TRUE(tab.ok()) << snippet;
    EXPECT_FALSE(tab->snippet.has_value()) << snippet;
    EXPECT_FALSE(encodeTab(*tab).contains("snippet")) << snippet;
  }
}

TEST(EncodeTab, WritesMembersInFixedOrderAndOnlyPresentOptionals) {
  SafariTab tab = sampleTab();
  EXPECT_EQ(boost::json::serialize(encodeTab(tab)),
            R"({"id":7,"windowId":2,"title":"T","url":"https://a/","pinned":false,"active":true})");
  tab.summary = "";
  EXPECT_EQ(boost::json::serialize(encodeTab(tab)),
            R"({"id":7,"windowId":2,"title":"T","url":"https://a/","pinned":false,"active":true,)"
            R"("summary":""})");
  tab.snippet = "s";
  tab.id = INT64_MIN;
  EXPECT_EQ(boost::json::serialize(encodeTab(tab)),
            R"({"id":-9223372036854775808,"windowId":2,"title":"T","url":"https://a/",)"
            R"("pinned":false,"active":true,"snippet":"s","summary":""})");
}

TEST(EncodeTab, DropsUnknownMembersAndRoundTrips) {
  auto tab = decodeTab(entryWith("colour", "\"red\""), "tab");
  ASSERT_TRUE(tab.ok());
  boost::json::object encoded = encodeTab(*tab);
  EXPECT_FALSE(encoded.contains("colour"));
  auto again = decodeTab(encoded, "tab");
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(*again, *tab);
}

TEST(DecodeTabs, OneBadEntryFailsTheWholeList) {
  auto tabs = decodeTabs(json(R"([{"id":1,"windowId":1,"title":"","url":"","pinned":false,
      "active":false},{"id":2,"windowId":1,"title":"","url":"","pinned":1,"active":false}])"));
  ASSERT_FALSE(tabs.ok());
  EXPECT_EQ(tabs.error().description, "tabs[1].pinned is not true or false");

  EXPECT_EQ(decodeTabs(json("{}")).error().description, "tabs is not an array");
  auto empty = decodeTabs(json("[]"));
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->empty());
}

TEST(SafariTabEquality, ComparesAllFieldsAndTextsByCanonicalEquivalence) {
  const SafariTab base = sampleTab();
  struct Case {
    const char* name;
    void (*change)(SafariTab&);
    bool equal;
  };
  const Case cases[] = {
      {"identical", [](SafariTab&) {}, true},
      {"id", [](SafariTab& t) { t.id = 8; }, false},
      {"windowId", [](SafariTab& t) { t.windowId = 3; }, false},
      {"title", [](SafariTab& t) { t.title = "t"; }, false},
      {"url", [](SafariTab& t) { t.url = "https://a"; }, false},
      {"pinned", [](SafariTab& t) { t.pinned = true; }, false},
      {"active", [](SafariTab& t) { t.active = false; }, false},
      {"snippet absent vs empty", [](SafariTab& t) { t.snippet = ""; }, false},
      {"summary absent vs empty", [](SafariTab& t) { t.summary = ""; }, false},
  };
  for (const Case& c : cases) {
    SafariTab other = base;
    c.change(other);
    EXPECT_EQ(other == base, c.equal) << c.name;
    EXPECT_EQ(base == other, c.equal) << c.name;
  }

  SafariTab composed = base;
  composed.title = "Caf\xC3\xA9";  // e with acute, precomposed
  composed.summary = "\xC3\x85";   // A with ring above
  SafariTab decomposed = base;
  decomposed.title = "Cafe\xCC\x81";    // e + combining acute
  decomposed.summary = "\xE2\x84\xAB";  // angstrom sign
  EXPECT_EQ(composed, decomposed);
}

TEST(SafariTabEquality, NormalisedAlikeIsNotEqual) {
  SafariTab a = sampleTab();
  SafariTab b = sampleTab();
  b.url = "HTTPS://A/#top";
  EXPECT_EQ(a.normalizedURL(), b.normalizedURL());
  EXPECT_NE(a, b);
}

TEST(SafariTabEquality, ListsCompareByPosition) {
  SafariTab a = sampleTab();
  SafariTab b = sampleTab();
  b.id = 9;
  EXPECT_EQ((std::vector<SafariTab>{a, b}), (std::vector<SafariTab>{a, b}));
  EXPECT_NE((std::vector<SafariTab>{a, b}), (std::vector<SafariTab>{b, a}));
  EXPECT_NE((std::vector<SafariTab>{a}), (std::vector<SafariTab>{a, a}));
}

}  // namespace
}  // namespace velmora
