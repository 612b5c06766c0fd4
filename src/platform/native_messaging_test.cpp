#include "platform/native_messaging.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/scratch_file.h"

namespace velmora {
namespace {

std::string header(std::uint32_t length) {
  std::string bytes(sizeof length, '\0');
  std::memcpy(bytes.data(), &length, sizeof length);
  return bytes;
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
    const ScratchFile input(c.input);
    const Outcome outcome = readAll(input.fd());
    std::vector<std::string> bodies;
    for (const auto& frame : outcome.frames) {
      EXPECT_FALSE(frame.oversized) << c.name;
      bodies.push_back(frame.bytes);
    }
    EXPECT_EQ(bodies, c.bodies) << c.name;
    EXPECT_EQ(outcome.cleanEnd, c.cleanEnd) << c.name;
  }
}

TEST(NativeMessagingTest, FrameOfExactlyTheLimitIsKept) {
  const ScratchFile input(header(kMaxMessageBytes) + std::string(kMaxMessageBytes, ' '));
  const Outcome outcome = readAll(input.fd());
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
  const ScratchFile output;
  const std::string big(kMaxReplyBytes, 'b');
  EXPECT_TRUE(writeFrame(output.fd(), "{\"ok\":true}"));
  EXPECT_TRUE(writeFrame(output.fd(), big));
  EXPECT_TRUE(writeFrame(output.fd(), ""));
  ::lseek(output.fd(), 0, SEEK_SET);
  const Outcome outcome = readAll(output.fd());
  ASSERT_EQ(outcome.frames.size(), 3u);
  EXPECT_EQ(outcome.frames[0].bytes, "{\"ok\":true}");
  EXPECT_EQ(outcome.frames[1].bytes, big);
  EXPECT_EQ(outcome.frames[2].bytes, "");
  EXPECT_TRUE(outcome.cleanEnd);
}

}  // namespace
}  // namespace velmora
