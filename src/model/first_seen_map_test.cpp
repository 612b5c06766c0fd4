#include "model/first_seen_map.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace velmora {
namespace {

std::vector<FirstSeenMap::Entry> entries(const FirstSeenMap& map) {
  return {map.begin(), map.end()};
}

TEST(FirstSeenMap, KeepsInsertionOrderAndReplacesInPlace) {
  FirstSeenMap map;
  map.set("https://b", "t1");
  map.set("https://a", "t2");
  map.set("https://c", "t3");
  map.set("https://a", "t4");
  EXPECT_EQ(entries(map), (std::vector<FirstSeenMap::Entry>{
                              {"https://b", "t1"}, {"https://a", "t4"}, {"https://c", "t3"}}));
  EXPECT_EQ(map.size(), 3u);
}

TEST(FirstSeenMap, LooksUpByCanonicalEquivalence) {
  FirstSeenMap map;
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.find("x"), nullptr);
  map.set("https://host/caf\xC3\xA9", "t1");
  ASSERT_NE(map.find("https://host/cafe\xCC\x81"), nullptr);
  EXPECT_EQ(*map.find("https://host/cafe\xCC\x81"), "t1");
  map.set("https://host/cafe\xCC\x81", "t2");
  EXPECT_EQ(map.size(), 1u);
  EXPECT_EQ(map.begin()->first, "https://host/caf\xC3\xA9");  // first spelling kept
  EXPECT_EQ(map.begin()->second, "t2");
  EXPECT_EQ(map.find("https://host/cafe"), nullptr);
}

TEST(FirstSeenMap, EqualityIgnoresOrderAndSpelling) {
  FirstSeenMap a;
  a.set("u1", "2024-01-01T00:00:00Z");
  a.set("\xC3\xA9", "v\xC3\xA9");
  FirstSeenMap b;
  b.set("e\xCC\x81", "ve\xCC\x81");
  b.set("u1", "2024-01-01T00:00:00Z");
  EXPECT_EQ(a, b);

  FirstSeenMap differentValue = b;
  differentValue.set("u1", "2024-01-01T00:00:01Z");
  EXPECT_NE(a, differentValue);

  FirstSeenMap missing;
  missing.set("u1", "2024-01-01T00:00:00Z");
  EXPECT_NE(a, missing);
  EXPECT_NE(missing, a);
  EXPECT_EQ(FirstSeenMap(), FirstSeenMap());
}

TEST(FirstSeenMap, CopiesAndMovesKeepWorkingLookups) {
  FirstSeenMap original;
  for (int i = 0; i < 200; ++i) {
    original.set("https://host/page/" + std::to_string(i), "t" + std::to_string(i));
  }
  FirstSeenMap copy = original;
  original.set("https://host/page/5", "changed");
  ASSERT_NE(copy.find("https://host/page/5"), nullptr);
  EXPECT_EQ(*copy.find("https://host/page/5"), "t5");

  FirstSeenMap assigned;
  assigned.set("old", "x");
  assigned = copy;
  EXPECT_EQ(assigned.find("old"), nullptr);
  EXPECT_EQ(assigned, copy);

  FirstSeenMap moved = std::move(copy);
  ASSERT_NE(moved.find("https://host/page/199"), nullptr);
  EXPECT_EQ(*moved.find("https://host/page/199"), "t199");
  moved.set("https://host/page/200", "t200");
  EXPECT_EQ(moved.size(), 201u);

  FirstSeenMap moveAssigned;
  moveAssigned = std::move(moved);
  EXPECT_EQ(*moveAssigned.find("https://host/page/0"), "t0");
  EXPECT_EQ(moveAssigned.size(), 201u);
}

}  // namespace
}  // namespace velmora
