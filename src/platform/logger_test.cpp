#include "platform/logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "support/scratch_file.h"

namespace velmora {
namespace {

TEST(LoggerTest, LineFormat) {
  EXPECT_EQ(
      formatLogLine({"local.velmora", "extension", LogLevel::info, "Snapshot gespeichert: 3 Tabs"}),
      "local.velmora[extension] info: Snapshot gespeichert: 3 Tabs");
}

// Texts from messages and paths reach the log: a record stays one line and
// never reaches a terminal raw.
TEST(LoggerTest, ControlCharactersAndInvalidBytesAreEscaped) {
  const struct {
    std::string text;
    std::string written;
  } cases[] = {
      {"a\nlocal.velmora[extension] info: forged", "a\\nlocal.velmora[extension] info: forged"},
      {"cr\r tab\t nul" + std::string(1, '\0') + " del\x7f", "cr\\r tab\\t nul\\x00 del\\x7f"},
      {"\x1b[31mred\x1b]0;title\x07", "\\x1b[31mred\\x1b]0;title\\x07"},
      {"csi \xC2\x9B" "2J", "csi \\u009b2J"},  // C1 control, encoded in UTF-8
      {"bad \xff\xC3 end", "bad \\xff\\xc3 end"},
      {"Grüße, 東京, \xF0\x9F\x98\x80, \\ kept", "Grüße, 東京, \xF0\x9F\x98\x80, \\ kept"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(formatLogLine({"s", "c", LogLevel::error, c.text}), "s[c] error: " + c.written)
        << c.written;
  }
}

std::string drain(int fd) {
  ::lseek(fd, 0, SEEK_SET);
  std::string all;
  char buffer[4096];
  int n;
  while ((n = static_cast<int>(::read(fd, buffer, sizeof buffer))) > 0) {
    all.append(buffer, static_cast<std::size_t>(n));
  }
  return all;
}

// Lines from concurrent requests must arrive whole, each on its own line.
TEST(LoggerTest, LineSinkWritesWholeLinesFromManyThreads) {
  const ScratchFile out;
  const std::string text(200, 'x');
  {
    Logger log("local.velmora", "extension", lineSink(out.fd()));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < 25; ++i) log.error(text);
      });
    }
    for (auto& thread : threads) thread.join();
  }
  const std::string all = drain(out.fd());
  const std::string line = "local.velmora[extension] error: " + text + "\n";
  ASSERT_EQ(all.size(), 100 * line.size());
  for (std::size_t at = 0; at < all.size(); at += line.size()) {
    ASSERT_EQ(all.substr(at, line.size()), line) << "at byte " << at;
  }
}

}  // namespace
}  // namespace velmora
