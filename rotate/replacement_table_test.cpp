// Tests of the destination table: its hash, its visiting order, growth and
// the source lists it keeps.
#include "rotate/replacement_table.h"

#include <cstdint>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Sources = std::vector<std::string>;

std::vector<std::string> VisitOrder(const ReplacementTable& table) {
  std::vector<std::string> order;
  table.ForEach(
      [&order](const std::string& destination, const Sources&) { order.push_back(destination); });
  return order;
}

// The table's rules followed literally with standard lists, as the reference
// for the visiting order.
class ModelTable {
 public:
  static uint32_t Hash(const std::string& key) {
    uint64_t h = 0;
    for (unsigned char byte : key) {
      const int64_t value = byte < 128 ? byte : static_cast<int64_t>(byte) - 256;
      h = (5 * h + static_cast<uint64_t>(value)) % (uint64_t{1} << 32);
    }
    return static_cast<uint32_t>(h);
  }

  void Insert(const std::string& key) {
    for (const std::list<std::string>& chain : buckets) {
      for (const std::string& present : chain) {
        if (present == key) return;
      }
    }
    if (count + 1 > buckets.size()) Grow(count + 1);
    buckets[Hash(key) % buckets.size()].push_front(key);
    ++count;
  }

  std::vector<std::string> Order() const {
    std::vector<std::string> order;
    for (const std::list<std::string>& chain : buckets) {
      order.insert(order.end(), chain.begin(), chain.end());
    }
    return order;
  }

 private:
  void Grow(size_t wanted) {
    size_t size = 0;
    for (size_t prime : {53, 97, 193, 389, 769, 1543, 3079, 6151, 12289}) {
      if (prime >= wanted) {
        size = prime;
        break;
      }
    }
    std::vector<std::list<std::string>> grown(size);
    for (const std::list<std::string>& chain : buckets) {
      for (const std::string& key : chain) {
        grown[Hash(key) % size].push_front(key);
      }
    }
    buckets = std::move(grown);
  }

  std::vector<std::list<std::string>> buckets = std::vector<std::list<std::string>>(193);
  size_t count = 0;
};

// Names of the kind scripts hold, some with bytes from 0x80 up.
std::string GeneratedKey(int i) {
  std::string key = "music\\track" + std::to_string(i * 7919 % 100003) + ".ogg";
  if (i % 3 == 0) key += "\x83\x5E";
  if (i % 5 == 0) key = "C:\\Game\\" + key;
  return key;
}

void ExpectSameOrderAsModel(int keyCount) {
  ReplacementTable table;
  ModelTable model;
  for (int i = 0; i < keyCount; ++i) {
    table.AddSource(GeneratedKey(i), "source");
    model.Insert(GeneratedKey(i));
  }
  ASSERT_EQ(table.GetCount(), static_cast<uint32_t>(keyCount));
  EXPECT_EQ(VisitOrder(table), model.Order()) << keyCount << " keys";
}

TEST(ReplacementTableHash, MultipliesByFiveAndAddsEachByte) {
  EXPECT_EQ(ReplacementTable::Hash(""), 0u);
  EXPECT_EQ(ReplacementTable::Hash("a"), 97u);
  EXPECT_EQ(ReplacementTable::Hash("ab"), 583u);
  EXPECT_EQ(ReplacementTable::Hash("02"), 290u);
}

TEST(ReplacementTableHash, HighBytesAddANegativeAmount) {
  EXPECT_EQ(ReplacementTable::Hash("\x80"), 0xFFFFFF80u);
  EXPECT_EQ(ReplacementTable::Hash("\xFF"), 0xFFFFFFFFu);
  EXPECT_EQ(ReplacementTable::Hash("a\xE9"), 5u * 97u - 23u);
  EXPECT_EQ(ReplacementTable::Hash("\x83\x5E"), 0u - 531u);  // 5 * -125 + 94
}

TEST(ReplacementTableHash, WrapsAtThirtyTwoBits) {
  for (int i = 0; i < 300; ++i) {
    const std::string key = GeneratedKey(i) + GeneratedKey(i * 31 + 1);
    ASSERT_EQ(ReplacementTable::Hash(key), ModelTable::Hash(key)) << key;
  }
}

