#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Text comparison by Unicode canonical equivalence: a precomposed letter and
// the same letter written with a combining mark are one text. Both sides are
// brought to NFC; pure ASCII is its own NFC and skips the work.
namespace velmora {

// True when every byte is below 0x80.
bool isAscii(std::string_view text);

// The NFC form of UTF-8 text. Bytes that are not valid UTF-8 are returned
// unchanged, so such text is only ever equal to itself.
std::string canonicalForm(std::string_view utf8);

bool canonicallyEqual(std::string_view a, std::string_view b);

// Agrees with canonicallyEqual: the hash of the NFC bytes.
std::size_t canonicalHash(std::string_view text);

// The full lower-case mapping of every code point, without regard to
// context. Bytes that are not valid UTF-8 are kept; ASCII letters among them
// are still lowered.
std::string lowerCased(std::string_view utf8);

// Hash and equality functors for containers keyed by canonical equivalence.
struct CanonicalHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const { return canonicalHash(text); }
};
struct CanonicalEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return canonicallyEqual(a, b); }
};

}  // namespace velmora
