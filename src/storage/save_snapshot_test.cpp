#include "storage/save_snapshot.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "model/tab_snapshot.h"
#include "platform/clock.h"
#include "storage/history.h"
#include "storage/known_document.h"
#include "support/fault_env.h"
#include "support/messages.h"
#include "support/scan_time.h"
#include "support/snapshot_bytes.h"
#include "support/test_env.h"

namespace velmora::VelmoraStorage {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::UnorderedElementsAre;

class SaveTest : public ::testing::Test {
 protected:
  // With a cache, as the handler saves: every outcome must be the one a
  // save that decodes the document afresh gives.
  Options options() { return Options(env_, &cache_); }
  Result<Saved> saveAt(const std::vector<SafariTab>& tabs, const std::string& scannedAt) {
    return save(tabs, scannedAt, options());
  }
  void mustSave(const std::vector<SafariTab>& tabs, const std::string& scannedAt) {
    Result<Saved> status = saveAt(tabs, scannedAt);
    ASSERT_TRUE(status.ok()) << status.error().description;
  }

  std::filesystem::path snapshotFile() const { return dir_ / "snapshot.v1.json"; }
  std::filesystem::path historyDir() const { return dir_ / "history"; }

  std::string bytesOf(const std::filesystem::path& file) const {
    Result<std::string> bytes = realFiles().readFile(file, SIZE_MAX);
    EXPECT_TRUE(bytes.ok()) << file;
    return bytes ? *bytes : std::string();
  }
  TabSnapshot stored() const {
    Result<TabSnapshot> snapshot = decodeSnapshot(bytesOf(snapshotFile()));
    EXPECT_TRUE(snapshot.ok()) << (snapshot ? "" : snapshot.error().description);
    return snapshot ? *snapshot : TabSnapshot{};
  }
  std::string firstSeenOf(const std::string& page) const {
    TabSnapshot snapshot = stored();
    if (!snapshot.firstSeen) return "(no map)";
    const std::string* value = snapshot.firstSeen->find(page);
    return value ? *value : "(none)";
  }
  std::vector<std::string> history() const {
    std::vector<std::string> names;
    if (!std::filesystem::exists(historyDir())) return names;
    for (const auto& entry : std::filesystem::directory_iterator(historyDir())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  static FileIdentity identity(const std::filesystem::path& file) {
    Result<FileInfo> info = realFiles().examine(file);
    return info ? info->identity : FileIdentity{};
  }
  void putHistory(const std::string& name) {
    std::filesystem::create_directories(historyDir());
    std::ofstream(historyDir() / name) << "{}";
  }
  // A previous document as another writer may have left it.
  void putSnapshot(const std::string& scannedAt, const std::vector<std::string>& tabs,
                   std::string_view rest = "") {
    std::string text = R"({"scannedAt":")" + scannedAt + R"(","tabs":[)";
    for (const std::string& entry : tabs) text += (&entry == &tabs[0] ? "" : ",") + entry;
    std::filesystem::create_directories(dir_);
    std::ofstream(snapshotFile(), std::ios::trunc) << text << "]" << rest << "}";
  }

  TestEnv env_;
  KnownDocument cache_;
  const std::filesystem::path root_ = env_.root();
  const std::filesystem::path dir_ = env_.storage();
};

// --- Writing and skipping --------------------------------------------------

TEST_F(SaveTest, FirstSaveWritesTheDocumentAndAnIdenticalCopy) {
  mustSave({tab(1, "https://a.example/x"), tab(2, "HTTPS://B.example/#top", "B")}, scanTime(0));
  EXPECT_EQ(bytesOf(snapshotFile()),
            "{\"scannedAt\":\"2024-05-01T12:00:00.000Z\",\"tabs\":["
            "{\"id\":1,\"windowId\":1,\"title\":\"Title\",\"url\":\"https:\\/\\/a.example\\/x\","
            "\"pinned\":false,\"active\":false},"
            "{\"id\":2,\"windowId\":1,\"title\":\"B\",\"url\":\"HTTPS:\\/\\/B.example\\/#top\","
            "\"pinned\":false,\"active\":false}],"
            "\"firstSeen\":{\"https:\\/\\/a.example\\/x\":\"2024-05-01T12:00:00.000Z\","
            "\"https:\\/\\/b.example\":\"2024-05-01T12:00:00.000Z\"}}");
  EXPECT_THAT(history(), ElementsAre("2024-05-01T12_00_00.000Z.json"));
  EXPECT_EQ(bytesOf(historyDir() / "2024-05-01T12_00_00.000Z.json"), bytesOf(snapshotFile()));
}

TEST_F(SaveTest, TheSameListWithinTheWindowWritesNothing) {
  const std::vector<SafariTab> tabs = {tab(1, "https://a.example/", "Caf\xC3\xA9"), tab(2, "")};
  mustSave(tabs, scanTime(0));
  const std::string bytes = bytesOf(snapshotFile());
  const FileIdentity snapshot = identity(snapshotFile());
  const FileIdentity copy = identity(historyDir() / historyFileName(scanTime(0)));

  for (long later : {1L, 300L, 599L}) {
    mustSave(tabs, scanTime(later));
    EXPECT_EQ(bytesOf(snapshotFile()), bytes) << later;
    EXPECT_EQ(identity(snapshotFile()), snapshot) << later;
    EXPECT_EQ(identity(historyDir() / historyFileName(scanTime(0))), copy) << later;
    EXPECT_THAT(history(), ElementsAre(historyFileName(scanTime(0)))) << later;
  }
  // A previous scan time later than now counts as recent too.
  mustSave(tabs, scanTime(-3600));
  EXPECT_EQ(identity(snapshotFile()), snapshot);

  // A host that knows nothing of the document finds the same: from its bytes
  // or, with a title in another normalisation form, from its decoded tabs.
  std::vector<SafariTab> decomposed = tabs;
  decomposed[0].title = "Cafe\xCC\x81";
  for (const std::vector<SafariTab>& same : {tabs, decomposed}) {
    ASSERT_TRUE(save(same, scanTime(300), env_.options()).ok());
    EXPECT_EQ(identity(snapshotFile()), snapshot) << same[0].title;
  }
}

TEST_F(SaveTest, TheSameListExactlyTheWindowLaterIsWrittenWithANewCopy) {
  const std::vector<SafariTab> tabs = {tab(1, "https://a.example/"), tab(2, "https://b.example/")};
  // By the host that wrote the document, and by one that must read it.
  for (const bool known : {true, false}) {
    SCOPED_TRACE(known ? "known" : "read");
    std::filesystem::remove_all(dir_);
    mustSave(tabs, scanTime(0));
    ASSERT_TRUE(save(tabs, scanTime(600), known ? options() : env_.options()).ok());
    TabSnapshot snapshot = stored();
    EXPECT_EQ(snapshot.scannedAt, scanTime(600));
    EXPECT_EQ(firstSeenOf("https://a.example"), scanTime(0));
    EXPECT_EQ(firstSeenOf("https://b.example"), scanTime(0));
    EXPECT_THAT(history(),
                ElementsAre(historyFileName(scanTime(0)), historyFileName(scanTime(600))));
    EXPECT_EQ(bytesOf(historyDir() / historyFileName(scanTime(600))), bytesOf(snapshotFile()));
  }
}

TEST_F(SaveTest, ATitleChangeWithinTheWindowRewritesWithoutACopy) {
  putHistory(historyFileName(scanTime(-40 * 86400)));  // would go if pruning ran
  mustSave({tab(1, "https://a.example/", "Old")}, scanTime(0));
  const std::vector<std::string> copies = history();
  ASSERT_EQ(copies.size(), 1u);  // the copy of scanTime(0); the old one was pruned

  putHistory(historyFileName(scanTime(-40 * 86400)));
  mustSave({tab(1, "https://a.example/", "New")}, scanTime(100));
  EXPECT_EQ(stored().tabs[0].title, "New");
  EXPECT_EQ(stored().scannedAt, scanTime(100));
  EXPECT_THAT(history(),
              ElementsAre(historyFileName(scanTime(-40 * 86400)), historyFileName(scanTime(0))));
}

TEST_F(SaveTest, ANewPageWithinTheWindowWritesACopyAndPrunes) {
  mustSave({tab(1, "https://a.example/")}, scanTime(0));
  putHistory(historyFileName(scanTime(-40 * 86400)));
  putHistory(historyFileName(scanTime(-5 * 3600)));
  putHistory(historyFileName(scanTime(-5 * 3600 + 60)));  // same hour, greater name: kept
  mustSave({tab(1, "https://a.example/"), tab(2, "https://b.example/")}, scanTime(100));
  EXPECT_THAT(history(), ElementsAre(historyFileName(scanTime(-5 * 3600 + 60)),
                                     historyFileName(scanTime(0)), historyFileName(scanTime(100))));
  EXPECT_EQ(bytesOf(historyDir() / historyFileName(scanTime(100))), bytesOf(snapshotFile()));
}

TEST_F(SaveTest, ALostPageChangesThePageSetToo) {
  mustSave({tab(1, "https://a.example/"), tab(2, "https://b.example/")}, scanTime(0));
  mustSave({tab(1, "https://a.example/")}, scanTime(60));
  EXPECT_THAT(history(), ElementsAre(historyFileName(scanTime(0)), historyFileName(scanTime(60))));
}

TEST_F(SaveTest, AnEmptyListOnAnEmptyDirectory) {
  mustSave({}, scanTime(0));
  EXPECT_EQ(bytesOf(snapshotFile()),
            "{\"scannedAt\":\"2024-05-01T12:00:00.000Z\",\"tabs\":[],\"firstSeen\":{}}");
  EXPECT_THAT(history(), ElementsAre(historyFileName(scanTime(0))));

  // Fresh again, but a recent copy exists: the empty page sets are equal, so
  // no copy.
  std::filesystem::remove(snapshotFile());
  mustSave({}, scanTime(100));
  EXPECT_EQ(stored().scannedAt, scanTime(100));
  EXPECT_THAT(history(), ElementsAre(historyFileName(scanTime(0))));
}

TEST_F(SaveTest, TheBytesAreTheDocumentsOwnByteForm) {
  SafariTab odd =
      tab(-9, "https://h\u00f6st.example/a?q=\"x\"&b=\\", "Caf\u00e9 \"quoted\"\t\u0001");
  odd.snippet = "";
  odd.summary = "Stra\u00dfe / \u6f22\u5b57";
  SafariTab plain = tab(9223372036854775807, "about:blank", "");
  plain.pinned = true;
  plain.active = true;
  mustSave({odd, plain, tab(3, "")}, "2024-05-01T12:00:00.5+02:00");
  const TabSnapshot snapshot = stored();
  EXPECT_EQ(snapshot.tabs, (std::vector<SafariTab>{odd, plain, tab(3, "")}));
  EXPECT_EQ(bytesOf(snapshotFile()), snapshotBytes(snapshot));
}

// --- First-seen times --------------------------------------------------------

TEST_F(SaveTest, FirstSeenTimesAreCarriedLostAndRenewed) {
  const SafariTab a = tab(1, "https://a.example/"), b = tab(2, "https://b.example/"),
                  c = tab(3, "https://c.example/");
  mustSave({a, b}, scanTime(0));
  mustSave({a, b, c}, scanTime(1000));
  mustSave({c, a, b}, scanTime(2000));
  EXPECT_EQ(firstSeenOf("https://a.example"), scanTime(0));
  EXPECT_EQ(firstSeenOf("https://b.example"), scanTime(0));
  EXPECT_EQ(firstSeenOf("https://c.example"), scanTime(1000));

  mustSave({a, c}, scanTime(3000));
  EXPECT_EQ(firstSeenOf("https://b.example"), "(none)");
  EXPECT_EQ(stored().firstSeen->size(), 2u);

  mustSave({a, b, c}, scanTime(3100));
  EXPECT_EQ(firstSeenOf("https://a.example"), scanTime(0));
  EXPECT_EQ(firstSeenOf("https://b.example"), scanTime(3100));
  EXPECT_EQ(firstSeenOf("https://c.example"), scanTime(1000));
}

TEST_F(SaveTest, DuplicatePagesShareOneEntryAndEmptyURLsHaveNone) {
  const std::vector<SafariTab> tabs = {tab(1, "HTTPS://Host.example:443/#a"),
                                       tab(2, "https://host.example"), tab(3, ""),
                                       tab(4, "https://host.example/#b")};
  mustSave(tabs, scanTime(0));
  TabSnapshot snapshot = stored();
  EXPECT_EQ(snapshot.tabs, tabs);
  ASSERT_TRUE(snapshot.firstSeen.has_value());
  EXPECT_EQ(snapshot.firstSeen->size(), 1u);
  EXPECT_EQ(firstSeenOf("https://host.example"), scanTime(0));

  // The tab without a url still counts in the tab-list comparison...
  std::vector<SafariTab> renamed = tabs;
  renamed[2].title = "Renamed";
  mustSave(renamed, scanTime(100));
  EXPECT_EQ(stored().tabs[2].title, "Renamed");
  EXPECT_THAT(history(), ElementsAre(historyFileName(scanTime(0))));

  // ...and its empty address is a page of the page set.
  std::vector<SafariTab> withoutEmpty = {tabs[0], tabs[1], tabs[3]};
  mustSave(withoutEmpty, scanTime(200));
  EXPECT_THAT(history(), ElementsAre(historyFileName(scanTime(0)), historyFileName(scanTime(200))));
  EXPECT_EQ(stored().firstSeen->size(), 1u);
  mustSave(tabs, scanTime(300));
  EXPECT_THAT(history(), ElementsAre(historyFileName(scanTime(0)), historyFileName(scanTime(200)),
                                     historyFileName(scanTime(300))));
}

TEST_F(SaveTest, APreviousDocumentWithoutAMapDatesItsPagesAtItsOwnScan) {
  putSnapshot(scanTime(0), {tabJson(1, "https://a.example/"), tabJson(2, "")});
  mustSave({tab(1, "https://a.example/"), tab(3, "https://new.example/")}, scanTime(100));
  EXPECT_EQ(firstSeenOf("https://a.example"), scanTime(0));
  EXPECT_EQ(firstSeenOf("https://new.example"), scanTime(100));

  // The same list as the map-less document, within the window: still written.
  putSnapshot(scanTime(200), {tabJson(1, "https://a.example/")}, R"(,"firstSeen":null)");
  mustSave({tab(1, "https://a.example/")}, scanTime(300));
  EXPECT_EQ(stored().scannedAt, scanTime(300));
  EXPECT_EQ(firstSeenOf("https://a.example"), scanTime(200));
}

TEST_F(SaveTest, APreviousMapWithoutAnEntryForAnOpenPageUsesThePreviousScan) {
  // Other titles, so that the save writes.
  putSnapshot(scanTime(0),
              {tabJson(1, "https://a.example/", "T"), tabJson(2, "https://b.example/", "T")},
              R"(,"firstSeen":{"https:\/\/a.example":"long ago"})");
  mustSave({tab(1, "https://a.example/"), tab(2, "https://b.example/")}, scanTime(100));
  EXPECT_EQ(firstSeenOf("https://a.example"), "long ago");
  EXPECT_EQ(firstSeenOf("https://b.example"), scanTime(0));
}

TEST_F(SaveTest, TheSameListIsWrittenWhenTheStoredMapIsNotExactlyItsPages) {
  const std::vector<std::string> storedTabs = {tabJson(1, "https://a.example/"),
                                               tabJson(2, "https://b.example/"),
                                               tabJson(3, "https://a.example/#again")};
  const std::vector<SafariTab> tabs = {tab(1, "https://a.example/"), tab(2, "https://b.example/"),
                                       tab(3, "https://a.example/#again")};
  struct Case {
    const char* name;
    const char* map;
    bool written;
    std::string firstSeenOfB;
  };
  const Case cases[] = {
      {"every page once", R"({"https:\/\/a.example":"A","https:\/\/b.example":"B"})", false, "B"},
      {"every page once, in another order",
       R"({"https:\/\/b.example":"B","https:\/\/a.example":"A"})", false, "B"},
      {"a page missing", R"({"https:\/\/a.example":"A"})", true, scanTime(0)},
      {"a page too many",
       R"({"https:\/\/a.example":"A","https:\/\/b.example":"B","https:\/\/c.example":"C"})", true,
       "B"},
  };
  for (const Case& c : cases) {
    // As another writer may lay it out, and byte for byte as this host does.
    for (const bool ownBytes : {false, true}) {
      SCOPED_TRACE(ownBytes ? "in this host's bytes" : "laid out otherwise");
      putSnapshot(scanTime(0), storedTabs, std::string(R"(,"firstSeen":)") + c.map);
      if (ownBytes) {
        const std::string bytes = snapshotBytes(stored());
        std::ofstream(snapshotFile(), std::ios::trunc) << bytes;
      }
      mustSave(tabs, scanTime(100));
      EXPECT_EQ(stored().scannedAt, c.written ? scanTime(100) : scanTime(0)) << c.name;
      EXPECT_EQ(firstSeenOf("https://a.example"), "A") << c.name;
      EXPECT_EQ(firstSeenOf("https://b.example"), c.firstSeenOfB) << c.name;
      EXPECT_EQ(firstSeenOf("https://c.example"), "(none)") << c.name;
    }
  }
}

// What the host knows of the document it wrote counts only while the file is
// that version: with it, each save below would find nothing changed.
TEST_F(SaveTest, ADocumentReplacedEditedOrRemovedSinceIsReadAgain) {
  const SafariTab a = tab(1, "https://a.example/");
  const struct {
    const char* name;
    std::function<void()> change;
    std::string firstSeenOfA;
  } cases[] = {
      {"saved by another host",
       [&] {
         ASSERT_TRUE(save({a, tab(2, "https://b.example/")}, scanTime(50), env_.options()).ok());
       },
       scanTime(0)},
      {"edited in place",
       [&] {
         std::string text = bytesOf(snapshotFile());
         text.replace(text.find("Title"), 5, "Tatle");
         std::ofstream(snapshotFile(), std::ios::trunc) << text;
         // A time of its own even within the clock's tick.
         std::filesystem::last_write_time(
             snapshotFile(),
             std::filesystem::last_write_time(snapshotFile()) - std::chrono::seconds(1));
       },
       scanTime(0)},
      {"removed", [&] { std::filesystem::remove(snapshotFile()); }, scanTime(100)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_);
    mustSave({a}, scanTime(0));
    c.change();
    mustSave({a}, scanTime(100));
    EXPECT_EQ(stored().scannedAt, scanTime(100));
    EXPECT_EQ(stored().tabs, std::vector<SafariTab>{a});
    EXPECT_EQ(firstSeenOf("https://a.example"), c.firstSeenOfA);
  }
}

// A document that reads whole but does not decode is replaced, its bytes
// kept aside first, never destroyed unseen.
TEST_F(SaveTest, ACorruptPreviousDocumentIsKeptAsideAndReplacedAndTimesRestart) {
  const char* corrupt[] = {
      "not json at all",
      "{\"scannedAt\":\"x\",\"tabs\":[{\"id\":1}]}",
      "{\"scannedAt\":\"x\",\"tabs\":[],\"firstSeen\":{\"https:\\/\\/a.example\":1}}",
      "",
  };
  const std::filesystem::path kept = dir_ / "snapshot.v1.json.unreadable";
  for (const char* text : corrupt) {
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::ofstream(snapshotFile()) << text;
    std::ofstream(kept) << "an earlier one";
    Result<Saved> saved = saveAt({tab(1, "https://a.example/")}, scanTime(0));
    ASSERT_TRUE(saved.ok()) << saved.error().description;
    EXPECT_EQ(saved->keptDamaged, kept);
    EXPECT_EQ(bytesOf(kept), text);
    EXPECT_EQ(stored().scannedAt, scanTime(0)) << text;
    EXPECT_EQ(firstSeenOf("https://a.example"), scanTime(0)) << text;
  }
  // Kept once: the document now decodes.
  std::filesystem::remove(kept);
  ASSERT_TRUE(saveAt({tab(2, "https://b.example/")}, scanTime(1)).ok());
  EXPECT_FALSE(std::filesystem::exists(kept));
}

// Saving over a document that exists but cannot be read would lose every
// page's first-seen time: the save fails before anything is written or
// pruned, with and without what a long-lived host keeps.
TEST_F(SaveTest, APreviousDocumentThatCannotBeReadFailsTheSave) {
  const struct {
    const char* name;
    std::function<void()> make;
    const char* reason;  // the system's own words when null (posix/posix_env_test.cpp's)
    EnvFault fault = {};
  } cases[] = {
      {"examining it fails",
       [&] { std::ofstream(snapshotFile()) << R"({"scannedAt":"","tabs":[]})"; },
       nullptr,
       {EnvFault::Kind::kError, EnvOp::kExamine, 0, EIO}},
      {"a directory in its place",
       [&] { std::filesystem::create_directories(snapshotFile() / "inside"); }, nullptr},
      {"larger than any document this host writes",
       [&] {
         std::ofstream grow(snapshotFile(), std::ios::binary);
         grow.seekp(kMaxSnapshotDocumentBytes);
         grow.put('}');
       },
       "File too large"},
  };
  for (const auto& c : cases) {
    for (const bool cached : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (cached ? ", cached" : ", uncached"));
      std::filesystem::remove_all(dir_);
      std::filesystem::create_directories(dir_);
      putHistory(VelmoraStorage::historyFileName(scanTime(-40 * 24 * 3600)));
      c.make();
      std::optional<FaultEnv> faults;
      if (c.fault.kind != EnvFault::Kind::kNone) faults.emplace(env_, root_, dir_).inject(c.fault);
      Env& world = faults ? static_cast<Env&>(*faults) : env_;
      KnownDocument known;
      Result<Saved> saved = save({tab(1, "https://a.example/")}, scanTime(0),
                                 cached ? Options(world, &known) : Options(world));
      ASSERT_FALSE(saved.ok());
      if (c.reason != nullptr) {
        EXPECT_EQ(saved.error().description,
                  "cannot read " + utf8Text(snapshotFile()) + ": " + c.reason);
      } else {
        EXPECT_THAT(saved.error().description, HasSubstr(utf8Text(snapshotFile()) + ": "));
      }
      EXPECT_EQ(history().size(), 1u);
      EXPECT_FALSE(std::filesystem::exists(dir_ / "snapshot.v1.json.unreadable"));
    }
  }
}

TEST_F(SaveTest, APreviousDocumentIsReadAsFullyAsAMessage) {
  mustSave({tab(1, "https://a.example/")}, scanTime(0));
  std::string text = bytesOf(snapshotFile());
  // Written by someone else: a deeply nested extra member.
  text.insert(1, "\"extra\":" + std::string(200, '[') + std::string(200, ']') + ",");
  std::ofstream(snapshotFile(), std::ios::trunc) << text;
  mustSave({tab(1, "https://a.example/"), tab(2, "https://b.example/")}, scanTime(1));
  EXPECT_EQ(firstSeenOf("https://a.example"), scanTime(0));
}

// --- Scan times ---------------------------------------------------------------

TEST_F(SaveTest, AnUnparseableScanTimeIsStoredAsSentAndNowIsTheClock) {
  // Copies named relative to the real clock, to see which "now" pruning used.
  const double now = currentTime();
  auto copyAged = [&](double age) {
    const std::string name = historyFileName(isoTime(now - age));
    putHistory(name);
    return name;
  };
  const std::string old = copyAged(40 * 86400);
  const std::string recent = copyAged(60);

  const std::vector<SafariTab> tabs = {tab(1, "https://a.example/")};
  mustSave(tabs, "yesterday, roughly");
  EXPECT_EQ(stored().scannedAt, "yesterday, roughly");
  EXPECT_EQ(firstSeenOf("https://a.example"), "yesterday, roughly");
  EXPECT_THAT(history(), UnorderedElementsAre(recent, "yesterday, roughly.json"));
  EXPECT_FALSE(std::filesystem::exists(historyDir() / old));

  // An unparseable previous time can never stop the write.
  const FileIdentity before = identity(snapshotFile());
  mustSave(tabs, "yesterday, roughly");
  EXPECT_NE(identity(snapshotFile()), before);
}

TEST_F(SaveTest, AnUnparseableNewestNameMeansACopyOnEveryWrite) {
  putHistory("notes.json");
  mustSave({tab(1, "https://a.example/", "One")}, scanTime(0));
  mustSave({tab(1, "https://a.example/", "Two")}, scanTime(10));
  mustSave({tab(1, "https://a.example/", "Three")}, scanTime(20));
  EXPECT_THAT(history(), ElementsAre(historyFileName(scanTime(0)), historyFileName(scanTime(10)),
                                     historyFileName(scanTime(20)), "notes.json"));
}

TEST_F(SaveTest, AScanTimeThatCannotNameAFileFailsBeforeAnything) {
  const std::string bad[] = {"2024-05-01T12:00:00Z/../../escape", "/", "a/b",
                             std::string("2024-05-01T12:00:00Z\0.json", 26),
                             "2024-05-01T12:00:00." + std::string(240, '0') + "Z"};
  for (const std::string& scannedAt : bad) {
    Result<Saved> status = saveAt({tab(1, "https://a.example/")}, scannedAt);
    ASSERT_FALSE(status.ok());
    EXPECT_THAT(status.error().description, HasSubstr("cannot name a history copy after the scan time: it "));
    EXPECT_FALSE(std::filesystem::exists(dir_));
  }

  // The longest name a file can have is still a scan time.
  const std::string longest = "2024-05-01T12:00:00." + std::string(229, '0') + "Z";
  ASSERT_EQ(historyFileName(longest).size(), 255u);
  mustSave({tab(1, "https://a.example/")}, longest);
  std::filesystem::remove_all(dir_);

  mustSave({tab(1, "https://a.example/")}, scanTime(0));
  const std::string bytes = bytesOf(snapshotFile());
  EXPECT_FALSE(saveAt({tab(2, "https://b.example/")}, "../x").ok());
  EXPECT_EQ(bytesOf(snapshotFile()), bytes);
  EXPECT_THAT(history(), ElementsAre(historyFileName(scanTime(0))));
}

// --- Where and how -------------------------------------------------------------------

TEST_F(SaveTest, ThreadsSavingAtOnceLeaveWholeDocumentsAndNoTemporaryFiles) {
  constexpr int kThreads = 6;
  constexpr int kRounds = 15;
  std::vector<std::thread> threads;
  std::vector<std::string> failures(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        std::vector<SafariTab> tabs;
        for (int i = 0; i <= t * 20 + round; ++i) {
          tabs.push_back(tab(i, "https://t" + std::to_string(t) + ".example/" + std::to_string(i),
                             std::string(200, static_cast<char>('a' + t))));
        }
        Result<Saved> status = save(tabs, scanTime(t * 100000 + round * 700), options());
        if (!status) failures[t] = status.error().description;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& failure : failures) EXPECT_EQ(failure, "");

  EXPECT_TRUE(decodeSnapshot(bytesOf(snapshotFile())).ok());
  EXPECT_THAT(realFiles().listDirectory(dir_).value(),
              UnorderedElementsAre("snapshot.v1.json", "history"));
  ASSERT_THAT(history(), Not(IsEmpty()));
  for (const std::string& name : history()) {
    EXPECT_NE(name[0], '.') << name;
    EXPECT_TRUE(decodeSnapshot(bytesOf(historyDir() / name)).ok()) << name;
  }
}

}  // namespace
}  // namespace velmora::VelmoraStorage
