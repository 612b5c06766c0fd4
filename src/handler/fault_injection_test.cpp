#include <gtest/gtest.h>

#include <algorithm>
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

// What the storage directory holds: every document by its path and bytes,
// and the command files, whose names are random, by their bytes alone.
struct Stored {
  std::map<std::string, std::string> documents;
  std::multiset<std::string> commands;
  std::vector<std::string> temporaries;

  const std::string* document(const std::string& path) const {
    const auto found = documents.find(path);
    return found == documents.end() ? nullptr : &found->second;
  }
  std::optional<std::string> snapshot() const {
    const std::string* bytes = document("snapshot.v1.json");
    return bytes ? std::optional<std::string>(*bytes) : std::nullopt;
  }
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
    } else if (dir == "commands") {
      stored.commands.insert(bytesOf(entry.path()));
    } else {
      stored.documents[entry.path().lexically_relative(storage).string()] = bytesOf(entry.path());
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
  SafariWebExtensionHandler handler(env, (log ? log : &unused)->sink());
  NSExtensionContext context({messageItem(message)}, [&](std::vector<NSExtensionItem> items) {
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
    {"a save over a document that does not decode, which is kept aside",
     [](TestEnv& env) {
       storedSaveAndSettings(env);
       std::ofstream(env.storage() / "snapshot.v1.json", std::ios::trunc) << "{\"tabs\":";
     },
     saveSnapshotMessage(kTwoTabs, kLater)},
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

Outcome runRow(const Row& row, EnvFault fault, bool cutAfterReply = false) {
  TestEnv base;
  base.time = kNow;
  row.prepare(base);
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

// The previous document is examined, then read: it must not be saved over
// when either fails.
bool readsThePrevious(const std::vector<EnvCall>& calls, std::size_t i) {
  const auto isPrevious = [](const EnvCall& call) {
    return call.path.filename() == "snapshot.v1.json";
  };
  if (!isPrevious(calls[i])) return false;
  if (calls[i].op == EnvOp::kReadFileInPieces || calls[i].op == EnvOp::kReadFile) return true;
  if (calls[i].op != EnvOp::kExamine) return false;
  return std::none_of(
      calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(i),
      [&](const EnvCall& call) { return call.op == EnvOp::kExamine && isPrevious(call); });
}

// Failing these only leaves a copy unpruned or the document unknown for the
// next save, and so does anything failing in the settings read, which
// follows the save; every other failure is answered.
bool ignorable(const Row& row, const std::vector<EnvCall>& calls, std::size_t i) {
  if (readsThePrevious(calls, i)) return false;
  const EnvOp op = calls[i].op;
  if (op == EnvOp::kReadFile || op == EnvOp::kReadFileInPieces || op == EnvOp::kListDirectory ||
      op == EnvOp::kExamine || op == EnvOp::kRemoveFile || op == EnvOp::kOpenApplication) {
    return true;
  }
  return inSettingsRead(row, calls, i);
}

// What holds after any run, failed, cut or not: every document, read back
// byte for byte, is the one that stood before or the one the clean run
// wrote; nothing is left half-written; once the reply said ok, everything
// the clean run wrote is there, and after a failure nothing was pruned and
// no command stays queued.
void expectOldOrNew(const Row& row, const Outcome& clean, const Outcome& run,
                    const std::string& what) {
  SCOPED_TRACE(std::string(row.name) + ", " + what);
  const Stored& after = run.after;
  EXPECT_TRUE(after.temporaries.empty()) << after.temporaries.front();
  for (const auto& [path, bytes] : after.documents) {
    const std::string* old = run.before.document(path);
    const std::string* made = clean.after.document(path);
    EXPECT_TRUE((old && bytes == *old) || (made && bytes == *made)) << path << " is neither";
  }
  if (run.reply.at("ok") == true) {
    for (const auto& [path, bytes] : clean.after.documents) {
      const std::string* now = after.document(path);
      EXPECT_TRUE(now && *now == bytes) << path << " is not the clean run's";
    }
    EXPECT_EQ(after.commands, clean.after.commands);
  } else {
    for (const auto& [path, bytes] : run.before.documents) {
      if (path.starts_with("history/")) {
        EXPECT_NE(after.document(path), nullptr) << path << " was pruned";
      }
    }
    EXPECT_EQ(after.commands, run.before.commands);
    EXPECT_EQ(run.launched, 0u);
  }
}

// The steps of writing a file each say which of them failed.
const std::map<EnvOp, std::string> kWritingSteps = {
    {EnvOp::kAppend, "cannot write "},
    {EnvOp::kSync, "cannot flush "},
    {EnvOp::kClose, "cannot close "},
};

TEST(FaultInjectionTest, EveryCallFailedOrCutLeavesTheOldOrTheNewStateAndAnswersTruly) {
  const int kErrors[] = {ENOSPC, EIO, EROFS, EINTR};
  std::map<EnvOp, std::set<std::string>> outcomes;  // for the summary
  std::size_t runs = 0;
  for (const Row& row : kRows) {
    const Outcome clean = runRow(row, {});
    SCOPED_TRACE(row.name);
    ASSERT_EQ(clean.reply.at("ok"), true) << boost::json::serialize(clean.reply);
    // A new history copy holds the very bytes of the snapshot.
    for (const auto& [path, bytes] : clean.after.documents) {
      if (path.starts_with("history/") && !clean.before.document(path)) {
        EXPECT_EQ(bytes, clean.after.snapshot()) << path;
      }
    }

    // Cut after the reply: everything it acknowledged is durable (a pruned
    // copy may come back).
    const Outcome cutAfter = runRow(row, {}, true);
    expectOldOrNew(row, clean, cutAfter, "cut after the reply");
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
        expectOldOrNew(row, clean, run, what);
        SCOPED_TRACE(what);
        if (call.op == EnvOp::kNewTemporaryCopy && FaultEnv::isCopyRefusal(fault.errnum)) {
          // The copy the system refused is encoded instead, to the same bytes.
          outcomes[call.op].insert("encoded");
          EXPECT_EQ(run.reply, clean.reply);
          EXPECT_EQ(run.after.documents, clean.after.documents);
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
        if (const auto step = kWritingSteps.find(call.op); step != kWritingSteps.end()) {
          EXPECT_TRUE(error.starts_with(step->second + run.calls[i].path.string())) << error;
        }
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
