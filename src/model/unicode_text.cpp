#include "model/unicode_text.h"

#include <utf8proc.h>

#include <boost/url/grammar/ci_string.hpp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

namespace velmora {

namespace {

struct FreeDeleter {
  void operator()(utf8proc_uint8_t* p) const { std::free(p); }
};

}  // namespace

bool isAscii(std::string_view text) {
  // Eight bytes at a time: titles and URLs are mostly long ASCII runs.
  const char* p = text.data();
  std::size_t n = text.size();
  while (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if (word & 0x8080808080808080ULL) return false;
    p += 8;
    n -= 8;
  }
  for (; n > 0; ++p, --n) {
    if (static_cast<unsigned char>(*p) & 0x80) return false;
  }
  return true;
}

std::string canonicalForm(std::string_view utf8) {
  if (isAscii(utf8)) return std::string(utf8);
  utf8proc_uint8_t* out = nullptr;
  utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(utf8.data()),
                   static_cast<utf8proc_ssize_t>(utf8.size()), &out,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  std::unique_ptr<utf8proc_uint8_t, FreeDeleter> owned(out);
  if (length < 0) return std::string(utf8);
  return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  // Two different ASCII texts are never equivalent. ASCII against non-ASCII
  // may be: a few canonical singletons, such as the Kelvin sign, stand for
  // plain ASCII letters.
  if (isAscii(a) && isAscii(b)) return false;
  return canonicalForm(a) == canonicalForm(b);
}

std::size_t canonicalHash(std::string_view text) {
  if (isAscii(text)) return std::hash<std::string_view>{}(text);
  return std::hash<std::string>{}(canonicalForm(text));
}

namespace {

// The one code point whose full lower-case mapping is longer than its simple
// one: capital I with dot above becomes i followed by a combining dot.
constexpr utf8proc_int32_t kCapitalIWithDotAbove = 0x0130;

void appendCodePoint(std::string& out, utf8proc_int32_t cp) {
  utf8proc_uint8_t buffer[4];
  utf8proc_ssize_t n = utf8proc_encode_char(cp, buffer);
  out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
}

}  // namespace

std::string lowerCased(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(utf8.data());
  auto remaining = static_cast<utf8proc_ssize_t>(utf8.size());
  while (remaining > 0) {
    if (*p < 0x80) {
      out.push_back(boost::urls::grammar::to_lower(static_cast<char>(*p)));
      ++p;
      --remaining;
      continue;
    }
    utf8proc_int32_t cp = 0;
    utf8proc_ssize_t n = utf8proc_iterate(p, remaining, &cp);
    if (n <= 0) {
      // Not UTF-8 here: keep the byte as it is and go on.
      out.push_back(static_cast<char>(*p));
      ++p;
      --remaining;
      continue;
    }
    if (cp == kCapitalIWithDotAbove) {
      out.append("i\xCC\x87");
    } else {
      appendCodePoint(out, utf8proc_tolower(cp));
    }
    p += n;
    remaining -= n;
  }
  return out;
}

}  // namespace velmora
