#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/status.h"
#include "base/text_source.h"

// Native messaging framing: every message and every reply is a 32-bit
// unsigned length in native byte order followed by that many bytes of UTF-8
// JSON.
namespace velmora {

// Browsers send at most 64 MiB in one message; a longer frame is not held in
// memory but read and thrown away.
inline constexpr std::uint32_t kMaxMessageBytes = 64u * 1024 * 1024;

// Browsers refuse a reply larger than 1 MiB and drop the whole connection, so
// a larger one must never be written.
inline constexpr std::size_t kMaxReplyBytes = 1024 * 1024;

inline constexpr std::size_t kFrameHeaderBytes = sizeof(std::uint32_t);

struct IncomingFrame {
  // The frame was longer than kMaxMessageBytes; its bytes were discarded.
  bool oversized = false;
  std::string bytes;
  friend bool operator==(const IncomingFrame&, const IncomingFrame&) = default;
};

// Reads the next frame from the descriptor. No value when the input ended
// cleanly between frames; an Error when it could not be read, or ended inside
// a frame: then the Error says where, with the sizes declared and received.
Result<std::optional<IncomingFrame>> readFrame(int fd);

// The frame for the bytes: header and body.
std::string encodeFrame(std::string_view bytes);

// Writes one whole frame, finishing short writes.
Status writeFrame(int fd, std::string_view bytes);

}  // namespace velmora
