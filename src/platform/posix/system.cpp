#include "platform/system.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/posix_env.h"

namespace velmora {
namespace {

// What /proc/sys/fs/pipe-max-size allows by default.
constexpr int kInputPipeBytes = 1024 * 1024;

}  // namespace

Env& systemEnv() {
  static PosixEnv env;
  return env;
}

void prepareStandardStreams() {
  ::signal(SIGPIPE, SIG_IGN);
  // A scan comes as a frame of megabytes. Through a pipe of the default
  // 64 KiB the browser and the host take turns some fifty times for one, each
  // turn a wake-up; at the most a user may ask for without privileges, a few.
  // Not a pipe, or the user's pipe memory spent: the input stays as it was.
  (void)::fcntl(STDIN_FILENO, F_SETPIPE_SZ, kInputPipeBytes);
}

bool inputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

bool inputWithin(int fd, int milliseconds) {
  pollfd input{fd, POLLIN, 0};
  for (;;) {
    const int ready = ::poll(&input, 1, milliseconds);
    if (ready >= 0 || errno != EINTR) return ready > 0;
  }
}

void releaseFreeMemory() { ::malloc_trim(0); }

std::string errnoText(int errnum) {
  // strerror_r in its GNU form: it may return a static string instead of
  // filling the buffer.
  char buffer[256];
  return ::strerror_r(errnum, buffer, sizeof buffer);
}

}  // namespace velmora
