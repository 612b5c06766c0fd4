#include "platform/windows/windows_env.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "platform/windows/wide.h"
#include "support/test_env.h"

// What the Env does that only Windows asks of it: its file-name rules, its
// error texts, the sharing of open files and the retried replace.
namespace velmora {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::UnorderedElementsAre;
using Clock = std::chrono::steady_clock;

TEST(WindowsFileNameTest, WhatWindowsCannotNameIsRefusedWithTheReason) {
  const std::string longest(255, 'n');
  std::string wideLongest;  // 255 UTF-16 units, 510 bytes
  for (int i = 0; i < 255; ++i) wideLongest += "\xc3\xa9";
  const struct {
    std::string name;
    const char* problem;  // nullptr: a good name
  } cases[] = {
      {"2024-05-01T12_00_00.000Z.json", nullptr},
      {"...json", nullptr},
      {"CONSOLE.json", nullptr},
      {"COM0.json", nullptr},
      {"LPT10.json", nullptr},
      {"xNUL.json", nullptr},
      {longest, nullptr},
      {wideLongest, nullptr},
      {"a<b.json", "contains \"<\""},
      {"a>b.json", "contains \">\""},
      {"12:00.json", "contains \":\""},
      {"a\"b.json", "contains \"\"\""},
      {"a/b.json", "contains \"/\""},
      {"a\\b.json", "contains \"\\\""},
      {"a|b.json", "contains \"|\""},
      {"a?b.json", "contains \"?\""},
      {"a*b.json", "contains \"*\""},
      {std::string("a\0b.json", 8), "contains a control character"},
      {"a\x1f" "b.json", "contains a control character"},
      {"name.", "ends in a dot or a space, which Windows drops"},
      {"name ", "ends in a dot or a space, which Windows drops"},
      {"CON", "makes a name that Windows reserves for the device CON"},
      {"con.json", "makes a name that Windows reserves for the device CON"},
      {"Nul.json", "makes a name that Windows reserves for the device NUL"},
      {"AUX .json", "makes a name that Windows reserves for the device AUX"},
      {"prn.tar.json", "makes a name that Windows reserves for the device PRN"},
      {"COM1.json", "makes a name that Windows reserves for the device COM1"},
      {"lpt9.json", "makes a name that Windows reserves for the device LPT9"},
      {longest + "n", "makes a name longer than 255 characters"},
      {wideLongest + "\xc3\xa9", "makes a name longer than 255 characters"},
      {"caf\xe9.json", "is not UTF-8"},
  };
  for (const auto& c : cases) {
    const std::optional<std::string> problem = windowsFileNameProblem(c.name);
    EXPECT_EQ(problem, c.problem ? std::optional<std::string>(c.problem) : std::nullopt) << c.name;
  }
}

class WindowsEnvTest : public ::testing::Test {
 protected:
  static void put(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
  }
  // Opens the file as another program might: reading, sharing only what
  // `share` lets others do.
  static windows::Handle hold(const std::filesystem::path& file, DWORD share) {
    return windows::Handle(::CreateFileW(file.c_str(), GENERIC_READ, share, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
  }

  TestEnv env_;
  const std::filesystem::path root_ = env_.root();
};

TEST_F(WindowsEnvTest, ErrorsAreTheSystemsWordsWithTheErrnoTheyMean) {
  const std::filesystem::path missing = root_ / "missing.json";
  const Error error = env_.readFile(missing, SIZE_MAX).error();
  EXPECT_EQ(error.description,
            "cannot open " + utf8Text(missing) + ": " + windows::errorText(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(error.code, ENOENT);
  EXPECT_THAT(windows::errorText(ERROR_FILE_NOT_FOUND), Not(HasSubstr("\n")));
}

// Virus scanners and indexers hold new files for a moment: a replace waits
// for them, but not for ever.
TEST_F(WindowsEnvTest, AReplaceRefusedByAHolderIsRetriedForAboutASecond) {
  const std::filesystem::path file = root_ / "doc.json";
  put(file, "old");
  {
    windows::Handle held = hold(file, FILE_SHARE_READ);
    ASSERT_TRUE(held.valid());
    std::thread letGo([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      held.close();
    });
    const auto start = Clock::now();
    const Status replaced = writeFileAtomically(env_, file, "new");
    letGo.join();
    EXPECT_TRUE(replaced.ok()) << replaced.error().description;
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(250));
  }
  EXPECT_EQ(*env_.readFile(file, SIZE_MAX), "new");

  windows::Handle held = hold(file, FILE_SHARE_READ);
  ASSERT_TRUE(held.valid());
  const auto start = Clock::now();
  const Status refused = writeFileAtomically(env_, file, "newer");
  const auto waited = Clock::now() - start;
  held.close();
  ASSERT_FALSE(refused.ok());
  EXPECT_THAT(refused.error().description, HasSubstr("cannot replace " + utf8Text(file) + ": "));
  EXPECT_GE(waited, std::chrono::milliseconds(kReplaceRetryMilliseconds));
  EXPECT_LT(waited, std::chrono::milliseconds(5 * kReplaceRetryMilliseconds));
  EXPECT_EQ(*env_.readFile(file, SIZE_MAX), "new");
  EXPECT_THAT(env_.listDirectory(root_).value(), UnorderedElementsAre("doc.json"));
}

// A reader shares everything, so that it never stands in another host's
// way: the document can even be removed while it is being read.
TEST_F(WindowsEnvTest, AReaderLetsOthersWriteAndRemoveTheDocument) {
  const std::filesystem::path file = root_ / "doc.json";
  put(file, std::string(3 * kPieceBytes, 'x'));
  bool removed = false;
  ASSERT_TRUE(env_.readFileInPieces(file, SIZE_MAX, [&](std::string_view) {
                    removed = env_.removeFile(file).ok();
                    return false;
                  })
                  .ok());
  EXPECT_TRUE(removed);
}

// Past MAX_PATH (260 characters) only a path's \\?\ form reaches the file,
// and names beyond ASCII pass as UTF-16.
TEST_F(WindowsEnvTest, LongPathsAndNamesBeyondAsciiWork) {
  std::filesystem::path dir = root_;
  for (int i = 0; i < 5; ++i) dir /= utf8Path("caf\xc3\xa9-" + std::string(60, 'd'));
  ASSERT_GT(dir.native().size(), 300u);
  ASSERT_TRUE(createDirectories(env_, dir).ok());
  const std::filesystem::path file = dir / utf8Path("\xe6\x9d\xb1.json");
  ASSERT_TRUE(writeFileAtomically(env_, file, "{}").ok());
  EXPECT_EQ(env_.readFile(file, SIZE_MAX).value(), "{}");
  EXPECT_EQ(env_.listDirectory(dir).value(), std::vector<std::string>{"\xe6\x9d\xb1.json"});
  EXPECT_TRUE(env_.examine(file).value().regular());
  EXPECT_TRUE(env_.removeFile(file).ok());
}

TEST_F(WindowsEnvTest, IdentityIsTheVolumeAndFileIndexAndARenameKeepsIt) {
  const std::filesystem::path file = root_ / "a.json";
  put(file, "12345");
  const FileInfo before = env_.examine(file).value();
  EXPECT_TRUE(before.regular());
  EXPECT_NE(before.identity.inode, 0u);
  EXPECT_EQ(before.identity.size, 5);
  ASSERT_TRUE(env_.renameFile(file, root_ / "b.json").ok());
  const FileInfo after = env_.examine(root_ / "b.json").value();
  EXPECT_EQ(after.identity.device, before.identity.device);
  EXPECT_EQ(after.identity.inode, before.identity.inode);
  EXPECT_EQ(env_.examine(root_).value().type, FileInfo::Type::directory);
}

}  // namespace
}  // namespace velmora
