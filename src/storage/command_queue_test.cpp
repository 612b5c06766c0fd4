#include "storage/command_queue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "model/document_bytes.h"
#include "platform/clock.h"
#include "storage/velmora_date.h"
#include "support/test_env.h"
#include "support/command_file.h"

namespace velmora::VelmoraStorage {
namespace {

namespace stdfs = std::filesystem;
using ::testing::HasSubstr;

std::string readAll(const stdfs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::set<stdfs::path> entries(const stdfs::path& dir) {
  std::set<stdfs::path> found;
  for (const auto& entry : stdfs::directory_iterator(dir)) found.insert(entry.path());
  return found;
}

// "XXXXXXXX-XXXX-4XXX-YXXX-XXXXXXXXXXXX.json": upper-case hexadecimal digits,
// version 4, variant 1 (Y one of 8, 9, A, B).
bool isUpperCaseUuidFileName(const std::string& name) {
  constexpr std::string_view kShape = "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx.json";
  if (name.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    switch (kShape[i]) {
      case 'x':
        if (!hex) return false;
        break;
      case 'y':
        if (std::string_view("89AB").find(c) == std::string_view::npos) return false;
        break;
      default:
        if (c != kShape[i]) return false;
    }
  }
  return true;
}

// Points the storage directory at a fresh temporary data directory.
class CommandQueueTest : public ::testing::Test {
 protected:
  stdfs::path storageDir() const { return home_.storage(); }
  stdfs::path commandsDir() const { return storageDir() / "commands"; }

  // Queues one command and returns the one file it added.
  stdfs::path queueOne(std::string_view command, std::string_view url) {
    const std::set<stdfs::path> before =
        stdfs::exists(commandsDir()) ? entries(commandsDir()) : std::set<stdfs::path>{};
    const Status status = queue(command, url, home_.options());
    EXPECT_TRUE(status) << status.error().description;
    std::set<stdfs::path> added;
    for (const auto& path : entries(commandsDir())) {
      if (!before.contains(path)) added.insert(path);
    }
    EXPECT_EQ(added.size(), 1u);
    return added.empty() ? stdfs::path() : *added.begin();
  }

  TestEnv home_;
};

TEST_F(CommandQueueTest, CreatesBothDirectoriesAndWritesCompactFileNamedByUpperCaseUuid) {
  ASSERT_FALSE(stdfs::exists(storageDir()));
  const double before = VelmoraDate::fromUnixTime(currentTime());
  const stdfs::path file = queueOne("saveAll", "https://example.com/a/b?q=1");
  const double after = VelmoraDate::fromUnixTime(currentTime());

  EXPECT_TRUE(isUpperCaseUuidFileName(file.filename().string())) << file;
  EXPECT_EQ(entries(commandsDir()).size(), 1u) << "no temporary file may remain";

  const std::string bytes = readAll(file);
  const std::string prefix =
      R"({"command":"saveAll","url":"https:\/\/example.com\/a\/b?q=1","date":)";
  EXPECT_EQ(bytes.substr(0, prefix.size()), prefix) << bytes;
  EXPECT_EQ(bytes.back(), '}') << "no trailing newline: " << bytes;

  Result<Command> decoded = velmora::decodeCommand(boost::json::parse(bytes));
  ASSERT_TRUE(decoded) << decoded.error().description;
  EXPECT_GE(decoded->date, before);
  EXPECT_LE(decoded->date, after);
  // Seconds since 2001, not since 1970: a 2020s time lies between 6e8 and 1.2e9.
  EXPECT_GT(decoded->date, 6e8);
  EXPECT_LT(decoded->date, 1.2e9);
}

TEST_F(CommandQueueTest, TextsRoundTripExactly) {
  const struct {
    std::string command;
    std::string url;
  } cases[] = {
      {"saveCurrent", ""},
      {"notAKnownCommand", "about:blank"},
      {"", ""},
      {"SaveAll", "https://example.com/"},
      {"say \"hi\"", "C:\\path\\to\\file"},
      {"Grüße ß ö", "https://例え.jp/パス?q=ä#frag"},
      {"tab\tnew\nline\x01", "https://example.com/\x7f"},
      {std::string("nul\0inside", 10), std::string("https://example.com/\0", 21)},
      {"emoji 😀", "https://example.com/%20/\\/"},
  };
  for (const auto& c : cases) {
    const stdfs::path file = queueOne(c.command, c.url);
    const std::string bytes = readAll(file);
    boost::system::error_code ec;
    const boost::json::value document = boost::json::parse(bytes, ec);
    ASSERT_FALSE(ec) << "not valid JSON for command [" << c.command << "]: " << bytes;
    Result<Command> decoded = velmora::decodeCommand(document);
    ASSERT_TRUE(decoded) << decoded.error().description;
    EXPECT_EQ(decoded->command, c.command) << bytes;
    EXPECT_EQ(decoded->url, c.url) << bytes;
    EXPECT_EQ(bytes.find('\n'), std::string::npos) << bytes;
  }
}

TEST(CommandCodingTest, DateReadsBackToTheSameDouble) {
  for (const double date :
       {0.0, 1.5, -12.25, 786297600.123456789, 1e-7, 3.0e9 + 0.1, 123456789.98765432}) {
    const std::string bytes = documentBytes(encodeCommand(Command{"c", "u", date}));
    Result<Command> decoded = velmora::decodeCommand(boost::json::parse(bytes));
    ASSERT_TRUE(decoded) << bytes;
    EXPECT_EQ(decoded->date, date) << bytes;
  }
}

}  // namespace
}  // namespace velmora::VelmoraStorage
