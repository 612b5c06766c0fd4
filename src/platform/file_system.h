#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

// The file operations the storage code needs, each reporting the operating
// system's own error naming the path.
namespace velmora::fs {

// Creates the directory and every missing parent; an existing directory is
// success, anything else standing at the path is an error.
Status createDirectories(const std::filesystem::path& dir);

// Reads the whole file; anything but a regular file is refused.
Result<std::string> readFile(const std::filesystem::path& file);

// Replaces the file with the bytes atomically and durably: a uniquely named
// temporary file in the same directory (never ending in ".json") is written,
// flushed to disk and renamed over the target; on failure it is removed. A
// crash leaves either the old whole file or the new whole file.
Status writeFileAtomically(const std::filesystem::path& file, std::string_view bytes);

// Names of the entries of a directory, hidden ones included, in no order.
Result<std::vector<std::string>> listDirectory(const std::filesystem::path& dir);

// Removes the entry only if it is a regular file (never a directory, a link
// or anything else); true when it was removed.
bool removeRegularFile(const std::filesystem::path& file);

}  // namespace velmora::fs
