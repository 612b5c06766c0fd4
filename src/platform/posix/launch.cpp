#include "platform/posix/launch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "platform/os_error.h"

namespace velmora {

namespace {

// The entry point of an AppDir, run to launch the application.
constexpr char kAppRunName[] = "AppRun";

// Highest descriptor number to close by hand when close_range is missing.
int descriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur > 65536) {
    return 65536;
  }
  return static_cast<int>(limit.rlim_cur);
}

// Runs in the grandchild, between fork and exec: only async-signal-safe calls.
[[noreturn]] void execDetached(const char* program, int maxDescriptor) {
  ::setsid();

  // Dispositions set to ignore survive exec; the application gets defaults.
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) ::_exit(127);
  // dup2 clears close-on-exec on the copies, so only 0, 1 and 2 survive exec.
  for (int fd = 0; fd <= 2; ++fd) {
    if (null != fd && ::dup2(null, fd) < 0) ::_exit(127);
  }
  if (::close_range(3, ~0U, 0) != 0) {
    for (int fd = 3; fd < maxDescriptor; ++fd) ::close(fd);
  }

  char* const argv[] = {const_cast<char*>(program), nullptr};
  ::execv(program, argv);
  ::_exit(127);
}

}  // namespace

std::filesystem::path executablePath() {
  std::error_code error;
  std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  return executable;
}

Status openApplication(const std::filesystem::path& applicationBundle) {
  // A relative path would launch whatever lies in the working directory.
  if (applicationBundle.empty() || !applicationBundle.is_absolute()) {
    return fileError("cannot run", applicationBundle / kAppRunName,
                     "the application's place is not known");
  }
  // Everything that allocates happens before forking.
  const std::string program = (applicationBundle / kAppRunName).string();
  // Nothing to run: no need for the two forks.
  if (::access(program.c_str(), X_OK) != 0) return osError("cannot run", program, errno);
  const int maxDescriptor = descriptorLimit();

  const pid_t child = ::fork();
  if (child < 0) return osError("cannot start", program, errno);
  if (child == 0) {
    // The first child only forks again and exits, so the application is
    // adopted by init and never becomes our zombie.
    const pid_t grandchild = ::fork();
    if (grandchild == 0) execDetached(program.c_str(), maxDescriptor);
    ::_exit(0);
  }
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  return Ok();
}

}  // namespace velmora
