#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "handler/safari_web_extension_handler.h"
#include "model/tab_snapshot.h"
#include "storage/history.h"
#include "support/fault_env.h"
#include "support/messages.h"
#include "support/recording_log.h"
#include "support/scan_time.h"
#include "support/test_env.h"

// Every call a request makes to the outside world, failed in turn and cut
// off by a power cut in turn, through the handler as the browser reaches it.
namespace velmora {
namespace {

namespace stdfs = std::filesystem;

// What the storage directory holds, documents by their bytes.
struct Stored {
  std::optional<std::string> snapshot;
  std::set<std::string> history;
  std::map<std::string, std::string> historyBytes;
  std::multiset<std::string> commands;
  std::vector<std::string> temporaries;
};

std::string bytesOf(const stdfs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

Stored storedIn(const stdfs::path& storage) {
  Stored stored;
  std::error_code ec;
  for (const auto& entry : stdfs::recursive_directory_iterator(storage, ec)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().filename().string();
    const std::string dir = entry.path().parent_path().filename().string();
    if (isTemporaryFileName(name)) {
      stored.temporaries.push_back(entry.path().string());
    } else if (name == "snapshot.v1.json") {
      stored.snapshot = bytesOf(entry.path());
    } else if (dir == "history") {
      stored.history.insert(name);
      stored.historyBytes[name] = bytesOf(entry.path());
    } else if (dir == "commands") {
      stored.commands.insert(bytesOf(entry.path()));
    }
  }
  return stored;
}

struct Row {
  const char* name;
  // Writes the state the request finds, in a world without faults.
  std::function<void(TestEnv&)> prepare;
  std::string message;
};

// The clock, for the command's date: 2024-05-01T12:00:00Z.
constexpr double kNow = 1714564800;
const std::string kEarlier = scanTime(0);
const std::string kLater = scanTime(60);
const std::vector<std::string> kTwoTabs = {tabJson(1, "https://a.example/"),
                                           tabJson(2, "https://b.example/x?y=a/b")};
const std::vector<std::string> kThreeTabs = {kTwoTabs[0], kTwoTabs[1],
                                             tabJson(3, "https://c.example/")};

void send(Env& env, const std::string& message, boost::json::object* reply,
          RecordingLog* log = nullptr) {
  RecordingLog unused;
  const SafariWebExtensionHandler handler(env, (log ? log : &unused)->sink());
  NSExtensionItem item;
  item.messageText = message;
  NSExtensionContext context({std::move(item)}, [&](std::vector<NSExtensionItem> items) {
    *reply = items.at(0).userInfo->at(SFExtensionMessageKey).as_object();
  });
  handler.beginRequest(context);
}

// A stored save of two pages, two older copies of which pruning removes one,
// and settings that are not the default.
void storedSaveAndSettings(TestEnv& env) {
  boost::json::object reply;
  send(env, saveSnapshotMessage(kTwoTabs, kEarlier), &reply);
  ASSERT_EQ(reply.at("ok"), true);
  for (double age : {3 * 3600.0, 3 * 3600.0 - 600}) {
    std::ofstream(env.storage() / "history" / VelmoraStorage::historyFileName(scanTime(-age)))
        << bytesOf(env.storage() / "snapshot.v1.json");
  }
  std::ofstream(env.storage() / "extension-settings.json") << R"({"enabled":true})";
}

const Row kRows[] = {
    {"a writing save with a history copy and pruning", storedSaveAndSettings,
     saveSnapshotMessage(kThreeTabs, kLater)},
    {"an unchanged save and the settings read", storedSaveAndSettings,
     saveSnapshotMessage(kTwoTabs, kLater)},
    {"a command", storedSaveAndSettings, commandMessage("saveAll", "https://a.example/")},
    {"the first save into a missing directory", [](TestEnv&) {},
     saveSnapshotMessage(kTwoTabs, kEarlier)},
};

// One run of a row's request: its reply, its log and what it left, after
// the power came back when it went.
struct Outcome {
  boost::json::object reply;
  std::vector<LogRecord> log;
  std::vector<EnvCall> calls;
  std::size_t launched = 0;
  Stored before;
  Stored after;
};

Outcome runRow(const Row& row, EnvFault fault, bool cutAfterReply = false,
               bool withoutSnapshot = false) {
  TestEnv base;
  base.time = kNow;
  row.prepare(base);
  if (withoutSnapshot) stdfs::remove(base.storage() / "snapshot.v1.json");
  Outcome run;
  run.before = storedIn(base.storage());
  FaultEnv env(base, base.root(), base.storage());
  env.inject(fault);
  RecordingLog log;
  send(env, row.message, &run.reply, &log);
  run.log = log.records;
  run.calls = env.calls();
  run.launched = env.launched().size();
  if (cutAfterReply) env.cutPower();
  if (env.powerIsOut()) env.restoreDurableState();
  run.after = storedIn(base.storage());
  return run;
}

bool isSave(const Row& row) { return row.message.find("saveSnapshot") != std::string::npos; }

// The settings are read after the save, beginning with the storage directory
// asked for again.
bool inSettingsRead(const Row& row, const std::vector<EnvCall>& calls, std::size_t i) {
  if (!isSave(row)) return false;
  std::size_t start = 0;
  for (std::size_t j = 0; j < calls.size(); ++j) {
    if (calls[j].op == EnvOp::kCreateDirectory && calls[j].path == calls[0].path) start = j;
  }
  return i >= start;
}

// Failing these only makes data count as missing or leaves a copy unpruned,
// and so does anything failing in the settings read, which follows the save;
// every other failure is answered.
bool ignorable(const Row& row, const std::vector<EnvCall>& calls, std::size_t i) {
  const EnvOp op = calls[i].op;
  if (op == EnvOp::kReadFile || op == EnvOp::kReadFileInPieces || op == EnvOp::kListDirectory ||
      op == EnvOp::kExamine || op == EnvOp::kRemoveFile || op == EnvOp::kOpenApplication) {
    return true;
  }
  return inSettingsRead(row, calls, i);
}

// A previous document that cannot be read counts as none: the save then
// does what it does without one.
bool readsThePrevious(const EnvCall& call) {
  return (call.op == EnvOp::kReadFile || call.op == EnvOp::kReadFileInPieces ||
          call.op == EnvOp::kExamine) &&
         call.path.filename() == "snapshot.v1.json";
}

bool subset(const std::set<std::string>& a, const std::set<std::string>& b) {
  for (const std::string& x : a) {
    if (!b.contains(x)) return false;
  }
  return true;
}

// What holds after any run, failed, cut or not: every document whole, the
// snapshot the old one or the new one, no copy but old or new ones, and
// nothing of the clean run's acknowledged state missing once the reply said
// ok.
void expectOldOrNew(const Row& row, const Outcome& clean, const Outcome& run,
                    const std::string& what) {
  SCOPED_TRACE(std::string(row.name) + ", " + what);
  const Stored& after = run.after;
  const bool ok = run.reply.at("ok") == true;
  EXPECT_TRUE(after.temporaries.empty()) << after.temporaries.front();
  if (after.snapshot != run.before.snapshot) {
    ASSERT_TRUE(after.snapshot) << "the snapshot is gone";
    Result<TabSnapshot> now = decodeSnapshot(*after.snapshot);
    Result<TabSnapshot> expected = decodeSnapshot(*clean.after.snapshot);
    ASSERT_TRUE(now) << "the snapshot is not whole: " << now.error().description;
    EXPECT_EQ(now->scannedAt, expected->scannedAt);
    EXPECT_EQ(now->tabs, expected->tabs);
  }
  for (const auto& [name, bytes] : after.historyBytes) {
    EXPECT_TRUE(decodeSnapshot(bytes)) << name << " is not whole";
  }
  std::set<std::string> either = run.before.history;
  either.insert(clean.after.history.begin(), clean.after.history.end());
  EXPECT_TRUE(subset(after.history, either));
  if (ok) {
    if (isSave(row)) {
      EXPECT_NE(after.snapshot, std::nullopt);
    }
    if (after.snapshot != clean.after.snapshot) {
      // Only a previous document that could not be read makes a difference.
      EXPECT_NE(clean.after.snapshot, run.before.snapshot);
    }
    EXPECT_TRUE(subset(clean.after.history, after.history));
    EXPECT_EQ(after.commands, clean.after.commands);
  } else {
    // Nothing is pruned and no command stays queued after a failure.
    EXPECT_TRUE(subset(run.before.history, after.history));
    EXPECT_EQ(after.commands, run.before.commands);
    EXPECT_EQ(run.launched, 0u);
  }
}

TEST(FaultInjectionTest, EveryCallFailedOrCutLeavesTheOldOrTheNewStateAndAnswersTruly) {
  const int kErrors[] = {ENOSPC, EIO, EROFS, EINTR};
  std::map<EnvOp, std::set<std::string>> outcomes;  // for the summary
  std::size_t runs = 0;
  for (const Row& row : kRows) {
    const Outcome clean = runRow(row, {});
    const Outcome withoutPrevious = runRow(row, {}, false, true);
    SCOPED_TRACE(row.name);
    ASSERT_EQ(clean.reply.at("ok"), true) << boost::json::serialize(clean.reply);
    // A new history copy holds the very bytes of the snapshot.
    for (const auto& [name, bytes] : clean.after.historyBytes) {
      if (!clean.before.history.contains(name)) {
        EXPECT_EQ(bytes, clean.after.snapshot) << name;
      }
    }

    // Cut after the reply: everything it acknowledged is durable.
    const Outcome cutAfter = runRow(row, {}, true);
    expectOldOrNew(row, clean, cutAfter, "cut after the reply");
    EXPECT_EQ(cutAfter.after.snapshot, clean.after.snapshot);
    ++runs;

    std::map<EnvOp, std::size_t> callsOf;
    for (std::size_t i = 0; i < clean.calls.size(); ++i) {
      const EnvCall& call = clean.calls[i];
      const std::size_t nth = callsOf[call.op]++;
      const std::string where =
          std::to_string(i) + ": " + opName(call.op) + " " + call.path.string();
      std::vector<EnvFault> faults = {{EnvFault::Kind::kPowerCut, call.op, nth, 0}};
      faults.push_back({EnvFault::Kind::kError, call.op, nth, kErrors[i % std::size(kErrors)]});
      if (call.op == EnvOp::kAppend) {
        faults.push_back({EnvFault::Kind::kShortWrite, call.op, nth, 0});
      }
      if (call.op == EnvOp::kNewTemporaryCopy) {
        for (int refusal : {EXDEV, ENOSYS, EOPNOTSUPP, EINVAL}) {
          faults.push_back({EnvFault::Kind::kError, call.op, nth, refusal});
        }
      }
      for (const EnvFault& fault : faults) {
        const Outcome run = runRow(row, fault);
        ++runs;
        if (fault.kind == EnvFault::Kind::kPowerCut) {
          expectOldOrNew(row, clean, run, "power cut at " + where);
          continue;
        }
        const int errnum = fault.kind == EnvFault::Kind::kShortWrite ? ENOSPC : fault.errnum;
        const std::string what = "error " + std::string(std::strerror(errnum)) + " at " + where;
        const bool unread =
            readsThePrevious(call) && run.after.snapshot != clean.after.snapshot;
        expectOldOrNew(row, unread ? withoutPrevious : clean, run, what);
        SCOPED_TRACE(what);
        if (call.op == EnvOp::kNewTemporaryCopy && FaultEnv::isCopyRefusal(fault.errnum)) {
          // The copy the system refused is encoded instead, to the same bytes.
          outcomes[call.op].insert("encoded");
          EXPECT_EQ(run.reply, clean.reply);
          EXPECT_EQ(run.after.snapshot, clean.after.snapshot);
          EXPECT_EQ(run.after.historyBytes, clean.after.historyBytes);
          continue;
        }
        if (ignorable(row, clean.calls, i)) {
          outcomes[call.op].insert("ok=true");
          boost::json::object expected = clean.reply;
          // The settings that cannot be read are the default ones.
          if (inSettingsRead(row, clean.calls, i)) {
            expected["badge"] = boost::json::object{{"enabled", false}};
          }
          EXPECT_EQ(run.reply, expected);
          continue;
        }
        outcomes[call.op].insert("ok=false");
        ASSERT_EQ(run.reply.at("ok"), false) << boost::json::serialize(run.reply);
        const std::string error(run.reply.at("error").as_string());
        ASSERT_GT(run.calls.size(), i);
        EXPECT_EQ(run.calls[i].op, call.op);
        EXPECT_NE(error.find(run.calls[i].path.string()), std::string::npos) << error;
        EXPECT_NE(error.find(std::strerror(errnum)), std::string::npos) << error;
        ASSERT_EQ(run.log.size(), 1u);
        EXPECT_EQ(run.log[0].text,
                  (isSave(row) ? "Speichern fehlgeschlagen: " : "Befehl fehlgeschlagen: ") + error);
      }
    }
  }
  std::cerr << "[ faults ] " << runs << " runs;";
  for (const auto& [op, seen] : outcomes) {
    std::cerr << " " << opName(op) << ":";
    for (const std::string& outcome : seen) std::cerr << " " << outcome;
    std::cerr << ";";
  }
  std::cerr << "\n";
}

}  // namespace
}  // namespace velmora
