#include "model/normalized_url.h"

#include <boost/url/encode.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/rfc/sub_delim_chars.hpp>
#include <boost/url/rfc/unreserved_chars.hpp>
#include <boost/url/url_view.hpp>
#include <cstdint>
#include <exception>

#include "model/unicode_text.h"

namespace velmora {

namespace {

constexpr std::uint16_t kDefaultHttpPort = 80;
constexpr std::uint16_t kDefaultHttpsPort = 443;

bool startsWithIgnoringAsciiCase(std::string_view text, std::string_view lower) {
  if (text.size() < lower.size()) return false;
  for (std::size_t i = 0; i < lower.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// Appends the host lower-cased. A registered name with escapes is read with
// them resolved, lowered and escaped again only where a host may not hold the
// character. Without escapes a host is ASCII (IP literals hold no escapes
// either), so lowering its letters where it stands is enough.
void appendLowerCasedHost(std::string& out, const boost::urls::url_view& view) {
  std::string_view host = view.encoded_host();
  if (host.find('%') != std::string_view::npos &&
      view.host_type() == boost::urls::host_type::name) {
    static constexpr auto kNameChars = boost::urls::unreserved_chars + boost::urls::sub_delim_chars;
    out.append(boost::urls::encode(lowerCased(view.host()), kNameChars));
    return;
  }
  std::size_t start = out.size();
  out.append(host);
  for (std::size_t i = start; i < out.size(); ++i) {
    if (out[i] >= 'A' && out[i] <= 'Z') out[i] = static_cast<char>(out[i] - 'A' + 'a');
  }
}

std::string normalize(std::string_view text) {
  // The scheme is everything before the first ":", so only a text opening
  // with one of the two accepted schemes can change. Every other text has no
  // scheme, another scheme or is no URL reference at all, and stays as it is
  // without being parsed.
  bool https = startsWithIgnoringAsciiCase(text, "https:");
  if (!https && !startsWithIgnoringAsciiCase(text, "http:")) return std::string(text);
  auto parsed = boost::urls::parse_uri(text);
  if (!parsed) return std::string(text);
  const boost::urls::url_view& view = *parsed;
  // The parser lets a path follow the port without a "/" ("host:443.evil/x"),
  // which is no URL; dropping the port would then run the host into the path.
  std::string_view path = view.encoded_path();
  if (view.has_authority() && !path.empty() && path.front() != '/') return std::string(text);

  // Put together from the parsed parts rather than by editing a mutable URL:
  // this is one allocation instead of a copy and several shifts of the text.
  std::string out;
  out.reserve(text.size());
  out.append(https ? "https:" : "http:");
  if (view.has_authority()) {
    out.append("//");
    if (view.has_userinfo()) out.append(view.encoded_userinfo()).push_back('@');
    appendLowerCasedHost(out, view);
    bool defaultPort = view.port_number() == (https ? kDefaultHttpsPort : kDefaultHttpPort);
    if (view.has_port() && !defaultPort) out.append(":").append(view.port());
  }
  if (path != "/") out.append(path);
  if (view.has_query()) out.append("?").append(view.encoded_query());
  // The fragment is left out.
  return out;
}

}  // namespace

std::string normalizedURL(std::string_view url) {
  try {
    return normalize(url);
  } catch (const std::exception&) {
    // Only running out of memory can throw here; the address then stands for
    // itself.
    return std::string(url);
  }
}

}  // namespace velmora
