#include "model/safari_tab.h"

#include <gtest/gtest.h>

#include <string>

#include "model/tab_snapshot.h"

namespace velmora {
namespace {

// Decodes the entry as the only one of a list: its errors name it tabs[0].
Result<SafariTab> decodeEntry(std::string_view entry) {
  auto snapshot = decodeSnapshot(R"({"scannedAt":"t","tabs":[)" + std::string(entry) + "]}");
  if (!snapshot) return snapshot.error();
  return snapshot->tabs.at(0);
}

// A complete entry with one member's text replaced (or the member removed,
// for an empty text).
std::string entryWith(std::string_view key, std::string_view valueText) {
  const std::pair<std::string_view, std::string_view> members[] = {
      {"id", "7"},         {"windowId", "2"},     {"title", R"("T")"},
      {"url", R"("https://a/")"}, {"pinned", "false"}, {"active", "true"}};
  std::string entry = "{";
  bool replaced = false;
  for (const auto& [name, text] : members) {
    const bool isKey = name == key;
    replaced = replaced || isKey;
    if (isKey && valueText.empty()) continue;
    if (entry.size() > 1) entry += ",";
    entry.append("\"").append(name).append("\":").append(isKey ? valueText : text);
  }
  if (!replaced && !valueText.empty()) {
    entry.append(",\"").append(key).append("\":").append(valueText);
  }
  return entry + "}";
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
  auto tab = decodeEntry((R"({"active":false,"summary":"Sum","id":-4,"windowId":9,
      "title":"Caf\u00e9","url":"https://x/y","pinned":true,"snippet":"","extra":[1]})"));
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
      auto tab = decodeEntry(entryWith(key, c.text));
      ASSERT_TRUE(tab.ok()) << key << " = " << c.text << ": " << tab.error().description;
      EXPECT_EQ(std::string(key) == "id" ? tab->id : tab->windowId, c.expected)
          << key << " = " << c.text;
    }
  }
}

TEST(DecodeTab, FailsOnEveryWrongShapeWithAPlainMessage) {
  struct Case {
    const char* key;
    const char* valueText;  // empty: member removed
    const char* message;
  };
  const Case cases[] = {
      {"id", "", R"(tabs[0] lacks "id")"},
      {"id", "1.5", "tabs[0].id is not a whole number in the 64-bit range"},
      {"id", "9223372036854775808", "tabs[0].id is not a whole number in the 64-bit range"},
      {"id", "-9223372036854775809", "tabs[0].id is not a whole number in the 64-bit range"},
      {"id", "1e400", "tabs[0].id is not a whole number in the 64-bit range"},
      {"id", "9.3e18", "tabs[0].id is not a whole number in the 64-bit range"},
      {"id", "-9.3e18", "tabs[0].id is not a whole number in the 64-bit range"},
      {"id", "\"3\"", "tabs[0].id is not a whole number in the 64-bit range"},
      {"id", "null", "tabs[0].id is not a whole number in the 64-bit range"},
      {"id", "true", "tabs[0].id is not a whole number in the 64-bit range"},
      {"windowId", "", R"(tabs[0] lacks "windowId")"},
      {"windowId", "0.5", "tabs[0].windowId is not a whole number in the 64-bit range"},
      {"title", "", R"(tabs[0] lacks "title")"},
      {"title", "3", "tabs[0].title is not a string"},
      {"title", "null", "tabs[0].title is not a string"},
      {"url", "", R"(tabs[0] lacks "url")"},
      {"url", "[\"x\"]", "tabs[0].url is not a string"},
      {"pinned", "", R"(tabs[0] lacks "pinned")"},
      {"pinned", "1", "tabs[0].pinned is not true or false"},
      {"pinned", "\"true\"", "tabs[0].pinned is not true or false"},
      {"active", "", R"(tabs[0] lacks "active")"},
      {"active", "null", "tabs[0].active is not true or false"},
      {"snippet", "0", "tabs[0].snippet is not a string or null"},
      {"snippet", "false", "tabs[0].snippet is not a string or null"},
      {"summary", "{}", "tabs[0].summary is not a string or null"},
  };
  for (const Case& c : cases) {
    auto tab = decodeEntry(entryWith(c.key, c.valueText));
    ASSERT_FALSE(tab.ok()) << c.key << " = " << c.valueText;
    EXPECT_EQ(tab.error().description, c.message) << c.key << " = " << c.valueText;
  }
  for (const char* notObject : {"[]", "null", "\"tab\"", "1"}) {
    auto tab = decodeEntry(notObject);
    ASSERT_FALSE(tab.ok()) << notObject;
    EXPECT_EQ(tab.error().description, "tabs[0] is not an object");
  }
}

TEST(DecodeTab, MemberNamesAreCaseSensitive) {
  EXPECT_FALSE(
      decodeEntry(
          R"({"id":7,"windowId":2,"title":"T","URL":"https://a/","pinned":false,"active":true})")
          .ok());
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
      // Normalised alike, still another address.
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

}  // namespace
}  // namespace velmora
