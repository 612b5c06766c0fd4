#pragma once

#include <boost/json/serializer.hpp>
#include <boost/json/value.hpp>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/text_source.h"

namespace velmora {

// The byte form of every document this system writes: compact UTF-8, members
// in their stored order, every "/" inside a string written as "\/", text
// outside ASCII as raw UTF-8, quotation mark, backslash and control characters
// escaped. Doubles are written so that they read back to the same value.
std::string documentBytes(const boost::json::value& document);

// The same JSON text with every "\/" of this byte form turned back into
// "/", handed on piece by piece; every other escape passes as it is, also
// when a piece ends inside one. The parser reads a string with escapes in it
// character by character, several times slower than a plain one. The result
// reads `document`, which must outlive it.
TextSource withPlainSlashes(const TextSource& document);

// The same byte form written piece by piece, for a document too large to be
// worth a tree: strings go through the same serialiser and escaping as
// documentBytes, so the pieces join exactly as the tree would be written.
class DocumentWriter {
 public:
  explicit DocumentWriter(std::string& out) : out_(out) {}

  // Structure and member names, written as given: {"id":
  void raw(std::string_view text) { out_.append(text); }
  void string(std::string_view text);
  void integer(std::int64_t number);
  void boolean(bool value) { out_.append(value ? "true" : "false"); }

 private:
  std::string& out_;
  boost::json::serializer serializer_;
};

}  // namespace velmora
