#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "base/text_source.h"

// Everything the storage code and the command action do to the outside
// world, behind one interface: where the storage directory is, what time it
// is, the file operations, this program's own place, and the launch of the
// application. The real one is the system's (platform/system.h: PosixEnv in
// platform/posix/, WindowsEnv in platform/windows/); tests hand in worlds of
// their own, so nothing reaches the user's home or starts a program unless
// asked to. Paths are UTF-8 inside (utf8Path), times Unix time.
namespace velmora {

// What tells one version of a file from every other: a replacement (rename)
// gives a new file number, an edit new times, to the nanosecond. Times are
// Unix time; `device` and `inode` are the volume's serial number and the
// file index on Windows.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modifiedSeconds = 0;
  std::int64_t modifiedNanoseconds = 0;
  std::int64_t changedSeconds = 0;
  std::int64_t changedNanoseconds = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// What stands at a path, links not followed.
struct FileInfo {
  enum class Type { regular, directory, other };  // other: a link, a pipe, a device...
  Type type = Type::other;
  FileIdentity identity;

  bool regular() const { return type == Type::regular; }
  // The last modification, in seconds since the Unix epoch.
  double modified() const {
    return static_cast<double>(identity.modifiedSeconds) +
           static_cast<double>(identity.modifiedNanoseconds) / 1e9;
  }
};

// A file being written. Errors name the file the bytes are meant for.
class WritableFile {
 public:
  virtual ~WritableFile() = default;  // closes, if close() was not called
  // Writes every byte, however many calls that takes.
  virtual Status append(std::string_view bytes) = 0;
  // Makes the bytes durable (fsync, FlushFileBuffers).
  virtual Status sync() = 0;
  virtual Status close() = 0;
};

class Env {
 public:
  virtual ~Env() = default;

  // The storage directory, created with its missing parents. Asked anew at
  // every use: the directory may have been removed since.
  virtual Result<std::filesystem::path> storageDirectory() = 0;

  // Seconds since the Unix epoch.
  virtual double now() = 0;

  // Why `name` cannot be the name of a file in a directory on this system (a
  // separator, a character or a name the system forbids, too long): the
  // reason, worded to follow "it ..."; nothing when it can.
  virtual std::optional<std::string> fileNameProblem(std::string_view name) = 0;

  // Makes the directory, private to its owner (mode 0700; on Windows, the
  // profile's inherited ACL); true when it was made, false when a directory
  // (or a link to one) stands there already, whatever its mode. Its error
  // carries an errno as code.
  virtual Result<bool> createDirectory(const std::filesystem::path& dir) = 0;

  // Reads the whole file; anything but a regular file is refused, and so is
  // a file larger than `maxBytes` (EFBIG), before its bytes are read.
  virtual Result<std::string> readFile(const std::filesystem::path& file, std::size_t maxBytes) = 0;

  // Reads the file by the rules of readFile, handing its bytes to `piece` in
  // pieces of at most kPieceBytes as they are read; stops early, with
  // success, when `piece` returns false.
  virtual Status readFileInPieces(const std::filesystem::path& file, std::size_t maxBytes,
                                  const ByteSink& piece) = 0;

  // Creates a new file of a unique temporary name (isTemporaryFileName) in
  // the directory of `target`, readable and writable by its owner alone;
  // its path goes to `created`.
  virtual Result<std::unique_ptr<WritableFile>> newTemporaryFile(
      const std::filesystem::path& target, std::filesystem::path& created) = 0;

  // The same, holding the system's copy of the whole of `source` (sharing
  // extents where the file system can), when `source` is still the version
  // `expected`; the file is open for more. Null, with nothing left behind,
  // when the source is another version by now or the system cannot copy it
  // (another file system, no support, a copy cut short).
  virtual Result<std::unique_ptr<WritableFile>> newTemporaryCopy(
      const std::filesystem::path& source, const FileIdentity& expected,
      const std::filesystem::path& target, std::filesystem::path& created) = 0;

  // Makes the directory's entries durable where the system needs that (fsync
  // of the directory); a no-op where a rename is durable with the file.
  virtual Status syncDirectory(const std::filesystem::path& dir) = 0;

  // Renames `from` over `to`, replacing whatever file stood there.
  virtual Status renameFile(const std::filesystem::path& from, const std::filesystem::path& to) = 0;

  // Names of the entries of a directory, hidden ones included, in no order.
  virtual Result<std::vector<std::string>> listDirectory(const std::filesystem::path& dir) = 0;

  // What stands at the path, links not followed: its type and identity.
  virtual Result<FileInfo> examine(const std::filesystem::path& path) = 0;

  virtual Status removeFile(const std::filesystem::path& file) = 0;

  // The path of this program's own executable, links resolved; empty when
  // the system cannot tell.
  virtual std::filesystem::path executablePath() = 0;

  // Starts the application in its folder (<folder>/AppRun, <folder>\Nelo.exe)
  // detached, without waiting for it; an Error, naming the path looked for,
  // only when there is nothing to start. What the log should know of a start
  // that went otherwise than asked (empty when it went as asked).
  virtual Result<std::string> openApplication(const std::filesystem::path& applicationFolder) = 0;
};

// Passes every call on to another Env; a test world overrides what it
// changes.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env& target) : target_(target) {}
  Env& target() const { return target_; }

