#include "platform/posix/storage_directory.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/os_error.h"

namespace velmora {
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
  return systemError("cannot find the home directory in HOME or the user database", err);
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

}  // namespace velmora
