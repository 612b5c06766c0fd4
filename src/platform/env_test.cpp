#include "platform/env.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "support/test_env.h"

namespace velmora {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;

class EnvTest : public ::testing::Test {
 protected:
  static void put(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
  }
  std::vector<std::string> names() {
    Result<std::vector<std::string>> listed = env_.listDirectory(root_);
    EXPECT_TRUE(listed.ok());
    return listed ? *listed : std::vector<std::string>{};
  }

  TestEnv env_;
  const std::filesystem::path root_ = env_.root();
};

TEST_F(EnvTest, CreateDirectoriesMakesMissingParentsAndAcceptsExisting) {
  const std::filesystem::path dir = root_ / "a" / "b" / "c";
  ASSERT_TRUE(createDirectories(env_, dir).ok());
  EXPECT_TRUE(std::filesystem::is_directory(dir));
  put(dir / "keep", "x");
  ASSERT_TRUE(createDirectories(env_, dir).ok());
  EXPECT_TRUE(std::filesystem::exists(dir / "keep"));
  // A trailing separator names the same directory.
  EXPECT_TRUE(createDirectories(env_, root_ / "d" / "e/").ok());
  EXPECT_TRUE(std::filesystem::is_directory(root_ / "d" / "e"));
}

TEST_F(EnvTest, CreateDirectoriesAcceptsALinkToADirectory) {
  std::filesystem::create_directory(root_ / "real");
  std::filesystem::create_directory_symlink(root_ / "real", root_ / "link");
  EXPECT_TRUE(createDirectories(env_, root_ / "link").ok());
  EXPECT_TRUE(createDirectories(env_, root_ / "link" / "inner").ok());
  EXPECT_TRUE(std::filesystem::is_directory(root_ / "real" / "inner"));
}

TEST_F(EnvTest, CreateDirectoriesNamesThePathAndTheReason) {
  put(root_ / "file", "x");
  Status onFile = createDirectories(env_, root_ / "file");
  ASSERT_FALSE(onFile.ok());
  EXPECT_EQ(onFile.error().description,
            "cannot create directory " + (root_ / "file").string() + ": File exists");

  Status below = createDirectories(env_, root_ / "file" / "sub" / "dir");
  ASSERT_FALSE(below.ok());
  EXPECT_THAT(below.error().description, HasSubstr((root_ / "file" / "sub").string()));
  EXPECT_THAT(below.error().description, HasSubstr("Not a directory"));
  EXPECT_EQ(std::filesystem::file_size(root_ / "file"), 1u);
}

TEST_F(EnvTest, ReadFileReturnsEveryByte) {
  std::string large(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 131 % 251);
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty", ""}, {"small", "{\"a\":1}"}, {"nul", std::string("a\0b", 3)}, {"large", large}};
  for (const auto& c : cases) {
    put(root_ / c.name, c.bytes);
    Result<std::string> read = env_.readFile(root_ / c.name, SIZE_MAX);
    ASSERT_TRUE(read.ok()) << c.name;
    EXPECT_TRUE(*read == c.bytes) << c.name;

    std::string gathered;
    std::size_t largestPiece = 0;
    Status inPieces = env_.readFileInPieces(root_ / c.name, SIZE_MAX, [&](std::string_view piece) {
      gathered.append(piece);
      largestPiece = std::max(largestPiece, piece.size());
      return true;
    });
    ASSERT_TRUE(inPieces.ok()) << c.name;
    EXPECT_TRUE(gathered == c.bytes) << c.name;
    EXPECT_LE(largestPiece, kPieceBytes) << c.name;
  }
}