  Result<std::filesystem::path> storageDirectory() override { return target_.storageDirectory(); }
  double now() override { return target_.now(); }
  std::optional<std::string> fileNameProblem(std::string_view name) override {
    return target_.fileNameProblem(name);
  }
  Result<bool> createDirectory(const std::filesystem::path& dir) override {
    return target_.createDirectory(dir);
  }
  Result<std::string> readFile(const std::filesystem::path& file, std::size_t maxBytes) override {
    return target_.readFile(file, maxBytes);
  }
  Status readFileInPieces(const std::filesystem::path& file, std::size_t maxBytes,
                          const ByteSink& piece) override {
    return target_.readFileInPieces(file, maxBytes, piece);
  }
  Result<std::unique_ptr<WritableFile>> newTemporaryFile(const std::filesystem::path& target,
                                                         std::filesystem::path& created) override {
    return target_.newTemporaryFile(target, created);
  }
  Result<std::unique_ptr<WritableFile>> newTemporaryCopy(const std::filesystem::path& source,
                                                         const FileIdentity& expected,
                                                         const std::filesystem::path& target,
                                                         std::filesystem::path& created) override {
    return target_.newTemporaryCopy(source, expected, target, created);
  }
  Status syncDirectory(const std::filesystem::path& dir) override {
    return target_.syncDirectory(dir);
  }
  Status renameFile(const std::filesystem::path& from, const std::filesystem::path& to) override {
    return target_.renameFile(from, to);
  }
  Result<std::vector<std::string>> listDirectory(const std::filesystem::path& dir) override {
    return target_.listDirectory(dir);
  }
  Result<FileInfo> examine(const std::filesystem::path& path) override {
    return target_.examine(path);
  }
  Status removeFile(const std::filesystem::path& file) override { return target_.removeFile(file); }
  std::filesystem::path executablePath() override { return target_.executablePath(); }
  Result<std::string> openApplication(const std::filesystem::path& applicationFolder) override {
    return target_.openApplication(applicationFolder);
  }

 private:
  Env& target_;
};

// A path from UTF-8 text, on every system: a plain std::string would be read
// in the ANSI code page on Windows.
inline std::filesystem::path utf8Path(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// A path's UTF-8 text, on every system.
inline std::string utf8Text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// --- What is built from the Env's operations ----------------------------------

// Creates the directory and every missing parent, and makes each new entry
// durable in its parent; an existing directory is success, anything else
// standing at the path is an error.
Status createDirectories(Env& env, const std::filesystem::path& dir);

// Replaces the file with the bytes atomically and durably: a temporary file
// in the same directory is written, synced and renamed over the target, and
// the directory is synced; on failure the temporary file is removed. A crash
// leaves the old whole file or the new whole file, and perhaps a temporary
// file, which a later write into the same directory sweeps away once it is
// older than kStaleTemporaryFileAge. The bytes are handed over in pieces by
// `produce`, so that a large document is never held whole; an exception
// from `produce` removes the temporary file and passes on. `written`, when
// given, receives the identity of the file as it stands after the rename, or
// nothing when that cannot be told (another writer's rename came between).
Status writeFileAtomically(Env& env, const std::filesystem::path& file,
                           const std::function<void(const ByteSink&)>& produce,
                           std::optional<FileIdentity>* written = nullptr);
Status writeFileAtomically(Env& env, const std::filesystem::path& file, std::string_view bytes);

// Writes `file` as writeFileAtomically does, as the system's copy of
// `source` (Env::newTemporaryCopy), with no byte passing through this
// process. When `source` is no longer the version `expected`, or the system
// cannot copy it, the bytes come from `produce` instead.
Status copyFileAtomically(Env& env, const std::filesystem::path& source,
                          const FileIdentity& expected, const std::filesystem::path& file,
                          const std::function<void(const ByteSink&)>& produce);

// A writer keeps its temporary file for the time one write takes, seconds at
// most even for the largest document; one this old was left by a writer that
// died.
inline constexpr std::chrono::seconds kStaleTemporaryFileAge{3600};

// The longest file name, in bytes of UTF-8, that every system takes (255
// UTF-16 units on Windows are at least as many bytes).
inline constexpr std::size_t kMaxFileNameBytes = 255;

// Where newTemporaryFile makes its file for `target`, as a mkstemp pattern:
// ".<target name>.tmp-XXXXXX" in the target's directory, in UTF-8. It starts
// with a dot and never ends in ".json", so that nobody listing the directory
// takes it for a document.
std::string temporaryFilePattern(const std::filesystem::path& target);

// Whether the name is one that temporaryFilePattern gives.
bool isTemporaryFileName(std::string_view name);

// Removes the entry only if it is a regular file (never a directory, a link
// or anything else); true when it was removed.
bool removeRegularFile(Env& env, const std::filesystem::path& file);

// --- What each system's Env builds its reading on -----------------------------

// Reads up to `size` bytes of an open document into `buffer`: how many it
// read, 0 at the document's end, or the system's error naming the file.
using ReadSome = std::function<Result<std::size_t>(char* buffer, std::size_t size)>;

// Env::readFile and Env::readFileInPieces over a document that was `size`
// bytes when it was opened; both go on past that size should the document
// have grown since, but fail past maxBytes.
Result<std::string> readWhole(const std::filesystem::path& file, std::size_t size,
                              std::size_t maxBytes, const ReadSome& readSome);
Status readInPieces(const std::filesystem::path& file, std::size_t size, std::size_t maxBytes,
                    const ReadSome& readSome, const ByteSink& piece);

}  // namespace velmora
