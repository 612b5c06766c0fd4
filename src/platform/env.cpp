#include "platform/env.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include "platform/os_error.h"

namespace velmora {
namespace {

constexpr std::string_view kTemporaryMarker = ".tmp-";
constexpr std::string_view kTemporaryPattern = "XXXXXX";

// Temporary files that writers killed mid-write left behind. Only regular
// files with a temporary file's name, old enough that no live writer can own
// them, are removed; a failure just leaves the file for the next sweep.
void removeStaleTemporaryFiles(Env& env, const std::filesystem::path& dir) {
  Result<std::vector<std::string>> names = env.listDirectory(dir);
  if (!names) return;
  const double now = env.now();
  for (const std::string& name : *names) {
    if (!isTemporaryFileName(name)) continue;
    const std::filesystem::path file = dir / utf8Path(name);
    Result<FileInfo> info = env.examine(file);
    if (!info || !info->regular() || now - info->modified() < kStaleTemporaryFileAge.count()) {
      continue;
    }
    (void)env.removeFile(file);
  }
}

}  // namespace

Status createDirectories(Env& env, const std::filesystem::path& dir) {
  Result<bool> made = env.createDirectory(dir);
  const std::filesystem::path parent = dir.parent_path();
  if (!made && made.error().code == ENOENT && !parent.empty() && parent != dir) {
    if (Status parents = createDirectories(env, parent); !parents) return parents;
    made = env.createDirectory(dir);
  }
  if (!made) return made.error();
  // A new directory is lost in a power cut, with everything in it, until its
  // entry in the parent is durable.
  if (*made && !parent.empty()) return env.syncDirectory(parent);
  return Ok();
}

namespace {

// Makes the temporary file, already filled or to be filled, naming it in
// `created`.
using MakeTemporary =
    std::function<Result<std::unique_ptr<WritableFile>>(std::filesystem::path& created)>;
// Fills the temporary file; an error is the write's.
using Fill = std::function<Status(WritableFile&)>;

// Writes the bytes `produce` gives.
Status writeProduced(WritableFile& out, const std::function<void(const ByteSink&)>& produce) {
  Status written = Ok();
  const ByteSink sink = [&](std::string_view piece) {
    if (written) written = out.append(piece);
    return written.ok();
  };
  produce(sink);
  return written;
}

// The same version of a file, whatever its change time: a rename changes
// that, and nothing else.
bool sameVersion(const FileIdentity& a, const FileIdentity& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size &&
         a.modifiedSeconds == b.modifiedSeconds && a.modifiedNanoseconds == b.modifiedNanoseconds;
}

Status writeAtomically(Env& env, const std::filesystem::path& file, const MakeTemporary& make,
                       const Fill& fill, std::optional<FileIdentity>* written) {
  std::filesystem::path dir = file.parent_path();
  if (dir.empty()) dir = ".";
  std::filesystem::path temporary;
  Result<std::unique_ptr<WritableFile>> created = make(temporary);
  if (!created) return created.error();
  std::unique_ptr<WritableFile>& out = *created;
  auto discard = [&](Error error) {
    out.reset();
    (void)env.removeFile(temporary);
    return error;
  };

  Status filled = Ok();
  try {
    filled = fill(*out);
  } catch (...) {
    discard(Error{});
    throw;
  }
  if (!filled) return discard(filled.error());
  if (Status synced = out->sync(); !synced) return discard(synced.error());
  if (Status closed = out->close(); !closed) return discard(closed.error());
  // The rename changes the file's change time, so its identity is read after
  // it, by the path, which may name another writer's file by then: it counts
  // only when it is still the version this writer made under its own name.
  Result<FileInfo> before = Error{};
  if (written != nullptr) before = env.examine(temporary);
  if (Status renamed = env.renameFile(temporary, file); !renamed) return discard(renamed.error());
  if (Status synced = env.syncDirectory(dir); !synced) return synced;
  if (written != nullptr) {
    written->reset();
    if (before) {
      Result<FileInfo> after = env.examine(file);
      if (after && after->regular() && sameVersion(before->identity, after->identity)) {
        *written = after->identity;
      }
    }
  }
  removeStaleTemporaryFiles(env, dir);
  return Ok();
}

}  // namespace

Status writeFileAtomically(Env& env, const std::filesystem::path& file,
                           const std::function<void(const ByteSink&)>& produce,
                           std::optional<FileIdentity>* written) {
  return writeAtomically(
      env, file,
      [&](std::filesystem::path& created) { return env.newTemporaryFile(file, created); },
      [&produce](WritableFile& out) { return writeProduced(out, produce); }, written);
}

Status writeFileAtomically(Env& env, const std::filesystem::path& file, std::string_view bytes) {
  return writeFileAtomically(env, file, [bytes](const ByteSink& sink) { sink(bytes); });
}

Status copyFileAtomically(Env& env, const std::filesystem::path& source,
                          const FileIdentity& expected, const std::filesystem::path& file,
                          const std::function<void(const ByteSink&)>& produce) {
  bool copied = false;
  const auto make = [&](std::filesystem::path& created) {
    Result<std::unique_ptr<WritableFile>> copy =
        env.newTemporaryCopy(source, expected, file, created);
    copied = copy && *copy != nullptr;
    if (!copy || copied) return copy;
    return env.newTemporaryFile(file, created);
  };
  const auto fill = [&](WritableFile& out) -> Status {
    return copied ? Ok() : writeProduced(out, produce);
  };
  return writeAtomically(env, file, make, fill, nullptr);
}

std::string temporaryFilePattern(const std::filesystem::path& target) {
  std::filesystem::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  // The target's name is cut short where needed, never inside a character,
  // so that the temporary name still fits the system's limit when the
  // target's own name does.
  const std::string suffix = std::string(kTemporaryMarker) + std::string(kTemporaryPattern);
  std::string name = utf8Text(target.filename());
  std::size_t keep = std::min(name.size(), kMaxFileNameBytes - 1 - suffix.size());
  while (keep > 0 && keep < name.size() &&
         (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) {
    --keep;
  }
  name.resize(keep);
  return utf8Text(dir / utf8Path("." + name + suffix));
}

bool isTemporaryFileName(std::string_view name) {
  const std::size_t tail = kTemporaryMarker.size() + kTemporaryPattern.size();
  if (name.size() <= tail || name.front() != '.') return false;
  return name.substr(name.size() - tail, kTemporaryMarker.size()) == kTemporaryMarker;
}

bool removeRegularFile(Env& env, const std::filesystem::path& file) {
  Result<FileInfo> info = env.examine(file);
  return info && info->regular() && env.removeFile(file).ok();
}

Result<std::string> readWhole(const std::filesystem::path& file, std::size_t size,
                              std::size_t maxBytes, const ReadSome& readSome) {
  // Read straight into a buffer of the file's size; keep going past it in
  // case the file grew since it was opened, but never past the limit.
  std::string bytes;
  bytes.resize(size > 0 ? size + 1 : 4096);
  std::size_t length = 0;
  for (;;) {
    if (length == bytes.size()) {
      if (length > maxBytes) return osError("cannot read", file, EFBIG);
      bytes.resize(bytes.size() * 2);
    }
    Result<std::size_t> got = readSome(bytes.data() + length, bytes.size() - length);
    if (!got) return got.error();
    if (*got == 0) break;
    length += *got;
  }
  bytes.resize(length);
  return bytes;
}

Status readInPieces(const std::filesystem::path& file, std::size_t size, std::size_t maxBytes,
                    const ReadSome& readSome, const ByteSink& piece) {
  // Room for the file as it is, one piece at most, never cleared: a small
  // document is read in one call with nothing spent on the rest.
  const std::size_t room = std::min(size + 1, kPieceBytes);
  const std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(room);
  std::size_t total = 0;
  for (;;) {
    Result<std::size_t> got = readSome(buffer.get(), room);
    if (!got) return got.error();
    if (*got == 0) return Ok();
    total += *got;
    if (total > maxBytes) return osError("cannot read", file, EFBIG);
    if (!piece(std::string_view(buffer.get(), *got))) return Ok();
  }
}

}  // namespace velmora
