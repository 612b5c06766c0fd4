#include "platform/system.h"

#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/posix_env.h"

namespace velmora {

Env& systemEnv() {
  static PosixEnv env;
  return env;
}

void prepareStandardStreams() { ::signal(SIGPIPE, SIG_IGN); }

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
