#pragma once

#include <boost/json/value.hpp>
#include <string>

namespace velmora {

// The byte form of every document this system writes: compact UTF-8, members
// in their stored order, every "/" inside a string written as "\/", text
// outside ASCII as raw UTF-8, quotation mark, backslash and control characters
// escaped. Doubles are written so that they read back to the same value.
std::string documentBytes(const boost::json::value& document);

}  // namespace velmora
