#include "model/normalized_url.h"

#include <boost/url/encode.hpp>
#include <boost/url/grammar/digit_chars.hpp>
#include <boost/url/grammar/parse.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/pct_string_view.hpp>
#include <boost/url/rfc/pct_encoded_rule.hpp>
#include <boost/url/rfc/sub_delim_chars.hpp>
#include <boost/url/rfc/unreserved_chars.hpp>
#include <boost/url/url_view.hpp>
#include <exception>
#include <optional>

#include "model/unicode_text.h"

namespace velmora {

namespace {

constexpr std::string_view kDefaultHttpPort = "80";
constexpr std::string_view kDefaultHttpsPort = "443";
constexpr auto kRegNameChars = boost::urls::unreserved_chars + boost::urls::sub_delim_chars;

bool startsWithIgnoringAsciiCase(std::string_view text, std::string_view lower) {
  if (text.size() < lower.size()) return false;
  for (std::size_t i = 0; i < lower.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// The parts of the authority and the path as they stand in the text.
struct HostPortPath {
  boost::urls::pct_string_view host;
  bool hostIsName = false;
  std::string_view port;  // digits; empty when there is no port
  std::string_view path;
};

// The parser lets a path follow the authority without a "/" ("host:443.evil/x"),
// which is no URL. Boost.URL 1.81 also reads a host that only opens like an
// IPv4 address ("10.0.0.1.nip.io", "1.2.3.4.") as that address and the rest as
// such a path, where RFC 3986 reads the whole as a name: the host runs to ":"
// or to the end of the authority.
std::optional<HostPortPath> hostPortPath(const boost::urls::url_view& view) {
  HostPortPath parts{view.encoded_host(), view.host_type() == boost::urls::host_type::name,
                     view.port(), view.encoded_path()};
  if (!view.has_authority() || parts.path.empty() || parts.path.front() == '/') return parts;
  if (view.host_type() != boost::urls::host_type::ipv4) return std::nullopt;

  // Query and fragment were split off right, so host and path run up to them.
  const char* first = view.encoded_host().data();
  std::string_view rest(first, static_cast<std::size_t>(parts.path.data() + parts.path.size() - first));
  std::size_t pathStart = std::min(rest.find('/'), rest.size());
  std::string_view hostAndPort = rest.substr(0, pathStart);
  std::size_t colon = std::min(hostAndPort.find(':'), hostAndPort.size());
  auto name = boost::urls::grammar::parse(hostAndPort.substr(0, colon),
                                          boost::urls::pct_encoded_rule(kRegNameChars));
  std::string_view port = hostAndPort.substr(std::min(colon + 1, hostAndPort.size()));
  if (!name || boost::urls::grammar::find_if_not(port.begin(), port.end(),
                                                 boost::urls::grammar::digit_chars) != port.end()) {
    return std::nullopt;
  }
  return HostPortPath{*name, true, port, rest.substr(pathStart)};
}

// Appends the host lower-cased. A registered name with escapes is read with
// them resolved, lowered and escaped again only where a host may not hold the
// character. Without escapes a host is ASCII (IP literals hold no escapes
// either), so lowering its letters where it stands is enough.
void appendLowerCasedHost(std::string& out, const HostPortPath& parts) {
  if (parts.hostIsName && parts.host.find('%') != std::string_view::npos) {
    out.append(boost::urls::encode(lowerCased(parts.host.decode()), kRegNameChars));
    return;
  }
  std::size_t start = out.size();
  out.append(parts.host);
  for (std::size_t i = start; i < out.size(); ++i) {
    if (out[i] >= 'A' && out[i] <= 'Z') out[i] = static_cast<char>(out[i] - 'A' + 'a');
  }
}

// The port is a number: leading zeros are no part of it.
std::string_view portNumber(std::string_view digits) {
  if (digits.empty()) return digits;
  digits.remove_prefix(std::min(digits.find_first_not_of('0'), digits.size() - 1));
  return digits;
}

// True when no step can change the text: another scheme or none, or a
// lower-case http or https URL without fragment, with no port, escape or
// upper-case letter in its authority and no lone root path. Such a text
// stands for itself whether it is a URL reference or not, so it needs no
// parse. Anything else may be changed; the parse decides.
bool staysAsWritten(std::string_view text) {
  std::string_view rest;
  if (text.starts_with("https:")) {
    rest = text.substr(6);
  } else if (text.starts_with("http:")) {
    rest = text.substr(5);
  } else {
    return !startsWithIgnoringAsciiCase(text, "http:") &&
           !startsWithIgnoringAsciiCase(text, "https:");
  }
  if (rest.find('#') != std::string_view::npos) return false;
  if (rest.starts_with("//")) {
    rest.remove_prefix(2);
    // The user information is no step's business, but telling it apart from
    // the host is the parser's; so no ":" at all, which leaves out any port.
    std::size_t end = std::min(rest.find_first_of("/?"), rest.size());
    for (char c : rest.substr(0, end)) {
      if (c == ':' || c == '%' || (c >= 'A' && c <= 'Z')) return false;
    }
    rest.remove_prefix(end);
  }
  return rest != "/" && !rest.starts_with("/?");
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
  std::optional<HostPortPath> parts = hostPortPath(view);
  if (!parts) return std::string(text);

  // Put together from the parsed parts rather than by editing a mutable URL:
  // this is one allocation instead of a copy and several shifts of the text.
  std::string out;
  out.reserve(text.size());
  out.append(https ? "https:" : "http:");
  if (view.has_authority()) {
    out.append("//");
    if (view.has_userinfo()) out.append(view.encoded_userinfo()).push_back('@');
    appendLowerCasedHost(out, *parts);
    std::string_view port = portNumber(parts->port);
    if (!port.empty() && port != (https ? kDefaultHttpsPort : kDefaultHttpPort)) {
      out.append(":").append(port);
    }
  }
  if (parts->path != "/") out.append(parts->path);
  if (view.has_query()) out.append("?").append(view.encoded_query());
  // The fragment is left out.
  return out;
}

}  // namespace

std::string normalizedURL(std::string_view url) {
  // Most addresses are already in their normal form, and a scan that says so
  // costs a fraction of a parse.
  if (staysAsWritten(url)) return std::string(url);
  return detail::normalizedURLByParsing(url);
}

std::string detail::normalizedURLByParsing(std::string_view url) {
  try {
    return normalize(url);
  } catch (const std::exception&) {
    // Only running out of memory can throw here; the address then stands for
    // itself.
    return std::string(url);
  }
}

}  // namespace velmora
