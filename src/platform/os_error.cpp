#include "platform/os_error.h"

#include <cerrno>
#include <new>
#include <string>
#include <system_error>

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

Error thrownError(std::string_view what, const std::exception& thrown) {
  if (dynamic_cast<const std::bad_alloc*>(&thrown) != nullptr) return systemError(what, ENOMEM);
  std::string text(what);
  text += ": ";
  if (const auto* system = dynamic_cast<const std::system_error*>(&thrown)) {
    // The what() of a system_error repeats the thrower's own prefix; the
    // code's message is the system's reason alone.
    text += system->code().message();
    const bool isErrno = system->code().category() == std::generic_category();
    return Error{std::move(text), isErrno ? system->code().value() : 0};
  }
  text += thrown.what();
  return Error{std::move(text)};
}

}  // namespace velmora
