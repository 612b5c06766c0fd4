// normalizedURL on arbitrary text: it never fails, leaves every text that is
// not an http or https URL as it is, changes only scheme, host, port, root
// path and fragment of one that is, is idempotent, and gives the same result
// with and without its shortcut.

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>
#include <boost/url/url_view.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "model/normalized_url.h"
#include "model/unicode_text.h"

namespace {

using velmora::fuzz::check;

std::string pair(std::string_view input, std::string_view output) {
  return std::string(input).append("  ->  ").append(output);
}

std::string_view schemeOf(std::string_view text) {
  const std::size_t colon = text.find(':');
  return colon == std::string_view::npos ? std::string_view() : text.substr(0, colon);
}

bool isHttpScheme(std::string_view scheme) {
  std::string lower(scheme);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower == "http" || lower == "https";
}

// What the normalised form of a parsed http or https URL keeps.
void checkKeptParts(const boost::urls::url_view& in, const boost::urls::url_view& out,
                    const std::string& context) {
  const bool https = out.scheme() == "https";
  check(out.scheme() == (https ? "https" : "http"), "the scheme is lower-cased", context);
  check(!out.has_fragment(), "the fragment is gone", context);
  check(in.has_authority() == out.has_authority(), "the authority stays", context);
  check(in.encoded_userinfo() == out.encoded_userinfo(), "user information is kept as written",
        context);
  check(in.has_query() == out.has_query() && in.encoded_query() == out.encoded_query(),
        "the query is kept as written", context);
  if (in.encoded_path() == "/") {
    check(out.encoded_path().empty(), "a lone root path is dropped", context);
  } else {
    check(in.encoded_path() == out.encoded_path(), "the path is kept as written", context);
  }

  // The port is a number: an empty one is none, and leading zeros go.
  const std::uint16_t defaultPort = https ? 443 : 80;
  const std::string_view inPort = in.port();
  const std::string_view outPort = out.port();
  if (inPort.empty() || in.port_number() == defaultPort) {
    check(!out.has_port(), "an empty port and the scheme's default port are dropped", context);
  } else {
    const std::string_view zeros = inPort.substr(0, inPort.size() - outPort.size());
    check(out.has_port() && inPort.ends_with(outPort) &&
              zeros.find_first_not_of('0') == std::string_view::npos &&
              (outPort.size() == 1 || outPort.front() != '0'),
          "any other port keeps its number without leading zeros", context);
  }

  const std::string host(out.host());
  check(velmora::lowerCased(host) == host, "the host is lower-cased", context);
}

// A URL reference by RFC 3986. The parser alone is not enough: it also takes
// a path right after the authority, as in "https://host:443.example", where
// the RFC asks for an empty path or one that begins with "/". And it reads a
// host that only opens like an IPv4 address ("1.2.3.4.nip.io") as that
// address and the rest as such a path; with a letter in front, the host is a
// name the parser reads whole. The letter changes nothing the checks look at.
std::optional<boost::urls::url> parseURL(std::string_view text) {
  auto parsed = boost::urls::parse_uri(text);
  if (!parsed) return std::nullopt;
  const auto noPathRightAfterAuthority = [](const boost::urls::url_view& view) {
    const std::string_view path = view.encoded_path();
    return !view.has_authority() || path.empty() || path.front() == '/';
  };
  if (noPathRightAfterAuthority(*parsed)) return boost::urls::url(*parsed);
  if (parsed->host_type() != boost::urls::host_type::ipv4) return std::nullopt;
  // Built in pieces: GCC 12 warns wrongly about string::insert here.
  const auto host = static_cast<std::size_t>(parsed->encoded_host().data() - text.data());
  std::string named(text.substr(0, host));
  named.append("x").append(text.substr(host));
  parsed = boost::urls::parse_uri(named);
  if (!parsed || !noPathRightAfterAuthority(*parsed)) return std::nullopt;
  return boost::urls::url(*parsed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view url(reinterpret_cast<const char*>(data), size);
  const std::string normalized = velmora::normalizedURL(url);
  const std::string context = pair(url, normalized);
  check(velmora::detail::normalizedURLByParsing(url) == normalized,
        "the shortcut gives what the parse gives",
        pair(url, velmora::detail::normalizedURLByParsing(url)));

  const auto parsed = parseURL(url);
  if (!isHttpScheme(schemeOf(url)) || !parsed) {
    check(normalized == url, "text that is not a valid http or https URL stays unchanged", context);
    return 0;
  }

  const auto reparsed = parseURL(normalized);
  check(reparsed.has_value(), "the normalised form is a URL", context);
  checkKeptParts(*parsed, *reparsed, context);
  check(velmora::normalizedURL(normalized) == normalized, "normalising twice changes nothing",
        pair(normalized, velmora::normalizedURL(normalized)));
  return 0;
}
