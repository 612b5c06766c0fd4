#pragma once

#include <filesystem>
#include <string>

#include "base/status.h"

namespace velmora::windows {

// The name of the application's program in its folder.
inline constexpr wchar_t kApplicationName[] = L"Nelo.exe";

// The running executable, links resolved; the empty path when the system
// cannot tell.
std::filesystem::path executablePath();

// Starts <applicationFolder>\Nelo.exe with no arguments, detached: no
// console, a process group of its own, no handle inherited, and outside the
// browser's job, which would end it with the browser. Returns at once
// without waiting for it. When the job forbids leaving it, the application
// is started inside it all the same, and the answer says so for the log
// (else it is empty). An Error, naming the path looked for, when there is no
// Nelo.exe to run there.
Result<std::string> openApplication(const std::filesystem::path& applicationFolder);

}  // namespace velmora::windows
