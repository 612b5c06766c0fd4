#include "model/normalized_url.h"

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>
#include <cstdint>
#include <exception>

#include "model/unicode_text.h"

namespace velmora {

namespace {

constexpr std::uint16_t kDefaultHttpPort = 80;
constexpr std::uint16_t kDefaultHttpsPort = 443;

bool equalsIgnoringAsciiCase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// Whether the host as written may change when it is decoded, lower-cased and
// encoded again. A host without escapes changes only if it holds capitals.
bool hostMayChange(std::string_view encodedHost) {
  for (char c : encodedHost) {
    if (c == '%' || (c >= 'A' && c <= 'Z')) return true;
  }
  return false;
}

void lowerCaseHost(boost::urls::url& url) {
  if (url.host_type() == boost::urls::host_type::name) {
    // A registered name is compared decoded; setting it back as a name
    // escapes only what a host may not hold.
    url.set_host_name(lowerCased(url.host()));
  } else {
    // IP literals hold no escapes; only hex digits and the "v" of a future
    // address format can be capitals.
    url.set_encoded_host(lowerCased(url.encoded_host()));
  }
}

std::string normalize(std::string_view text) {
  auto parsed = boost::urls::parse_uri_reference(text);
  if (!parsed || !parsed->has_scheme()) return std::string(text);
  const boost::urls::url_view& view = *parsed;

  std::string_view scheme = view.scheme();
  bool https = equalsIgnoringAsciiCase(scheme, "https");
  if (!https && !equalsIgnoringAsciiCase(scheme, "http")) return std::string(text);

  const char* lowerScheme = https ? "https" : "http";
  bool schemeChanges = scheme != lowerScheme;
  bool hostChanges = view.has_authority() && hostMayChange(view.encoded_host());
  bool dropPort =
      view.has_port() && view.port_number() == (https ? kDefaultHttpsPort : kDefaultHttpPort);
  bool emptyPath = view.encoded_path() == "/";
  if (!view.has_fragment() && !schemeChanges && !hostChanges && !dropPort && !emptyPath) {
    return std::string(text);
  }

  boost::urls::url url(view);
  url.remove_fragment();
  if (schemeChanges) url.set_scheme(lowerScheme);
  if (hostChanges) lowerCaseHost(url);
  if (dropPort) url.remove_port();
  if (emptyPath) url.set_encoded_path("");
  return std::string(url.buffer());
}

}  // namespace

std::string normalizedURL(std::string_view url) {
  try {
    return normalize(url);
  } catch (const std::exception&) {
    // The URL library reports impossible edits by throwing; the address then
    // stands for itself.
    return std::string(url);
  }
}

}  // namespace velmora
