#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/os_error.h"

namespace velmora::fs {
namespace {

// A temporary file is named ".<target name>.tmp-" and six characters chosen
// by mkostemp.
constexpr std::string_view kTemporaryMarker = ".tmp-";
constexpr std::string_view kTemporaryPattern = "XXXXXX";

// Closes a descriptor on every path out of a function.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now so that the caller sees the error close reports.
  int close() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

// The permissions a plain create would give a new file. umask can only be
// read by setting it, which would race with other threads creating files, so
// the kernel's own report is preferred; the value is read once, since this
// process never changes its umask.
mode_t defaultFileMode() {
  static const mode_t mode = [] {
    mode_t mask = 022;
    bool found = false;
    if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
      char line[256];
      while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "Umask:", 6) == 0) {
          mask = static_cast<mode_t>(std::strtoul(line + 6, nullptr, 8));
          found = true;
          break;
        }
      }
      std::fclose(status);
    }
    if (!found) {
      mask = ::umask(022);
      ::umask(mask);
    }
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return mode;
}

bool writeAll(int fd, std::string_view bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

// Makes the directory entry of a just renamed file durable. Some file systems
// cannot sync a directory and say so with EINVAL; there is nothing more to do
// on those.
int syncDirectory(const std::filesystem::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  FileDescriptor guard(fd);
  if (::fsync(fd) != 0 && errno != EINVAL) return errno;
  return 0;
}

// Temporary files that writers killed mid-write left behind. Only regular
// files with a temporary file's name, old enough that no live writer can own
// them, are removed; a failure just leaves the file for the next sweep.
void removeStaleTemporaryFiles(const std::filesystem::path& dir) {
  DIR* stream = ::opendir(dir.c_str());
  if (stream == nullptr) return;
  const int dirFd = ::dirfd(stream);
  const auto now = std::chrono::system_clock::now();
  while (const dirent* entry = ::readdir(stream)) {
    if (!isTemporaryFileName(entry->d_name)) continue;
    struct stat info;
    if (::fstatat(dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(info.st_mode)) continue;
    const auto modified = std::chrono::system_clock::from_time_t(info.st_mtim.tv_sec);
    if (now - modified < kStaleTemporaryFileAge) continue;
    ::unlinkat(dirFd, entry->d_name, 0);
  }
  ::closedir(stream);
}

}  // namespace

Status createDirectories(const std::filesystem::path& dir) {
  // Nearly always the directory is there already: one stat says so. Anything
  // else takes the path below, exactly as if the stat had not been made.
  struct stat existing;
  if (::stat(dir.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) return Ok();
  if (::mkdir(dir.c_str(), 0777) == 0) return Ok();
  int err = errno;
  if (err == ENOENT) {
    const std::filesystem::path parent = dir.parent_path();
    if (!parent.empty() && parent != dir) {
      if (Status made = createDirectories(parent); !made) return made;
      if (::mkdir(dir.c_str(), 0777) == 0) return Ok();
      err = errno;
    }
  }
  if (err == EEXIST) {
    // Something stands there already: only a directory (or a link to one)
    // will do.
    struct stat info;
    if (::stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return Ok();
  }
  return osError("cannot create directory", dir, err);
}

namespace {

// Opens a document for reading, with the checks both readers make; its size
// as fstat saw it.
Result<std::size_t> openDocument(const std::filesystem::path& file, std::size_t maxBytes,
                                 FileDescriptor& opened) {
  // O_NONBLOCK: a named pipe in a document's place must not stall the open
  // until some writer comes along.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return osError("cannot open", file, errno);
  opened.reset(fd);
  struct stat info;
  if (::fstat(fd, &info) != 0) return osError("cannot read", file, errno);
  // Documents are regular files; a pipe or a device (a link to /dev/zero, say)
  // could feed bytes without end.
  if (S_ISDIR(info.st_mode)) return osError("cannot read", file, EISDIR);
  if (!S_ISREG(info.st_mode)) {
    return Error{"cannot read " + file.string() + ": not a regular file"};
  }
  if (static_cast<std::uintmax_t>(info.st_size) > maxBytes) {
    return osError("cannot read", file, EFBIG);
  }
  return static_cast<std::size_t>(info.st_size);
}

// One read(2) into `buffer`, retried when interrupted; the count or an error.
Result<std::size_t> readSome(const std::filesystem::path& file, int fd, char* buffer,
                             std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(fd, buffer, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return osError("cannot read", file, errno);
  }
}

}  // namespace

Result<std::string> readFile(const std::filesystem::path& file, std::size_t maxBytes) {
  FileDescriptor fd;
  Result<std::size_t> size = openDocument(file, maxBytes, fd);
  if (!size) return size.error();

  // Read straight into a buffer of the file's size; keep going past it in
  // case the file grew since fstat, but never past the limit.
  std::string bytes;
  bytes.resize(*size > 0 ? *size + 1 : 4096);
  std::size_t length = 0;
  for (;;) {
    if (length == bytes.size()) {
      if (length > maxBytes) return osError("cannot read", file, EFBIG);
      bytes.resize(bytes.size() * 2);
    }
    Result<std::size_t> got =
        readSome(file, fd.get(), bytes.data() + length, bytes.size() - length);
    if (!got) return got.error();
    if (*got == 0) break;
    length += *got;
  }
  bytes.resize(length);
  return bytes;
}

Status readFileInPieces(const std::filesystem::path& file, std::size_t maxBytes,
                        const ByteSink& piece) {
  FileDescriptor fd;
  if (Result<std::size_t> size = openDocument(file, maxBytes, fd); !size) return size.error();
  std::string buffer(kReadPieceBytes, '\0');
  std::size_t total = 0;
  for (;;) {
    Result<std::size_t> got = readSome(file, fd.get(), buffer.data(), buffer.size());
    if (!got) return got.error();
    if (*got == 0) return Ok();
    total += *got;
    if (total > maxBytes) return osError("cannot read", file, EFBIG);
    if (!piece(std::string_view(buffer.data(), *got))) return Ok();
  }
}

Status writeFileAtomically(const std::filesystem::path& file, std::string_view bytes) {
  return writeFileAtomically(file, [bytes](const ByteSink& sink) { sink(bytes); });
}

namespace {

FileIdentity identityOf(const struct stat& info) {
  return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                      static_cast<std::uint64_t>(info.st_ino),
                      static_cast<std::int64_t>(info.st_size),
                      static_cast<std::int64_t>(info.st_mtim.tv_sec),
                      static_cast<std::int64_t>(info.st_mtim.tv_nsec),
                      static_cast<std::int64_t>(info.st_ctim.tv_sec),
                      static_cast<std::int64_t>(info.st_ctim.tv_nsec)};
}

// Fills the temporary file open at `fd`: 0, or the errno of the write that
// failed.
using Fill = std::function<int(int fd)>;

// Writes the bytes `produce` gives; 0 or the errno of the failed write.
int writeProduced(int fd, const std::function<void(const ByteSink&)>& produce) {
  int writeError = 0;
  const ByteSink sink = [&](std::string_view piece) {
    if (writeError == 0 && !writeAll(fd, piece)) writeError = errno;
    return writeError == 0;
  };
  produce(sink);
  return writeError;
}

// The kernel's copy of the whole source into `fd`: true when done; false,
// with `fd` as it was, when the kernel cannot do it; else the errno of a
// failed write in `error`.
bool copyInKernel(int in, std::int64_t size, int fd, int& error) {
  std::int64_t left = size;
  while (left > 0) {
    const ssize_t copied =
        ::copy_file_range(in, nullptr, fd, nullptr, static_cast<std::size_t>(left), 0);
    if (copied > 0) {
      left -= copied;
      continue;
    }
    if (copied < 0 && errno == EINTR) continue;
    if (copied < 0 && errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP &&
        errno != EINVAL) {
      error = errno;
      return false;
    }
    // Refused, or the source ended early: whatever was copied goes.
    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) error = errno;
    return false;
  }
  return true;
}

Status writeAtomically(const std::filesystem::path& file, const Fill& fill,
                       FileIdentity* written) {
  std::filesystem::path dir = file.parent_path();
  if (dir.empty()) dir = ".";
  // The temporary name starts with a dot and never ends in ".json", so that
  // nobody listing the directory takes it for a document.
  // The target's name is cut short where needed so that the temporary name
  // still fits the system's limit when the target's own name does.
  const std::string tempSuffix = std::string(kTemporaryMarker) + std::string(kTemporaryPattern);
  const std::string name = file.filename().string().substr(0, NAME_MAX - 1 - tempSuffix.size());
  std::string tempPath = (dir / ("." + name + tempSuffix)).string();
  const int fd = ::mkostemp(tempPath.data(), O_CLOEXEC);
  if (fd < 0) return osError("cannot create a temporary file for", file, errno);
  FileDescriptor guard(fd);

  auto fail = [&](std::string_view action, int err) {
    ::unlink(tempPath.c_str());
    return osError(action, file, err);
  };
  // mkostemp creates the file private to its owner; give it what a normal
  // create would.
  if (::fchmod(fd, defaultFileMode()) != 0) return fail("cannot write", errno);
  int writeError = 0;
  try {
    writeError = fill(fd);
  } catch (...) {
    ::unlink(tempPath.c_str());
    throw;
  }
  if (writeError != 0) return fail("cannot write", writeError);
  if (::fsync(fd) != 0) return fail("cannot write", errno);
  // The rename changes the file's change time, so its identity is read after
  // it, from a descriptor: the path may name another file by then.
  FileDescriptor kept(written != nullptr ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1);
  if (written != nullptr && kept.get() < 0) return fail("cannot write", errno);
  if (guard.close() != 0) return fail("cannot write", errno);
  if (::rename(tempPath.c_str(), file.c_str()) != 0) return fail("cannot replace", errno);
  if (const int err = syncDirectory(dir); err != 0)
    return osError("cannot sync directory of", file, err);
  if (written != nullptr) {
    struct stat info;
    if (::fstat(kept.get(), &info) != 0) return osError("cannot read", file, errno);
    *written = identityOf(info);
  }
  removeStaleTemporaryFiles(dir);
  return Ok();
}

}  // namespace

Result<FileIdentity> fileIdentity(const std::filesystem::path& file) {
  struct stat info;
  if (::stat(file.c_str(), &info) != 0) return osError("cannot read", file, errno);
  return identityOf(info);
}

Status writeFileAtomically(const std::filesystem::path& file,
                           const std::function<void(const ByteSink&)>& produce,
                           FileIdentity* written) {
  return writeAtomically(file, [&produce](int fd) { return writeProduced(fd, produce); }, written);
}

Status copyFileAtomically(const std::filesystem::path& source, const FileIdentity& expected,
                          const std::filesystem::path& file,
                          const std::function<void(const ByteSink&)>& produce) {
  const auto fill = [&](int fd) {
    const FileDescriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info;
    if (in.get() >= 0 && ::fstat(in.get(), &info) == 0 && identityOf(info) == expected) {
      int error = 0;
      if (copyInKernel(in.get(), expected.size, fd, error)) return 0;
      if (error != 0) return error;
    }
    return writeProduced(fd, produce);
  };
  return writeAtomically(file, fill, nullptr);
}

bool isTemporaryFileName(std::string_view name) {
  const std::size_t tail = kTemporaryMarker.size() + kTemporaryPattern.size();
  if (name.size() <= tail || name.front() != '.') return false;
  return name.substr(name.size() - tail, kTemporaryMarker.size()) == kTemporaryMarker;
}

Result<std::vector<std::string>> listDirectory(const std::filesystem::path& dir) {
  DIR* stream = ::opendir(dir.c_str());
  if (stream == nullptr) return osError("cannot list directory", dir, errno);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (entry == nullptr) {
      const int err = errno;
      ::closedir(stream);
      if (err != 0) return osError("cannot list directory", dir, err);
      return names;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    names.emplace_back(name);
  }
}

bool removeRegularFile(const std::filesystem::path& file) {
  struct stat info;
  if (::lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  return ::unlink(file.c_str()) == 0;
}

}  // namespace velmora::fs
