#include "model/unicode_text.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora {
namespace {

TEST(CanonicalEquivalence, EquivalentSpellingsAreEqualAndHashAlike) {
  struct Pair {
    const char* a;
    const char* b;
    bool equal;
  };
  const Pair pairs[] = {
      {"abc", "ABC", false},
      {"", "", true},
      {"Caf\xC3\xA9", "Cafe\xCC\x81", true},  // precomposed vs combining acute
      {"\xC3\x85ngstr\xC3\xB6m", "\xE2\x84\xABngstro\xCC\x88m", true},  // angstrom sign
      {"K", "\xE2\x84\xAA", true},                                      // Kelvin sign is a plain K
      {"k", "\xE2\x84\xAA", false},
      {"e\xCC\x81\xCC\xA3", "e\xCC\xA3\xCC\x81", true},  // combining marks reordered
      {"Caf\xC3\xA9", "Cafe", false},
      {"\xEF\xAC\x81", "fi", false},   // a compatibility ligature is not canonical
      {"\xFF\xFE", "\xFF\xFE", true},  // invalid UTF-8 equals only itself
      {"\xFF\xFE", "\xFF", false},
  };
  for (const Pair& p : pairs) {
    EXPECT_EQ(canonicallyEqual(p.a, p.b), p.equal) << '"' << p.a << "\" vs \"" << p.b << '"';
    EXPECT_EQ(canonicallyEqual(p.b, p.a), p.equal) << '"' << p.b << "\" vs \"" << p.a << '"';
    if (p.equal) {
      EXPECT_EQ(canonicalHash(p.a), canonicalHash(p.b)) << '"' << p.a << "\" vs \"" << p.b << '"';
    }
  }
}

TEST(CanonicalEquivalence, FormIsNfc) {
  EXPECT_EQ(canonicalForm("Cafe\xCC\x81"), "Caf\xC3\xA9");
  EXPECT_EQ(canonicalForm("plain ascii"), "plain ascii");
  EXPECT_EQ(canonicalForm("bad \xC3"), "bad \xC3");
}

TEST(IsAscii, LooksAtEveryByte) {
  std::string text(40, 'a');
  EXPECT_TRUE(isAscii(text));
  for (std::size_t at : {0u, 7u, 8u, 31u, 39u}) {
    std::string marked = text;
    marked[at] = '\x80';
    EXPECT_FALSE(isAscii(marked)) << "non-ASCII byte at " << at;
  }
}

TEST(LowerCased, MapsEveryCodePointAndKeepsBadBytes) {
  struct Case {
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {"WWW.Example.COM", "www.example.com"},
      {"\u00C9COLE", "\u00E9cole"},
      {"\u039F\u03A3", "\u03BF\u03C3"},     // no final-sigma rule: context plays no part
      {"\u0130stanbul", "i\u0307stanbul"},  // capital I with dot above
      {"A\377B", "a\377b"},                 // a byte that is not UTF-8
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(lowerCased(c.text), c.expected) << '"' << c.text << '"';
  }
}

}  // namespace
}  // namespace velmora
