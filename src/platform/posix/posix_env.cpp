#include "platform/posix/posix_env.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/clock.h"
#include "platform/descriptor.h"
#include "platform/os_error.h"
#include "platform/posix/launch.h"
#include "platform/posix/storage_directory.h"

namespace velmora {
namespace {

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
  if (!S_ISREG(info.st_mode)) return fileError("cannot read", file, "not a regular file");
  if (static_cast<std::uintmax_t>(info.st_size) > maxBytes) {
    return osError("cannot read", file, EFBIG);
  }
  return static_cast<std::size_t>(info.st_size);
}

FileIdentity identityOf(const struct stat& info) {
  return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                      static_cast<std::uint64_t>(info.st_ino),
                      static_cast<std::int64_t>(info.st_size),
                      static_cast<std::int64_t>(info.st_mtim.tv_sec),
                      static_cast<std::int64_t>(info.st_mtim.tv_nsec),
                      static_cast<std::int64_t>(info.st_ctim.tv_sec),
                      static_cast<std::int64_t>(info.st_ctim.tv_nsec)};
}

class PosixWritableFile final : public WritableFile {
 public:
  // `target` is the file the bytes are meant for, which errors name.
  PosixWritableFile(int fd, std::filesystem::path target) : fd_(fd), target_(std::move(target)) {}

  int fd() const { return fd_.get(); }

  Status append(std::string_view bytes) override {
    if (const int err = writeAll(fd_.get(), bytes); err != 0) {
      return osError("cannot write", target_, err);
    }
    return Ok();
  }
  Status sync() override {
    if (::fsync(fd_.get()) != 0) return syncError(target_, errno);
    return Ok();
  }
  Status close() override {
    if (fd_.close() != 0) return osError("cannot close", target_, errno);
    return Ok();
  }

 private:
  FileDescriptor fd_;
  std::filesystem::path target_;
};

// Copies the whole of `source` into `out` inside the kernel when `source` is
// still the version `expected`: true when done; false when it is another
// version by now, or the kernel refuses (another file system, no support) or
// the source ends early.
Result<bool> copyInKernel(const std::filesystem::path& source, const FileIdentity& expected,
                          const PosixWritableFile& out, const std::filesystem::path& target) {
  const FileDescriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat info;
  if (in.get() < 0 || ::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      !(identityOf(info) == expected)) {
    return false;
  }
  std::int64_t left = expected.size;
  while (left > 0) {
    const ssize_t copied =
        ::copy_file_range(in.get(), nullptr, out.fd(), nullptr, static_cast<std::size_t>(left), 0);
    if (copied > 0) {
      left -= copied;
      continue;
    }
    if (copied < 0 && errno == EINTR) continue;
    if (copied < 0 && errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) {
      return osError("cannot write", target, errno);
    }
    return false;
  }
  return true;
}

}  // namespace

