#include "storage/previous_document_cache.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace velmora::VelmoraStorage {
namespace {

TEST(PreviousDocumentCacheTest, KeepsOneDocumentUpToItsBound) {
  PreviousDocumentCache cache;
  auto small = std::make_shared<const TabSnapshot>();
  cache.keep("small", small);
  EXPECT_EQ(cache.find("small").snapshot, small);
  EXPECT_EQ(cache.find("smalL").snapshot, nullptr);

  // Pages go only with the document they were worked out for.
  cache.keepPages(std::make_shared<const TabSnapshot>().get(), {"a"});
  EXPECT_EQ(cache.find("small").pages, nullptr);
  cache.keepPages(small.get(), {"a"});
  ASSERT_NE(cache.find("small").pages, nullptr);
  EXPECT_EQ(*cache.find("small").pages, std::vector<std::string>{"a"});

  // A larger document is not kept, and the one kept before is dropped.
  const std::string large(PreviousDocumentCache::kMaxDocumentBytes + 1, 'x');
  cache.keep(large, std::make_shared<const TabSnapshot>());
  EXPECT_EQ(cache.find(large).snapshot, nullptr);
  EXPECT_EQ(cache.find("small").snapshot, nullptr);
}

}  // namespace
}  // namespace velmora::VelmoraStorage
