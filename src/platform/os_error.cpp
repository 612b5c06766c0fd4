#include "platform/os_error.h"

#include <string>

#include "platform/env.h"
#include "platform/system.h"

namespace velmora {

Error systemError(std::string_view what, int errnum) {
  std::string text(what);
  text += ": ";
  text += errnoText(errnum);
  return Error{std::move(text), errnum};
}

namespace {

std::string actionOn(std::string_view action, const std::filesystem::path& path) {
  std::string what(action);
  what += ' ';
  what += utf8Text(path);
  return what;
}

}  // namespace

Error osError(std::string_view action, const std::filesystem::path& path, int errnum) {
  return systemError(actionOn(action, path), errnum);
}

Error syncError(const std::filesystem::path& path, int errnum) {
  return systemError(actionOn("cannot flush", path) + " to disk", errnum);
}

Error fileError(std::string_view action, const std::filesystem::path& path,
                std::string_view reason) {
  return Error{actionOn(action, path) + ": " + std::string(reason)};
}

}  // namespace velmora
