#include "handler/command_action.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <fstream>
#include <string>
#include <vector>

#include "support/recording_log.h"
#include "support/test_env.h"
#include "storage/command_queue.h"
#include "support/command_file.h"

namespace velmora {
namespace {

std::vector<VelmoraStorage::Command> queuedCommands(const std::filesystem::path& storage) {
  std::vector<VelmoraStorage::Command> commands;
  const auto dir = storage / "commands";
  if (!std::filesystem::exists(dir)) return commands;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    auto bytes = realFiles().readFile(entry.path(), SIZE_MAX);
    EXPECT_TRUE(bytes) << entry.path();
    if (!bytes) continue;
    auto command = decodeCommand(boost::json::parse(*bytes));
    EXPECT_TRUE(command) << entry.path();
    if (command) commands.push_back(*command);
  }
  return commands;
}

TEST(CommandActionTest, EveryCommandIsQueuedExceptOpenAppAndTheAppIsOpened) {
  struct Case {
    std::string command;
    std::string url;
    bool queued;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"openApp", "https://a.example/", false, "Nelo wird geöffnet"},
      {"saveCurrent", "https://a.example/p?q=1", true, "Tab wird in Nelo gespeichert"},
      {"saveAll", "", true, "Alle Tabs werden in Nelo gespeichert"},
      {"saveAndClose", "u", true, "Nelo speichert und schließt die Tabs"},
      {"cleanUp", "u", true, "Nelo räumt nutzlose Tabs auf"},
      {"SaveAll", "u", true, "Nelo wird geöffnet"},
      {"openapp", "", true, "Nelo wird geöffnet"},
      {"", "", true, "Nelo wird geöffnet"},
  };
  for (const Case& c : cases) {
    TestEnv home;
    int opened = 0;
    RecordingLog log;
    const auto reply =
        commandReply(c.command, c.url, log.logger(), [&] { ++opened; return Result<std::string>(std::string()); }, home.options());
    EXPECT_EQ(reply, (boost::json::object{{"ok", true}, {"message", c.message}})) << c.command;
    EXPECT_EQ(opened, 1) << c.command;
    EXPECT_TRUE(log.records.empty()) << c.command;
    const auto commands = queuedCommands(home.storage());
    if (c.queued) {
      ASSERT_EQ(commands.size(), 1u) << c.command;
      EXPECT_EQ(commands[0].command, c.command);
      EXPECT_EQ(commands[0].url, c.url);
    } else {
      EXPECT_TRUE(commands.empty()) << c.command;
    }
  }
}

TEST(CommandActionTest, OpenAppNeedsNoStorage) {
  TestEnv home;
  std::ofstream(home.storage()) << "not a directory";
  int opened = 0;
  RecordingLog log;
  EXPECT_EQ(commandReply("openApp", "", log.logger(), [&] { ++opened; return Result<std::string>(std::string()); }, home.options()).at("ok"),
            true);
  EXPECT_EQ(opened, 1);
}

TEST(CommandActionTest, ApplicationBundleIsThreeLevelsAboveTheExtension) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/tmp/x/Nelo.AppDir/Contents/PlugIns/velmora-extension", "/tmp/x/Nelo.AppDir"},
      {"/tmp/x/Nelo.AppDir/Contents/PlugIns/velmora-extension/", "/tmp/x/Nelo.AppDir"},
      {"/opt/Nelo.AppDir/Contents/PlugIns/ext", "/opt/Nelo.AppDir"},
      {"/a/b/c", "/"},
  };
  for (const auto& [extension, application] : cases) {
    EXPECT_EQ(containingApplicationBundle(extension), application) << extension;
  }
}

}  // namespace
}  // namespace velmora
