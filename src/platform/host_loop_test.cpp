#include "platform/host_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/scratch_file.h"

namespace velmora {
namespace {

std::string frame(std::string_view body) { return encodeFrame(body); }

// The text of a request's message, read as the handler reads it.
std::optional<std::string> textOf(const NSExtensionItem& item) {
  if (!item.messageText) return std::nullopt;
  std::string text;
  if (!(*item.messageText)([&text](std::string_view piece) {
        text.append(piece);
        return true;
      })) {
    return std::nullopt;
  }
  return text;
}

// The handler reads the text from the input; the loop only hands it on.
TEST(HostLoopTest, FramesCarryTheirTextAsTheMessage) {
  for (const std::string bytes : {R"({"action":"command","command":"openApp"})", "not json", ""}) {
    const ScratchFile in(bytes);
    FrameBody body(in.fd(), static_cast<std::uint32_t>(bytes.size()));
    const std::vector<NSExtensionItem> items = inputItemsForFrame(body);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].messageBytes, bytes.size());
    EXPECT_EQ(textOf(items[0]), bytes);
    EXPECT_FALSE(items[0].userInfo);
  }
  FrameBody oversized(-1, kMaxMessageBytes + 1);
  const std::vector<NSExtensionItem> items = inputItemsForFrame(oversized);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_FALSE(items[0].messageText);
  EXPECT_FALSE(items[0].userInfo);
}

std::vector<NSExtensionItem> replyItems(boost::json::value reply) {
  NSExtensionItem item;
  item.setUserInfo({{SFExtensionMessageKey, std::move(reply)}});
  return {item};
}

// A handler for the loop alone: `answer` serves each request, and each
// fallback reply says which one it is.
struct LoopHandler final : NSExtensionRequestHandling {
  explicit LoopHandler(std::function<void(NSExtensionContext&)> answer)
      : answer(std::move(answer)) {}
  void beginRequest(NSExtensionContext& context) override { answer(context); }
  boost::json::object noReply() const override { return {{"ok", false}, {"error", "none"}}; }
  boost::json::object replyTooLarge(std::size_t bytes) const override {
    tooLarge.push_back(bytes);
    return {{"ok", false}, {"error", "too large"}};
  }
  boost::json::object replyFailed(std::string_view description) const override {
    return {{"ok", false}, {"error", description}};
  }
  void inputFailed(std::string_view) const override {}

  std::function<void(NSExtensionContext&)> answer;
  mutable std::vector<std::size_t> tooLarge;
};

TEST(HostLoopTest, RepliesUpToTheLimitAreSentAsTheyAre) {
  const LoopHandler handler(nullptr);
  EXPECT_EQ(replyBytes(replyItems({{"ok", true}, {"message", "Nelo wird geöffnet"}}), handler),
            "{\"ok\":true,\"message\":\"Nelo wird geöffnet\"}");
  const std::string frameOverhead = R"({"ok":true,"x":""})";
  const std::string filler(kMaxReplyBytes - frameOverhead.size(), 'y');
  EXPECT_EQ(replyBytes(replyItems({{"ok", true}, {"x", filler}}), handler).size(), kMaxReplyBytes);
  EXPECT_TRUE(handler.tooLarge.empty());
}

TEST(HostLoopTest, OversizedReplyIsReplacedByTheHandlersAnswer) {
  const LoopHandler handler(nullptr);
  boost::json::object badge{{"blob", std::string(kMaxReplyBytes, 'x')}};
  const std::string bytes =
      replyBytes(replyItems({{"ok", true}, {"count", 1}, {"badge", badge}}), handler);
  EXPECT_EQ(bytes, R"({"ok":false,"error":"too large"})");
  ASSERT_EQ(handler.tooLarge.size(), 1u);
  EXPECT_GT(handler.tooLarge[0], kMaxReplyBytes);
}

