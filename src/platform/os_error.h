#pragma once

#include <filesystem>
#include <string_view>

#include "base/status.h"

namespace velmora {

// The one place where an operating system error becomes an Error: the action,
// the path it concerned and the system's own reason, for example
// "cannot create directory /home/a/.local/share/Velmora: Not a directory".
Error osError(std::string_view action, const std::filesystem::path& path, int errnum);

}  // namespace velmora
