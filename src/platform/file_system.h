#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"

// The file operations the storage code needs, each reporting the operating
// system's own error naming the path.
namespace velmora::fs {

// Creates the directory and every missing parent; an existing directory is
// success, anything else standing at the path is an error.
Status createDirectories(const std::filesystem::path& dir);

// Reads the whole file; anything but a regular file is refused, and so is a
// file larger than `maxBytes` (EFBIG), before its bytes are read.
Result<std::string> readFile(const std::filesystem::path& file, std::size_t maxBytes = SIZE_MAX);

// Takes bytes written piece by piece; false once a write has failed.
using ByteSink = std::function<bool(std::string_view piece)>;

// The pieces read(2) gives, at most this many bytes each: a reader that
// decodes as it reads holds no more of a large document than this.
inline constexpr std::size_t kReadPieceBytes = 64 * 1024;

// Reads the file by the rules of readFile, handing its bytes to `piece` as
// they are read; stops early, with success, when `piece` returns false.
Status readFileInPieces(const std::filesystem::path& file, std::size_t maxBytes,
                        const ByteSink& piece);

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

// The identity of the file the path names now (links followed).
Result<FileIdentity> fileIdentity(const std::filesystem::path& file);

// Replaces the file with the bytes atomically and durably: a uniquely named
// temporary file in the same directory (never ending in ".json") is written,
// flushed to disk and renamed over the target; on failure it is removed. A
// crash leaves either the old whole file or the new whole file, and perhaps a
// temporary file, which a later write into the same directory sweeps away
// once it is older than kStaleTemporaryFileAge.
Status writeFileAtomically(const std::filesystem::path& file, std::string_view bytes);

// The same with the bytes handed over in pieces by `produce`, so that a large
// document is never held whole. An exception from `produce` removes the
// temporary file and passes on. `written`, when given, receives the identity
// of the file as it stands after the rename.
Status writeFileAtomically(const std::filesystem::path& file,
                           const std::function<void(const ByteSink&)>& produce,
                           FileIdentity* written = nullptr);

// Writes `file` as writeFileAtomically does, as a copy of `source` made
// inside the kernel (sharing extents where the file system can), with no
// byte passing through this process. When `source` is no longer the version
// `expected`, or the kernel cannot copy it (another file system, no support,
// a copy cut short), the bytes come from `produce` instead.
Status copyFileAtomically(const std::filesystem::path& source, const FileIdentity& expected,
                          const std::filesystem::path& file,
                          const std::function<void(const ByteSink&)>& produce);

// A writer keeps its temporary file for the time one write takes, seconds at
// most even for the largest document; one this old was left by a writer that
// died.
inline constexpr std::chrono::seconds kStaleTemporaryFileAge{3600};

// Whether the name is one that writeFileAtomically gives its temporary files.
bool isTemporaryFileName(std::string_view name);

// Names of the entries of a directory, hidden ones included, in no order.
Result<std::vector<std::string>> listDirectory(const std::filesystem::path& dir);

// Removes the entry only if it is a regular file (never a directory, a link
// or anything else); true when it was removed.
bool removeRegularFile(const std::filesystem::path& file);

}  // namespace velmora::fs