Result<std::filesystem::path> PosixEnv::storageDirectory() {
  Result<std::filesystem::path> dir =
      storageDirectoryPath(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
  if (!dir) return dir.error();
  if (Status made = createDirectories(*this, *dir); !made) return made.error();
  return dir;
}

double PosixEnv::now() { return currentTime(); }

std::optional<std::string> PosixEnv::fileNameProblem(std::string_view name) {
  if (name.find('/') != std::string_view::npos) return "contains \"/\"";
  if (name.find('\0') != std::string_view::npos) return "contains a NUL character";
  if (name.size() > NAME_MAX) {
    return "makes a name longer than " + std::to_string(NAME_MAX) + " bytes";
  }
  return std::nullopt;
}

Result<bool> PosixEnv::createDirectory(const std::filesystem::path& dir) {
  // Nearly always the directory is there already: one stat says so.
  struct stat existing;
  if (::stat(dir.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) return false;
  // Private to its owner, whatever the umask: the tabs a user had open are
  // nobody else's business.
  if (::mkdir(dir.c_str(), 0700) == 0) return true;
  const int err = errno;
  // Something stands there already: only a directory (or a link to one)
  // will do.
  if (err == EEXIST && ::stat(dir.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
    return false;
  }
  return osError("cannot create directory", dir, err);
}

namespace {

// ReadSome over an open descriptor.
ReadSome readingFrom(const FileDescriptor& fd, const std::filesystem::path& file) {
  return [&fd, &file](char* buffer, std::size_t size) -> Result<std::size_t> {
    const ssize_t got = readSome(fd.get(), buffer, size);
    if (got < 0) return osError("cannot read", file, errno);
    return static_cast<std::size_t>(got);
  };
}

}  // namespace

Result<std::string> PosixEnv::readFile(const std::filesystem::path& file, std::size_t maxBytes) {
  FileDescriptor fd;
  Result<std::size_t> size = openDocument(file, maxBytes, fd);
  if (!size) return size.error();
  return readWhole(file, *size, maxBytes, readingFrom(fd, file));
}

Status PosixEnv::readFileInPieces(const std::filesystem::path& file, std::size_t maxBytes,
                                  const ByteSink& piece) {
  FileDescriptor fd;
  Result<std::size_t> size = openDocument(file, maxBytes, fd);
  if (!size) return size.error();
  return readInPieces(file, *size, maxBytes, readingFrom(fd, file), piece);
}

Result<std::unique_ptr<WritableFile>> PosixEnv::newTemporaryFile(
    const std::filesystem::path& target, std::filesystem::path& created) {
  std::string path = temporaryFilePattern(target);
  const int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return osError("cannot create a temporary file for", target, errno);
  // mkostemp creates the file 0600, whatever the umask, which is what a
  // user's documents should be; the rename keeps that mode.
  auto file = std::make_unique<PosixWritableFile>(fd, target);
  created = path;
  return std::unique_ptr<WritableFile>(std::move(file));
}

Result<std::unique_ptr<WritableFile>> PosixEnv::newTemporaryCopy(
    const std::filesystem::path& source, const FileIdentity& expected,
    const std::filesystem::path& target, std::filesystem::path& created) {
  std::filesystem::path path;
  Result<std::unique_ptr<WritableFile>> file = newTemporaryFile(target, path);
  if (!file) return file;
  Result<bool> copied =
      copyInKernel(source, expected, static_cast<PosixWritableFile&>(**file), target);
  if (!copied || !*copied) {
    file->reset();
    ::unlink(path.c_str());
    if (!copied) return copied.error();
    return std::unique_ptr<WritableFile>();
  }
  created = path;
  return file;
}

Status PosixEnv::syncDirectory(const std::filesystem::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return syncError(dir, errno);
  FileDescriptor guard(fd);
  // Some file systems cannot sync a directory and say so with EINVAL; there
  // is nothing more to do on those.
  if (::fsync(fd) != 0 && errno != EINVAL) return syncError(dir, errno);
  return Ok();
}

Status PosixEnv::renameFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return osError("cannot replace", to, errno);
  return Ok();
}

Result<std::vector<std::string>> PosixEnv::listDirectory(const std::filesystem::path& dir) {
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

Result<FileInfo> PosixEnv::examine(const std::filesystem::path& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) return osError("cannot examine", path, errno);
  const FileInfo::Type type = S_ISREG(info.st_mode)   ? FileInfo::Type::regular
                              : S_ISDIR(info.st_mode) ? FileInfo::Type::directory
                                                      : FileInfo::Type::other;
  return FileInfo{type, identityOf(info)};
}

Status PosixEnv::removeFile(const std::filesystem::path& file) {
  if (::unlink(file.c_str()) != 0) return osError("cannot remove", file, errno);
  return Ok();
}

std::filesystem::path PosixEnv::executablePath() { return velmora::executablePath(); }

Result<std::string> PosixEnv::openApplication(const std::filesystem::path& applicationFolder) {
  if (Status opened = velmora::openApplication(applicationFolder); !opened) return opened.error();
  return std::string();
}

}  // namespace velmora
