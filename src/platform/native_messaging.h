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

// The length the next frame's header declares. No value when the input ended
// cleanly between frames; an Error when it could not be read, or ended inside
// the header.
Result<std::optional<std::uint32_t>> readFrameHeader(int fd);

// The body of a frame whose header was read, taken from the descriptor as its
// reader wants it rather than held whole: a scan's message of megabytes is
// decoded as it arrives, while the browser is still writing it. A body longer
// than kMaxMessageBytes is never handed on.
class FrameBody {
 public:
  FrameBody(int fd, std::uint32_t length) : fd_(fd), length_(length) {}
  FrameBody(const FrameBody&) = delete;
  FrameBody& operator=(const FrameBody&) = delete;

  std::uint32_t length() const { return length_; }
  bool oversized() const { return length_ > kMaxMessageBytes; }

  // Hands the body on in pieces of at most kPieceBytes, once, until `piece`
  // answers false. False when the input failed or ended inside the body, for
  // an oversized body, and when called again.
  bool read(const ByteSink& piece);

  // Reads and drops what was not handed on. An Error when the input failed
  // or ended inside the body, saying where, with the sizes declared and
  // received.
  Status finish();

 private:
  // Reads some more of the body into `buffer`: how much, 0 at its end. The
  // failure is kept for finish().
  std::size_t next(char* buffer, std::size_t size);

  int fd_;
  std::uint32_t length_;
  std::uint32_t received_ = 0;
  bool handedOn_ = false;
  std::optional<Error> failed_;
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
