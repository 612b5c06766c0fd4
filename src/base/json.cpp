#include "base/json.h"

#include <boost/json/error.hpp>
#include <boost/json/parse.hpp>
#include <optional>
#include <string>
#include <utility>

namespace velmora {
namespace {

// The value of the four hex digits at the start of `text`, if they are four.
std::optional<unsigned> hexQuad(std::string_view text) {
  if (text.size() < 4) return std::nullopt;
  unsigned value = 0;
  for (char c : text.substr(0, 4)) {
    value <<= 4;
    if (c >= '0' && c <= '9') {
      value |= static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      value |= static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      value |= static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
  }
  return value;
}

// The UTF-16 escape at the start of `text` ("\uXXXX"), if there is one.
std::optional<unsigned> utf16Escape(std::string_view text) {
  if (text.size() < 6 || text[0] != '\\' || text[1] != 'u') return std::nullopt;
  return hexQuad(text.substr(2));
}

bool isHighSurrogate(unsigned unit) { return unit >= 0xd800 && unit <= 0xdbff; }
bool isLowSurrogate(unsigned unit) { return unit >= 0xdc00 && unit <= 0xdfff; }

// The text with every unpaired surrogate escape replaced by "\ufffd"; nothing
// when there is none. Escapes are taken two characters at a time, so "\\u"
// (an escaped backslash before a "u") is never mistaken for one; outside
// strings a backslash is an error whatever follows it.
std::optional<std::string> withLoneSurrogatesReplaced(std::string_view text) {
  std::string out;
  bool replaced = false;
  std::size_t copied = 0;  // text before this index is in `out` or skipped
  std::size_t i = text.find('\\');
  while (i != std::string_view::npos && i + 1 < text.size()) {
    const std::optional<unsigned> unit = utf16Escape(text.substr(i));
    if (!unit) {
      i = text.find('\\', i + 2);
      continue;
    }
    if (isHighSurrogate(*unit)) {
      const std::optional<unsigned> next = utf16Escape(text.substr(i + 6));
      if (next && isLowSurrogate(*next)) {
        i = text.find('\\', i + 12);
        continue;
      }
    } else if (!isLowSurrogate(*unit)) {
      i = text.find('\\', i + 6);
      continue;
    }
    out.append(text.substr(copied, i - copied));
    out += "\\ufffd";
    copied = i + 6;
    replaced = true;
    i = text.find('\\', copied);
  }
  if (!replaced) return std::nullopt;
  out.append(text.substr(copied));
  return out;
}

bool mayBeLoneSurrogate(const boost::system::error_code& ec) {
  // Depending on where the half stands and what follows it, the parser
  // reports one of these.
  return ec == boost::json::error::illegal_leading_surrogate ||
         ec == boost::json::error::illegal_trailing_surrogate ||
         ec == boost::json::error::expected_hex_digit || ec == boost::json::error::syntax;
}

}  // namespace

boost::json::value parseJson(std::string_view text, boost::system::error_code& ec,
                             boost::json::storage_ptr storage) {
  boost::json::parse_options options;
  options.max_depth = kMaxJsonDepth;
  boost::json::value value = boost::json::parse(text, ec, storage, options);
  // The common text parses at once; only a failed parse pays for the repair.
  if (!ec || !mayBeLoneSurrogate(ec)) return value;
  const std::optional<std::string> repaired = withLoneSurrogatesReplaced(text);
  if (!repaired) return value;
  boost::system::error_code repairedEc;
  boost::json::value repairedValue =
      boost::json::parse(*repaired, repairedEc, std::move(storage), options);
  if (repairedEc) return value;
  ec = {};
  return repairedValue;
}

}  // namespace velmora
