#include "platform/native_messaging.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/os_error.h"

namespace velmora {
namespace {

const char kInputName[] = "standard input";
const char kOutputName[] = "standard output";

// Reads up to `size` bytes, stopping early only at the end of input. Returns
// the number read.
Result<std::size_t> readFully(int fd, char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, data + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return osError("cannot read", kInputName, errno);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

Error endedInsideHeader(std::size_t received) {
  return Error{"input ended after " + std::to_string(received) + " of the " +
               std::to_string(kFrameHeaderBytes) + " bytes of a frame header"};
}

Error endedInsideMessage(std::uint32_t length, std::size_t received) {
  return Error{"input ended after " + std::to_string(received) + " of the " +
               std::to_string(length) + " bytes of a message"};
}

Error endedInsideOversized(std::uint32_t length, std::size_t received) {
  return Error{"input ended after " + std::to_string(received) + " of the " +
               std::to_string(length) + " bytes of a message larger than the " +
               std::to_string(kMaxMessageBytes) + " allowed"};
}

}  // namespace

Result<std::optional<IncomingFrame>> readFrame(int fd) {
  char header[kFrameHeaderBytes];
  auto got = readFully(fd, header, sizeof header);
  if (!got) return got.error();
  if (*got == 0) return std::optional<IncomingFrame>();
  if (*got < sizeof header) return endedInsideHeader(*got);

  std::uint32_t length = 0;
  std::memcpy(&length, header, sizeof length);

  IncomingFrame frame;
  if (length > kMaxMessageBytes) {
    frame.oversized = true;
    std::array<char, kDrainChunkBytes> chunk;
    std::uint32_t left = length;
    while (left > 0) {
      const std::size_t want = std::min<std::size_t>(left, chunk.size());
      auto drained = readFully(fd, chunk.data(), want);
      if (!drained) return drained.error();
      if (*drained < want) return endedInsideOversized(length, length - left + *drained);
      left -= static_cast<std::uint32_t>(want);
    }
    return std::optional<IncomingFrame>(std::move(frame));
  }

  frame.bytes.resize(length);
  auto body = readFully(fd, frame.bytes.data(), length);
  if (!body) return body.error();
  if (*body < length) return endedInsideMessage(length, *body);
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
  if (bytes.size() > UINT32_MAX) return Error{"reply does not fit in a frame"};
  const std::string frame = encodeFrame(bytes);
  std::string_view rest = frame;
  while (!rest.empty()) {
    const ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return osError("cannot write", kOutputName, errno);
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  return Ok();
}

}  // namespace velmora