TEST(HostLoopTest, ItemsWithoutAReplyGiveTheHandlersNoReply) {
  const LoopHandler handler(nullptr);
  const std::vector<std::vector<NSExtensionItem>> broken = {
      {}, {NSExtensionItem{}}, replyItems("text"), {NSExtensionItem{boost::json::object{}, std::nullopt}}};
  for (const auto& items : broken) {
    EXPECT_EQ(replyBytes(items, handler), R"({"ok":false,"error":"none"})");
  }
}

std::vector<std::string> framesIn(int fd) {
  ::lseek(fd, 0, SEEK_SET);
  std::vector<std::string> bodies;
  for (;;) {
    auto next = readFrame(fd);
    EXPECT_TRUE(next);
    if (!next || !next->has_value()) return bodies;
    bodies.push_back((*next)->bytes);
  }
}

// Answers every request with the JSON object it carried, or {"ok":false}.
void echo(NSExtensionContext& context) {
  boost::json::value reply = boost::json::object{{"ok", false}};
  const auto& item = context.inputItems().front();
  boost::system::error_code ec;
  if (const std::optional<std::string> text = textOf(item)) {
    boost::json::value message = boost::json::parse(*text, ec);
    if (!ec) reply = std::move(message);
  }
  context.completeRequestReturningItems(replyItems(reply));
}

struct Served {
  int status;
  std::vector<std::string> replies;
};

Served serve(const std::string& input, std::function<void(NSExtensionContext&)> answer) {
  const ScratchFile in(input);
  const ScratchFile out;
  LoopHandler handler(std::move(answer));
  return Served{serveMessages(in.fd(), out.fd(), handler),
                framesIn(out.fd())};
}

TEST(HostLoopTest, ServesEveryFrameInOrder) {
  const Served served = serve(frame(R"({"n":1})") + frame("not json") + frame(R"({"n":3})"), echo);
  EXPECT_EQ(served.status, 0);
  EXPECT_EQ(served.replies,
            (std::vector<std::string>{R"({"n":1})", R"({"ok":false})", R"({"n":3})"}));
}

TEST(HostLoopTest, InputEndingInsideAFrameEndsWithFailureAfterTheCompleteOnes) {
  const Served served = serve(frame(R"({"n":1})") + frame(R"({"n":2})").substr(0, 6), echo);
  EXPECT_EQ(served.status, 1);
  EXPECT_EQ(served.replies, (std::vector<std::string>{R"({"n":1})"}));
}

TEST(HostLoopTest, ExactlyOneReplyPerFrameWhateverTheHandlerDoes) {
  const Served silent = serve(frame("{}") + frame("{}"), [](NSExtensionContext&) {});
  EXPECT_EQ(silent.status, 0);
  ASSERT_EQ(silent.replies.size(), 2u);
  EXPECT_EQ(boost::json::parse(silent.replies[0]).at("ok"), false);

  const Served twice = serve(frame("{\"n\":1}") + frame("{\"n\":2}"), [](NSExtensionContext& c) {
    echo(c);
    c.completeRequestReturningItems(replyItems({{"second", true}}));
  });
  EXPECT_EQ(twice.replies, (std::vector<std::string>{R"({"n":1})", R"({"n":2})"}));
}

TEST(HostLoopTest, AThrowingHandlerStillGetsItsRequestAnswered) {
  const Served served = serve(frame("{}") + frame(R"({"n":2})"), [](NSExtensionContext& c) {
    if (c.inputItems().front().messageBytes == 2) {
      throw std::runtime_error("broken");
    }
    echo(c);
  });
  EXPECT_EQ(served.status, 0);
  ASSERT_EQ(served.replies.size(), 2u);
  EXPECT_EQ(boost::json::parse(served.replies[0]).at("ok"), false);
  EXPECT_EQ(served.replies[1], R"({"n":2})");
}

TEST(HostLoopTest, UnwritableOutputEndsWithFailure) {
  const ScratchFile in(frame("{}"));
  LoopHandler handler(echo);
  EXPECT_EQ(serveMessages(in.fd(), -1, handler), 1);
}

}  // namespace
}  // namespace velmora
