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
Result<std::filesystem::path> homeDirectory() {
  if (const char* home = std::getenv("HOME"); isAbsolute(home)) return std::filesystem::path(home);

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

// $XDG_DATA_HOME counts only as an absolute path; a relative one is ignored,
// as the base directory convention asks.
Result<std::filesystem::path> dataDirectory() {
  if (const char* dataHome = std::getenv("XDG_DATA_HOME"); isAbsolute(dataHome)) {
    return std::filesystem::path(dataHome);
  }
  Result<std::filesystem::path> home = homeDirectory();
  if (!home) return home.error();
  return *home / ".local" / "share";
}

}  // namespace

Result<std::filesystem::path> writeDir() {
  Result<std::filesystem::path> data = dataDirectory();
  if (!data) return data.error();
  std::filesystem::path dir = *data / kStorageDirectoryName;
  if (Status made = fs::createDirectories(dir); !made) return made.error();
  return dir;
}

}  // namespace velmora::VelmoraStorage
