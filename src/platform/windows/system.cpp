#include "platform/system.h"

#include <fcntl.h>
#include <io.h>
#include <malloc.h>
#include <windows.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/windows/windows_env.h"

namespace velmora {

Env& systemEnv() {
  static WindowsEnv env;
  return env;
}

void prepareStandardStreams() {
  // Text mode would turn every \n of a frame into \r\n and stop reading at a
  // Ctrl-Z byte; log lines end in \n alone as on Linux.
  for (int fd = 0; fd <= 2; ++fd) ::_setmode(fd, _O_BINARY);
}

bool inputIsTerminal() {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  return input != nullptr && input != INVALID_HANDLE_VALUE &&
         ::GetFileType(input) == FILE_TYPE_CHAR && ::GetConsoleMode(input, &mode) != 0;
}

bool inputWithin(int fd, int milliseconds) {
  // Pipes cannot be waited on: they are asked, with pauses, until the time
  // is up. An ended pipe counts as input, which the next read sees.
  const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE || ::GetFileType(handle) != FILE_TYPE_PIPE) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    DWORD available = 0;
    if (!::PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr) || available > 0) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void releaseFreeMemory() { ::_heapmin(); }

std::string errnoText(int errnum) {
  char buffer[256];
  if (::strerror_s(buffer, sizeof buffer, errnum) != 0) return "error " + std::to_string(errnum);
  return buffer;
}

}  // namespace velmora
