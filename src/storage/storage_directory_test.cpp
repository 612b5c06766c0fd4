#include "storage/storage_directory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/temporary_directory.h"

namespace velmora::VelmoraStorage {
namespace {

using ::testing::HasSubstr;

// Points XDG_DATA_HOME and HOME into a fresh temporary directory, so that no
// test touches the real home, and puts both back afterwards.
class StorageDirectoryTest : public ::testing::Test {
 protected:
  TemporaryDirectory directory_{"velmora-dir"};
  const std::filesystem::path root_ = directory_.path();
  // Put back before the directory goes.
  ScopedEnvironmentVariable home_{"HOME", (root_ / "home").string()};
  ScopedEnvironmentVariable dataHome_{"XDG_DATA_HOME", (root_ / "data").string()};
};

TEST_F(StorageDirectoryTest, CreatesTheDirectoryAndMissingParents) {
  ::setenv("XDG_DATA_HOME", (root_ / "deep" / "data").c_str(), 1);
  Result<std::filesystem::path> dir = writeDir();
  ASSERT_TRUE(dir.ok()) << dir.error().description;
  EXPECT_EQ(*dir, root_ / "deep" / "data" / "Velmora");
  EXPECT_TRUE(std::filesystem::is_directory(*dir));
}

TEST_F(StorageDirectoryTest, LeavesAnExistingDirectoryAloneAndRemakesARemovedOne) {
  Result<std::filesystem::path> first = writeDir();
  ASSERT_TRUE(first.ok());
  std::ofstream(*first / "snapshot.v1.json") << "{}";
  Result<std::filesystem::path> second = writeDir();
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(*second, *first);
  EXPECT_TRUE(std::filesystem::exists(*first / "snapshot.v1.json"));

  std::filesystem::remove_all(*first);
  Result<std::filesystem::path> third = writeDir();
  ASSERT_TRUE(third.ok());
  EXPECT_TRUE(std::filesystem::is_directory(*third));
}

TEST_F(StorageDirectoryTest, FallsBackToTheHomeDirectory) {
  const struct {
    const char* dataHome;  // nullptr: unset
    std::filesystem::path expected;
  } cases[] = {
      {nullptr, root_ / "home" / ".local" / "share" / "Velmora"},
      {"", root_ / "home" / ".local" / "share" / "Velmora"},
      {"relative/data", root_ / "home" / ".local" / "share" / "Velmora"},
  };
  for (const auto& c : cases) {
    if (c.dataHome) {
      ::setenv("XDG_DATA_HOME", c.dataHome, 1);
    } else {
      ::unsetenv("XDG_DATA_HOME");
    }
    Result<std::filesystem::path> dir = writeDir();
    ASSERT_TRUE(dir.ok()) << (c.dataHome ? c.dataHome : "(unset)");
    EXPECT_EQ(*dir, c.expected) << (c.dataHome ? c.dataHome : "(unset)");
    EXPECT_TRUE(std::filesystem::is_directory(c.expected));
  }
}

TEST_F(StorageDirectoryTest, AFileInTheWayIsAnErrorNamingThePathAndReason) {
  std::filesystem::create_directories(root_ / "data");
  std::ofstream(root_ / "data" / "Velmora") << "not a directory";
  Result<std::filesystem::path> onFile = writeDir();
  ASSERT_FALSE(onFile.ok());
  EXPECT_EQ(onFile.error().description,
            "cannot create directory " + (root_ / "data" / "Velmora").string() + ": File exists");

  // A file standing where a parent should be.
  std::ofstream(root_ / "blocker") << "x";
  ::setenv("XDG_DATA_HOME", (root_ / "blocker" / "data").c_str(), 1);
  Result<std::filesystem::path> underFile = writeDir();
  ASSERT_FALSE(underFile.ok());
  EXPECT_THAT(underFile.error().description, HasSubstr((root_ / "blocker").string()));
  EXPECT_THAT(underFile.error().description, HasSubstr("Not a directory"));
}

}  // namespace
}  // namespace velmora::VelmoraStorage
