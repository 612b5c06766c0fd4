#include "platform/native_messaging.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/descriptor.h"
#include "platform/os_error.h"

namespace velmora {
namespace {

// Reads up to `size` bytes, stopping early only at the end of input. Returns
// the number read.
Result<std::size_t> readFully(int fd, char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = readSome(fd, data + done, size - done);
    if (n < 0) return systemError("cannot read standard input", errno);
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

// Where the input ended inside a frame, with the sizes, for the log line
// that explains why the host stopped.
Error endedInside(std::string_view part, std::size_t received, std::size_t declared) {
  return Error{"cannot read a frame: the input ended after " + std::to_string(received) +
               " of the " + std::to_string(declared) + " bytes of " + std::string(part)};
}

}  // namespace

Result<std::optional<std::uint32_t>> readFrameHeader(int fd) {
  char header[kFrameHeaderBytes];
  auto got = readFully(fd, header, sizeof header);
  if (!got) return got.error();
  if (*got == 0) return std::optional<std::uint32_t>();
  if (*got < sizeof header) return endedInside("its header", *got, sizeof header);
  std::uint32_t length = 0;
  std::memcpy(&length, header, sizeof length);
  return std::optional<std::uint32_t>(length);
}

std::size_t FrameBody::next(char* buffer, std::size_t size) {
  if (failed_ || received_ == length_) return 0;
  const std::size_t want = std::min<std::size_t>(size, length_ - received_);
  const ssize_t n = readSome(fd_, buffer, want);
  if (n <= 0) {
    const std::string part = oversized() ? "its message, larger than the " +
                                               std::to_string(kMaxMessageBytes) + " allowed"
                                         : "its message";
    failed_ = n < 0 ? systemError("cannot read standard input", errno)
                    : endedInside(part, received_, length_);
    return 0;
  }
  received_ += static_cast<std::uint32_t>(n);
  return static_cast<std::size_t>(n);
}

bool FrameBody::read(const ByteSink& piece) {
  if (handedOn_ || oversized()) return false;
  handedOn_ = true;
  std::array<char, kPieceBytes> buffer;
  for (std::size_t n; (n = next(buffer.data(), buffer.size())) > 0;) {
    if (!piece(std::string_view(buffer.data(), n))) return !failed_;
  }
  return !failed_;
}

Status FrameBody::finish() {
  handedOn_ = true;
  std::array<char, kPieceBytes> buffer;
  while (next(buffer.data(), buffer.size()) > 0) {
  }
  if (failed_) return *failed_;
  return Ok();
}

Result<std::optional<IncomingFrame>> readFrame(int fd) {
  auto header = readFrameHeader(fd);
  if (!header) return header.error();
  if (!header->has_value()) return std::optional<IncomingFrame>();
  FrameBody body(fd, **header);
  IncomingFrame frame;
  frame.oversized = body.oversized();
  if (!frame.oversized) {
    frame.bytes.reserve(body.length());
    body.read([&frame](std::string_view piece) {
      frame.bytes.append(piece);
      return true;
    });
  }
  if (Status finished = body.finish(); !finished.ok()) return finished.error();
  return std::optional<IncomingFrame>(std::move(frame));
}

std::string encodeFrame(std::string_view bytes) {
  const auto length = static_cast<std::uint32_t>(bytes.size());
  std::string frame(kFrameHeaderBytes, '\0');
  std::memcpy(frame.data(), &length, sizeof length);
  frame.append(bytes);
  return frame;
}

Status writeFrame(int fd, std::string_view bytes) {
  if (bytes.size() > UINT32_MAX) {
    return Error{"cannot write a frame: the reply is longer than a frame can say"};
  }
  if (const int err = writeAll(fd, encodeFrame(bytes)); err != 0) {
    return systemError("cannot write standard output", err);
  }
  return Ok();
}

}  // namespace velmora
