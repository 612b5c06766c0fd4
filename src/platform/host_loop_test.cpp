#include "platform/host_loop.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora {
namespace {

std::string frame(std::string_view body) { return encodeFrame(body); }

// The item the handler would see for a frame.
NSExtensionItem itemFor(IncomingFrame frame) {
  auto items = inputItemsForFrame(std::move(frame));
  EXPECT_EQ(items.size(), 1u);
  const auto* item = std::any_cast<NSExtensionItem>(&items.front());
  EXPECT_NE(item, nullptr);
  return item ? *item : NSExtensionItem{};
}

// The handler reads the text; the loop only hands it on, unread.
TEST(HostLoopTest, FramesCarryTheirTextAsTheMessage) {
  for (const std::string bytes : {R"({"action":"command","command":"openApp"})", "not json", ""}) {
    const NSExtensionItem item = itemFor({false, bytes});
    EXPECT_EQ(item.messageText, bytes);
    EXPECT_FALSE(item.userInfo);
  }
  EXPECT_EQ(itemFor({true, ""}), NSExtensionItem{});
}

std::vector<NSExtensionItem> replyItems(boost::json::value reply) {
  NSExtensionItem item;
  item.setUserInfo({{SFExtensionMessageKey, std::move(reply)}});
  return {item};
}

TEST(HostLoopTest, ReplyBytesAreTheSerialisedReply) {
  Logger log("s", "c", [](const LogRecord&) { ADD_FAILURE() << "no log expected"; });
  EXPECT_EQ(replyBytes(replyItems({{"ok", true}, {"message", "Nelo wird geöffnet"}}), log),
            "{\"ok\":true,\"message\":\"Nelo wird geöffnet\"}");
}

TEST(HostLoopTest, OversizedReplyIsReplacedAndLogged) {
  std::vector<LogRecord> records;
  Logger log("s", "c", [&](const LogRecord& r) { records.push_back(r); });
  boost::json::object badge{{"blob", std::string(kMaxReplyBytes, 'x')}};
  const std::string bytes =
      replyBytes(replyItems({{"ok", true}, {"count", 1}, {"badge", badge}}), log);
  const auto reply = boost::json::parse(bytes).as_object();
  EXPECT_EQ(reply.at("ok"), false);
  const std::string error(reply.at("error").as_string());
  EXPECT_EQ(error.rfind("Antwort zu groß", 0), 0u) << error;
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, LogLevel::error);
  EXPECT_EQ(records[0].text, error);
}

TEST(HostLoopTest, ReplyAtTheLimitIsKept) {
  Logger log("s", "c", [](const LogRecord&) { ADD_FAILURE() << "no log expected"; });
  const std::string frameOverhead = R"({"ok":true,"x":""})";
  const std::string filler(kMaxReplyBytes - frameOverhead.size(), 'y');
  const std::string bytes = replyBytes(replyItems({{"ok", true}, {"x", filler}}), log);
  EXPECT_EQ(bytes.size(), kMaxReplyBytes);
}

TEST(HostLoopTest, ItemsWithoutAReplyGiveAFailureReply) {
  Logger log("s", "c", [](const LogRecord&) {});
  const std::vector<std::vector<NSExtensionItem>> broken = {
      {}, {NSExtensionItem{}}, replyItems("text"), {NSExtensionItem{boost::json::object{}, std::nullopt}}};
  for (const auto& items : broken) {
    const auto reply = boost::json::parse(replyBytes(items, log)).as_object();
    EXPECT_EQ(reply.at("ok"), false);
    EXPECT_TRUE(reply.at("error").is_string());
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

// Answers every request with the JSON object it carried, or {"ok":false}.
void echo(NSExtensionContext& context) {
  boost::json::value reply = boost::json::object{{"ok", false}};
  const auto& item = std::any_cast<const NSExtensionItem&>(context.inputItems().front());
  boost::system::error_code ec;
  if (item.messageText) {
    boost::json::value message = boost::json::parse(*item.messageText, ec);
    if (!ec) reply = std::move(message);
  }
  context.completeRequestReturningItems(replyItems(reply));
}

struct Served {
  int status;
  std::vector<std::string> replies;
};

Served serve(const std::string& input, const RequestHandler& handler) {
  const int in = inputOf(input);
  const int out = ::memfd_create("output", MFD_CLOEXEC);
  Logger log("s", "c", [](const LogRecord&) {});
  Served served{serveMessages(in, out, handler, log), framesIn(out)};
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
    if (std::any_cast<const NSExtensionItem&>(c.inputItems().front()).messageText == "{}") {
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
  Logger log("s", "c", [](const LogRecord&) {});
  EXPECT_EQ(serveMessages(in, -1, echo, log), 1);
  ::close(in);
}

}  // namespace
}  // namespace velmora
