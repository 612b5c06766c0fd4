#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <boost/json/parse.hpp>
#include <ctime>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "host_process.h"
#include "robust_support.h"
#include "support/command_file.h"

namespace velmora::testing {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;
// The scan time of the hostile saves.
const std::string kScan = "2024-05-01T11:00:00Z";
// The earlier save is a minute old: pruning keeps its copy both for a save
// at kScan, before it, and for one whose scan time does not parse and which
// therefore goes by the current time.
const std::string kEarlierScan = isoTime(static_cast<double>(std::time(nullptr)) - 60);
const std::string kEarlierCommandUrl = "https://earlier.example/kept";
const char kInvalidReply[] = R"({"ok":false,"error":"Ungültige Nachricht"})";
const char kOpening[] = "Nelo wird geöffnet";
const char kSavingAll[] = "Alle Tabs werden in Nelo gespeichert";

enum class Outcome { kInvalid, kStored, kQueued, kFailed };

struct Expect {
  Outcome outcome = Outcome::kInvalid;
  std::int64_t count = 0;                      // kStored: "count"
  std::string text;                            // kQueued: "message"; kFailed: part of "error"
  std::string badge = R"({"enabled":false})";  // kStored
};

Expect invalid() { return {}; }
Expect stored(std::int64_t count, std::string badge = R"({"enabled":false})") {
  return {Outcome::kStored, count, "", std::move(badge)};
}
Expect queued(std::string message) { return {Outcome::kQueued, 0, std::move(message)}; }
Expect failed(std::string part) { return {Outcome::kFailed, 0, std::move(part), ""}; }

struct Case {
  std::string name;
  std::function<std::string()> body;  // made when the case runs: some are large
  Expect expect;
  // Runs after the earlier save and command, before the hostile message.
  std::function<void(const Sandbox&)> prepare = {};
  // Further checks once the host has exited.
  std::function<void(const Sandbox&)> verify = {};
  bool measureMemory = false;
  // Caps the host's address space, so that a host reading without end fails
  // to allocate instead of taking the machine's memory; 0 for no cap.
  rlim_t addressSpaceLimit = 0;
};

// A tab entry with every field, some of them replaced by raw JSON texts, and
// further members added.
std::string tabWith(const std::map<std::string, std::string>& replaced) {
  std::vector<std::pair<std::string, std::string>> members{{"id", "1"},
                                                           {"windowId", "2"},
                                                           {"title", R"("Title")"},
                                                           {"url", R"("https://hostile.example/")"},
                                                           {"pinned", "false"},
                                                           {"active", "true"},
                                                           {"snippet", R"("Snippet")"},
                                                           {"summary", R"("Summary")"}};
  std::map<std::string, std::string> rest = replaced;
  for (auto& [key, value] : members) {
    if (auto found = rest.find(key); found != rest.end()) {
      value = found->second;
      rest.erase(found);
    }
  }
  std::string entry = "{";
  for (const auto& [key, value] : members) entry += '"' + key + "\":" + value + ',';
  for (const auto& [key, value] : rest) entry += '"' + key + "\":" + value + ',';
  entry.back() = '}';
  return entry;
}

std::string quoted(const std::string& raw) { return '"' + raw + '"'; }

std::string saveWith(const std::map<std::string, std::string>& replaced,
                     const std::string& scannedAt = kScan) {
  return saveSnapshotMessage({tabWith(replaced)}, scannedAt);
}

std::string nested(std::size_t depth, const std::string& inner = "0") {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

std::filesystem::path outside(const Sandbox& sandbox) { return sandbox.root() / "outside"; }

// Everything of the sandbox but the storage directory and the host's
// stderr: the host must never touch any of it.
std::map<std::string, std::string> outsidePicture(const Sandbox& sandbox) {
  return treePicture(sandbox.root(), [&](const std::filesystem::path& path) {
    return path == sandbox.storage() || path == sandbox.root() / "stderr.txt";
  });
}

std::map<std::string, std::string> storagePicture(const Sandbox& sandbox) {
  return treePicture(sandbox.storage(), [](const std::filesystem::path&) { return false; });
}

// The stored snapshot, decoded once for as long as the file stays the same:
// the checks of a case look at it more than once, and it can be large.
const std::optional<TabSnapshot>& storedSnapshot(const Sandbox& sandbox) {
  static std::string identity;
  static std::optional<TabSnapshot> snapshot;
  const auto file = sandbox.storage() / "snapshot.v1.json";
  const auto picture = treePicture(sandbox.storage(),
                                   [&](const std::filesystem::path& path) { return path != file; });
  const auto found = picture.find("snapshot.v1.json");
  const std::string now = file.string() + (found == picture.end() ? "" : found->second);
  if (now != identity) {
    identity = now;
    snapshot.reset();
    // Never through a link: it may lead to a file without end.
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(file))) return snapshot;
    if (Result<TabSnapshot> decoded = decodeSnapshot(readText(file))) {
      snapshot = std::move(*decoded);
    }
  }
  return snapshot;
}

// The first tab of the stored snapshot, which the hostile save wrote.
SafariTab storedTab(const Sandbox& sandbox) {
  const auto& snapshot = storedSnapshot(sandbox);
  if (!snapshot || snapshot->scannedAt == kEarlierScan || snapshot->tabs.empty()) {
    ADD_FAILURE() << "the hostile save left no snapshot of its own";
    return {};
  }
  return snapshot->tabs.front();
}

// The commands queued besides the earlier one.
std::vector<VelmoraStorage::Command> newCommands(const Sandbox& sandbox) {
  std::vector<VelmoraStorage::Command> found;
  for (const auto& command : inspectStorage(sandbox.storage()).commands) {
    if (command.url != kEarlierCommandUrl) found.push_back(command);
  }
  return found;
}

std::function<void(const Sandbox&)> expectCommand(std::string command, std::string url) {
  return [command, url](const Sandbox& sandbox) {
    const auto commands = newCommands(sandbox);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].command, command);
    EXPECT_EQ(commands[0].url, url);
  };
}

