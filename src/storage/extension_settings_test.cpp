#include "storage/extension_settings.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <filesystem>
#include <fstream>

#include "support/test_env.h"

namespace velmora::VelmoraStorage {
namespace {

namespace stdfs = std::filesystem;

class ExtensionSettingsTest : public ::testing::Test {
 protected:
  stdfs::path settingsFile() const { return home_.storage() / "extension-settings.json"; }

  void writeSettings(std::string_view bytes) {
    stdfs::create_directories(settingsFile().parent_path());
    std::ofstream(settingsFile(), std::ios::binary | std::ios::trunc) << bytes;
  }

  TestEnv home_;
};

const boost::json::object kDefault{{"enabled", false}};

TEST_F(ExtensionSettingsTest, MissingFileGivesDefault) {
  EXPECT_EQ(extensionSettings(home_.options()), kDefault);
  // Reading creates the storage directory but never the file.
  EXPECT_FALSE(stdfs::exists(settingsFile()));
}

TEST_F(ExtensionSettingsTest, AnythingButAnObjectGivesDefault) {
  const std::string cases[] = {
      "",
      "[]",
      "null",
      R"("enabled")",
      "{",
      R"({"enabled": true,})",
      R"({"enabled": true} trailing)",
      R"({"enabled": true} {})",
      "{\"enabled\": true, \"name\": \"\xff\xfe\"}",  // not UTF-8
      std::string("{\"enabled\":\0true}", 17),
      R"({"enabled": true, "n": 1e400})",  // no finite double: no JSON reply
      R"({"list": [-1e999]})",
  };
  for (const std::string& bytes : cases) {
    writeSettings(bytes);
    EXPECT_EQ(extensionSettings(home_.options()), kDefault) << "file: [" << bytes << "]";
  }
}

TEST_F(ExtensionSettingsTest, ObjectIsReturnedUnchanged) {
  const std::string cases[] = {
      "{}",
      R"({"enabled": "true", "maxTabs": 12})",
      R"({"enabled": false, "ratio": 0.25, "big": 12345678901234567890,
          "nested": {"list": [1, "two", null, {"x": true}]}, "empty": {}, "none": null})",
      R"({"ünïcödé": "Grüße", "slash": "a/b"})",
      R"({"half": "\ud83d"})",
      "{\"deep\":" + std::string(200, '[') + std::string(200, ']') + "}",
  };
  boost::json::parse_options deep;
  deep.max_depth = 256;
  for (const std::string& text : cases) {
    writeSettings(text);
    const boost::json::object settings = extensionSettings(home_.options());
    if (text.find("\\ud83d") != std::string::npos) {
      EXPECT_EQ(settings.at("half"), "\xEF\xBF\xBD");
      continue;
    }
    EXPECT_EQ(settings, boost::json::parse(text, {}, deep).as_object()) << text;
    EXPECT_EQ(boost::json::serialize(settings),
              boost::json::serialize(boost::json::parse(text, {}, deep)))
        << "value types must be kept: " << text;
  }
}

TEST_F(ExtensionSettingsTest, ByteOrderMarkIsNotPartOfTheText) {
  writeSettings("\xEF\xBB\xBF{\"enabled\": true}");
  EXPECT_EQ(extensionSettings(home_.options()), (boost::json::object{{"enabled", true}}));
}

TEST_F(ExtensionSettingsTest, FileIsReadAnewOnEveryCall) {
  writeSettings(R"({"enabled": true})");
  EXPECT_EQ(extensionSettings(home_.options()), (boost::json::object{{"enabled", true}}));
  writeSettings(R"({"theme": "dark"})");
  EXPECT_EQ(extensionSettings(home_.options()), (boost::json::object{{"theme", "dark"}}));
  stdfs::remove(settingsFile());
  EXPECT_EQ(extensionSettings(home_.options()), kDefault);
}

}  // namespace
}  // namespace velmora::VelmoraStorage
