#include "model/normalized_url.h"

#include <boost/url/encode.hpp>
#include <boost/url/grammar/ci_string.hpp>
#include <boost/url/grammar/digit_chars.hpp>
#include <boost/url/grammar/parse.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/pct_string_view.hpp>
#include <boost/url/rfc/pchars.hpp>
#include <boost/url/rfc/pct_encoded_rule.hpp>
#include <boost/url/rfc/sub_delim_chars.hpp>
#include <boost/url/rfc/unreserved_chars.hpp>
#include <boost/url/url_view.hpp>
#include <algorithm>
#include <exception>
#include <optional>

#include "model/unicode_text.h"

namespace velmora {

namespace {

namespace urls = boost::urls;

constexpr std::string_view kDefaultHttpPort = "80";
constexpr std::string_view kDefaultHttpsPort = "443";
constexpr auto kRegNameChars = urls::unreserved_chars + urls::sub_delim_chars;
constexpr auto kPathChars = urls::pchars + '/';
constexpr auto kQueryChars = urls::pchars + '/' + '?';

bool startsWithIgnoringAsciiCase(std::string_view text, std::string_view lower) {
  if (text.size() < lower.size()) return false;
  for (std::size_t i = 0; i < lower.size(); ++i) {
    if (urls::grammar::to_lower(text[i]) != lower[i]) return false;
  }
  return true;
}

bool isDigits(std::string_view text) {
  return urls::grammar::find_if_not(text.begin(), text.end(), urls::grammar::digit_chars) ==
         text.end();
}

// A character set as a table of its 256 members: one load per character,
// where testing the set takes several operations.
class CharTable {
 public:
  constexpr explicit CharTable(const urls::grammar::lut_chars& chars) : chars_(chars) {
    for (unsigned c = 0; c < 256; ++c) member_[c] = chars(static_cast<unsigned char>(c));
  }
  const urls::grammar::lut_chars& chars() const { return chars_; }
  bool holdsAll(std::string_view text) const {
    return std::all_of(text.begin(), text.end(),
                       [this](char c) { return member_[static_cast<unsigned char>(c)]; });
  }