void expectReply(const std::optional<std::string>& reply, const Expect& expect) {
  ASSERT_TRUE(reply) << "no reply";
  boost::system::error_code ec;
  const boost::json::value value = boost::json::parse(*reply, ec);
  ASSERT_FALSE(ec) << *reply;
  ASSERT_TRUE(value.is_object()) << *reply;
  const boost::json::object& object = value.get_object();
  auto member = [&](std::string_view key) {
    const boost::json::value* found = object.if_contains(key);
    return found ? *found : boost::json::value();
  };
  switch (expect.outcome) {
    case Outcome::kInvalid:
      EXPECT_EQ(*reply, kInvalidReply);
      break;
    case Outcome::kStored:
      EXPECT_EQ(object.size(), 3u) << *reply;
      EXPECT_EQ(member("ok"), true) << *reply;
      EXPECT_EQ(member("count"), expect.count) << *reply;
      EXPECT_EQ(member("badge"), boost::json::parse(expect.badge)) << *reply;
      break;
    case Outcome::kQueued:
      EXPECT_EQ(*reply, R"({"ok":true,"message":")" + expect.text + "\"}");
      break;
    case Outcome::kFailed: {
      EXPECT_EQ(object.size(), 2u) << *reply;
      EXPECT_EQ(member("ok"), false) << *reply;
      ASSERT_TRUE(member("error").is_string()) << *reply;
      const std::string error(member("error").get_string());
      EXPECT_NE(error.find(expect.text), std::string::npos) << error;
      EXPECT_NE(error, "Ungültige Nachricht");
      break;
    }
  }
}

