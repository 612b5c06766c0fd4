#include "platform/windows/windows_env.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <random>
#include <thread>

#include "platform/clock.h"
#include "platform/os_error.h"
#include "platform/windows/launch.h"
#include "platform/windows/storage_directory.h"
#include "platform/windows/wide.h"

namespace velmora {
namespace {

using windows::Handle;
using windows::win32Error;
using windows::win32Path;

// 100-nanosecond intervals between 1601-01-01 (FILETIME's epoch) and the
// Unix epoch.
constexpr std::int64_t kFileTimeUnixOffset = 116444736000000000LL;

void splitFileTime(std::int64_t fileTime, std::int64_t& seconds, std::int64_t& nanoseconds) {
  const std::int64_t unixTicks = fileTime - kFileTimeUnixOffset;
  seconds = unixTicks / 10000000;
  std::int64_t ticks = unixTicks % 10000000;
  if (ticks < 0) {
    ticks += 10000000;
    --seconds;
  }
  nanoseconds = ticks * 100;
}

// The identity and type of an open file.
Result<FileInfo> infoOf(HANDLE handle, const std::filesystem::path& path) {
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO basic;
  if (!::GetFileInformationByHandle(handle, &info) ||
      !::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
    return win32Error("cannot examine", path, ::GetLastError());
  }
  FileInfo result;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    result.type = FileInfo::Type::other;
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    result.type = FileInfo::Type::directory;
  } else {
    result.type =
        ::GetFileType(handle) == FILE_TYPE_DISK ? FileInfo::Type::regular : FileInfo::Type::other;
  }
  FileIdentity& id = result.identity;
  id.device = info.dwVolumeSerialNumber;
  id.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  id.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
                                      info.nFileSizeLow);
  splitFileTime(basic.LastWriteTime.QuadPart, id.modifiedSeconds, id.modifiedNanoseconds);
  splitFileTime(basic.ChangeTime.QuadPart, id.changedSeconds, id.changedNanoseconds);
  return result;
}

// Opens a document for reading, with the checks both readers make; its
// size. Every sharing is allowed, so that a reader never blocks a second
// host's replace of the file.
Result<std::size_t> openDocument(const std::filesystem::path& file, std::size_t maxBytes,
                                 Handle& opened) {
  opened.reset(::CreateFileW(win32Path(file).c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!opened.valid()) return win32Error("cannot open", file, ::GetLastError());
  // Documents are files on a disk; a pipe or a device could feed bytes
  // without end.
  if (::GetFileType(opened.get()) != FILE_TYPE_DISK) {
    return fileError("cannot read", file, "not a regular file");
  }
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(opened.get(), &size)) {
    return win32Error("cannot read", file, ::GetLastError());
  }
  if (static_cast<std::uint64_t>(size.QuadPart) > maxBytes) {
    return osError("cannot read", file, EFBIG);
  }
  return static_cast<std::size_t>(size.QuadPart);
}

// One ReadFile: the count, 0 at the end.
Result<std::size_t> readSome(HANDLE handle, char* buffer, std::size_t size,
                             const std::filesystem::path& file) {
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
  if (!::ReadFile(handle, buffer, want, &got, nullptr)) {
    return win32Error("cannot read", file, ::GetLastError());
  }
  return static_cast<std::size_t>(got);
}

class WindowsWritableFile final : public WritableFile {
 public:
  // `target` is the file the bytes are meant for, which errors name.
  WindowsWritableFile(HANDLE handle, std::filesystem::path target)
      : handle_(handle), target_(std::move(target)) {}

  Status append(std::string_view bytes) override {
    while (!bytes.empty()) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
      if (!::WriteFile(handle_.get(), bytes.data(), chunk, &written, nullptr)) {
        return win32Error("cannot write", target_, ::GetLastError());
      }
      bytes.remove_prefix(written);
    }
    return Ok();
  }
  Status sync() override {
    if (!::FlushFileBuffers(handle_.get())) {
      return windows::win32SystemError("cannot flush " + utf8Text(target_) + " to disk",
                                       ::GetLastError());
    }
    return Ok();
  }
  Status close() override {
    if (!handle_.close()) return win32Error("cannot close", target_, ::GetLastError());
    return Ok();
  }

 private:
  Handle handle_;
  std::filesystem::path target_;
};

