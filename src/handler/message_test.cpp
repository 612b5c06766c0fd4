#include "handler/message.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <string>
#include <vector>

#include "support/text_in_pieces.h"

namespace velmora {
namespace {

constexpr char kTab[] =
    R"({"id":1,"windowId":2,"title":"T","url":"https:\/\/a\/","pinned":false,"active":true})";

// Every member but "tabs" is the tree a parser would give; "tabs" is read
// into records, whatever its place and however often it is given.
TEST(ReadMessageTest, TabsBecomeRecordsAndTheRestATree) {
  struct Case {
    std::string text;
    bool tabsAreObjects;
    std::string tabs;  // the number of records, or the failure
  };
  const std::string tab = kTab;
  const std::vector<Case> cases = {
      {R"({"action":"saveSnapshot","scannedAt":"s"})", false, "0"},
      {R"({"tabs":[],"action":"saveSnapshot"})", true, "0"},
      {R"({"x":{"tabs":7},"tabs":[)" + tab + "," + tab + R"(],"y":[1,{"a":null}]})", true,
       "2"},
      {R"({"tabs":[1],"tabs":[)" + tab + "]}", true, "1"},
      {R"({"tabs":[)" + tab + R"(],"tabs":{}})", false, "tabs is not an array"},
      {R"({"tabs":[{},"s"]})", false, R"(tabs[0] lacks "id")"},
      {R"({"tabs":[)" + tab + R"(,{"id":2}]})", true, R"(tabs[1] lacks "windowId")"},
      {R"({"tabs":"[]"})", false, "tabs is not an array"},
  };
  for (const Case& c : cases) {
    const std::optional<Message> message = readMessage(c.text);
    ASSERT_TRUE(message) << c.text;
    boost::json::object members = boost::json::parse(c.text).as_object();
    members.erase("tabs");
    EXPECT_EQ(message->members, members) << c.text;
    EXPECT_EQ(message->tabsAreObjects, c.tabsAreObjects) << c.text;
    EXPECT_EQ(message->tabs ? std::to_string(message->tabs->size())
                            : message->tabs.error().description,
              c.tabs)
        << c.text;
  }
}

// A browser sends half of a surrogate pair when a page's text was cut inside
// it; the half reads as U+FFFD and the message stays usable.
TEST(ReadMessageTest, LoneSurrogateEscapesReadAsReplacementCharacter) {
  const struct {
    const char* name;
    std::string text;
    std::string expected;
  } cases[] = {
      {"high half at the end", R"({"m":"a\ud83d"})", "a\xEF\xBF\xBD"},
      {"high half before text", R"({"m":"\uD83Dx"})", "\xEF\xBF\xBDx"},
      {"low half alone", R"({"m":"\ude00"})", "\xEF\xBF\xBD"},
      {"two high halves", R"({"m":"\ud83d\ud83d"})", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"half, then a pair", R"({"m":"\ud83d\ud83d\ude00"})", "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
      {"escaped backslash before u", R"({"m":"\\ud83d", "n":"\ud83d"})", "\\ud83d"},
  };
  for (const auto& c : cases) {
    const std::optional<Message> message = readMessage(c.text);
    ASSERT_TRUE(message) << c.name;
    EXPECT_EQ(message->members.at("m").as_string(), c.expected) << c.name;
    // As it arrives from the input, also when a piece ends inside an escape.
    for (const std::size_t size : {1, 5, 11, 64}) {
      const std::optional<Message> arriving = readMessage(inPieces(c.text, size), c.text.size());
      ASSERT_TRUE(arriving) << c.name << " in pieces of " << size;
      EXPECT_EQ(arriving->members.at("m").as_string(), c.expected)
          << c.name << " in pieces of " << size;
    }
  }
  const auto inKey = readMessage(R"({"\udc00":1})");
  ASSERT_TRUE(inKey);
  EXPECT_TRUE(inKey->members.contains("\xEF\xBF\xBD"));
  const auto inTab = readMessage(R"({"tabs":[{"id":1,"windowId":2,"title":"\ud83d","url":"",)"
                                 R"("pinned":false,"active":true}]})");
  ASSERT_TRUE(inTab && inTab->tabs);
  EXPECT_EQ(inTab->tabs->at(0).title, "\xEF\xBF\xBD");
}

// Invalid UTF-8 inside a string must not pass as a message, nor anything
// but an object; a tab list that does not decode does not hide it.
TEST(ReadMessageTest, TextThatIsNoJsonObjectIsNoMessage) {
  const std::vector<std::string> unusable = {
      "",
      "{",
      "{'a':1}",
      "\"\xff\"",
      "{\"a\":\"\xc3\"}",
      "{\"a\":\"\xc0\xaf\"}",          // overlong "/"
      "{\"a\":\"\xed\xa0\x80\"}",      // encoded surrogate
      "{\"a\":\"\xf4\x90\x80\x80\"}",  // beyond U+10FFFF
      "{\"\xfe\":1}",
      "{} {}",
      R"({"a":"\ud83d)",        // a half, then the end
      R"({"a":"\ud83d\u12"})",  // a half, then a broken escape
      R"({"tabs":[{}],"a":"\ud83d\u12"})",
      R"({"tabs":[{"title":"\xff"}]})",
      "[]",
      R"("message")",
      "null",
      R"({"x":)" + std::string(256, '[') + std::string(256, ']') + "}",
  };
  for (const auto& text : unusable) {
    EXPECT_FALSE(readMessage(text)) << boost::json::serialize(
        boost::json::string(std::string_view(text.data(), text.size())));
  }
  // The depth is written out, not taken from the constant, so that changing
  // it fails here: 256 levels (the object and 255 arrays) are taken, one
  // more (in the table above) is not.
  const std::string deep = R"({"x":)" + std::string(255, '[') + std::string(255, ']') + "}";
  EXPECT_TRUE(readMessage(deep));
}

}  // namespace
}  // namespace velmora