// A new or rewritten entry of the storage directory must be a whole
// document in its place.
void expectWholeDocument(const Sandbox& sandbox, const std::string& entry,
                         const std::string& state) {
  const std::filesystem::path path(entry);
  const std::string parent = path.parent_path().string();
  const bool json = path.extension() == ".json" && state.rfind("file", 0) == 0;
  const std::string text = json ? readText(sandbox.storage() / path) : "";
  if (json && entry == "snapshot.v1.json") {
    EXPECT_TRUE(storedSnapshot(sandbox)) << entry << " is not a whole document";
  } else if (json && parent == "history") {
    // A copy like the snapshot is as whole as the snapshot.
    if (storedSnapshot(sandbox) && text == readText(sandbox.storage() / "snapshot.v1.json")) {
      return;
    }
    Result<TabSnapshot> decoded = decodeSnapshot(text);
    EXPECT_TRUE(decoded) << entry << ": " << decoded.error().description;
  } else if (json && parent == "commands") {
    boost::system::error_code ec;
    const boost::json::value value = boost::json::parse(text, ec);
    EXPECT_TRUE(!ec && decodeCommand(value)) << entry;
  } else {
    ADD_FAILURE() << "unexpected new entry " << entry << " (" << state << ")";
  }
}

// Runs one case through a host that has already stored a snapshot, a
// history copy and a command: exactly one reply of the expected shape, the
// host goes on serving and exits normally, nothing outside the storage
// directory changes, nothing stored earlier is lost, and everything new is
// a whole document.
void run(const Case& c) {
  SCOPED_TRACE(c.name);
  Sandbox sandbox;
  // The launch is not under test here; without AppRun nothing outside the
  // storage directory is written at all.
  std::filesystem::remove(sandbox.appRun());
  std::filesystem::create_directories(outside(sandbox) / "dir");
  std::ofstream(outside(sandbox) / "document.json")
      << R"({"scannedAt":"2024-04-01T00:00:00Z","tabs":[],"firstSeen":{}})";

  if (c.addressSpaceLimit != 0 && kSanitizedBuild) {
    std::cerr << "[ robust ] skipped under the sanitizers, which need the address space: " << c.name
              << "\n";
    return;
  }
  HostProcess host(sandbox);
  ASSERT_TRUE(host.started());
  if (c.addressSpaceLimit != 0) {
    const rlimit limit{c.addressSpaceLimit, c.addressSpaceLimit};
    ASSERT_EQ(::prlimit(host.pid(), RLIMIT_AS, &limit, nullptr), 0);
  }
  ASSERT_TRUE(host.send(saveSnapshotMessage(
      {tabJson(1, "https://earlier.example/a"), tabJson(2, "https://earlier.example/b")},
      kEarlierScan)));
  ASSERT_EQ(host.readReply(), R"({"ok":true,"count":2,"badge":{"enabled":false}})");
  ASSERT_TRUE(host.send(commandMessage("saveAll", kEarlierCommandUrl)));
  ASSERT_EQ(host.readReply(), R"({"ok":true,"message":")" + std::string(kSavingAll) + "\"}");
  if (c.prepare) c.prepare(sandbox);
  const auto outsideBefore = outsidePicture(sandbox);
  const auto before = storagePicture(sandbox);

  const std::string body = c.body();
  ASSERT_TRUE(host.send(body));
  const auto reply = host.readReply();
  if (!reply) {
    ADD_FAILURE() << "no reply within " << kTimeout.count() << " s";
    return;
  }
  expectReply(reply, c.expect);
  ASSERT_TRUE(host.send(R"({"action":"command","command":"openApp"})"));
  EXPECT_EQ(host.readReply(), R"({"ok":true,"message":")" + std::string(kOpening) + "\"}");
  if (c.measureMemory) {
    // Read while the host waits for more input: everything it did is in it.
    const auto peak = peakMemoryKiB(host.pid());
    ASSERT_TRUE(peak);
    std::cerr << "[ robust ] peak memory of the host, " << c.name << ": " << *peak
              << " KiB for a message of " << body.size() << " bytes\n";
    // Several copies of the message's size at most (its bytes, the parsed
    // value, the records, the document), never unbounded growth.
    if (!kSanitizedBuild) {
      EXPECT_LE(static_cast<std::size_t>(*peak) * 1024, 12 * body.size() + 64 * kMiB);
    }
  }
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
  EXPECT_EQ(host.readRest(), "");

  EXPECT_EQ(outsidePicture(sandbox), outsideBefore);
  const auto after = storagePicture(sandbox);
  for (const auto& [entry, state] : before) {
    if (entry == "snapshot.v1.json" && c.expect.outcome == Outcome::kStored) continue;
    const auto now = after.find(entry);
    EXPECT_TRUE(now != after.end() && now->second == state) << "lost or changed: " << entry;
  }
  for (const auto& [entry, state] : after) {
    const auto earlier = before.find(entry);
    if (earlier == before.end() || earlier->second != state) {
      expectWholeDocument(sandbox, entry, state);
    }
  }
  if (c.verify) c.verify(sandbox);
}

