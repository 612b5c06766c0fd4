#pragma once

#include <filesystem>

#include "base/status.h"

namespace velmora {

// The running executable, links resolved; the empty path when the system
// cannot tell.
std::filesystem::path executablePath();

// Starts <applicationBundle>/AppRun with no arguments, detached: in a new
// session, with stdin, stdout and stderr on /dev/null and no other descriptor
// inherited. Returns at once without waiting for it, and no child process is
// left behind to be reaped. An Error, naming the path looked for, when there
// is no AppRun to run there (missing or not executable); what becomes of
// one that runs goes unnoticed.
Status openApplication(const std::filesystem::path& applicationBundle);

}  // namespace velmora
