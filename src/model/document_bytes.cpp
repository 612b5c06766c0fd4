#include "model/document_bytes.h"

#include <boost/json/serializer.hpp>
#include <charconv>
#include <cstring>
#include <functional>
#include <string>

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

void DocumentWriter::string(std::string_view text) {
  serializer_.reset(boost::json::string_view(text.data(), text.size()));
  drain(serializer_, out_);
}

void DocumentWriter::integer(std::int64_t number) {
  char digits[24];
  const auto [end, error] = std::to_chars(digits, digits + sizeof digits, number);
  out_.append(digits, end);
}

}  // namespace velmora