 private:
  urls::grammar::lut_chars chars_;
  bool member_[256] = {};
};

constexpr CharTable kRegNameTable(kRegNameChars);
constexpr CharTable kPathTable(kPathChars);
constexpr CharTable kQueryTable(kQueryChars);

bool isEncoded(std::string_view text, const CharTable& table) {
  // Most parts hold no escape: one pass over the allowed characters says so
  // at a fraction of the cost of the rule, which checks every escape.
  if (table.holdsAll(text)) return true;
  return urls::grammar::parse(text, urls::pct_encoded_rule(table.chars())).has_value();
}

// The parts the normalised form is put together from, as they stand in the
// text; the fragment is none of them.
struct Parts {
  bool hasAuthority = false;
  std::optional<std::string_view> userinfo;
  std::string_view host;  // as written, escapes and all
  bool hostIsName = false;
  std::string_view port;  // digits; empty when there is no port
  std::string_view path;
  std::optional<std::string_view> query;
};

// Splits "host[:port]" of an authority without user information or IP
// literal, when it is one.
bool readNameAndPort(std::string_view hostAndPort, Parts& parts) {
  std::size_t colon = std::min(hostAndPort.find(':'), hostAndPort.size());
  const std::string_view name = hostAndPort.substr(0, colon);
  parts.port = hostAndPort.substr(std::min(colon + 1, hostAndPort.size()));
  if (!isEncoded(name, kRegNameTable) || !isDigits(parts.port)) return false;
  parts.host = name;
  parts.hostIsName = true;
  return true;
}

// The parser lets a path follow the authority without a "/" ("host:443.evil/x"),
// which is no URL. Boost.URL 1.81 also reads a host that only opens like an
// IPv4 address ("10.0.0.1.nip.io", "1.2.3.4.") as that address and the rest as
// such a path, where RFC 3986 reads the whole as a name: the host runs to ":"
// or to the end of the authority.
std::optional<Parts> partsOfParsed(const urls::url_view& view) {
  Parts parts;
  parts.hasAuthority = view.has_authority();
  if (view.has_userinfo()) parts.userinfo = view.encoded_userinfo();
  parts.host = std::string_view(view.encoded_host().data(), view.encoded_host().size());
  parts.hostIsName = view.host_type() == urls::host_type::name;
  parts.port = view.port();
  parts.path = view.encoded_path();
  if (view.has_query()) parts.query = view.encoded_query();
  if (!parts.hasAuthority || parts.path.empty() || parts.path.front() == '/') return parts;
  if (view.host_type() != urls::host_type::ipv4) return std::nullopt;

  // Query and fragment were split off right, so host and path run up to them.
  const char* first = parts.host.data();
  std::string_view rest(first,
                        static_cast<std::size_t>(parts.path.data() + parts.path.size() - first));
  std::size_t pathStart = std::min(rest.find('/'), rest.size());
  if (!readNameAndPort(rest.substr(0, pathStart), parts)) return std::nullopt;
  parts.path = rest.substr(pathStart);
  return parts;
}

// The common shape, "//" name [":" port] path ["?" query] ["#" fragment] after
// the scheme, split where RFC 3986 splits it and every part checked by the
// URL library's own rules: a fraction of the cost of a full parse. nullopt for
// any other shape (user information, an IP literal, no authority) and for
// whatever the rules reject; the full parse has the last word on those.
std::optional<Parts> plainAddressParts(std::string_view afterScheme) {
  if (!afterScheme.starts_with("//")) return std::nullopt;
  std::string_view rest = afterScheme.substr(2);
  std::size_t fragmentStart = std::min(rest.find('#'), rest.size());
  if (!isEncoded(rest.substr(std::min(fragmentStart + 1, rest.size())), kQueryTable)) {
    return std::nullopt;
  }
  rest = rest.substr(0, fragmentStart);
  Parts parts;
  parts.hasAuthority = true;
  std::size_t queryStart = std::min(rest.find('?'), rest.size());
  if (queryStart < rest.size()) parts.query = rest.substr(queryStart + 1);
  rest = rest.substr(0, queryStart);
  std::size_t pathStart = std::min(rest.find('/'), rest.size());
  parts.path = rest.substr(pathStart);
  if (!readNameAndPort(rest.substr(0, pathStart), parts) || !isEncoded(parts.path, kPathTable) ||
      (parts.query && !isEncoded(*parts.query, kQueryTable))) {
    return std::nullopt;
  }
  return parts;
}

// Appends the host lower-cased. A registered name with escapes is read with
// them resolved, lowered and escaped again only where a host may not hold the
// character. Without escapes a host is ASCII (IP literals hold no escapes
// either), so lowering its letters where it stands is enough.
void appendLowerCasedHost(std::string& out, const Parts& parts) {
  if (parts.hostIsName && parts.host.find('%') != std::string_view::npos) {
    // Checked as an encoded name already, so this never fails.
    const urls::pct_string_view name = urls::make_pct_string_view(parts.host).value();
    out.append(urls::encode(lowerCased(name.decode()), kRegNameChars));
    return;
  }
  const std::size_t start = out.size();
  out.append(parts.host);
  char* const host = out.data() + start;
  for (std::size_t i = 0; i < parts.host.size(); ++i) host[i] = urls::grammar::to_lower(host[i]);
}

// The port is a number: leading zeros are no part of it.
std::string_view portNumber(std::string_view digits) {
  if (digits.empty()) return digits;
  digits.remove_prefix(std::min(digits.find_first_not_of('0'), digits.size() - 1));
  return digits;
}

// Put together from the parts into `out` rather than by editing a mutable
// URL: this is at most one allocation instead of a copy and several shifts of
// the text.
void assemble(bool https, const Parts& parts, std::size_t sizeHint, std::string& out) {
  out.clear();
  out.reserve(sizeHint);
  out.append(https ? "https:" : "http:");
  if (parts.hasAuthority) {
    out.append("//");
    if (parts.userinfo) out.append(*parts.userinfo).push_back('@');
    appendLowerCasedHost(out, parts);
    std::string_view port = portNumber(parts.port);
    if (!port.empty() && port != (https ? kDefaultHttpsPort : kDefaultHttpPort)) {
      out.append(":").append(port);
    }
  }
  if (parts.path != "/") out.append(parts.path);
  if (parts.query) out.append("?").append(*parts.query);
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
    std::size_t end = 0;
    for (; end < rest.size() && rest[end] != '/' && rest[end] != '?'; ++end) {
      const char c = rest[end];
      if (c == ':' || c == '%' || (c >= 'A' && c <= 'Z')) return false;
    }
    rest.remove_prefix(end);
  }
  return rest != "/" && !rest.starts_with("/?");
}

void normalize(std::string_view text, bool plainAddressesUnparsed, std::string& out) {
  // The scheme is everything before the first ":", so only a text opening
  // with one of the two accepted schemes can change. Every other text has no
  // scheme, another scheme or is no URL reference at all, and stays as it is
  // without being parsed.
  bool https = startsWithIgnoringAsciiCase(text, "https:");
  if (!https && !startsWithIgnoringAsciiCase(text, "http:")) return void(out.assign(text));
  if (plainAddressesUnparsed) {
    std::optional<Parts> parts = plainAddressParts(text.substr(https ? 6 : 5));
    if (parts) return assemble(https, *parts, text.size(), out);
  }
  auto parsed = urls::parse_uri(text);
  if (!parsed) return void(out.assign(text));
  std::optional<Parts> parts = partsOfParsed(*parsed);
  if (!parts) return void(out.assign(text));
  assemble(https, *parts, text.size(), out);
}

void normalizeOrKeep(std::string_view url, bool plainAddressesUnparsed, std::string& out) {
  try {
    normalize(url, plainAddressesUnparsed, out);
  } catch (const std::exception&) {
    // Only running out of memory can throw here; the address then stands for
    // itself.
    out.assign(url);
  }
}

}  // namespace

void normalizedURL(std::string_view url, std::string& page) {
  // Most addresses are already in their normal form, and a scan that says so
  // costs a fraction of a parse.
  if (staysAsWritten(url)) return void(page.assign(url));
  normalizeOrKeep(url, true, page);
}

std::string normalizedURL(std::string_view url) {
  std::string page;
  normalizedURL(url, page);
  return page;
}

std::string detail::normalizedURLByParsing(std::string_view url) {
  std::string page;
  normalizeOrKeep(url, false, page);
  return page;
}

}  // namespace velmora
