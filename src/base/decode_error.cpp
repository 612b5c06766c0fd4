#include "base/decode_error.h"

#include <utility>

namespace velmora {

Error lacksMember(std::string_view where, std::string_view key) {
  std::string text(where);
  text.append(" lacks \"").append(key).append("\"");
  return Error{std::move(text)};
}

Error memberIsNot(std::string_view where, std::string_view key, std::string_view what) {
  std::string text(where);
  text.append(".").append(key).append(" is not ").append(what);
  return Error{std::move(text)};
}

Error valueIsNot(std::string_view where, std::string_view what) {
  std::string text(where);
  text.append(" is not ").append(what);
  return Error{std::move(text)};
}

Error tooLargeToRead(std::string_view where) {
  return Error{std::string(where) + " is too large to read"};
}

std::string elementName(std::string_view where, std::size_t index) {
  std::string name(where);
  name.append("[").append(std::to_string(index)).append("]");
  return name;
}

}  // namespace velmora