TEST_F(EnvTest, ReadFileFailuresNameThePath) {
  Result<std::string> missing = env_.readFile(root_ / "missing.json", SIZE_MAX);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().description,
            "cannot open " + (root_ / "missing.json").string() + ": No such file or directory");

  Result<std::string> directory = env_.readFile(root_, SIZE_MAX);
  ASSERT_FALSE(directory.ok());
  EXPECT_THAT(directory.error().description, HasSubstr("Is a directory"));

  // A pipe would block the open and a device could feed bytes without end.
  ASSERT_EQ(::mkfifo((root_ / "pipe.json").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", (root_ / "zero.json").c_str()), 0);
  for (const char* name : {"pipe.json", "zero.json"}) {
    Result<std::string> special = env_.readFile(root_ / name, SIZE_MAX);
    ASSERT_FALSE(special.ok()) << name;
    EXPECT_EQ(special.error().description,
              "cannot read " + (root_ / name).string() + ": not a regular file");
  }
  // A file above the caller's limit is refused before its bytes are read, so
  // even a huge sparse file costs no memory.
  const std::filesystem::path sparse = root_ / "sparse.json";
  put(sparse, "");
  std::filesystem::resize_file(sparse, std::uintmax_t{32} << 30);
  Result<std::string> large = env_.readFile(sparse, 1024);
  ASSERT_FALSE(large.ok());
  EXPECT_EQ(large.error().description, "cannot read " + sparse.string() + ": File too large");
  put(sparse, "12345");
  EXPECT_EQ(*env_.readFile(sparse, 5), "12345");
  EXPECT_FALSE(env_.readFile(sparse, 4).ok());

  // Read in pieces, a file fails in the same words before any piece.
  const auto noPiece = [](std::string_view) -> bool { throw std::logic_error("a piece"); };
  for (const auto& [file, limit] :
       {std::pair{root_ / "missing.json", SIZE_MAX}, std::pair{root_ / "pipe.json", SIZE_MAX},
        std::pair{sparse, std::size_t{4}}}) {
    Status inPieces = env_.readFileInPieces(file, limit, noPiece);
    ASSERT_FALSE(inPieces.ok()) << file;
    EXPECT_EQ(inPieces.error(), env_.readFile(file, limit).error()) << file;
  }
}

TEST_F(EnvTest, WriteFileAtomicallyCreatesAndReplacesLeavingNoTemporaryFile) {
  const std::filesystem::path file = root_ / "doc.json";
  ASSERT_TRUE(writeFileAtomically(env_, file, "first").ok());
  EXPECT_EQ(*env_.readFile(file, SIZE_MAX), "first");
  ASSERT_TRUE(writeFileAtomically(env_, file, "").ok());
  EXPECT_EQ(*env_.readFile(file, SIZE_MAX), "");
  const std::string big(5 * 1024 * 1024, 'x');
  ASSERT_TRUE(writeFileAtomically(env_, file, big).ok());
  EXPECT_TRUE(*env_.readFile(file, SIZE_MAX) == big);
  EXPECT_THAT(names(), ElementsAre("doc.json"));
}

TEST_F(EnvTest, WriteFileAtomicallyReplacesALinkNotItsTarget) {
  put(root_ / "target", "old");
  std::filesystem::create_symlink(root_ / "target", root_ / "link");
  ASSERT_TRUE(writeFileAtomically(env_, root_ / "link", "new").ok());
  EXPECT_FALSE(std::filesystem::is_symlink(root_ / "link"));
  EXPECT_EQ(*env_.readFile(root_ / "link", SIZE_MAX), "new");
  EXPECT_EQ(*env_.readFile(root_ / "target", SIZE_MAX), "old");
}

// The copy is the written version's bytes, copied by the kernel. When the
// file is not that version any more, or the kernel will not copy it (from
// another file system), the bytes produced are written instead, whole.
TEST_F(EnvTest, CopyFileAtomicallyCopiesTheVersionWrittenElseTheBytesProduced) {
  const std::string written(200 * 1024 + 7, 'w');
  const std::string produced(100 * 1024 + 3, 'p');
  const auto edit = [&](const std::filesystem::path& file) {
    // The same size, and a time of its own even within the clock's tick.
    put(file, std::string(written.size(), 'e'));
    std::filesystem::last_write_time(file, std::filesystem::last_write_time(file) -
                                               std::chrono::seconds(1));
  };
  char otherSystem[] = "/dev/shm/velmora-fs-XXXXXX";
  const bool haveOtherSystem = ::mkdtemp(otherSystem) != nullptr;
  const struct {
    const char* name;
    std::filesystem::path source;
    std::function<void(const std::filesystem::path&)> change;
    bool expectProduced;
  } cases[] = {
      {"as written", root_ / "a.json", nullptr, false},
      {"replaced by another writer", root_ / "b.json",
       [&](const auto& file) { ASSERT_TRUE(writeFileAtomically(env_, file, written).ok()); },
       true},
      {"edited in place", root_ / "c.json", edit, true},
      {"removed", root_ / "d.json", [](const auto& file) { std::filesystem::remove(file); },
       true},
      {"on another file system", std::filesystem::path(otherSystem) / "e.json", nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!haveOtherSystem && c.source.string().starts_with("/dev/shm")) continue;
    std::optional<FileIdentity> identity;
    ASSERT_TRUE(
        writeFileAtomically(env_, c.source, [&](const ByteSink& sink) { sink(written); }, &identity)
            .ok());
    ASSERT_TRUE(identity);
    EXPECT_EQ(*env_.fileIdentity(c.source), *identity);
    if (c.change) c.change(c.source);
    // Across file systems the bytes produced are the same records again.
    const std::string& fallback = c.expectProduced ? produced : written;
    const std::filesystem::path copy = root_ / "copy.json";
    ASSERT_TRUE(copyFileAtomically(env_, c.source, *identity, copy,
                                   [&](const ByteSink& sink) { sink(fallback); })
                    .ok());
    EXPECT_TRUE(*env_.readFile(copy, SIZE_MAX) == (c.expectProduced ? produced : written));
  }
  if (haveOtherSystem) std::filesystem::remove_all(otherSystem);
  EXPECT_THAT(names(), UnorderedElementsAre("a.json", "b.json", "c.json", "copy.json"));
}

// Writers killed mid-write leave temporary files; the next write into the
// directory removes those too old to belong to a live writer, and nothing else.
TEST_F(EnvTest, WriteFileAtomicallySweepsStaleTemporaryFilesOnly) {
  const auto old = std::filesystem::file_time_type::clock::now() - kStaleTemporaryFileAge -
                   std::chrono::minutes(1);
  auto make = [&](const std::string& name, bool stale) {
    put(root_ / name, "left");
    if (stale) std::filesystem::last_write_time(root_ / name, old);
  };
  make(".doc.json.tmp-a1B2c3", true);    // removed
  make(".other.json.tmp-zzzzzz", true);  // removed: any target's leftover
  make(".doc.json.tmp-d4E5f6", false);   // a live writer's
  make("doc.json.tmp-a1B2c3", true);     // not hidden: not ours
  make(".doc.json.tmp-a1B2", true);      // too short: not ours
  make(".doc.json.bak", true);
  std::filesystem::create_directory(root_ / ".dir.tmp-a1B2c3");
  std::filesystem::create_symlink(root_ / ".doc.json.tmp-d4E5f6", root_ / ".link.tmp-a1B2c3");
  ASSERT_TRUE(writeFileAtomically(env_, root_ / "doc.json", "x").ok());
  EXPECT_THAT(names(),
              UnorderedElementsAre("doc.json", ".doc.json.tmp-d4E5f6", "doc.json.tmp-a1B2c3",
                                   ".doc.json.tmp-a1B2", ".doc.json.bak", ".dir.tmp-a1B2c3",
                                   ".link.tmp-a1B2c3"));
}

TEST_F(EnvTest, WriteFileAtomicallyTooLongANameFailsWithTheSystemReason) {
  // The longest name the system allows still works: the temporary name is
  // cut to fit.
  const std::string longest(255, 'l');
  ASSERT_TRUE(writeFileAtomically(env_, root_ / longest, "x").ok());
  EXPECT_THAT(names(), ElementsAre(longest));
  std::filesystem::remove(root_ / longest);

  const std::string name(300, 'n');
  Status status = writeFileAtomically(env_, root_ / name, "x");
  ASSERT_FALSE(status.ok());
  EXPECT_THAT(status.error().description, HasSubstr("File name too long"));
  EXPECT_TRUE(names().empty());
}

TEST_F(EnvTest, ListDirectoryShowsHiddenEntriesAndFailsOnMissing) {
  put(root_ / ".hidden", "");
  put(root_ / "plain.json", "");
  std::filesystem::create_directory(root_ / "sub");
  EXPECT_THAT(names(), UnorderedElementsAre(".hidden", "plain.json", "sub"));

  Result<std::vector<std::string>> missing = env_.listDirectory(root_ / "missing");
  ASSERT_FALSE(missing.ok());
  EXPECT_THAT(missing.error().description, HasSubstr("No such file or directory"));
}

TEST_F(EnvTest, RemoveRegularFileRemovesNothingElse) {
  put(root_ / "file", "x");
  std::filesystem::create_directory(root_ / "dir");
  put(root_ / "dir" / "inner", "x");
  std::filesystem::create_directory(root_ / "empty");
  put(root_ / "target", "x");
  std::filesystem::create_symlink(root_ / "target", root_ / "link");
  ::mkfifo((root_ / "fifo").c_str(), 0600);

  const struct {
    const char* name;
    bool removed;
  } cases[] = {{"file", true},  {"dir", false},  {"empty", false},
               {"link", false}, {"fifo", false}, {"missing", false}};
  for (const auto& c : cases) {
    EXPECT_EQ(removeRegularFile(env_, root_ / c.name), c.removed) << c.name;
  }
  EXPECT_THAT(names(), UnorderedElementsAre("dir", "empty", "target", "link", "fifo"));
  EXPECT_TRUE(std::filesystem::exists(root_ / "dir" / "inner"));
}

}  // namespace
}  // namespace velmora