TEST(HostileInputTest, DeepNesting) {
  const std::string prefix = R"({"action":"saveSnapshot","tabs":[],"scannedAt":")" + kScan + "\"";
  const std::vector<Case> cases = {
      {"arrays 100,000 deep in an extra key",
       [&] { return prefix + R"(,"extra":)" + nested(100000) + "}"; }, invalid()},
      {"objects 100,000 deep as the whole message",
       [] {
         std::string body;
         for (int i = 0; i < 100000; ++i) body += R"({"action":)";
         return body + "0" + std::string(100000, '}');
       },
       invalid()},
      {"a settings file 100,000 deep", [] { return saveWith({}); }, stored(1),
       [](const Sandbox& sandbox) {
         std::ofstream(sandbox.storage() / "extension-settings.json") << nested(100000);
       }},
  };
  for (const Case& c : cases) run(c);
}

TEST(HostileInputTest, TitleNearTheLargestMessage) {
  const std::string title(60 * kMiB, 't');
  run(Case{
      "a title of 60 MiB",
      [&] {
        return saveWith({{"title", quoted(title)}});
      },
      stored(1),
      {},
      [&](const Sandbox& sandbox) { EXPECT_EQ(storedTab(sandbox).title.size(), title.size()); },
      true});
}

TEST(HostileInputTest, HugeStrings) {
  const std::string url = "https://hostile.example/" + std::string(16 * kMiB, 'u');
  const std::vector<Case> cases = {
      {"an address of 16 MiB",
       [&] {
         return saveWith({{"url", quoted(url)}});
       },
       stored(1),
       {},
       [&](const Sandbox& sandbox) { EXPECT_EQ(storedTab(sandbox).url, url); }},
      {"a command address of 16 MiB",
       [&] { return commandMessage("saveAll", url); },
       queued(kSavingAll),
       {},
       expectCommand("saveAll", url)},
      {"an action of 16 MiB",
       [&] { return R"({"action":")" + url + R"(","tabs":[],"scannedAt":"x"})"; }, invalid()},
      {"a key of 16 MiB",
       [&] {
         return saveWith({{url, "1"}});
       },
       stored(1)},
  };
  for (const Case& c : cases) run(c);
}

TEST(HostileInputTest, HundredThousandTabs) {
  auto body = [] {
    std::vector<std::string> tabs;
    for (int i = 0; i < 100000; ++i) {
      tabs.push_back(tabJson(i,
                             "https://site" + std::to_string(i % 1000) + ".example/page/" +
                                 std::to_string(i) + "?q=" + std::to_string(i),
                             "Tab number " + std::to_string(i)));
    }
    return saveSnapshotMessage(tabs, kScan);
  };
  run(Case{"100,000 tabs",
           body,
           stored(100000),
           {},
           [](const Sandbox& sandbox) {
             const auto& snapshot = storedSnapshot(sandbox);
             ASSERT_TRUE(snapshot);
             EXPECT_EQ(snapshot->tabs.size(), 100000u);
             EXPECT_EQ(snapshot->tabs.back().title, "Tab number 99999");
           },
           true});
}

