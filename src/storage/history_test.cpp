#include "storage/history.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/test_env.h"
#include "storage/velmora_date.h"

namespace velmora::VelmoraStorage {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAreArray;

TEST(HistoryNameTest, ColonsBecomeUnderscoresAndNothingElseChanges) {
  const struct {
    const char* scannedAt;
    const char* name;
  } cases[] = {
      {"2024-05-01T12:30:00.000Z", "2024-05-01T12_30_00.000Z.json"},
      {"2024-05-01T14:30:00+02:00", "2024-05-01T14_30_00+02_00.json"},
      {"already_under", "already_under.json"},
      {"", ".json"},
      {"::", "__.json"},
  };
  for (const auto& c : cases) EXPECT_EQ(historyFileName(c.scannedAt), c.name) << c.scannedAt;
}

TEST(HistoryNameTest, TheDateReadBackIsTheScanTime) {
  const char* parsing[] = {"2024-05-01T12:30:00.000Z", "2024-05-01T14:30:00+02:00",
                           "2024-05-01T07:00:00.5-05:30", "2001-01-01T00:00:00Z"};
  for (const char* scannedAt : parsing) {
    const std::filesystem::path file = std::filesystem::path("/h") / historyFileName(scannedAt);
    ASSERT_TRUE(historyFileDate(file).has_value()) << scannedAt;
    EXPECT_EQ(*historyFileDate(file), *VelmoraDate::parse(scannedAt)) << scannedAt;
  }
  const char* notParsing[] = {"notes.json", ".json", "2024-05-01T12_30_00.000Z.json.json",
                              "2024_05_01T12_30_00Z.json"};
  for (const char* name : notParsing) {
    EXPECT_FALSE(historyFileDate(std::filesystem::path("/h") / name).has_value()) << name;
  }
}

class HistoryDirectoryTest : public ::testing::Test {
 protected:
  // A copy named after the scan time, as saving writes it.
  void copy(const std::string& scannedAt) { put(historyFileName(scannedAt)); }
  void put(const std::string& name) { std::ofstream(dir_ / name) << "{}"; }

  std::vector<std::string> listed() {
    std::vector<std::string> names;
    for (const std::filesystem::path& file : historyFiles(env_, dir_)) {
      EXPECT_EQ(file.parent_path(), dir_);
      names.push_back(file.filename().string());
    }
    return names;
  }
  std::vector<std::string> present() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }
  void prune(const char* now) { pruneHistory(env_, dir_, *VelmoraDate::parse(now)); }

  TestEnv env_;
  const std::filesystem::path dir_ = env_.root();
};

TEST_F(HistoryDirectoryTest, ListsJsonEntriesGreatestNameFirst) {
  copy("2024-05-01T12:30:00.000Z");
  copy("2024-05-01T12:45:00.000Z");
  copy("2024-04-30T23:59:59.999Z");
  put("notes.json");
  put("UPPER.JSON");
  put("copy.json.tmp");
  put(".snapshot.v1.json.tmp-ab12CD");
  put(".hidden.json");
  std::filesystem::create_directory(dir_ / "folder.json");
  EXPECT_THAT(listed(), ElementsAre("notes.json", "folder.json", "2024-05-01T12_45_00.000Z.json",
                                    "2024-05-01T12_30_00.000Z.json",
                                    "2024-04-30T23_59_59.999Z.json", ".hidden.json"));
}

TEST_F(HistoryDirectoryTest, AMissingDirectoryListsNothingAndPrunesNothing) {
  EXPECT_TRUE(historyFiles(env_, dir_ / "missing").empty());
  pruneHistory(env_, dir_ / "missing", 1e9);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing"));
}

TEST_F(HistoryDirectoryTest, KeepsEverythingOfTheLastTwoHoursInclusive) {
  // Ages 10 min, 1 h, exactly 2 h, and a copy dated months after now: a
  // negative age is young, however large.
  const char* young[] = {"2024-05-10T15:45:00Z", "2024-05-10T15:00:00Z", "2024-05-10T14:00:00Z",
                         "2024-09-10T16:30:00Z"};
  for (const char* at : young) copy(at);
  prune("2024-05-10T16:00:00Z");
  EXPECT_EQ(present().size(), 4u);
}

