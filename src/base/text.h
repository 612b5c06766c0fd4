#pragma once

#include <string>
#include <string_view>

// Text helpers for what leaves the process: replies must be valid UTF-8 and
// log records single lines.
namespace velmora {

// The text with every byte that is not part of a valid UTF-8 sequence
// replaced by U+FFFD, as a browser's own conversion would. Valid text comes
// back unchanged.
std::string validUtf8(std::string_view text);

// The text as one line safe for a terminal: C0 and C1 control characters and
// DEL are written as escapes ("\n", "\r", "\t", "\x1b", "\u009b"), and bytes
// that are not UTF-8 as "\xHH".
std::string escapeControlCharacters(std::string_view text);

}  // namespace velmora