TEST(HostileInputTest, NumbersAtAndBeyondTheLimits) {
  const std::vector<Case> cases = {
      {"windowId 1e400",
       [] {
         return saveWith({{"windowId", "1e400"}});
       },
       failed("tabs[0].windowId")},
      {"an exponent beyond any limit",
       [] {
         return saveWith({{"id", "1e99999999999999999999"}});
       },
       invalid()},
  };
  for (const Case& c : cases) run(c);
}

// Which texts a field takes is for the unit tables; here, what the host's
// own reading of a message does with them on the way to the files.
TEST(HostileInputTest, TextsThatAreNoPlainCharacters) {
  auto titleIs = [](std::string text) {
    return [text](const Sandbox& sandbox) { EXPECT_EQ(storedTab(sandbox).title, text); };
  };
  const std::vector<Case> cases = {
      {"an escaped NUL",
       [] {
         return saveWith({{"title", quoted("a\\u0000b")}});
       },
       stored(1),
       {},
       titleIs(std::string("a\0b", 3))},
      {"a raw NUL byte",
       [] {
         return saveWith({{"title", quoted(std::string("a\0b", 3))}});
       },
       invalid()},
      {"a NUL in the \"tabs\" key",
       [] { return R"({"action":"saveSnapshot","tabs\u0000":[],"scannedAt":"x"})"; }, invalid()},
  };
  for (const Case& c : cases) run(c);
}

TEST(HostileInputTest, PathCharactersInTheScanTime) {
  // Without a "/" a scan time names a file in the history directory and
  // nowhere else; with one it is refused before anything is written.
  auto copyNamed = [](std::string name) {
    return [name](const Sandbox& sandbox) {
      EXPECT_TRUE(std::filesystem::is_regular_file(sandbox.storage() / "history" / name)) << name;
    };
  };
  run(Case{"a scan time of \"..\"",
           [] { return saveWith({}, ".."); },
           stored(1),
           {},
           copyNamed("...json")});
  run(Case{"a scan time of backslashes",
           [] { return saveWith({}, "..\\\\..\\\\x"); },
           stored(1),
           {},
           copyNamed("..\\..\\x.json")});
}

// The reply carries the settings: a NUL in them must reach the browser
// escaped, not cut the frame short.
TEST(HostileInputTest, SettingsFileHoldingANul) {
  const std::string settings = R"({"enabled":"a\u0000b"})";
  run(Case{"a settings file holding a NUL", [] { return saveWith({}); }, stored(1, settings),
           [&](const Sandbox& sandbox) {
             std::ofstream(sandbox.storage() / "extension-settings.json") << settings;
           }});
}

