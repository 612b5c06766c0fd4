#include "platform/host_loop.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <boost/json/parse.hpp>

#include "base/json.h"
#include <boost/json/serialize.hpp>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora {
namespace {

std::string frame(std::string_view body) { return encodeFrame(body); }

// The userInfo the handler would see for a frame with these bytes.
std::optional<boost::json::object> userInfoFor(const IncomingFrame& frame) {
  const auto items = inputItemsForFrame(frame);
  EXPECT_EQ(items.size(), 1u);
  const auto* item = std::any_cast<NSExtensionItem>(&items.front());
  EXPECT_NE(item, nullptr);
  return item ? item->userInfo : std::nullopt;
}

TEST(HostLoopTest, DecodableFramesCarryTheirValueUnderTheMessageKey) {
  const std::vector<std::string> decodable = {
      R"({"action":"command","command":"openApp"})",
      R"([1,2])",
      R"("text")",
      R"({"a":"\u00fc","b":"ü"})",
      std::string(100, '[') + std::string(100, ']'),
  };
  for (const auto& bytes : decodable) {
    const auto info = userInfoFor({false, bytes});
    ASSERT_TRUE(info) << bytes;
    ASSERT_EQ(info->size(), 1u) << bytes;
    boost::json::parse_options deep;
    deep.max_depth = kMaxJsonDepth;
    EXPECT_EQ(info->at(SFExtensionMessageKey), boost::json::parse(bytes, {}, deep)) << bytes;
  }
}

// A browser sends half of a surrogate pair when a page's text was cut inside
// it; the half reads as U+FFFD and the message stays usable.
TEST(HostLoopTest, LoneSurrogateEscapesReadAsReplacementCharacter) {
  const struct {
    const char* name;
    std::string bytes;
    std::string text;
  } cases[] = {
      {"high half at the end", R"(["a\ud83d"])", "a\xEF\xBF\xBD"},
      {"high half before text", R"(["\uD83Dx"])", "\xEF\xBF\xBDx"},
      {"low half alone", R"(["\ude00"])", "\xEF\xBF\xBD"},
      {"two high halves", R"(["\ud83d\ud83d"])", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"half, then a pair", R"(["\ud83d\ud83d\ude00"])", "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
      {"escaped backslash before u", R"(["\\ud83d", "\ud83d"])", "\\ud83d"},
      {"in a key", R"({"\udc00":1})", ""},
  };
  for (const auto& c : cases) {
    const auto info = userInfoFor({false, c.bytes});
    ASSERT_TRUE(info) << c.name;
    const boost::json::value& message = info->at(SFExtensionMessageKey);
    if (message.is_array()) {
      EXPECT_EQ(message.get_array().at(0).get_string(), c.text) << c.name;
    } else {
      EXPECT_TRUE(message.get_object().contains("\xEF\xBF\xBD")) << c.name;
    }
  }
}

// Invalid UTF-8 inside a string must not pass as a message.
TEST(HostLoopTest, UndecodableFramesCarryNoUserInfo) {
  const std::vector<std::string> undecodable = {
      "",
      "{",
      "{\"action\":\"command\"",
      "{'a':1}",
      "\"\xff\"",
      "{\"a\":\"\xc3\"}",
      "{\"a\":\"\xc0\xaf\"}",          // overlong "/"
      "{\"a\":\"\xed\xa0\x80\"}",      // encoded surrogate
      "{\"a\":\"\xf4\x90\x80\x80\"}",  // beyond U+10FFFF
      "{\"\xfe\":1}",
      "{} {}",
      R"(["\ud83d)",        // a half, then the end
      R"(["\ud83d\u12"])",  // a half, then a broken escape
  };
  for (const auto& bytes : undecodable) {
    EXPECT_FALSE(userInfoFor({false, bytes})) << boost::json::serialize(
        boost::json::string(std::string_view(bytes.data(), bytes.size())));
  }
  EXPECT_FALSE(userInfoFor({true, ""}));
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
  void beginRequest(NSExtensionContext& context) const override { answer(context); }
  boost::json::object noReply() const override { return {{"ok", false}, {"error", "none"}}; }
  boost::json::object replyTooLarge(std::size_t bytes) const override {
    tooLarge.push_back(bytes);
    return {{"ok", false}, {"error", "too large"}};
  }
  boost::json::object replyFailed(std::string_view what) const override {
    return {{"ok", false}, {"error", what}};
  }

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
      {}, {NSExtensionItem{}}, replyItems("text"), {NSExtensionItem{boost::json::object{}}}};
  for (const auto& items : broken) {
    EXPECT_EQ(replyBytes(items, handler), R"({"ok":false,"error":"none"})");
  }
}

int inputOf(const std::string& bytes) {
  const int fd = ::memfd_create("input", MFD_CLOEXEC);
  EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::lseek(fd, 0, SEEK_SET);
  return fd;
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

// Answers every request with the message it carried, or {"ok":false}.
void echo(NSExtensionContext& context) {
  boost::json::value reply = boost::json::object{{"ok", false}};
  const auto& item = std::any_cast<const NSExtensionItem&>(context.inputItems().front());
  if (item.userInfo) reply = item.userInfo->at(SFExtensionMessageKey);
  context.completeRequestReturningItems(replyItems(reply));
}

struct Served {
  int status;
  std::vector<std::string> replies;
};

Served serve(const std::string& input, std::function<void(NSExtensionContext&)> answer) {
  const int in = inputOf(input);
  const int out = ::memfd_create("output", MFD_CLOEXEC);
  Served served{serveMessages(in, out, LoopHandler(std::move(answer))), framesIn(out)};
  ::close(in);
  ::close(out);
  return served;
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
    if (std::any_cast<const NSExtensionItem&>(c.inputItems().front())
            .userInfo->at(SFExtensionMessageKey) == boost::json::object{}) {
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
  const int in = inputOf(frame("{}"));
  EXPECT_EQ(serveMessages(in, -1, LoopHandler(echo)), 1);
  ::close(in);
}

}  // namespace
}  // namespace velmora
