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
// is, the file operations, and the launch of the application. The real one
// is PosixEnv (platform/posix_env.h); tests hand in worlds of their own, so
// nothing reaches the user's home or starts a program unless asked to.
namespace velmora {

// What tells one version of a file from every other: a replacement (rename)
// gives a new inode, an edit new times, to the nanosecond.
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

// A file being written. Errors name the file the bytes are meant for.
class WritableFile {
 public:
  virtual ~WritableFile() = default;  // closes, if close() was not called
  // Writes every byte, however many calls that takes.
  virtual Status append(std::string_view bytes) = 0;
  // Copies the whole of `source` into the file, inside the kernel (sharing
  // extents where the file system can), when `source` is still the version
  // `expected`: true when done; false, with the file left empty, when the
  // source is another version by now or the kernel cannot copy it (another
  // file system, no support, a copy cut short).
  virtual Result<bool> copyFrom(const std::filesystem::path& source,
                                const FileIdentity& expected) = 0;
  // Makes the bytes durable (fsync).
  virtual Status sync() = 0;
  virtual Status close() = 0;
};

struct FileStatus {
  bool regular = false;  // a regular file, not a link, directory or other
  double modified = 0;  // seconds since 2001-01-01T00:00:00Z, as Env::now()
};

class Env {
 public:
  virtual ~Env() = default;

  // The storage directory, created with its missing parents. Asked anew at
  // every use: the directory may have been removed since.
  virtual Result<std::filesystem::path> storageDirectory() = 0;

  // Seconds since 2001-01-01T00:00:00Z.
  virtual double now() = 0;

  // Makes the directory, private to its owner; true when it was made, false
  // when a directory (or a link to one) stands there already, whatever its
  // mode. Its error carries errno as code.
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

  // Makes the directory's entries durable (fsync of the directory).
  virtual Status syncDirectory(const std::filesystem::path& dir) = 0;

  // Renames `from` over `to`, replacing whatever file stood there.
  virtual Status renameFile(const std::filesystem::path& from, const std::filesystem::path& to) = 0;

  // Names of the entries of a directory, hidden ones included, in no order.
  virtual Result<std::vector<std::string>> listDirectory(const std::filesystem::path& dir) = 0;

  // What stands at the path, links not followed.
  virtual Result<FileStatus> fileStatus(const std::filesystem::path& path) = 0;

  // The identity of the file the path names now, links followed.
  virtual Result<FileIdentity> fileIdentity(const std::filesystem::path& file) = 0;

  virtual Status removeFile(const std::filesystem::path& file) = 0;

  // Starts <applicationBundle>/AppRun detached, without waiting for it; an
  // Error, naming the path looked for, only when there is nothing to start.
  virtual Status openApplication(const std::filesystem::path& applicationBundle) = 0;
};

// Passes every call on to another Env; a test world overrides what it
// changes.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env& target) : target_(target) {}
  Env& target() const { return target_; }

  Result<std::filesystem::path> storageDirectory() override { return target_.storageDirectory(); }
  double now() override { return target_.now(); }
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
  Status syncDirectory(const std::filesystem::path& dir) override {
    return target_.syncDirectory(dir);
  }
  Status renameFile(const std::filesystem::path& from, const std::filesystem::path& to) override {
    return target_.renameFile(from, to);
  }
  Result<std::vector<std::string>> listDirectory(const std::filesystem::path& dir) override {
    return target_.listDirectory(dir);
  }
  Result<FileStatus> fileStatus(const std::filesystem::path& path) override {
    return target_.fileStatus(path);
  }
  Result<FileIdentity> fileIdentity(const std::filesystem::path& file) override {
    return target_.fileIdentity(file);
  }
  Status removeFile(const std::filesystem::path& file) override { return target_.removeFile(file); }
  Status openApplication(const std::filesystem::path& applicationBundle) override {
    return target_.openApplication(applicationBundle);
  }

 private:
  Env& target_;
};

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

// Writes `file` as writeFileAtomically does, as the kernel's copy of
// `source` (WritableFile::copyFrom), with no byte passing through this
// process. When `source` is no longer the version `expected`, or the kernel
// cannot copy it, the bytes come from `produce` instead.
Status copyFileAtomically(Env& env, const std::filesystem::path& source,
                          const FileIdentity& expected, const std::filesystem::path& file,
                          const std::function<void(const ByteSink&)>& produce);

// A writer keeps its temporary file for the time one write takes, seconds at
// most even for the largest document; one this old was left by a writer that
// died.
inline constexpr std::chrono::seconds kStaleTemporaryFileAge{3600};

// Where newTemporaryFile makes its file for `target`, as a mkstemp pattern:
// ".<target name>.tmp-XXXXXX" in the target's directory. It starts with a
// dot and never ends in ".json", so that nobody listing the directory takes
// it for a document.
std::string temporaryFilePattern(const std::filesystem::path& target);

// Whether the name is one that temporaryFilePattern gives.
bool isTemporaryFileName(std::string_view name);

// Removes the entry only if it is a regular file (never a directory, a link
// or anything else); true when it was removed.
bool removeRegularFile(Env& env, const std::filesystem::path& file);

}  // namespace velmora
