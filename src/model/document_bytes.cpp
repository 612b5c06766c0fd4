#include "model/document_bytes.h"

#include <algorithm>
#include <bit>
#include <boost/json/serializer.hpp>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora {

namespace {

// In JSON text a "/" can only stand inside a string (numbers, literals and
// structure never hold one), so escaping every "/" of the serialiser's
// output escapes exactly the ones inside strings.
void appendEscapingSlashes(std::string& out, std::string_view chunk) {
  while (!chunk.empty()) {
    const void* slash = std::memchr(chunk.data(), '/', chunk.size());
    if (slash == nullptr) {
      out.append(chunk);
      return;
    }
    std::size_t before = static_cast<const char*>(slash) - chunk.data();
    out.append(chunk.data(), before).append("\\/");
    chunk.remove_prefix(before + 1);
  }
}

void drain(boost::json::serializer& serializer, std::string& out) {
  char buffer[4096];
  while (!serializer.done()) appendEscapingSlashes(out, serializer.read(buffer, sizeof buffer));
}

}  // namespace

TextSource withPlainSlashes(const TextSource& document) {
  return [&document](const std::function<bool(std::string_view)>& piece) {
    std::string plain;
    bool inEscape = false;  // the last piece ended with an escape's backslash
    bool more = true;
    const bool read = document([&](std::string_view text) {
      plain.clear();
      std::size_t at = 0;
      if (inEscape && !text.empty()) {
        if (text[0] != '/') plain.push_back('\\');
        plain.push_back(text[0]);
        inEscape = false;
        at = 1;
      }
      while (at < text.size()) {
        const std::size_t backslash = text.find('\\', at);
        if (backslash == std::string_view::npos) {
          plain.append(text.substr(at));
          break;
        }
        plain.append(text.substr(at, backslash - at));
        if (backslash + 1 == text.size()) {
          inEscape = true;
          break;
        }
        if (text[backslash + 1] != '/') plain.push_back('\\');
        plain.push_back(text[backslash + 1]);
        at = backslash + 2;
      }
      return more = piece(plain);
    });
    if (read && more && inEscape) piece("\\");
    return read;
  };
}

std::string documentBytes(const boost::json::value& document) {
  boost::json::serializer serializer;
  serializer.reset(&document);
  std::string out;
  drain(serializer, out);
  return out;
}

namespace {

// A text is gone through a block of bytes at a time, each block's marks
// telling which of its bytes may be ones a string writer must look at: a
// control character, '"', '\\' or '/'. No such byte is left unmarked.
#if defined(__SSE2__)
constexpr std::size_t kBlock = 16;

// Bit i marks byte i, and only the bytes looked for.
unsigned marksOf(const char* block) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(bytes, _mm_set1_epi8(0x1f)), bytes);
  const __m128i quote = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'));
  const __m128i slash = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('/'));
  return static_cast<unsigned>(_mm_movemask_epi8(
      _mm_or_si128(_mm_or_si128(control, quote), _mm_or_si128(backslash, slash))));
}
#else
constexpr std::size_t kBlock = 8;

// Every byte is marked when one may be looked for: the bit tricks set the
// high bit of a byte below 0x20, or zero once xor-ed with '"', '\\' or '/',
// but may set it in bytes after such a one too.
unsigned marksOf(const char* block) {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHighs = 0x8080808080808080;
  const auto zeroByte = [](std::uint64_t v) { return (v - kOnes) & ~v; };
  std::uint64_t x;
  std::memcpy(&x, block, sizeof x);
  const std::uint64_t found = ((x - kOnes * 0x20) & ~x) | zeroByte(x ^ (kOnes * '"')) |
                              zeroByte(x ^ (kOnes * '\\')) | zeroByte(x ^ (kOnes * '/'));
  return (found & kHighs) != 0 ? 0xffu : 0u;
}
#endif

// The bytes the serialiser escapes in a string.
bool isEscaped(char c) { return static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\'; }

// Appends the text as the serialiser writes a string, every "/" as "\/",
// when it holds no byte the serialiser escapes; false, appending nothing,
// when it does. Most texts hold none, and are written here without the
// serialiser's cost per call.
bool appendPlainString(std::string& out, std::string_view text) {
  const std::size_t start = out.size();
  // Room for every byte escaped, and for a whole block copied past the end.
  out.resize(start + 2 * text.size() + 2 + kBlock);
  char* to = out.data() + start;
  *to++ = '"';
  // Each block is copied here first, so that copying a whole block from
  // anywhere in it stays inside.
  char window[2 * kBlock] = {};
  for (std::size_t at = 0; at < text.size(); at += kBlock) {
    const std::size_t length = std::min(kBlock, text.size() - at);
    // A copy of a known size is a move of a register, not a call.
    if (length == kBlock) {
      std::memcpy(window, text.data() + at, kBlock);
    } else {
      std::memcpy(window, text.data() + at, length);
    }
    unsigned marks = marksOf(window) & ((1u << length) - 1);
    std::size_t copied = 0;
    for (; marks != 0; marks &= marks - 1) {
      const auto marked = static_cast<std::size_t>(std::countr_zero(marks));
      if (window[marked] != '/') {
        if (!isEscaped(window[marked])) continue;
        out.resize(start);
        return false;
      }
      std::memcpy(to, window + copied, kBlock);
      to += marked - copied;
      *to++ = '\\';
      *to++ = '/';
      copied = marked + 1;
    }
    std::memcpy(to, window + copied, kBlock);
    to += length - copied;
  }
  *to++ = '"';
  out.resize(static_cast<std::size_t>(to - out.data()));
  return true;
}

}  // namespace

void DocumentWriter::string(std::string_view text) {
  if (appendPlainString(out_, text)) return;
  serializer_.reset(boost::json::string_view(text.data(), text.size()));
  drain(serializer_, out_);
}

void DocumentWriter::integer(std::int64_t number) {
  char digits[24];
  const auto [end, error] = std::to_chars(digits, digits + sizeof digits, number);
  out_.append(digits, end);
}

}  // namespace velmora
