#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/status.h"

// How every decoder of the system's JSON forms words what it found wrong, so
// that one fault reads the same whichever reader met it. `where` names the
// value: "tabs[1]", "the snapshot document".
namespace velmora {

// tabs[1] lacks "url"
Error lacksMember(std::string_view where, std::string_view key);

// tabs[0].pinned is not true or false
Error memberIsNot(std::string_view where, std::string_view key, std::string_view what);

// tabs is not an array
Error valueIsNot(std::string_view where, std::string_view what);

// tabs is too large to read
Error tooLargeToRead(std::string_view where);

// tabs[3]
std::string elementName(std::string_view where, std::size_t index);

}  // namespace velmora
