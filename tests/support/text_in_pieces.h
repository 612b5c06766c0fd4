#pragma once

#include <cstddef>
#include <string_view>

#include "base/text_source.h"

namespace velmora {

// A text held whole, handed over in pieces of `size` bytes, as a file or the
// input hands it over; `text` must outlive the source.
inline TextSource inPieces(std::string_view text, std::size_t size) {
  return [text, size](const ByteSink& piece) {
    for (std::size_t at = 0; at < text.size(); at += size) {
      if (!piece(text.substr(at, size))) break;
    }
    return true;
  };
}

}  // namespace velmora
