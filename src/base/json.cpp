#include "base/json.h"

#include <boost/json/array.hpp>
#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/error.hpp>
#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/string.hpp>
#include <optional>
#include <string>
#include <system_error>
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

// An escape and the one that may pair with it: \uXXXX\uXXXX.
constexpr std::size_t kEscapePairBytes = 12;

// The first `end` bytes of `text` with every unpaired surrogate escape among
// them replaced by "\ufffd", which is as long, so everything stays where it
// stands; nothing when there is none. The pair of an escape just before `end`
// may lie past it. Escapes are taken two characters at a time, so "\\u" (an
// escaped backslash before a "u") is never mistaken for one; outside strings
// a backslash is an error whatever follows it.
std::optional<std::string> withLoneSurrogatesReplaced(std::string_view text, std::size_t end) {
  std::optional<std::string> replaced;
  for (std::size_t i = text.find('\\'); i < end; i = text.find('\\', i)) {
    const std::optional<unsigned> unit = utf16Escape(text.substr(i));
    const std::optional<unsigned> second = unit ? utf16Escape(text.substr(i + 6)) : std::nullopt;
    if (!unit) {
      i += 2;
    } else if (isHighSurrogate(*unit) && second && isLowSurrogate(*second)) {
      i += kEscapePairBytes;
    } else {
      if (isHighSurrogate(*unit) || isLowSurrogate(*unit)) {
        if (!replaced) replaced.emplace(text.substr(0, end));
        replaced->replace(i, 6, "\\ufffd");
      }
      i += 6;
    }
  }
  return replaced;
}

bool mayBeLoneSurrogate(const boost::system::error_code& ec) {
  // Depending on where the half stands and what follows it, the parser
  // reports one of these.
  return ec == boost::json::error::illegal_leading_surrogate ||
         ec == boost::json::error::illegal_trailing_surrogate ||
         ec == boost::json::error::expected_hex_digit || ec == boost::json::error::syntax;
}

// Reads the text with `read`. A failure that may come from a lone surrogate
// half is read again with every lone half replaced by U+FFFD; that reading
// counts when it succeeds, else the first failure stands.
template <class Read>
boost::system::error_code readRepairingSurrogates(std::string_view text, const Read& read) {
  const boost::system::error_code ec = read(text);
  if (!ec || !mayBeLoneSurrogate(ec)) return ec;
  const std::optional<std::string> repaired = withLoneSurrogatesReplaced(text, text.size());
  if (!repaired || read(*repaired)) return ec;
  return {};
}

boost::json::parse_options readingOptions() {
  boost::json::parse_options options;
  options.max_depth = kMaxJsonDepth;
  return options;
}

// Hands the parser's events on. Its limits are those of the tree parser, so
// that no text is accepted by one and refused by the other.
class EventsHandler {
 public:
  static constexpr std::size_t max_object_size = boost::json::object::max_size();
  static constexpr std::size_t max_array_size = boost::json::array::max_size();
  static constexpr std::size_t max_key_size = boost::json::string::max_size();
  static constexpr std::size_t max_string_size = boost::json::string::max_size();

  explicit EventsHandler(JsonEvents& events) : events_(events) {}

  using ec = boost::system::error_code;
  using sv = boost::json::string_view;
  bool on_document_begin(ec&) { return true; }
  bool on_document_end(ec&) { return true; }
  bool on_object_begin(ec&) { return events_.objectBegin(), true; }
  bool on_object_end(std::size_t n, ec&) { return events_.objectEnd(n), true; }
  bool on_array_begin(ec&) { return events_.arrayBegin(), true; }
  bool on_array_end(std::size_t n, ec&) { return events_.arrayEnd(n), true; }
  bool on_key_part(sv s, std::size_t, ec&) { return events_.keyPart(view(s), false), true; }
  bool on_key(sv s, std::size_t, ec&) { return events_.keyPart(view(s), true), true; }
  bool on_string_part(sv s, std::size_t, ec&) { return events_.stringPart(view(s), false), true; }
  bool on_string(sv s, std::size_t, ec&) { return events_.stringPart(view(s), true), true; }
  bool on_number_part(sv, ec&) { return true; }
  bool on_int64(std::int64_t i, sv, ec&) { return events_.int64Value(i), true; }
  bool on_uint64(std::uint64_t u, sv, ec&) { return events_.uint64Value(u), true; }
  bool on_double(double d, sv, ec&) { return events_.doubleValue(d), true; }
  bool on_bool(bool b, ec&) { return events_.boolValue(b), true; }
  bool on_null(ec&) { return events_.nullValue(), true; }
  bool on_comment_part(sv, ec&) { return true; }
  bool on_comment(sv, ec&) { return true; }

 private:
  static std::string_view view(sv s) { return std::string_view(s.data(), s.size()); }
  JsonEvents& events_;
};

// One reading as boost::json::parse does it: the whole text is one value,
// with nothing but white space after it.
boost::system::error_code readOnce(std::string_view text, JsonEvents& events) {
  events.reset();
  boost::json::basic_parser<EventsHandler> parser(readingOptions(), events);
  boost::system::error_code ec;
  const std::size_t read = parser.write_some(false, text.data(), text.size(), ec);
  if (!ec && read < text.size()) ec = boost::json::error::extra_data;
  return ec;
}

