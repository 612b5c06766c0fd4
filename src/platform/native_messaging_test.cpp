#include "platform/native_messaging.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace velmora {
namespace {

std::string header(std::uint32_t length) {
  std::string bytes(sizeof length, '\0');
  std::memcpy(bytes.data(), &length, sizeof length);
  return bytes;
}

// A descriptor reading the given bytes, then the end of input.
int inputOf(const std::string& bytes) {
  const int fd = ::memfd_create("input", MFD_CLOEXEC);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  EXPECT_EQ(::lseek(fd, 0, SEEK_SET), 0);
  return fd;
}

// What readFrame returned, one entry per call until it stopped.
struct Outcome {
  std::vector<IncomingFrame> frames;
  bool cleanEnd = false;
};

Outcome readAll(int fd) {
  Outcome outcome;
  for (;;) {
    auto frame = readFrame(fd);
    if (!frame) return outcome;
    if (!frame->has_value()) {
      outcome.cleanEnd = true;
      return outcome;
    }
    outcome.frames.push_back(std::move(**frame));
  }
}

TEST(NativeMessagingTest, ReadsFramesUntilTheInputEnds) {
  struct Case {
    const char* name;
    std::string input;
    std::vector<std::string> bodies;
    bool cleanEnd;
  };
  const std::vector<Case> cases = {
      {"empty input", "", {}, true},
      {"empty frame", header(0), {""}, true},
      {"one frame", header(2) + "{}", {"{}"}, true},
      {"two frames", header(2) + "{}" + header(3) + "[1]", {"{}", "[1]"}, true},
      {"partial header", header(2).substr(0, 3), {}, false},
      {"short body", header(10) + "{\"a\"", {}, false},
      {"frame then partial header", header(2) + "{}" + "\x01", {"{}"}, false},
  };
  for (const Case& c : cases) {
    const int fd = inputOf(c.input);
    const Outcome outcome = readAll(fd);
    ::close(fd);
    std::vector<std::string> bodies;
    for (const auto& frame : outcome.frames) {
      EXPECT_FALSE(frame.oversized) << c.name;
      bodies.push_back(frame.bytes);
    }
    EXPECT_EQ(bodies, c.bodies) << c.name;
    EXPECT_EQ(outcome.cleanEnd, c.cleanEnd) << c.name;
  }
}

// Feeds `length` filler bytes after a header through a pipe, so the reader
// never sees the whole frame at once.
std::thread feed(int fd, std::uint32_t declared, std::size_t sent, std::string after) {
  return std::thread([=] {
    std::string head = header(declared);
    (void)!::write(fd, head.data(), head.size());
    const std::string chunk(100000, ' ');
    std::size_t left = sent;
    while (left > 0) {
      const std::size_t n = std::min(left, chunk.size());
      if (::write(fd, chunk.data(), n) != static_cast<ssize_t>(n)) break;
      left -= n;
    }
    (void)!::write(fd, after.data(), after.size());
    ::close(fd);
  });
}

TEST(NativeMessagingTest, FrameOfExactlyTheLimitIsKept) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::thread writer = feed(fds[1], kMaxMessageBytes, kMaxMessageBytes, "");
  const Outcome outcome = readAll(fds[0]);
  writer.join();
  ::close(fds[0]);
  ASSERT_EQ(outcome.frames.size(), 1u);
  EXPECT_FALSE(outcome.frames[0].oversized);
  EXPECT_EQ(outcome.frames[0].bytes.size(), kMaxMessageBytes);
  EXPECT_TRUE(outcome.cleanEnd);
}

TEST(NativeMessagingTest, ReadFailureIsAnError) {
  auto frame = readFrame(-1);
  ASSERT_FALSE(frame);
  EXPECT_NE(frame.error().description.find("standard input"), std::string::npos);
}

TEST(NativeMessagingTest, WrittenFramesReadBack) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  // Larger than a pipe's buffer, so the writer needs several calls.
  const std::string big(kMaxReplyBytes, 'b');
  Outcome outcome;
  std::thread reader([&] { outcome = readAll(fds[0]); });
  EXPECT_TRUE(writeFrame(fds[1], "{\"ok\":true}"));
  EXPECT_TRUE(writeFrame(fds[1], big));
  EXPECT_TRUE(writeFrame(fds[1], ""));
  ::close(fds[1]);
  reader.join();
  ::close(fds[0]);
  ASSERT_EQ(outcome.frames.size(), 3u);
  EXPECT_EQ(outcome.frames[0].bytes, "{\"ok\":true}");
  EXPECT_EQ(outcome.frames[1].bytes, big);
  EXPECT_EQ(outcome.frames[2].bytes, "");
  EXPECT_TRUE(outcome.cleanEnd);
}

TEST(NativeMessagingTest, WriteFailureIsAnError) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  ::signal(SIGPIPE, SIG_IGN);
  const Status status = writeFrame(fds[1], "{}");
  ::close(fds[1]);
  ASSERT_FALSE(status);
  EXPECT_NE(status.error().description.find("Broken pipe"), std::string::npos)
      << status.error().description;
}

}  // namespace
}  // namespace velmora
