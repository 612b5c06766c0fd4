#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include "platform/native_messaging.h"

// Frames through pipes, as browsers connect the host on Linux: a frame that
// arrives in pieces, a reply larger than a pipe holds, a reader gone away.
namespace velmora {
namespace {

TEST(NativeMessagingPipeTest, FramesCrossAPipeInPiecesBothWays) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  // Larger than a pipe's buffer, so the writer needs several calls and the
  // reader sees the frame in pieces.
  const std::string big(kMaxReplyBytes, 'b');
  std::thread writer([&] {
    EXPECT_TRUE(writeFrame(fds[1], big));
    ::close(fds[1]);
  });
  auto frame = readFrame(fds[0]);
  writer.join();
  ::close(fds[0]);
  ASSERT_TRUE(frame && frame->has_value());
  EXPECT_EQ((*frame)->bytes, big);
}

TEST(NativeMessagingPipeTest, WriteFailureIsAnError) {
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