boost::system::error_code readPiecesOnce(const TextSource& source, JsonEvents& events) {
  events.reset();
  boost::json::basic_parser<EventsHandler> parser(readingOptions(), events);
  boost::system::error_code ec;
  const bool read = source([&](std::string_view piece) {
    const std::size_t used = parser.write_some(true, piece.data(), piece.size(), ec);
    if (!ec && used < piece.size()) ec = boost::json::error::extra_data;
    return !ec;
  });
  if (ec) return ec;
  if (!read) return std::make_error_code(std::errc::io_error);
  parser.write_some(false, nullptr, 0, ec);
  return ec;
}

// The parser reads a number fast and exactly when at least this many bytes
// of its piece follow its start, and otherwise byte by byte, rounding a long
// mantissa otherwise.
constexpr std::size_t kNumberReach = 16 + 1 + 16;

// How far before its end a piece is cut at the most, for the two above; a
// text with no such place (thousands of digits, say) is cut where it ends.
constexpr std::size_t kMostHeldBytes = 4096;

bool isNumberByte(char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// Where, at or before `end`, the text may be cut so that the parser reads the
// number nearest before the cut as it reads it in the whole text: no number
// starts within kNumberReach bytes before the cut, nor a backslash within an
// escape pair's reach. Numbers are found by their bytes alone, also inside
// strings, which only cuts earlier. `end` when there is no such place near.
std::size_t cutBeforeNumbers(std::string_view text, std::size_t end) {
  const std::size_t lowest = end > kMostHeldBytes ? end - kMostHeldBytes : 0;
  for (std::size_t cut = end;;) {
    std::size_t blocked = cut;
    for (std::size_t at = cut; at > 0 && cut - at < kNumberReach; --at) {
      const char c = text[at - 1];
      const bool numberStarts =
          (c == '-' || (c >= '0' && c <= '9')) && (at == 1 || !isNumberByte(text[at - 2]));
      if (numberStarts || (c == '\\' && cut - at < kEscapePairBytes)) {
        blocked = at - 1;
        break;
      }
    }
    if (blocked == cut) return cut;
    if (blocked < lowest) return end;
    cut = blocked;
  }
}

// How much of `whole` may be handed on now: an escape whose pair may be cut
// waits, and so do the bytes just after a number starts (cutBeforeNumbers).
std::size_t readyBytes(std::string_view whole) {
  std::size_t end = whole.size();
  for (std::size_t i = whole.find('\\'); i != std::string_view::npos; i = whole.find('\\', i + 2)) {
    if (whole.size() - i < kEscapePairBytes) {
      end = i;
      break;
    }
  }
  return cutBeforeNumbers(whole, end);
}

// The text handed on piece by piece so that the parser reads it as it reads
// the whole text: lone surrogate escapes replaced (the same length, so where
// they stand), and the bytes that readyBytes holds back joined to the next
// piece. The result reads `source`, which must outlive it.
TextSource inPiecesReadAsWhole(const TextSource& source) {
  return [&source](const ByteSink& sink) {
    std::string held;  // bytes of the last piece not handed on yet
    std::string joined;
    bool more = true;
    const bool read = source([&](std::string_view piece) {
      std::string_view whole = piece;
      if (!held.empty()) {
        joined.assign(held).append(piece);
        whole = joined;
      }
      const std::size_t end = readyBytes(whole);
      const std::optional<std::string> replaced = withLoneSurrogatesReplaced(whole, end);
      held.assign(whole.substr(end));
      whole = replaced ? std::string_view(*replaced) : whole.substr(0, end);
      return more = whole.empty() || sink(whole);
    });
    if (read && more && !held.empty()) {
      // The end: what waited is read as the whole-text repair reads it.
      const std::optional<std::string> replaced = withLoneSurrogatesReplaced(held, held.size());
      sink(replaced ? *replaced : held);
    }
    return read;
  };
}

}  // namespace

boost::system::error_code readJson(const TextSource& source, JsonEvents& events) {
  return readPiecesOnce(inPiecesReadAsWhole(source), events);
}

boost::system::error_code readJson(std::string_view text, JsonEvents& events) {
  return readRepairingSurrogates(text,
                                 [&events](std::string_view t) { return readOnce(t, events); });
}

boost::json::value parseJson(std::string_view text, boost::system::error_code& ec,
                             boost::json::storage_ptr storage) {
  const boost::json::parse_options options = readingOptions();
  // Made in the caller's storage, so that what a parse returns moves in.
  boost::json::value value(storage);
  // The common text parses at once; only a failed parse pays for the repair.
  ec = readRepairingSurrogates(text, [&](std::string_view t) {
    boost::system::error_code parsed;
    value = boost::json::parse(t, parsed, storage, options);
    return parsed;
  });
  if (ec) return boost::json::value(std::move(storage));
  return value;
}

}  // namespace velmora
