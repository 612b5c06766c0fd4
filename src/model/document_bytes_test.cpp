#include "model/document_bytes.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <string>

namespace velmora {
namespace {

TEST(DocumentBytes, EscapesSlashesOnlyInsideStrings) {
  struct Case {
    const char* document;
    const char* bytes;
  };
  const Case cases[] = {
      {R"({"url":"https://host/a"})", R"({"url":"https:\/\/host\/a"})"},
      {R"({"a/b":["/","//",""],"n":-1.5e-3})", R"({"a\/b":["\/","\/\/",""],"n":-1.5E-3})"},
      {R"({"already":"\/x"})", R"({"already":"\/x"})"},
      {R"([1, true, null, "x"])", R"([1,true,null,"x"])"},
      {R"({"q":"say \"hi\" \\ there"})", R"({"q":"say \"hi\" \\ there"})"},
      {R"({"c":"\u0001\n\t\r\b\f\u001f"})", R"({"c":"\u0001\n\t\r\b\f\u001f"})"},
      {R"({"t":"Caf\u00e9 \u2014 \ud83d\ude00"})",
       "{\"t\":\"Caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80\"}"},
      {R"({})", R"({})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(documentBytes(boost::json::parse(c.document)), c.bytes) << c.document;
  }
}

TEST(DocumentBytes, ReadsBackToTheSameValue) {
  // Every "/" must survive also where it falls on a boundary of the
  // serialiser's output chunks, so try long strings at many offsets.
  for (std::size_t length : {1u, 4095u, 16383u, 16384u, 16385u, 40000u}) {
    std::string text(length, '/');
    for (std::size_t i = 0; i < length; i += 3) text[i] = 'a';
    boost::json::value document = {{"s", text}, {"k", "/"}};
    std::string bytes = documentBytes(document);
    EXPECT_EQ(boost::json::parse(bytes), document) << "length " << length;
    for (std::size_t at = bytes.find('/'); at != std::string::npos; at = bytes.find('/', at + 1)) {
      ASSERT_EQ(bytes[at - 1], '\\') << "unescaped slash at " << at << ", length " << length;
    }
  }
}

// The writer's own way with plain texts must give the serialiser's bytes:
// every byte it treats apart, at every place of texts around the sizes of
// the blocks it reads, alone and after a "/".
TEST(DocumentBytes, TheWriterWritesAStringAsTheTreeDoes) {
  const std::string bytes[] = {"/", "\"", "\\", std::string(1, '\0'), "\x1f", "\n",
                               " ",  "\x7f", "\xC3\xA9"};
  for (std::size_t length = 0; length <= 40; ++length) {
    for (const std::string& byte : bytes) {
      for (std::size_t at = 0; at < std::max<std::size_t>(length, 1); ++at) {
        for (const bool slashFirst : {false, true}) {
          std::string text(length, 'a');
          if (length > 0) text.replace(at, 1, byte);
          if (slashFirst && length > 0) text[0] = '/';
          std::string written = "x";
          DocumentWriter(written).string(text);
          ASSERT_EQ(written, "x" + documentBytes(boost::json::value(text)))
              << "length " << length << ", byte " << static_cast<int>(byte[0]) << " at " << at;
        }
      }
    }
  }
}

TEST(DocumentBytes, DoublesRoundTripExactly) {
  for (double d : {786123456.789, 0.1, -0.0, 1e300, 5e-324, 123456789012345680.0, 2.5}) {
    boost::json::value document = {{"date", d}};
    boost::json::value back = boost::json::parse(documentBytes(document));
    ASSERT_TRUE(back.at("date").is_double()) << d;
    EXPECT_EQ(back.at("date").get_double(), d);
  }
}

}  // namespace
}  // namespace velmora
