#pragma once

#include <filesystem>

#include "base/status.h"

namespace velmora {

// The name of the storage directory inside the user's data directory.
inline constexpr char kStorageDirectoryName[] = "Velmora";

// Where the storage directory is for these values of XDG_DATA_HOME and HOME
// (null when unset): "Velmora" inside $XDG_DATA_HOME when that is an absolute
// path, else inside ~/.local/share. Without an absolute HOME the user
// database names the home directory.
Result<std::filesystem::path> storageDirectoryPath(const char* dataHome, const char* home);

}  // namespace velmora
