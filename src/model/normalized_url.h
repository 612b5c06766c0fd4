#pragma once

#include <string>
#include <string_view>

namespace velmora {

// The page identity of a tab's address: for http and https URLs the scheme and
// host are lower-cased, the port loses leading zeros, the fragment, an empty
// or default port and a lone root path are dropped; everything else stays
// byte for byte. Any other text (no scheme, another scheme, not a URL
// reference) is returned unchanged. Never fails.
std::string normalizedURL(std::string_view url);

// The same into `page`, whose room is used again: most addresses then need
// no allocation of their own.
void normalizedURL(std::string_view url, std::string& page);

namespace detail {

// normalizedURL without its shortcuts: every http or https text goes through
// the full parse. The fuzz target holds the two to the same results.
std::string normalizedURLByParsing(std::string_view url);

}  // namespace detail

}  // namespace velmora
