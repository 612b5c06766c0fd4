#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host_process.h"
#include "robust_support.h"

namespace velmora::testing {
namespace {

// One message of a plan: a save of its own tab list, or a command with an
// address used nowhere else, so that each can be found again on disk.
struct Message {
  bool save = true;
  std::string scannedAt;
  std::vector<std::string> urls;  // the save's pages, in order
  std::string command;
  std::string url;  // the command's unique address

  std::string body() const {
    if (!save) return commandMessage(command, url);
    std::vector<std::string> tabs;
    for (std::size_t i = 0; i < urls.size(); ++i) {
      tabs.push_back(tabJson(static_cast<std::int64_t>(i), urls[i], "Tab/" + std::to_string(i)));
    }
    return saveSnapshotMessage(tabs, scannedAt);
  }
  std::string expectedReply() const {
    if (save) {
      return R"({"ok":true,"count":)" + std::to_string(urls.size()) +
             R"(,"badge":{"enabled":false}})";
    }
    if (command == "saveAll")
      return R"({"ok":true,"message":"Alle Tabs werden in Nelo gespeichert"})";
    if (command == "saveCurrent") return R"({"ok":true,"message":"Tab wird in Nelo gespeichert"})";
    if (command == "cleanUp") return R"({"ok":true,"message":"Nelo räumt nutzlose Tabs auf"})";
    return R"({"ok":true,"message":"Nelo wird geöffnet"})";
  }
};

std::vector<std::string> urlsOf(const TabSnapshot& snapshot) {
  std::vector<std::string> urls;
  for (const SafariTab& tab : snapshot.tabs) urls.push_back(tab.url);
  return urls;
}

// Problems seen by the threads that drive the hosts, reported on the main
// thread afterwards.
class Problems {
 public:
  void add(std::string problem) {
    std::lock_guard lock(mutex_);
    all_.push_back(std::move(problem));
  }
  void report() const {
    for (const std::string& problem : all_) ADD_FAILURE() << problem;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> all_;
};

void expectReply(HostProcess& host, const Message& message, Problems& problems) {
  const auto reply = host.readReply();
  if (reply != message.expectedReply()) {
    problems.add("reply to " + message.body() + ": " + reply.value_or("(none)"));
  }
}

void expectCleanExit(HostProcess& host, Problems& problems) {
  if (host.wait() != 0) problems.add("a host did not exit with status 0");
  if (!host.readRest().empty()) problems.add("a host wrote more than one reply per message");
}

// A long-lived connection: every message sent at once, then every reply.
void runLongLived(const Sandbox& sandbox, const std::vector<Message>& messages,
                  Problems& problems) {
  HostProcess host(sandbox);
  std::string bytes;
  for (const Message& message : messages) bytes += frame(message.body());
  if (!host.write(bytes)) problems.add("cannot write to a host");
  host.closeInput();
  for (const Message& message : messages) expectReply(host, message, problems);
  expectCleanExit(host, problems);
}

// One host started per message.
void runOneShots(const Sandbox& sandbox, const std::vector<Message>& messages, Problems& problems) {
  for (const Message& message : messages) {
    HostProcess host(sandbox);
    if (!host.send(message.body())) problems.add("cannot write to a host");
    host.closeInput();
    expectReply(host, message, problems);
    expectCleanExit(host, problems);
  }
}

void runAll(const Sandbox& sandbox, const std::vector<std::vector<Message>>& longLived,
            const std::vector<std::vector<Message>>& oneShots, Problems& problems) {
  std::vector<std::thread> threads;
  for (const auto& messages : longLived) {
    threads.emplace_back([&] { runLongLived(sandbox, messages, problems); });
  }
  for (const auto& messages : oneShots) {
    threads.emplace_back([&] { runOneShots(sandbox, messages, problems); });
  }
  for (std::thread& thread : threads) thread.join();
  problems.report();
}

TEST(ConcurrencyTest, HostsSharingOneStorageDirectoryKeepEveryDocumentWhole) {
  constexpr int kLongLivedHosts = 3;
  constexpr int kMessagesPerConnection = 16;
  constexpr int kOneShotThreads = 2;
  constexpr int kOneShotsPerThread = 8;
  const std::vector<std::string> commands{"saveAll", "cleanUp", "saveCurrent", "noSuchCommand"};

  // Message i of the whole plan: saves and commands in turn, scan times 20
  // seconds apart and all within two hours, so that pruning keeps every
  // copy and each copy can be matched to the save that named it.
  int next = 0;
  std::map<std::string, Message> saves;   // by scan time
  std::map<std::string, Message> queued;  // by address
  auto messageFor = [&](int writer) {
    const int i = next++;
    Message message;
    message.save = i % 2 == 0;
    if (message.save) {
      message.scannedAt = scanTime(i * 20);
      message.urls = {"https://page.example/" + std::to_string(i), "https://shared.example/",
                      "https://writer.example/" + std::to_string(writer)};
      saves[message.scannedAt] = message;
    } else {
      message.command = commands[static_cast<std::size_t>(i / 2) % commands.size()];
      message.url = "https://queued.example/" + std::to_string(i) + "/a?b=c";
      queued[message.url] = message;
    }
    return message;
  };
  std::vector<std::vector<Message>> longLived(kLongLivedHosts);
  std::vector<std::vector<Message>> oneShots(kOneShotThreads);
  for (int k = 0; k < kMessagesPerConnection; ++k) {
    for (int h = 0; h < kLongLivedHosts; ++h) longLived[h].push_back(messageFor(h));
  }
  for (int k = 0; k < kOneShotsPerThread; ++k) {
    for (int t = 0; t < kOneShotThreads; ++t) oneShots[t].push_back(messageFor(100 + t));
  }

  Sandbox sandbox;
  // The launch is not under test here; without AppRun it costs nothing.
  std::filesystem::remove(sandbox.appRun());
  Problems problems;
  runAll(sandbox, longLived, oneShots, problems);

  const StorageState state = inspectStorage(sandbox.storage());
  for (const std::string& problem : state.problems) ADD_FAILURE() << problem;
  EXPECT_EQ(state.temporaries, 0) << "temporary files remain";

  ASSERT_TRUE(state.snapshot);
  ASSERT_TRUE(saves.contains(state.snapshot->scannedAt)) << state.snapshot->scannedAt;
  EXPECT_EQ(urlsOf(*state.snapshot), saves.at(state.snapshot->scannedAt).urls);
  EXPECT_FALSE(state.history.empty());
  for (const auto& [name, copy] : state.history) {
    ASSERT_TRUE(saves.contains(copy.scannedAt)) << name;
    EXPECT_EQ(name, VelmoraStorage::historyFileName(copy.scannedAt));
    EXPECT_EQ(urlsOf(copy), saves.at(copy.scannedAt).urls) << name;
  }

  std::multiset<std::string> found;
  for (const auto& command : state.commands) {
    found.insert(command.url);
    ASSERT_TRUE(queued.contains(command.url)) << command.url;
    EXPECT_EQ(command.command, queued.at(command.url).command) << command.url;
  }
  for (const auto& [url, message] : queued) {
    EXPECT_EQ(found.count(url), 1u) << url;
  }
  EXPECT_EQ(found.size(), queued.size());
}

TEST(ConcurrencyTest, SavesOfTheSameScanTimeLeaveOneWholeCopy) {
  // Two connections save different tabs under the same scan times at the
  // same moment, so both write and replace the same snapshot and the same
  // history copies.
  constexpr int kSaves = 20;
  std::vector<std::vector<Message>> longLived(2);
  for (int h = 0; h < 2; ++h) {
    for (int k = 0; k < kSaves; ++k) {
      Message message;
      message.scannedAt = scanTime(k * 20);
      message.urls = {"https://host" + std::to_string(h) + ".example/" + std::to_string(k)};
      longLived[h].push_back(message);
    }
  }

  Sandbox sandbox;
  Problems problems;
  runAll(sandbox, longLived, {}, problems);

  auto expectOneOfTheTwo = [&](const TabSnapshot& document, const std::string& what) {
    const std::string k = std::to_string(
        std::find_if(longLived[0].begin(), longLived[0].end(),
                     [&](const Message& m) { return m.scannedAt == document.scannedAt; }) -
        longLived[0].begin());
    const auto urls = urlsOf(document);
    EXPECT_TRUE(urls == std::vector<std::string>{"https://host0.example/" + k} ||
                urls == std::vector<std::string>{"https://host1.example/" + k})
        << what << " holds " << (urls.empty() ? "no tab" : urls.front());
  };
  const StorageState state = inspectStorage(sandbox.storage());
  for (const std::string& problem : state.problems) ADD_FAILURE() << problem;
  EXPECT_EQ(state.temporaries, 0) << "temporary files remain";
  ASSERT_TRUE(state.snapshot);
  expectOneOfTheTwo(*state.snapshot, "the snapshot");
  EXPECT_FALSE(state.history.empty());
  for (const auto& [name, copy] : state.history) {
    EXPECT_EQ(name, VelmoraStorage::historyFileName(copy.scannedAt));
    expectOneOfTheTwo(copy, name);
  }
}

}  // namespace
}  // namespace velmora::testing