// The same alphabet as mkstemp's.
std::string randomLetters(std::size_t count) {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 generator{std::random_device{}()};
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
  std::string letters(count, 'X');
  for (char& c : letters) c = kLetters[pick(generator)];
  return letters;
}

// Creates a new file of a unique temporary name for `target`, open for
// writing; others may read it and rename it, as the tests' fault injection
// does.
Result<HANDLE> createTemporary(const std::filesystem::path& target, std::filesystem::path& path) {
  const std::string pattern = temporaryFilePattern(target);
  const std::size_t letters = pattern.size() - pattern.rfind("XXXXXX");
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
    std::string name = pattern;
    name.replace(name.size() - letters, letters, randomLetters(letters));
    path = utf8Path(name);
    const HANDLE handle =
        ::CreateFileW(win32Path(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return handle;
    error = ::GetLastError();
  }
  return win32Error("cannot create a temporary file for", target, error);
}

// Whether the system answered that it cannot copy this file at all, rather
// than that the copy failed.
bool isCopyRefusal(DWORD error) {
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
         error == ERROR_NOT_SAME_DEVICE;
}

}  // namespace

Result<std::filesystem::path> WindowsEnv::storageDirectory() {
  Result<std::filesystem::path> dir = windows::storageDirectoryPath();
  if (!dir) return dir.error();
  if (Status made = createDirectories(*this, *dir); !made) return made.error();
  return dir;
}

double WindowsEnv::now() { return currentTime(); }

std::optional<std::string> WindowsEnv::fileNameProblem(std::string_view name) {
  return windowsFileNameProblem(name);
}

std::optional<std::string> windowsFileNameProblem(std::string_view name) {
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return "contains a control character";
    if (std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos) {
      return "contains \"" + std::string(1, c) + "\"";
    }
  }
  if (!name.empty() && (name.back() == '.' || name.back() == ' ')) {
    return "ends in a dot or a space, which Windows drops";
  }
  // The device names stand for the device whatever extension follows, and
  // whatever spaces precede it.
  std::string stem(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  std::transform(stem.begin(), stem.end(), stem.begin(),
                 [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
  const bool numbered = stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) &&
                        stem[3] >= '1' && stem[3] <= '9';
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || numbered) {
    return "makes a name that Windows reserves for the device " + stem;
  }
  const std::optional<std::wstring> wide = windows::toWide(name);
  if (!wide) return "is not UTF-8";
  if (wide->size() > 255) return "makes a name longer than 255 characters";
  return std::nullopt;
}

