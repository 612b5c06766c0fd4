#pragma once

#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>
#include <boost/system/error_code.hpp>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/text_source.h"

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

// What a reader that builds its records straight from the text, without a
// tree, is told about it: the parser's events in text order. Keys and
// strings come in pieces (escapes decoded, `last` on the final one); numbers
// come in the kinds a tree would hold them in.
class JsonEvents {
 public:
  virtual ~JsonEvents() = default;
  // Called before the text is read, and again before a second reading.
  virtual void reset() = 0;
  virtual void objectBegin() = 0;
  // With the number of members or elements, repeated keys counted.
  virtual void objectEnd(std::size_t size) = 0;
  virtual void arrayBegin() = 0;
  virtual void arrayEnd(std::size_t size) = 0;
  virtual void keyPart(std::string_view piece, bool last) = 0;
  virtual void stringPart(std::string_view piece, bool last) = 0;
  virtual void int64Value(std::int64_t value) = 0;
  virtual void uint64Value(std::uint64_t value) = 0;
  virtual void doubleValue(double value) = 0;
  virtual void boolValue(bool value) = 0;
  virtual void nullValue() = 0;
};

// Reads the text into `events` by exactly the rules of parseJson: a text
// fails here when it fails there, and lone surrogate halves read as U+FFFD
// (the text is then read a second time, after reset()). The events of a
// failed reading are to be thrown away. Exceptions of `events` pass through.
boost::system::error_code readJson(std::string_view text, JsonEvents& events);

// The same for a text read in pieces, which is never held whole, and read
// once: lone surrogate halves are replaced as the pieces pass. A source that
// fails fails the reading with io_error.
boost::system::error_code readJson(const TextSource& source, JsonEvents& events);

}  // namespace velmora
