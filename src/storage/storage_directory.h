#pragma once

#include <filesystem>

#include "base/status.h"

namespace velmora::VelmoraStorage {

// The name of the storage directory inside the user's data directory.
inline constexpr char kStorageDirectoryName[] = "Velmora";

// The storage directory, "Velmora" inside the user's data directory
// ($XDG_DATA_HOME when it is an absolute path, else ~/.local/share), created
// with every missing parent on each call. Nothing is cached, so a directory
// removed between two calls is made again.
Result<std::filesystem::path> writeDir();

// Where writeDir() puts the directory for these values of XDG_DATA_HOME and
// HOME (null when unset); without an absolute HOME the user database names
// the home directory.
Result<std::filesystem::path> storageDirectoryPath(const char* dataHome, const char* home);

}  // namespace velmora::VelmoraStorage
