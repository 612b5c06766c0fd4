#include "platform/posix/posix_env.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "support/test_env.h"

// What the Env does with what only POSIX systems have: links, named pipes,
// devices, permission bits, file systems side by side, and errno's words.
namespace velmora {
namespace {

using ::testing::UnorderedElementsAre;

// The descriptor this process holds open on the file, or -1.
int descriptorOf(const std::filesystem::path& file) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec) == file) {
      return std::stoi(entry.path().filename().string());
    }
  }
  return -1;
}

class PosixEnvTest : public ::testing::Test {
 protected:
  static void put(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
  }
  std::vector<std::string> names() { return env_.listDirectory(root_).value(); }

  TestEnv env_;
  const std::filesystem::path root_ = env_.root();
};

TEST_F(PosixEnvTest, ErrorsAreWordedByErrno) {
  put(root_ / "file", "x");
  EXPECT_EQ(createDirectories(env_, root_ / "file").error().description,
            "cannot create directory " + (root_ / "file").string() + ": File exists");
  EXPECT_EQ(createDirectories(env_, root_ / "file" / "sub" / "dir").error().description,
            "cannot create directory " + (root_ / "file" / "sub" / "dir").string() +
                ": Not a directory");
  EXPECT_EQ(env_.readFile(root_ / "missing.json", SIZE_MAX).error().description,
            "cannot open " + (root_ / "missing.json").string() + ": No such file or directory");
  EXPECT_EQ(env_.readFile(root_, SIZE_MAX).error().description,
            "cannot read " + root_.string() + ": Is a directory");
  EXPECT_EQ(writeFileAtomically(env_, root_ / std::string(300, 'n'), "x").error().description,
            "cannot replace " + (root_ / std::string(300, 'n')).string() + ": File name too long");

  // Each step of writing a file says which one failed; here the descriptor
  // is closed behind the file's back.
  const std::filesystem::path target = root_ / "steps.json";
  std::filesystem::path created;
  std::unique_ptr<WritableFile> file = std::move(env_.newTemporaryFile(target, created).value());
  ASSERT_EQ(::close(descriptorOf(created)), 0);
  EXPECT_EQ(file->append("x").error().description,
            "cannot write " + target.string() + ": Bad file descriptor");
  EXPECT_EQ(file->sync().error().description,
            "cannot flush " + target.string() + " to disk: Bad file descriptor");
  EXPECT_EQ(file->close().error().description,
            "cannot close " + target.string() + ": Bad file descriptor");
}

TEST_F(PosixEnvTest, CreateDirectoriesAcceptsALinkToADirectory) {
  std::filesystem::create_directory(root_ / "real");
  std::filesystem::create_directory_symlink(root_ / "real", root_ / "link");
  EXPECT_TRUE(createDirectories(env_, root_ / "link").ok());
  EXPECT_TRUE(createDirectories(env_, root_ / "link" / "inner").ok());
  EXPECT_TRUE(std::filesystem::is_directory(root_ / "real" / "inner"));
}

TEST_F(PosixEnvTest, ReadFileRefusesWhatIsNoRegularFileBeforeReading) {
  // A pipe would block the open and a device could feed bytes without end.
  ASSERT_EQ(::mkfifo((root_ / "pipe.json").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", (root_ / "zero.json").c_str()), 0);
  const auto noPiece = [](std::string_view) -> bool { throw std::logic_error("a piece"); };
  for (const char* name : {"pipe.json", "zero.json"}) {
    Result<std::string> special = env_.readFile(root_ / name, SIZE_MAX);
    ASSERT_FALSE(special.ok()) << name;
    EXPECT_EQ(special.error().description,
              "cannot read " + (root_ / name).string() + ": not a regular file");
    EXPECT_EQ(env_.readFileInPieces(root_ / name, SIZE_MAX, noPiece).error(), special.error());
  }
  // Even a huge sparse file costs no memory: it is refused by its size.
  const std::filesystem::path sparse = root_ / "sparse.json";
  put(sparse, "");
  std::filesystem::resize_file(sparse, std::uintmax_t{32} << 30);
  EXPECT_EQ(env_.readFile(sparse, 1024).error().description,
            "cannot read " + sparse.string() + ": File too large");
}

TEST_F(PosixEnvTest, WriteFileAtomicallyReplacesALinkNotItsTarget) {
  put(root_ / "target", "old");
  std::filesystem::create_symlink(root_ / "target", root_ / "link");
  ASSERT_TRUE(writeFileAtomically(env_, root_ / "link", "new").ok());
  EXPECT_FALSE(std::filesystem::is_symlink(root_ / "link"));
  EXPECT_EQ(*env_.readFile(root_ / "link", SIZE_MAX), "new");
  EXPECT_EQ(*env_.readFile(root_ / "target", SIZE_MAX), "old");
}

// The kernel copies nothing across file systems: the copy is then the bytes
// produced, which are the same records again.
TEST_F(PosixEnvTest, CopyFileAtomicallyFromAnotherFileSystemWritesTheBytesProduced) {
  char otherSystem[] = "/dev/shm/velmora-fs-XXXXXX";
  if (::mkdtemp(otherSystem) == nullptr) GTEST_SKIP() << "no /dev/shm";
  const std::filesystem::path source = std::filesystem::path(otherSystem) / "e.json";
  const std::string written(200 * 1024 + 7, 'w');
  std::optional<FileIdentity> identity;
  ASSERT_TRUE(
      writeFileAtomically(env_, source, [&](const ByteSink& sink) { sink(written); }, &identity)
          .ok());
  ASSERT_TRUE(identity);
  const std::filesystem::path copy = root_ / "copy.json";
  ASSERT_TRUE(
      copyFileAtomically(env_, source, *identity, copy, [&](const ByteSink& sink) { sink(written); })
          .ok());
  EXPECT_TRUE(*env_.readFile(copy, SIZE_MAX) == written);
  std::filesystem::remove_all(otherSystem);
}

// Links and pipes are never ours: neither the sweep of stale temporary files
// nor the removal of a regular file touches them.
TEST_F(PosixEnvTest, NothingButRegularFilesIsRemoved) {
  put(root_ / ".doc.json.tmp-d4E5f6", "left");
  std::filesystem::create_symlink(root_ / ".doc.json.tmp-d4E5f6", root_ / ".link.tmp-a1B2c3");
  put(root_ / "target", "x");
  std::filesystem::create_symlink(root_ / "target", root_ / "link");
  ASSERT_EQ(::mkfifo((root_ / "fifo").c_str(), 0600), 0);
  const auto old = std::filesystem::file_time_type::clock::now() - kStaleTemporaryFileAge -
                   std::chrono::minutes(1);
  std::filesystem::last_write_time(root_ / ".doc.json.tmp-d4E5f6", old);
  for (const char* name : {"link", "fifo"}) {
    EXPECT_FALSE(removeRegularFile(env_, root_ / name)) << name;
  }
  ASSERT_TRUE(writeFileAtomically(env_, root_ / "doc.json", "x").ok());
  EXPECT_THAT(names(), UnorderedElementsAre("doc.json", ".link.tmp-a1B2c3", "target", "link",
                                            "fifo"));
}

}  // namespace
}  // namespace velmora
