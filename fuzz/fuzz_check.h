#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

// A broken property ends the run at once, so libFuzzer keeps the input that
// broke it. The message says which property and shows the text involved.
namespace velmora::fuzz {

[[noreturn]] inline void fail(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "FUZZ CHECK FAILED: %.*s\n", static_cast<int>(what.size()), what.data());
  if (!detail.empty()) {
    std::fprintf(stderr, "  detail (%zu bytes): ", detail.size());
    for (unsigned char c : detail) {
      if (c >= 0x20 && c < 0x7f && c != '\\') {
        std::fputc(c, stderr);
      } else {
        std::fprintf(stderr, "\\x%02x", c);
      }
    }
    std::fputc('\n', stderr);
  }
  std::abort();
}

inline void check(bool holds, std::string_view what, std::string_view detail = {}) {
  if (!holds) fail(what, detail);
}

}  // namespace velmora::fuzz
