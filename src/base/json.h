#pragma once

#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>
#include <boost/system/error_code.hpp>
#include <cstddef>
#include <string_view>

// Parsing the JSON that reaches the host from outside: messages, and the
// files that others may have written.
namespace velmora {

// JSON nesting accepted; the parser's default of 32 would turn a deeply
// nested extra key into an unusable message or file.
inline constexpr std::size_t kMaxJsonDepth = 256;

// Parses the text, up to kMaxJsonDepth deep. A "\uD800"-"\uDFFF" escape that
// is not half of a valid pair stands for U+FFFD: browsers send such halves
// when a page's text was cut inside a pair, and their own UTF-8 conversion
// turns them into U+FFFD too.
boost::json::value parseJson(std::string_view text, boost::system::error_code& ec,
                             boost::json::storage_ptr storage = {});

}  // namespace velmora
