#include "base/text.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstdio>

namespace velmora {
namespace {

// Length of the valid UTF-8 sequence at the start of `text`, or a negative
// value when its first byte starts none.
utf8proc_ssize_t nextCodePoint(std::string_view text, utf8proc_int32_t& codePoint) {
  // utf8proc reads at most four bytes and stops at the given length.
  return utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                          static_cast<utf8proc_ssize_t>(std::min<std::size_t>(text.size(), 4)),
                          &codePoint);
}

bool isPlainAscii(unsigned char c) { return c >= 0x20 && c < 0x7f; }

void appendHex(std::string& out, const char* format, unsigned value) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, format, value);
  out += buffer;
}

}  // namespace

std::string validUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    if (static_cast<unsigned char>(text.front()) < 0x80) {
      out += text.front();
      text.remove_prefix(1);
      continue;
    }
    utf8proc_int32_t codePoint;
    const utf8proc_ssize_t length = nextCodePoint(text, codePoint);
    if (length > 0) {
      out.append(text.substr(0, static_cast<std::size_t>(length)));
      text.remove_prefix(static_cast<std::size_t>(length));
    } else {
      out += "\xEF\xBF\xBD";
      text.remove_prefix(1);
    }
  }
  return out;
}

std::string escapeControlCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const auto byte = static_cast<unsigned char>(text.front());
    if (isPlainAscii(byte)) {
      out += text.front();
      text.remove_prefix(1);
      continue;
    }
    if (byte < 0x80) {
      switch (byte) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: appendHex(out, "\\x%02x", byte);
      }
      text.remove_prefix(1);
      continue;
    }
    utf8proc_int32_t codePoint;
    const utf8proc_ssize_t length = nextCodePoint(text, codePoint);
    if (length <= 0) {
      appendHex(out, "\\x%02x", byte);
      text.remove_prefix(1);
      continue;
    }
    // C1 controls (CSI among them) drive terminals as their escape forms do.
    if (codePoint < 0xa0) {
      appendHex(out, "\\u%04x", static_cast<unsigned>(codePoint));
    } else {
      out.append(text.substr(0, static_cast<std::size_t>(length)));
    }
    text.remove_prefix(static_cast<std::size_t>(length));
  }
  return out;
}

}  // namespace velmora
