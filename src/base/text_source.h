#pragma once

#include <functional>
#include <string_view>

namespace velmora {

// A text read in pieces: hands them in order to the function it is given,
// stopping when that returns false, and can do so again. False when the text
// could not be read.
using TextSource = std::function<bool(const std::function<bool(std::string_view piece)>&)>;

}  // namespace velmora
