#include "storage/storage_directory.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/os_error.h"

namespace velmora::VelmoraStorage {
namespace {

bool isAbsolute(const char* path) { return path != nullptr && path[0] == '/'; }

// The home directory from the environment, else from the password database.
Result<std::filesystem::path> homeDirectory(const char* home) {
  if (isAbsolute(home)) return std::filesystem::path(home);

  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 4096);
  passwd entry;
  passwd* found = nullptr;
  int err;
  while ((err = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (err == 0 && found != nullptr && isAbsolute(found->pw_dir)) {
    return std::filesystem::path(found->pw_dir);
  }
  if (err == 0) err = ENOENT;
  return osError("cannot find a home directory (HOME unset, no entry in the user database) for",
                 kStorageDirectoryName, err);
}

}  // namespace

Result<std::filesystem::path> storageDirectoryPath(const char* dataHome, const char* home) {
  // $XDG_DATA_HOME counts only as an absolute path; a relative one is
  // ignored, as the base directory convention asks.
  if (isAbsolute(dataHome)) return std::filesystem::path(dataHome) / kStorageDirectoryName;
  Result<std::filesystem::path> homeDir = homeDirectory(home);
  if (!homeDir) return homeDir.error();
  return *homeDir / ".local" / "share" / kStorageDirectoryName;
}

Result<std::filesystem::path> writeDir() {
  Result<std::filesystem::path> dir =
      storageDirectoryPath(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
  if (!dir) return dir.error();
  if (Status made = fs::createDirectories(*dir); !made) return made.error();
  return dir;
}

}  // namespace velmora::VelmoraStorage
