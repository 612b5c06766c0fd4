#include "handler/dispatch.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <cerrno>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "handler/replies.h"
#include "handler/safari_web_extension_handler.h"
#include "platform/system.h"
#include "support/messages.h"
#include "support/recording_log.h"
#include "support/test_env.h"

namespace velmora {
namespace {

// Action doubles that record how they were called and answer with a reply
// naming the call.
struct Calls {
  std::vector<std::string> made;

  Actions actions() {
    return Actions{[this](std::string_view command, std::string_view url) {
                     const std::string call =
                         "command(" + std::string(command) + "," + std::string(url) + ")";
                     made.push_back(call);
                     return boost::json::object{{"ok", true}, {"message", call}};
                   },
                   [this](Result<std::vector<SafariTab>> tabs, std::string_view scannedAt) {
                     const std::string call =
                         "snapshot(" +
                         (tabs ? std::to_string(tabs->size()) : tabs.error().description) + "," +
                         std::string(scannedAt) + ")";
                     made.push_back(call);
                     return boost::json::object{{"ok", true}, {"count", call}};
                   }};
  }
};

// Runs one request and checks the delivery rule: exactly one completion
// with one item whose userInfo holds one entry, the reply object.
boost::json::object answer(std::vector<NSExtensionItem> items, const Actions& actions,
                           const Logger& log) {
  int completions = 0;
  std::vector<NSExtensionItem> delivered;
  NSExtensionContext context(std::move(items), [&](std::vector<NSExtensionItem> reply) {
    ++completions;
    delivered = std::move(reply);
  });
  respond(context, actions, log);
  EXPECT_EQ(completions, 1);
  if (delivered.size() != 1 || !delivered[0].userInfo || delivered[0].userInfo->size() != 1) {
    ADD_FAILURE() << "reply is not one item with one entry";
    return {};
  }
  const boost::json::value* reply = delivered[0].userInfo->if_contains(SFExtensionMessageKey);
  if (reply == nullptr || !reply->is_object()) {
    ADD_FAILURE() << "reply is not an object under the message key";
    return {};
  }
  return reply->as_object();
}

TEST(DispatchTest, UnusableEnvelopesAreAnsweredSilently) {
  const auto valid = R"({"action":"command","command":"openApp"})";
  struct Case {
    const char* name;
    std::vector<NSExtensionItem> items;
  };
  const std::vector<Case> cases = {
      {"no items", {}},
      {"first item without a message", {NSExtensionItem{}, messageItem(valid)}},
      {"not JSON", {messageItem(R"({"action":)")}},
  };
  for (const Case& c : cases) {
    Calls calls;
    RecordingLog capture;
    const auto reply = answer(c.items, calls.actions(), capture.logger());
    EXPECT_EQ(reply, replies::invalidMessage()) << c.name;
    EXPECT_TRUE(calls.made.empty()) << c.name;
    EXPECT_TRUE(capture.records.empty()) << c.name;
  }
}

TEST(DispatchTest, MessagesReachTheirActionOrAreRejectedWithALogLine) {
  struct Case {
    const char* message;
    const char* call;  // empty: not recognised
  };
  const std::vector<Case> cases = {
      {R"({})", ""},
      {R"({"action":"Command","command":"openApp"})", ""},
      {R"({"action":"command ","command":"openApp"})", ""},
      {R"({"action":42,"command":"openApp"})", ""},
      {R"({"action":"command"})", ""},
      {R"({"action":"command","command":42})", ""},
      {R"({"action":"command","command":null,"tabs":[],"scannedAt":"s"})", ""},
      {R"({"action":"command","command":"openApp"})", "command(openApp,)"},
      {R"({"action":"command","command":"openApp","url":42})", "command(openApp,)"},
      {R"({"action":"command","command":"openApp","url":null})", "command(openApp,)"},
      {R"({"action":"command","command":"saveAll","url":"https://a.example/x"})",
       "command(saveAll,https://a.example/x)"},
      {R"({"action":"command","command":"","url":""})", "command(,)"},
      {R"({"action":"command","command":"x","tabs":[],"scannedAt":"s","extra":{"a":[1]}})",
       "command(x,)"},
      {R"({"action":"saveSnapshot","tabs":[],"scannedAt":"2024-05-01T10:00:00Z"})",
       "snapshot(0,2024-05-01T10:00:00Z)"},
      {R"({"action":"saveSnapshot","tabs":[{},{"id":1}],"scannedAt":"s","command":"x"})",
       R"(snapshot(tabs[0] lacks "id",s))"},
      {R"({"action":"saveSnapshot","tabs":[],"scannedAt":5})", ""},
      {R"({"action":"saveSnapshot","tabs":[{},"tab"],"scannedAt":"s"})", ""},
      {R"({"action":"saveSnapshot","tabs":{},"scannedAt":"s"})", ""},
      {R"({"action":"saveSnapshot","scannedAt":"s"})", ""},
      {R"({"action":"saveSnapshot","tabs":[]})", ""},
      {R"({"action":"savesnapshot","tabs":[],"scannedAt":"s"})", ""},
  };
  for (const Case& c : cases) {
    Calls calls;
    RecordingLog capture;
    const auto reply =
        answer({messageItem(c.message)}, calls.actions(), capture.logger());
    const std::string expected = c.call;
    if (expected.empty()) {
      EXPECT_EQ(reply, replies::invalidMessage()) << c.message;
      EXPECT_TRUE(calls.made.empty()) << c.message;
      ASSERT_EQ(capture.records.size(), 1u) << c.message;
      EXPECT_EQ(capture.records[0].level, LogLevel::error);
      EXPECT_EQ(capture.records[0].text, "Ungültige Nachricht von Safari");
    } else {
      EXPECT_EQ(calls.made, std::vector<std::string>{expected}) << c.message;
      EXPECT_EQ(reply.at("ok"), true) << c.message;
      EXPECT_TRUE(capture.records.empty()) << c.message;
    }
  }
}

TEST(DispatchTest, ActionRepliesArePassedOnUnchanged) {
  RecordingLog capture;
  Actions actions{[](std::string_view, std::string_view) {
                    return boost::json::object{{"ok", false}, {"error", "disk full"}};
                  },
                  [](Result<std::vector<SafariTab>>, std::string_view) {
                    return boost::json::object{{"ok", true}, {"count", 2}, {"badge", {{"x", 1}}}};
                  }};
  EXPECT_EQ(answer({messageItem(R"({"action":"command","command":"a"})")}, actions,
                   capture.logger()),
            (boost::json::object{{"ok", false}, {"error", "disk full"}}));
  EXPECT_EQ(answer({messageItem(R"({"action":"saveSnapshot","tabs":[],"scannedAt":""})")},
                   actions, capture.logger()),
            (boost::json::object{{"ok", true}, {"count", 2}, {"badge", {{"x", 1}}}}));
}

TEST(DispatchTest, AThrowingActionStillGetsExactlyOneReply) {
  RecordingLog capture;
  Actions actions{[](std::string_view, std::string_view) -> boost::json::object {
                    throw std::runtime_error("out of luck");
                  },
                  [](Result<std::vector<SafariTab>>, std::string_view) -> boost::json::object {
                    throw std::bad_alloc();
                  }};
  EXPECT_EQ(answer({messageItem(R"({"action":"command","command":"a"})")}, actions,
                   capture.logger()),
            (boost::json::object{{"ok", false}, {"error", "cannot answer the message: out of luck"}}));
  // Out of memory is worded by the system, like its other errors.
  EXPECT_EQ(answer({messageItem(R"({"action":"saveSnapshot","tabs":[],"scannedAt":""})")},
                   actions, capture.logger()),
            (boost::json::object{{"ok", false},
                                 {"error", "cannot answer the message: " + errnoText(ENOMEM)}}));
}

TEST(DispatchTest, HandlerLogsThroughItsOwnLogger) {
  RecordingLog log;
  TestEnv env;
  SafariWebExtensionHandler handler(env, log.sink());
  int completions = 0;
  NSExtensionContext context({messageItem(R"({"action":"nothing"})")},
                             [&](std::vector<NSExtensionItem>) { ++completions; });
  handler.beginRequest(context);
  EXPECT_EQ(completions, 1);
  ASSERT_EQ(log.records.size(), 1u);
  EXPECT_EQ(log.records[0], (LogRecord{"local.velmora", "extension", LogLevel::error,
                                       "Ungültige Nachricht von Safari"}));
}

// The host loop sends these when the handler's own reply cannot go out.
TEST(DispatchTest, HandlerGivesTheLoopsFallbackReplies) {
  RecordingLog log;
  TestEnv env;
  const SafariWebExtensionHandler handler(env, log.sink());
  EXPECT_EQ(handler.noReply(),
            (boost::json::object{{"ok", false}, {"error", "Keine Antwort erhalten"}}));
  const std::string failed = "cannot send the reply: Cannot allocate memory";
  EXPECT_EQ(handler.replyFailed(failed), (boost::json::object{{"ok", false}, {"error", failed}}));
  EXPECT_TRUE(log.records.empty());
  const std::string tooLarge = "Antwort zu groß: 2000000 Bytes, höchstens 1048576";
  EXPECT_EQ(handler.replyTooLarge(2000000),
            (boost::json::object{{"ok", false}, {"error", tooLarge}}));
  ASSERT_EQ(log.records.size(), 1u);
  EXPECT_EQ(log.records[0], (LogRecord{"local.velmora", "extension", LogLevel::error, tooLarge}));
}

}  // namespace
}  // namespace velmora
