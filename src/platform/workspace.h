#pragma once

#include <filesystem>

namespace velmora {

// The directory holding the running executable, links resolved; the empty
// path when the system cannot tell.
std::filesystem::path extensionBundlePath();

// Starts <applicationBundle>/AppRun with no arguments, detached: in a new
// session, with stdin, stdout and stderr on /dev/null and no other descriptor
// inherited. Returns at once without waiting for it; any failure to start it
// goes unnoticed, and no child process is left behind to be reaped.
void openApplication(const std::filesystem::path& applicationBundle);

}  // namespace velmora
