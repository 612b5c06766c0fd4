#include "platform/os_error.h"

#include <cstring>
#include <string>

namespace velmora {

Error osError(std::string_view action, const std::filesystem::path& path, int errnum) {
  std::string text(action);
  text += ' ';
  text += path.string();
  text += ": ";
  // strerror_r in its GNU form: it may return a static string instead of
  // filling the buffer.
  char buffer[256];
  text += ::strerror_r(errnum, buffer, sizeof buffer);
  return Error{std::move(text)};
}

}  // namespace velmora
