#include "platform/os_error.h"

#include <cstring>
#include <string>

namespace velmora {

Error systemError(std::string_view what, int errnum) {
  std::string text(what);
  text += ": ";
  // strerror_r in its GNU form: it may return a static string instead of
  // filling the buffer.
  char buffer[256];
  text += ::strerror_r(errnum, buffer, sizeof buffer);
  return Error{std::move(text), errnum};
}

namespace {

std::string actionOn(std::string_view action, const std::filesystem::path& path) {
  std::string what(action);
  what += ' ';
  what += path.string();
  return what;
}

}  // namespace

Error osError(std::string_view action, const std::filesystem::path& path, int errnum) {
  return systemError(actionOn(action, path), errnum);
}

Error fileError(std::string_view action, const std::filesystem::path& path,
                std::string_view reason) {
  return Error{actionOn(action, path) + ": " + std::string(reason)};
}

}  // namespace velmora
