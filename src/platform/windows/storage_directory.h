#pragma once

#include <filesystem>

#include "base/status.h"

namespace velmora::windows {

// The name of the storage directory inside the user's Local AppData folder.
inline constexpr wchar_t kStorageDirectoryName[] = L"Velmora";

// Where the storage directory is: "Velmora" in the Local AppData known folder
// (what %LOCALAPPDATA% names). Not the roaming AppData: the history can reach
// gigabytes and must not travel with a roaming profile.
Result<std::filesystem::path> storageDirectoryPath();

}  // namespace velmora::windows