// The visiting order: buckets in ascending order, in a bucket the later key
// first, and a key added to again keeps its place.
TEST(ReplacementTableOrder, FollowsBucketsAndChains) {
  using Additions = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    const char* name;
    Additions additions;  // (destination, source)
    std::vector<std::string> order;
  };
  // "a" hashes to 97, "ab" to 583 (bucket 4 of 193), "02" to 290 (bucket 97).
  const Case cases[] = {
      {"ascending buckets", {{"a", "x"}, {"ab", "y"}}, {"ab", "a"}},
      {"the later key leads its chain", {{"a", "x"}, {"02", "y"}}, {"02", "a"}},
      {"the other way round", {{"02", "y"}, {"a", "x"}}, {"a", "02"}},
      {"adding to an entry keeps its place", {{"a", "x"}, {"02", "y"}, {"a", "z"}}, {"02", "a"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReplacementTable table;
    for (const auto& [destination, source] : c.additions) table.AddSource(destination, source);
    EXPECT_EQ(VisitOrder(table), c.order);
  }
}

TEST(ReplacementTableGrowth, NewTableHas193Buckets) {
  ReplacementTable table;
  EXPECT_EQ(table.GetBucketCount(), 193u);
  EXPECT_EQ(table.GetCount(), 0u);
  EXPECT_TRUE(VisitOrder(table).empty());
}

TEST(ReplacementTableGrowth, GrowsThroughTheListWhenEntriesExceedBuckets) {
  ReplacementTable table;
  uint32_t bucketCount = table.GetBucketCount();
  std::vector<std::pair<uint32_t, uint32_t>> growths;  // (entry count, new bucket count)
  for (int i = 0; i < 6152; ++i) {
    table.AddSource(GeneratedKey(i), "source");
    table.AddSource(GeneratedKey(i), "again");  // an existing key never grows the table
    if (table.GetBucketCount() != bucketCount) {
      bucketCount = table.GetBucketCount();
      growths.emplace_back(table.GetCount(), bucketCount);
    }
  }
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {
      {194, 389}, {390, 769}, {770, 1543}, {1544, 3079}, {3080, 6151}, {6152, 12289}};
  EXPECT_EQ(growths, expected);
}

TEST(ReplacementTableGrowth, RehashOrderMatchesTheRules) {
  ExpectSameOrderAsModel(2);
  ExpectSameOrderAsModel(193);
  ExpectSameOrderAsModel(194);
  ExpectSameOrderAsModel(390);
  ExpectSameOrderAsModel(1000);
}

TEST(ReplacementTableGrowth, EntriesSurviveGrowth) {
  ReplacementTable table;
  for (int i = 0; i < 1000; ++i) {
    table.AddSource(GeneratedKey(i), "first" + std::to_string(i));
  }
  for (int i = 0; i < 1000; ++i) {
    table.AddSource(GeneratedKey(i), "second" + std::to_string(i));
  }
  for (int i = 0; i < 1000; ++i) {
    const Sources* sources = table.Find(GeneratedKey(i));
    ASSERT_NE(sources, nullptr) << GeneratedKey(i);
    EXPECT_EQ(*sources, (Sources{"first" + std::to_string(i), "second" + std::to_string(i)}));
  }
}

TEST(ReplacementTableSources, KeepTheirOrderAndDuplicates) {
  ReplacementTable table;
  table.AddSource("title.ogg", "title_b.ogg");
  table.AddSource("field.ogg", "field_a.ogg");
  table.AddSource("title.ogg", "title_a.ogg");
  table.AddSource("title.ogg", "title_b.ogg");
  EXPECT_EQ(table.GetCount(), 2u);
  ASSERT_NE(table.Find("title.ogg"), nullptr);
  EXPECT_EQ(*table.Find("title.ogg"), (Sources{"title_b.ogg", "title_a.ogg", "title_b.ogg"}));
  ASSERT_NE(table.Find("field.ogg"), nullptr);
  EXPECT_EQ(*table.Find("field.ogg"), (Sources{"field_a.ogg"}));
}

TEST(ReplacementTableSources, VisitHandsEachEntrysSources) {
  ReplacementTable table;
  table.AddSource("a", "x");
  table.AddSource("02", "y");
  table.AddSource("a", "z");
  std::vector<std::pair<std::string, Sources>> visited;
  table.ForEach([&visited](const std::string& destination, const Sources& sources) {
    visited.emplace_back(destination, sources);
  });
  const std::vector<std::pair<std::string, Sources>> expected = {{"02", {"y"}}, {"a", {"x", "z"}}};
  EXPECT_EQ(visited, expected);
}

TEST(ReplacementTableKeys, CompareByteForByte) {
  ReplacementTable table;
  table.AddSource("title.ogg", "a.ogg");
  table.AddSource("Title.ogg", "b.ogg");
  table.AddSource("title.ogg ", "c.ogg");
  EXPECT_EQ(table.GetCount(), 3u);
  EXPECT_EQ(*table.Find("title.ogg"), (Sources{"a.ogg"}));
  EXPECT_EQ(*table.Find("Title.ogg"), (Sources{"b.ogg"}));
  EXPECT_EQ(table.Find("TITLE.OGG"), nullptr);
  EXPECT_EQ(table.Find("title"), nullptr);
  EXPECT_EQ(table.Find(""), nullptr);
}

TEST(ReplacementTableKeys, SameBucketKeysStayApart) {
  // 97 and 290 share bucket 97 of 193.
  ReplacementTable table;
  table.AddSource("a", "x");
  table.AddSource("02", "y");
  EXPECT_EQ(*table.Find("a"), (Sources{"x"}));
  EXPECT_EQ(*table.Find("02"), (Sources{"y"}));
  EXPECT_EQ(table.Find("03"), nullptr);
}

}  // namespace