Result<bool> WindowsEnv::createDirectory(const std::filesystem::path& dir) {
  const std::wstring path = win32Path(dir);
  // Nearly always the directory is there already: one look says so.
  DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  // No security attributes: the folder inherits its parent's ACL.
  if (::CreateDirectoryW(path.c_str(), nullptr)) return true;
  const DWORD error = ::GetLastError();
  attributes = ::GetFileAttributesW(path.c_str());
  if (error == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  return win32Error("cannot create directory", dir, error);
}

namespace {

// ReadSome over an open handle.
ReadSome readingFrom(const Handle& handle, const std::filesystem::path& file) {
  return [&handle, &file](char* buffer, std::size_t size) {
    return readSome(handle.get(), buffer, size, file);
  };
}

}  // namespace

Result<std::string> WindowsEnv::readFile(const std::filesystem::path& file, std::size_t maxBytes) {
  Handle handle;
  Result<std::size_t> size = openDocument(file, maxBytes, handle);
  if (!size) return size.error();
  return readWhole(file, *size, maxBytes, readingFrom(handle, file));
}

Status WindowsEnv::readFileInPieces(const std::filesystem::path& file, std::size_t maxBytes,
                                    const ByteSink& piece) {
  Handle handle;
  Result<std::size_t> size = openDocument(file, maxBytes, handle);
  if (!size) return size.error();
  return readInPieces(file, *size, maxBytes, readingFrom(handle, file), piece);
}

Result<std::unique_ptr<WritableFile>> WindowsEnv::newTemporaryFile(
    const std::filesystem::path& target, std::filesystem::path& created) {
  std::filesystem::path path;
  Result<HANDLE> handle = createTemporary(target, path);
  if (!handle) return handle.error();
  created = path;
  return std::unique_ptr<WritableFile>(std::make_unique<WindowsWritableFile>(*handle, target));
}

Result<std::unique_ptr<WritableFile>> WindowsEnv::newTemporaryCopy(
    const std::filesystem::path& source, const FileIdentity& expected,
    const std::filesystem::path& target, std::filesystem::path& created) {
  // Held open without sharing writes or deletes while the system copies it,
  // so that the copy is of the version checked here; another writer's
  // replace waits meanwhile (renameFile retries).
  const Handle pinned(::CreateFileW(win32Path(source).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
  if (!pinned.valid()) return std::unique_ptr<WritableFile>();
  Result<FileInfo> info = infoOf(pinned.get(), source);
  if (!info || !info->regular() || !(info->identity == expected)) {
    return std::unique_ptr<WritableFile>();
  }
  std::filesystem::path path;
  Result<HANDLE> reserved = createTemporary(target, path);
  if (!reserved) return reserved.error();
  ::CloseHandle(*reserved);
  const std::wstring to = win32Path(path);
  const auto discard = [&] { ::DeleteFileW(to.c_str()); };
  if (!::CopyFileExW(win32Path(source).c_str(), to.c_str(), nullptr, nullptr, nullptr, 0)) {
    const DWORD error = ::GetLastError();
    discard();
    if (isCopyRefusal(error)) return std::unique_ptr<WritableFile>();
    return win32Error("cannot write", target, error);
  }
  const HANDLE handle =
      ::CreateFileW(to.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    discard();
    return win32Error("cannot write", target, error);
  }
  auto file = std::make_unique<WindowsWritableFile>(handle, target);
  if (!::SetFilePointerEx(handle, LARGE_INTEGER{}, nullptr, FILE_END)) {
    const DWORD error = ::GetLastError();
    file.reset();
    discard();
    return win32Error("cannot write", target, error);
  }
  created = path;
  return std::unique_ptr<WritableFile>(std::move(file));
}

Status WindowsEnv::syncDirectory(const std::filesystem::path&) {
  // Windows has no directory sync and needs none: NTFS journals the rename,
  // which MOVEFILE_WRITE_THROUGH makes durable before renameFile returns.
  return Ok();
}

Status WindowsEnv::renameFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  const std::wstring source = win32Path(from);
  const std::wstring target = win32Path(to);
  // Virus scanners and indexers open new files briefly, and another host
  // may be copying this one: a refused replace is tried again for a while.
  constexpr int kPauseMilliseconds = 50;
  for (int waited = 0;; waited += kPauseMilliseconds) {
    if (::MoveFileExW(source.c_str(), target.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return Ok();
    }
    const DWORD error = ::GetLastError();
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
        waited >= kReplaceRetryMilliseconds) {
      return win32Error("cannot replace", to, error);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kPauseMilliseconds));
  }
}

Result<std::vector<std::string>> WindowsEnv::listDirectory(const std::filesystem::path& dir) {
  WIN32_FIND_DATAW entry;
  const HANDLE search =
      ::FindFirstFileExW((win32Path(dir) + L"\\*").c_str(), FindExInfoBasic, &entry,
                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) {
    return win32Error("cannot list directory", dir, ::GetLastError());
  }
  std::vector<std::string> names;
  DWORD error = ERROR_NO_MORE_FILES;
  do {
    const std::wstring_view name(entry.cFileName);
    if (name != L"." && name != L"..") names.push_back(windows::toUtf8(name));
  } while (::FindNextFileW(search, &entry) || (error = ::GetLastError()) != ERROR_NO_MORE_FILES);
  ::FindClose(search);
  if (error != ERROR_NO_MORE_FILES) return win32Error("cannot list directory", dir, error);
  return names;
}

Result<FileInfo> WindowsEnv::examine(const std::filesystem::path& path) {
  // Links are examined themselves, and folders open too.
  const Handle handle(
      ::CreateFileW(win32Path(path).c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle.valid()) return win32Error("cannot examine", path, ::GetLastError());
  return infoOf(handle.get(), path);
}

Status WindowsEnv::removeFile(const std::filesystem::path& file) {
  if (!::DeleteFileW(win32Path(file).c_str())) {
    return win32Error("cannot remove", file, ::GetLastError());
  }
  return Ok();
}

std::filesystem::path WindowsEnv::executablePath() { return windows::executablePath(); }

Result<std::string> WindowsEnv::openApplication(const std::filesystem::path& applicationFolder) {
  return windows::openApplication(applicationFolder);
}

}  // namespace velmora