TEST(HostileInputTest, StorageLayout) {
  auto directoryIn = [](std::string where) {
    return [where](const Sandbox& sandbox) {
      std::filesystem::create_directories(sandbox.storage() / where);
      std::ofstream(sandbox.storage() / where / "inside.json") << "{}";
    };
  };
  auto snapshotLinkTo = [](std::string target) {
    return [target](const Sandbox& sandbox) {
      std::filesystem::remove(sandbox.storage() / "snapshot.v1.json");
      std::filesystem::create_symlink(outside(sandbox) / target,
                                      sandbox.storage() / "snapshot.v1.json");
    };
  };
  // The link itself is replaced; its target outside stays as it was.
  auto snapshotIsAFile = [](const Sandbox& sandbox) {
    const auto path = sandbox.storage() / "snapshot.v1.json";
    EXPECT_FALSE(std::filesystem::is_symlink(path));
    EXPECT_TRUE(std::filesystem::is_regular_file(path));
    EXPECT_EQ(storedTab(sandbox).url, "https://hostile.example/");
  };
  // What cannot be read is not saved over: it may hold a user's data.
  auto snapshotStaysALink = [](const Sandbox& sandbox) {
    EXPECT_TRUE(std::filesystem::is_symlink(sandbox.storage() / "snapshot.v1.json"));
  };
  const std::vector<Case> cases = {
      {"a directory in the history named like a newer copy", [] { return saveWith({}); }, stored(1),
       directoryIn("history/2099-01-01T00_00_00Z.json")},
      {"a link in place of the snapshot, to a document outside", [] { return saveWith({}); },
       stored(1), snapshotLinkTo("document.json"), snapshotIsAFile},
      {"a link in place of the snapshot, to a directory outside", [] { return saveWith({}); },
       failed("snapshot.v1.json: Is a directory"), snapshotLinkTo("dir"), snapshotStaysALink},
      {"a link in place of the snapshot, to itself", [] { return saveWith({}); },
       failed("snapshot.v1.json: Too many levels of symbolic links"),
       [](const Sandbox& sandbox) {
         std::filesystem::remove(sandbox.storage() / "snapshot.v1.json");
         std::filesystem::create_symlink("snapshot.v1.json",
                                         sandbox.storage() / "snapshot.v1.json");
       },
       snapshotStaysALink},
  };
  for (const Case& c : cases) run(c);
}

// Files that are not regular files where a document is read: reading one
// must neither wait for a writer that never comes nor go on without end.
TEST(HostileInputTest, SpecialFilesInPlaceOfDocuments) {
  auto fifoAt = [](std::string name) {
    return [name](const Sandbox& sandbox) {
      std::filesystem::remove(sandbox.storage() / name);
      ASSERT_EQ(::mkfifo((sandbox.storage() / name).c_str(), 0600), 0);
    };
  };
  auto endlessAt = [](std::string name) {
    return [name](const Sandbox& sandbox) {
      std::filesystem::remove(sandbox.storage() / name);
      std::filesystem::create_symlink("/dev/zero", sandbox.storage() / name);
    };
  };
  // Not read, and not saved over either: whatever it is, it is not this
  // host's to replace.
  auto snapshotStaysInPlace = [](std::filesystem::file_type type) {
    return [type](const Sandbox& sandbox) {
      EXPECT_EQ(std::filesystem::symlink_status(sandbox.storage() / "snapshot.v1.json").type(),
                type);
    };
  };
  Case fifoSettings{"a named pipe as the settings file", [] { return saveWith({}); }, stored(1),
                    fifoAt("extension-settings.json")};
  Case fifoSnapshot{"a named pipe in place of the snapshot", [] { return saveWith({}); },
                    failed("snapshot.v1.json: not a regular file"), fifoAt("snapshot.v1.json"),
                    snapshotStaysInPlace(std::filesystem::file_type::fifo)};
  Case endlessSettings{"a link to /dev/zero as the settings file", [] { return saveWith({}); },
                       stored(1), endlessAt("extension-settings.json")};
  endlessSettings.measureMemory = true;
  endlessSettings.addressSpaceLimit = 1024 * kMiB;
  Case endlessSnapshot{"a link to /dev/zero in place of the snapshot", [] { return saveWith({}); },
                       failed("snapshot.v1.json: not a regular file"),
                       endlessAt("snapshot.v1.json"),
                       snapshotStaysInPlace(std::filesystem::file_type::symlink)};
  endlessSnapshot.measureMemory = true;
  endlessSnapshot.addressSpaceLimit = 1024 * kMiB;
  for (const Case& c : {fifoSettings, fifoSnapshot, endlessSettings, endlessSnapshot}) run(c);
}

}  // namespace
}  // namespace velmora::testing
