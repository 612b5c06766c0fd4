#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "host_process.h"
#include "robust_support.h"

namespace velmora::testing {
namespace {

constexpr int kKills = 200;
// Saves per started host; with one command among them the batch stays far
// below a pipe's buffer, so writing it never waits for the host.
constexpr int kSavesPerHost = 6;
// A safety net for a machine under heavy load: the loop stops early rather
// than run for ever, and says so.
constexpr auto kTimeBudget = std::chrono::seconds(120);

// Save n keeps most pages and moves one, so every save rewrites the snapshot
// and writes a history copy; a minute between scans lets pruning remove
// copies as the scan time passes two hours.
std::vector<std::string> tabsOf(std::int64_t n) {
  std::vector<std::string> tabs;
  tabs.push_back(tabJson(0, "https://moving.example/" + std::to_string(n), "Moving"));
  for (int i = 1; i < 12; ++i) {
    tabs.push_back(
        tabJson(i, "https://stable.example/" + std::to_string(i) + "?q=a/b",
                "A title long enough to give the document some body " + std::to_string(i)));
  }
  return tabs;
}

std::string scanOf(std::int64_t n) { return scanTime(n * 60); }

const char kStored[] = R"({"ok":true,"count":12,"badge":{"enabled":false}})";
const char kQueued[] = R"({"ok":true,"message":"Alle Tabs werden in Nelo gespeichert"})";

struct Sent {
  std::int64_t save = -1;  // the save's number, or -1 for a command
  std::string url;         // the command's unique address
};

// What the host was sent and what it confirmed, across all the hosts run
// over one storage directory, and the checks after each kill.
class Ledger {
 public:
  explicit Ledger(const Sandbox& sandbox) : sandbox_(sandbox) {}

  Sent addSave(std::string& bytes) {
    const std::int64_t n = nextSave_++;
    scans_[scanOf(n)] = n;
    bytes += frame(saveSnapshotMessage(tabsOf(n), scanOf(n)));
    return Sent{n, ""};
  }
  Sent addCommand(std::string& bytes, const std::string& url) {
    sentUrls_.insert(url);
    bytes += frame(commandMessage("saveAll", url));
    return Sent{-1, url};
  }

  // Reads every reply the host sent before it died or exited; each must be
  // the right one for its message. Returns how many there were.
  std::size_t collectReplies(HostProcess& host, const std::vector<Sent>& batch) {
    std::size_t answered = 0;
    while (answered < batch.size()) {
      const auto reply = host.readReply();
      if (!reply) break;
      const Sent& sent = batch[answered++];
      if (sent.save >= 0) {
        EXPECT_EQ(*reply, kStored) << "save " << sent.save;
        lastAcknowledged_ = std::max(lastAcknowledged_, sent.save);
      } else {
        EXPECT_EQ(*reply, kQueued) << sent.url;
        acknowledgedUrls_.insert(sent.url);
      }
    }
    return answered;
  }

  // Every document whole, nothing but temporary files beside them, the
  // snapshot no older than the last confirmed save, and every confirmed
  // command present exactly once.
  void check(const std::string& when) {
    const StorageState state = inspectStorage(sandbox_.storage(), &decoded_);
    for (const std::string& problem : state.problems) ADD_FAILURE() << when << ": " << problem;
    temporaries_ = state.temporaries;

    if (state.snapshot) {
      const auto found = scans_.find(state.snapshot->scannedAt);
      ASSERT_NE(found, scans_.end()) << when << ": " << state.snapshot->scannedAt;
      const std::int64_t n = found->second;
      EXPECT_GE(n, lastAcknowledged_) << when;
      EXPECT_GE(n, lastSnapshot_) << when << ": the snapshot went back in time";
      lastSnapshot_ = n;
      ASSERT_EQ(state.snapshot->tabs.size(), 12u) << when;
      EXPECT_EQ(state.snapshot->tabs[0].url, "https://moving.example/" + std::to_string(n)) << when;
    } else {
      EXPECT_EQ(lastAcknowledged_, -1) << when << ": a confirmed snapshot is missing";
    }
    // The copy of the last confirmed save stays until a later save, written
    // but perhaps not confirmed, prunes it as more than two hours old.
    if (lastAcknowledged_ >= 0 && (lastSnapshot_ - lastAcknowledged_) * 60 < 7200) {
      EXPECT_TRUE(
          state.historyNames.contains(VelmoraStorage::historyFileName(scanOf(lastAcknowledged_))))
          << when << ": the copy of save " << lastAcknowledged_ << " is missing";
    }

    std::multiset<std::string> present;
    for (const auto& command : state.commands) {
      EXPECT_EQ(command.command, "saveAll") << when;
      EXPECT_TRUE(sentUrls_.contains(command.url)) << when << ": " << command.url;
      present.insert(command.url);
    }
    for (const std::string& url : present) {
      EXPECT_EQ(present.count(url), 1u) << when << ": " << url;
    }
    for (const std::string& url : acknowledgedUrls_) {
      EXPECT_TRUE(present.contains(url)) << when << ": confirmed command lost: " << url;
    }
  }

