#include "model/document_bytes.h"

#include <boost/json/serializer.hpp>
#include <cstring>

namespace velmora {

std::string documentBytes(const boost::json::value& document) {
  // In JSON text a "/" can only stand inside a string (numbers, literals and
  // structure never hold one), so escaping every "/" of the serialiser's
  // output escapes exactly the ones inside strings.
  boost::json::serializer serializer;
  serializer.reset(&document);
  std::string out;
  char buffer[16384];
  while (!serializer.done()) {
    std::string_view chunk = serializer.read(buffer, sizeof buffer);
    while (!chunk.empty()) {
      const void* slash = std::memchr(chunk.data(), '/', chunk.size());
      if (slash == nullptr) {
        out.append(chunk);
        break;
      }
      std::size_t before = static_cast<const char*>(slash) - chunk.data();
      out.append(chunk.data(), before).append("\\/");
      chunk.remove_prefix(before + 1);
    }
  }
  return out;
}

}  // namespace velmora
