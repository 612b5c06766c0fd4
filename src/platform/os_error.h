#pragma once

#include <exception>
#include <filesystem>
#include <string_view>

#include "base/status.h"

namespace velmora {

// Where an operating system error becomes an Error: what failed and the
// system's own reason, for example "cannot read standard input: Bad file
// descriptor". The error number is kept as the Error's code.
Error systemError(std::string_view what, int errnum);

// The same for an operation on a file: the action and the path it concerned,
// for example
// "cannot create directory /home/a/.local/share/Velmora: Not a directory".
Error osError(std::string_view action, const std::filesystem::path& path, int errnum);

// A file's bytes, or a directory's names, that could not be made durable:
// "cannot flush /home/a/x.json to disk: Input/output error".
Error syncError(const std::filesystem::path& path, int errnum);

// A file refused for a reason of this system's own, in the same shape:
// "cannot read /home/a/x.json: not a regular file".
Error fileError(std::string_view action, const std::filesystem::path& path,
                std::string_view reason);

// What a library threw, in the same shape: the system's words for running
// out of memory ("cannot queue the command: Cannot allocate memory") and for
// a std::system_error, else the exception's own text.
Error thrownError(std::string_view what, const std::exception& thrown);

}  // namespace velmora
