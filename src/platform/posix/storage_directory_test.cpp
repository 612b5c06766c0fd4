#include "platform/posix/storage_directory.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <string>

namespace velmora {
namespace {

TEST(StorageDirectoryTest, DataHomeWhenAbsoluteElseTheHomeDirectory) {
  const struct {
    const char* dataHome;  // nullptr: unset
    const char* home;
    std::filesystem::path expected;
  } cases[] = {
      {"/data", "/home/u", "/data/Velmora"},
      {"/data/", "/home/u", "/data/Velmora"},
      {nullptr, "/home/u", "/home/u/.local/share/Velmora"},
      {"", "/home/u", "/home/u/.local/share/Velmora"},
      {"relative/data", "/home/u", "/home/u/.local/share/Velmora"},
  };
  for (const auto& c : cases) {
    Result<std::filesystem::path> dir = storageDirectoryPath(c.dataHome, c.home);
    ASSERT_TRUE(dir.ok()) << (c.dataHome ? c.dataHome : "(unset)");
    EXPECT_EQ(dir->lexically_normal(), c.expected) << (c.dataHome ? c.dataHome : "(unset)");
  }
}

TEST(StorageDirectoryTest, WithoutAnAbsoluteHomeTheUserDatabaseNamesIt) {
  const passwd* entry = ::getpwuid(::getuid());
  ASSERT_NE(entry, nullptr);
  const std::filesystem::path expected =
      std::filesystem::path(entry->pw_dir) / ".local" / "share" / "Velmora";
  for (const char* home : {static_cast<const char*>(nullptr), "", "relative"}) {
    Result<std::filesystem::path> dir = storageDirectoryPath(nullptr, home);
    ASSERT_TRUE(dir.ok()) << (home ? home : "(unset)");
    EXPECT_EQ(*dir, expected);
  }
}

}  // namespace
}  // namespace velmora
