#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "host_process.h"
#include "support/messages.h"

namespace velmora::testing {
namespace {

const char kInvalid[] = R"({"ok":false,"error":"Ungültige Nachricht"})";

boost::json::value parsed(const std::optional<std::string>& reply) {
  if (!reply) return nullptr;
  return boost::json::parse(*reply);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> all;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    all.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return all;
}

TEST(HostExchangeTest, CommandIsQueuedAndAnswered) {
  Sandbox sandbox;
  // As Chrome starts it, with the caller's origin and, on Windows, the
  // window that asked, which the host ignores.
  HostProcess host(sandbox, {"chrome-extension://mnfkimenfkkeggplhilcekgjckjggdnj/",
                             "--parent-window=0"});
  ASSERT_TRUE(host.send(R"({"action":"command","command":"saveAll","url":"https://a.example/p"})"));
  EXPECT_EQ(host.readReply(), R"({"ok":true,"message":"Alle Tabs werden in Nelo gespeichert"})");
  ASSERT_TRUE(host.send(R"({"action":"command","command":"openApp"})"));
  EXPECT_EQ(host.readReply(), R"({"ok":true,"message":"Nelo wird geöffnet"})");
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);

  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(sandbox.storage() / "commands")) {
    files.push_back(entry.path());
  }
  ASSERT_EQ(files.size(), 1u);
  const auto command = boost::json::parse(readText(files[0]));
  EXPECT_EQ(command.at("command"), "saveAll");
  EXPECT_EQ(command.at("url"), "https://a.example/p");
  EXPECT_TRUE(host.stderrText().empty()) << host.stderrText();
}

// The tabs a user had open are theirs alone: whatever the umask, every
// folder the host makes is 0700 and every file it writes 0600, while a
// folder the user made keeps the mode they gave it.
TEST(HostExchangeTest, WhatTheHostWritesIsPrivateWhateverTheUmask) {
  const auto modeOf = [](const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
  };
  for (const mode_t mask : {022, 002}) {
    SCOPED_TRACE("umask " + std::to_string(mask));
    Sandbox sandbox;
    const bool existing = mask == 002;
    if (existing) {
      std::filesystem::create_directories(sandbox.storage());
      ::chmod(sandbox.storage().c_str(), 0755);
      std::ofstream(sandbox.storage() / "snapshot.v1.json") << "{}";
      ::chmod((sandbox.storage() / "snapshot.v1.json").c_str(), 0644);
    }
    const mode_t before = ::umask(mask);
    HostProcess host(sandbox);
    ::umask(before);
    ASSERT_TRUE(
        host.send(saveSnapshotMessage({tabJson(1, "https://a.example/")}, "2026-01-01T00:00:00Z")));
    ASSERT_NE(host.readReply(), std::nullopt);
    ASSERT_TRUE(
        host.send(R"({"action":"command","command":"saveAll","url":"https://a.example/"})"));
    ASSERT_NE(host.readReply(), std::nullopt);
    host.closeInput();
    EXPECT_EQ(host.wait(), 0);

    EXPECT_EQ(modeOf(sandbox.storage()), existing ? 0755u : 0700u);
    for (const char* folder : {"history", "commands"}) {
      EXPECT_EQ(modeOf(sandbox.storage() / folder), 0700u) << folder;
    }
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(sandbox.storage())) {
      if (!entry.is_regular_file()) continue;
      ++files;
      EXPECT_EQ(modeOf(entry.path()), 0600u) << entry.path();
    }
    // The snapshot, its history copy and the command; and the document that
    // stood there, which did not decode, kept aside.
    EXPECT_EQ(files, existing ? 4u : 3u);
  }
}

TEST(HostExchangeTest, MalformedMessagesAreAnsweredAndServingGoesOn) {
  struct Case {
    const char* name;
    std::string body;
    bool logged;
  };
  // Which messages are unusable is for the unit tables; here, that each
  // kind is answered in its frame and logged, or not, on stderr.
  const std::vector<Case> cases = {
      {"not JSON", "{\"action\":", false},
      {"not UTF-8", "{\"action\":\"command\",\"command\":\"\xff\"}", false},
      {"an empty frame", "", false},
      {"unknown action", R"({"action":"delete"})", true},
  };
  Sandbox sandbox;
  HostProcess host(sandbox, {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"});
  int loggedCount = 0;
  for (const Case& c : cases) {
    ASSERT_TRUE(host.write(frame(c.body))) << c.name;
    EXPECT_EQ(host.readReply(), kInvalid) << c.name;
    loggedCount += c.logged;
  }
  ASSERT_TRUE(host.send(R"({"action":"command","command":"openApp"})"));
  EXPECT_EQ(host.readReply(), R"({"ok":true,"message":"Nelo wird geöffnet"})");
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
  std::vector<std::string> expected(
      static_cast<std::size_t>(loggedCount),
      "local.velmora[extension] error: Ungültige Nachricht von Safari");
  EXPECT_EQ(lines(host.stderrText()), expected);
}

TEST(HostExchangeTest, InputEndingInsideAFrameEndsWithoutAReplyAndIsLogged) {
  struct Case {
    const char* name;
    std::string cut;
    std::string logged;
  };
  const std::vector<Case> cases = {
      {"inside the header", frame("{}").substr(0, 2),
       "cannot read a frame: the input ended after 2 of the 4 bytes of its header"},
      {"inside the body", frame(R"({"action":"command","command":"openApp"})").substr(0, 12),
       "cannot read a frame: the input ended after 8 of the 40 bytes of its message"},
      {"body missing", frame("{}").substr(0, 4),
       "cannot read a frame: the input ended after 0 of the 2 bytes of its message"},
  };
  for (const auto& [name, cut, logged] : cases) {
    Sandbox sandbox;
    HostProcess host(sandbox,
                     {"/home/u/.mozilla/native-messaging-hosts/velmora.json", "velmora@x"});
    ASSERT_TRUE(host.send(R"({"action":"nothing"})")) << name;
    EXPECT_EQ(host.readReply(), kInvalid) << name;
    ASSERT_TRUE(host.write(cut)) << name;
    host.closeInput();
    const auto status = host.wait();
    ASSERT_TRUE(status) << name;
    EXPECT_NE(*status, 0) << name;
    EXPECT_EQ(host.readRest(), "") << name;
    EXPECT_EQ(lines(host.stderrText()).back(),
              "local.velmora[extension] error: Nachricht nicht empfangen: " + logged)
        << name;
  }
}

TEST(HostExchangeTest, StartedByHandItExplainsItselfWithoutWaiting) {
  Sandbox sandbox;
  const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(::grantpt(terminal), 0);
  ASSERT_EQ(::unlockpt(terminal), 0);
  const int input = ::open(::ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(input, 0);
  {
    HostProcess host(sandbox, {}, input);
    EXPECT_EQ(host.wait(), 2);
    EXPECT_EQ(host.readRest(), "");
    const std::string said = host.stderrText();
    EXPECT_EQ(lines(said).size(), 1u) << said;
    EXPECT_NE(said.find("register --status"), std::string::npos) << said;
    EXPECT_NE(said.find("/usr/share/doc/velmora-extension/install.md"), std::string::npos) << said;
  }
  ::close(input);
  ::close(terminal);

  HostProcess version(sandbox, {"--version"});
  EXPECT_EQ(version.readRest(), "velmora-extension " VELMORA_VERSION "\n");
  EXPECT_EQ(version.wait(), 0);
  EXPECT_EQ(version.stderrText(), "");
}

// Sends a header declaring `declared` bytes and then `sent` filler bytes.
bool sendOversized(HostProcess& host, std::uint32_t declared, std::size_t sent) {
  std::string header(4, '\0');
  std::memcpy(header.data(), &declared, 4);
  if (!host.write(header)) return false;
  const std::string chunk(1 << 20, ' ');
  while (sent > 0) {
    const std::size_t n = std::min(sent, chunk.size());
    if (!host.write(std::string_view(chunk).substr(0, n))) return false;
    sent -= n;
  }
  return true;
}

TEST(HostExchangeTest, OversizedMessageIsDiscardedAndAnswered) {
  constexpr std::uint32_t kLimit = 64u * 1024 * 1024;
  Sandbox sandbox;
  HostProcess host(sandbox);
  ASSERT_TRUE(sendOversized(host, kLimit + 1, kLimit + 1));
  EXPECT_EQ(host.readReply(), kInvalid);
  ASSERT_TRUE(host.send(R"({"action":"command","command":"openApp"})"));
  EXPECT_EQ(host.readReply(), R"({"ok":true,"message":"Nelo wird geöffnet"})");
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
  EXPECT_EQ(host.stderrText(), "");
}

TEST(HostExchangeTest, OversizedMessageCutShortEndsWithoutAReply) {
  Sandbox sandbox;
  HostProcess host(sandbox);
  ASSERT_TRUE(sendOversized(host, UINT32_MAX, 3 << 20));
  host.closeInput();
  const auto status = host.wait();
  ASSERT_TRUE(status);
  EXPECT_NE(*status, 0);
  EXPECT_EQ(host.readRest(), "");
  EXPECT_EQ(host.stderrText(),
            "local.velmora[extension] error: Nachricht nicht empfangen: cannot read a frame: the "
            "input ended after 3145728 of the 4294967295 bytes of its message, larger than the "
            "67108864 allowed\n");
}

TEST(HostExchangeTest, ReplyTooLargeForTheBrowserIsReplaced) {
  Sandbox sandbox;
  std::filesystem::create_directories(sandbox.storage());
  std::ofstream(sandbox.storage() / "extension-settings.json")
      << R"({"enabled":true,"notes":")" << std::string(1100 * 1000, 'n') << R"("})";
  HostProcess host(sandbox);
  const std::string message =
      saveSnapshotMessage({tabJson(1, "https://a.example/")}, "2024-05-01T10:00:00Z");
  ASSERT_TRUE(host.send(message));
  const auto reply = host.readReply();
  ASSERT_TRUE(reply);
  EXPECT_LE(reply->size(), 1024u * 1024u);
  const auto value = parsed(reply);
  EXPECT_EQ(value.at("ok"), false);
  const std::string error(value.at("error").as_string());
  EXPECT_EQ(error.rfind("Antwort zu groß", 0), 0u) << error;

  // The connection stays usable, and a settings file that fits goes through.
  std::ofstream(sandbox.storage() / "extension-settings.json") << R"({"enabled":true})";
  ASSERT_TRUE(host.send(message));
  EXPECT_EQ(parsed(host.readReply()),
            boost::json::parse(R"({"ok":true,"count":1,"badge":{"enabled":true}})"));
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
  const auto logged = lines(host.stderrText());
  ASSERT_EQ(logged.size(), 3u) << host.stderrText();
  EXPECT_EQ(logged[0], "local.velmora[extension] info: Snapshot gespeichert: 1 Tabs");
  EXPECT_EQ(logged[1], "local.velmora[extension] error: " + error);
  EXPECT_EQ(logged[2], "local.velmora[extension] info: Snapshot gespeichert: 1 Tabs");
}

}  // namespace
}  // namespace velmora::testing
