#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace velmora {

// Takes bytes piece by piece; false once it wants no more (a write failed,
// a reader has seen enough).
using ByteSink = std::function<bool(std::string_view piece)>;

// A text read in pieces: hands them in order to the function it is given,
// stopping when that returns false, and can do so again. False when the text
// could not be read.
using TextSource = std::function<bool(const ByteSink&)>;

// The size of the pieces that files, documents and frames are read and
// written in: small enough to stay in the processor's cache, and a reader
// that decodes as it reads holds no more of a large document than this.
inline constexpr std::size_t kPieceBytes = 64 * 1024;

}  // namespace velmora