TEST_F(HistoryDirectoryTest, KeepsTheGreatestNameOfAnOlderHour) {
  // Ages 3 h 10 min, 3 h 30 min and 3 h 50 min, all in hour 12.
  copy("2024-05-10T12:45:00Z");
  copy("2024-05-10T12:25:00Z");
  copy("2024-05-10T12:05:00Z");
  prune("2024-05-10T15:55:00Z");
  EXPECT_THAT(present(), ElementsAre("2024-05-10T12_45_00Z.json"));
}

TEST_F(HistoryDirectoryTest, AYoungCopyDoesNotClaimItsHour) {
  // Ages 1 h 50 min and 2 h 10 min, both in hour 14: both stay.
  copy("2024-05-10T14:30:00Z");
  copy("2024-05-10T14:10:00Z");
  prune("2024-05-10T16:20:00Z");
  EXPECT_EQ(present().size(), 2u);

  // At the boundary: ages exactly 7200 s (kept, claims nothing), 7200.1 s
  // (first older one: claims the hour) and 7200.3 s (removed).
  std::filesystem::remove_all(dir_);
  std::filesystem::create_directory(dir_);
  copy("2024-05-10T12:00:00.5Z");
  copy("2024-05-10T12:00:00.4Z");
  copy("2024-05-10T12:00:00.2Z");
  prune("2024-05-10T14:00:00.5Z");
  EXPECT_THAT(present(), UnorderedElementsAreArray(
                             {"2024-05-10T12_00_00.5Z.json", "2024-05-10T12_00_00.4Z.json"}));
}

TEST_F(HistoryDirectoryTest, ThirtyDaysInclusiveThenEverythingGoes) {
  copy("2024-05-01T12:00:00Z");  // exactly 30 days: newest of its hour, kept
  copy("2024-05-01T11:59:59Z");  // 30 days and 1 s: removed
  copy("2024-04-01T08:00:00Z");  // long gone
  copy("2024-05-20T09:30:00Z");  // one per hour within the month
  copy("2024-05-20T09:10:00Z");
  copy("2024-05-20T10:10:00Z");
  prune("2024-05-31T12:00:00Z");
  EXPECT_THAT(present(),
              UnorderedElementsAreArray({"2024-05-01T12_00_00Z.json", "2024-05-20T09_30_00Z.json",
                                         "2024-05-20T10_10_00Z.json"}));
}

TEST_F(HistoryDirectoryTest, HourKeysComeFromTheTextNotTheInstant) {
  // The same instant in two zones falls into two hour keys, so both stay;
  // two instants an hour apart written into one hour key share it.
  copy("2024-05-10T08:30:00Z");
  copy("2024-05-10T10:30:00+02:00");
  copy("2024-05-10T06:40:00Z");
  copy("2024-05-10T06:20:00-01:00");  // 07:20 UTC, key "2024-05-10T06"
  prune("2024-05-10T20:00:00Z");
  EXPECT_THAT(present(), UnorderedElementsAreArray({"2024-05-10T08_30_00Z.json",
                                                    "2024-05-10T10_30_00+02_00.json",
                                                    "2024-05-10T06_40_00Z.json"}));
}

TEST_F(HistoryDirectoryTest, RemovesOnlyRegularFilesWithADate) {
  put("notes.json");
  put("UPPER.JSON");
  copy("2020-01-01T00:00:00Z");
  std::filesystem::create_directory(dir_ / historyFileName("2020-01-01T01:00:00Z"));
  std::ofstream(dir_ / historyFileName("2020-01-01T01:00:00Z") / "inside") << "x";
  std::filesystem::create_directory(dir_ / historyFileName("2020-01-01T02:00:00Z"));
  std::ofstream(dir_ / "target") << "x";
  std::vector<std::string> kept = {"notes.json", "UPPER.JSON", "2020-01-01T01_00_00Z.json",
                                   "2020-01-01T02_00_00Z.json", "target"};
  // Where the system lets this process make links at all.
  std::error_code noLinks;
  std::filesystem::create_symlink(dir_ / "target", dir_ / historyFileName("2020-01-01T03:00:00Z"),
                                  noLinks);
  if (!noLinks) kept.push_back("2020-01-01T03_00_00Z.json");
  prune("2024-05-10T20:00:00Z");
  EXPECT_THAT(present(), UnorderedElementsAreArray(kept));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "2020-01-01T01_00_00Z.json" / "inside"));
}

}  // namespace
}  // namespace velmora::VelmoraStorage
