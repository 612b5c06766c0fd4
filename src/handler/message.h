#pragma once

#include <boost/json/object.hpp>
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "base/text_source.h"
#include "model/safari_tab.h"

namespace velmora {

// A message dictionary read from its JSON text in one pass: "tabs", the one
// member that can be large, straight into records; every other member into
// a tree, as the dispatch reads it.
struct Message {
  boost::json::object members;  // all but "tabs"
  // "tabs" is an array whose every element is an object.
  bool tabsAreObjects = false;
  // The records of "tabs", or the first entry's failure in array order.
  Result<std::vector<SafariTab>> tabs = std::vector<SafariTab>();
};

// Reads the text by the rules of parseJson. Nothing when it is not JSON or
// not an object: an unusable envelope. A member given twice counts with its
// last value, as in a parsed tree. Running out of memory while reading
// "tabs" is answered as tabs too large to read, the rest still read.
std::optional<Message> readMessage(std::string_view text);

// The same for a text read in pieces, once, as it arrives; `bytes`, its
// length, sizes the records beforehand.
std::optional<Message> readMessage(const TextSource& text, std::size_t bytes);

}  // namespace velmora