  std::int64_t lastAcknowledged() const { return lastAcknowledged_; }
  int temporaries() const { return temporaries_; }

 private:
  const Sandbox& sandbox_;
  DecodedFiles decoded_;
  std::int64_t nextSave_ = 0;
  std::map<std::string, std::int64_t> scans_;
  std::int64_t lastAcknowledged_ = -1;
  std::int64_t lastSnapshot_ = -1;
  std::set<std::string> sentUrls_;
  std::set<std::string> acknowledgedUrls_;
  int temporaries_ = 0;
};

// How long one started host takes to confirm one save: process start, the
// durable writes of snapshot and copy, and the reply.
std::chrono::microseconds timeOfOneSave(const Sandbox& sandbox, Ledger& ledger) {
  const auto start = Clock::now();
  HostProcess host(sandbox);
  std::string bytes;
  const std::vector<Sent> batch{ledger.addSave(bytes)};
  EXPECT_TRUE(host.write(bytes));
  EXPECT_EQ(ledger.collectReplies(host, batch), 1u);
  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
  host.closeInput();
  EXPECT_EQ(host.wait(), 0);
  return elapsed;
}

TEST(CrashConsistencyTest, DocumentsStayWholeWhenTheHostIsKilledAtAnyMoment) {
  Sandbox sandbox;
  // The launch is not under test here; without AppRun it costs nothing.
  std::filesystem::remove(sandbox.appRun());
  Ledger ledger(sandbox);

  // Kill moments spread over the time a host needs to start and confirm a
  // save, so they fall into start-up, reading, writing, renaming, syncing
  // and pruning alike.
  const auto oneSave = timeOfOneSave(sandbox, ledger);
  const auto spread = std::max<std::int64_t>(2000, oneSave.count());
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::int64_t> delay(0, spread);

  const auto began = Clock::now();
  int kills = 0;
  int killedWithWorkPending = 0;
  while (kills < kKills && Clock::now() - began < kTimeBudget) {
    HostProcess host(sandbox);
    ASSERT_TRUE(host.started());
    std::string bytes;
    std::vector<Sent> batch;
    for (int j = 0; j < kSavesPerHost; ++j) {
      batch.push_back(ledger.addSave(bytes));
      if (j == kSavesPerHost / 2) {
        batch.push_back(ledger.addCommand(
            bytes, "https://queued.example/" + std::to_string(kills) + "?from=/crash"));
      }
    }
    const auto sentAt = Clock::now();
    ASSERT_TRUE(host.write(bytes));
    std::this_thread::sleep_until(sentAt + std::chrono::microseconds(delay(random)));
    ASSERT_EQ(::kill(host.pid(), SIGKILL), 0);
    EXPECT_EQ(host.wait(), std::nullopt) << "the host ended before it was killed";
    ++kills;

    if (ledger.collectReplies(host, batch) < batch.size()) ++killedWithWorkPending;
    ledger.check("after kill " + std::to_string(kills) + " (seed " + std::to_string(seed) + ")");
    if (::testing::Test::HasFailure()) break;
  }

  // The host that starts after all that works normally.
  {
    HostProcess host(sandbox);
    std::string bytes;
    std::vector<Sent> batch{ledger.addSave(bytes)};
    batch.push_back(ledger.addCommand(bytes, "https://queued.example/last"));
    ASSERT_TRUE(host.write(bytes));
    EXPECT_EQ(ledger.collectReplies(host, batch), 2u);
    host.closeInput();
    EXPECT_EQ(host.wait(), 0);
    EXPECT_EQ(host.readRest(), "");
    ledger.check("after the last host");
    EXPECT_EQ(ledger.lastAcknowledged(), batch.front().save);
  }

  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  std::cerr << "[ robust ] kills survived: " << kills << " (" << killedWithWorkPending
            << " with requests in flight) in " << seconds << " s; one save took "
            << oneSave.count() / 1000.0 << " ms; " << ledger.temporaries()
            << " temporary files left by killed hosts; seed " << seed << "\n";
  if (kills < kKills && !::testing::Test::HasFailure()) {
    std::cerr << "[ robust ] the time budget ran out before " << kKills << " kills\n";
  }
  EXPECT_GE(kills, std::min(kKills, 50));
}

}  // namespace
}  // namespace velmora::testing
