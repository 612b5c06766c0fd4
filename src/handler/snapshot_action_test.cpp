#include "handler/snapshot_action.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <fstream>
#include <string>
#include <vector>

#include "handler/message.h"
#include "support/messages.h"
#include "support/recording_log.h"
#include "support/test_env.h"

namespace velmora {
namespace {

const char kScannedAt[] = "2024-05-01T10:00:00Z";

// The records of a "tabs" array given as text, as the endpoint hands them on.
Result<std::vector<SafariTab>> tabsOf(const std::string& tabs) {
  return readMessage(R"({"tabs":)" + tabs + "}")->tabs;
}

TEST(SnapshotActionTest, StoredTabsAreCountedAndAnsweredWithTheSettings) {
  struct Case {
    const char* name;
    std::string tabs;
    std::int64_t count;
  };
  const std::vector<Case> cases = {
      {"no tabs", "[]", 0},
      {"three tabs",
       "[" + tabJson(1, "https://a.example/") + "," + tabJson(2, "https://b.example/") + "," +
           tabJson(3, "https://a.example/") + "]",
       3},
  };
  for (const Case& c : cases) {
    TestEnv home;
    RecordingLog logged;
    const auto reply = snapshotReply(tabsOf(c.tabs), kScannedAt, logged.logger(), home.options());
    EXPECT_EQ(reply, (boost::json::object{
                         {"ok", true}, {"count", c.count}, {"badge", {{"enabled", false}}}}))
        << c.name;
    EXPECT_TRUE(std::filesystem::exists(home.storage() / "snapshot.v1.json")) << c.name;
    ASSERT_EQ(logged.records.size(), 1u) << c.name;
    EXPECT_EQ(logged.records[0].level, LogLevel::info);
    EXPECT_EQ(logged.records[0].text, "Snapshot gespeichert: " + std::to_string(c.count) + " Tabs");
  }
}

TEST(SnapshotActionTest, BadgeIsTheSettingsFileReadAfterTheSave) {
  TestEnv home;
  RecordingLog logged;
  const auto tabs = tabsOf("[" + tabJson(1, "https://a.example/") + "]");
  std::filesystem::create_directories(home.storage());
  const char settings[] = R"({"enabled":"ja","limit":3.5,"nested":{"list":[1,null,true]}})";
  std::ofstream(home.storage() / "extension-settings.json") << settings;
  EXPECT_EQ(snapshotReply(tabs, kScannedAt, logged.logger(), home.options()).at("badge"),
            boost::json::parse(settings));
  std::ofstream(home.storage() / "extension-settings.json") << "{}";
  EXPECT_EQ(snapshotReply(tabs, kScannedAt, logged.logger(), home.options()).at("badge"), boost::json::object());
}

TEST(SnapshotActionTest, AnEntryThatDoesNotDecodeStopsTheWholeSave) {
  TestEnv home;
  RecordingLog logged;
  const auto tabs = tabsOf("[" + tabJson(1, "https://a.example/") +
                           R"(,{"id":2,"windowId":1,"title":"T","pinned":false,)"
                           R"("active":false}])");
  const auto reply = snapshotReply(tabs, kScannedAt, logged.logger(), home.options());
  ASSERT_EQ(reply.size(), 2u);
  EXPECT_EQ(reply.at("ok"), false);
  const std::string error(reply.at("error").as_string());
  EXPECT_NE(error.find("tabs[1]"), std::string::npos) << error;
  EXPECT_NE(error.find("url"), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(home.storage() / "snapshot.v1.json"));
  ASSERT_EQ(logged.records.size(), 1u);
  EXPECT_EQ(logged.records[0].level, LogLevel::error);
  EXPECT_EQ(logged.records[0].text, "Speichern fehlgeschlagen: " + error);
}

// A path that is not UTF-8 (Linux paths are bytes) must not make the reply
// unreadable to the browser.
TEST(SnapshotActionTest, BytesOfADescriptionThatAreNotUtf8BecomeReplacementCharacters) {
  struct Latin1Home : TestEnv {
    Result<std::filesystem::path> storageDirectory() override {
      return Error{"cannot create directory /home/caf\xe9/Velmora: Not a directory"};
    }
  } home;
  RecordingLog logged;
  const auto reply = snapshotReply(tabsOf("[]"), kScannedAt, logged.logger(), home.options());
  const std::string error(reply.at("error").as_string());
  EXPECT_NE(error.find("caf\xEF\xBF\xBD/Velmora"), std::string::npos) << error;
}

}  // namespace
}  // namespace velmora
