// Tests of the generator: the reference MT19937 words, the index draw and
// when the state block is seeded and regenerated.
#include "random/mersenne_twister.h"

#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<int> Draw(MersenneTwister& generator, int count, int n) {
  std::vector<int> indices;
  for (int i = 0; i < count; ++i) {
    indices.push_back(generator.RandomIndex(n));
  }
  return indices;
}

std::vector<uint32_t> Words(MersenneTwister& generator, int count) {
  std::vector<uint32_t> words;
  for (int i = 0; i < count; ++i) {
    words.push_back(generator.NextWord());
  }
  return words;
}

TEST(MersenneTwisterUnseeded, DrawsTheDefaultSeedSequence) {
  MersenneTwister tens;
  EXPECT_EQ(tens.index, 625);
  EXPECT_EQ(Draw(tens, 5, 10), (std::vector<int>{8, 1, 9, 8, 1}));
  EXPECT_EQ(tens.index, 5);
  MersenneTwister hundreds;
  EXPECT_EQ(Draw(hundreds, 5, 100), (std::vector<int>{81, 13, 90, 83, 12}));
}

TEST(MersenneTwisterUnseeded, EqualsSeed5489) {
  MersenneTwister unseeded;
  MersenneTwister seeded;
  seeded.Seed(5489);
  EXPECT_EQ(Words(unseeded, 2000), Words(seeded, 2000));
}

TEST(MersenneTwisterSequence, MatchesReferenceWordsForSeed5489) {
  MersenneTwister generator;
  generator.Seed(5489);
  std::mt19937 reference(5489);
  uint32_t word = 0;
  for (int i = 1; i <= 10000; ++i) {
    word = generator.NextWord();
    const uint32_t expected = static_cast<uint32_t>(reference());
    ASSERT_EQ(word, expected) << "word " << i;
    if (i == 1) {
      EXPECT_EQ(word, 3499211612u);
    }
  }
  EXPECT_EQ(word, 4123659995u);
}

TEST(MersenneTwisterSequence, MatchesReferenceForOtherSeeds) {
  for (uint32_t seed : {0u, 1u, 0x12345678u, 0xFFFFFFFFu}) {
    MersenneTwister generator;
    generator.Seed(seed);
    std::mt19937 reference(seed);
    for (int i = 0; i < 2000; ++i) {
      ASSERT_EQ(generator.NextWord(), static_cast<uint32_t>(reference()))
          << "seed " << seed << " word " << i;
    }
  }
}

TEST(MersenneTwisterSequence, ReseedingRestartsTheSequence) {
  MersenneTwister generator;
  generator.Seed(42);
  const std::vector<uint32_t> first = Words(generator, 700);
  generator.Seed(7);
  const std::vector<uint32_t> other = Words(generator, 10);
  generator.Seed(42);
  EXPECT_EQ(generator.index, 624);
  EXPECT_EQ(Words(generator, 700), first);
  EXPECT_NE(std::vector<uint32_t>(first.begin(), first.begin() + 10), other);
}

TEST(MersenneTwisterSequence, SeedFromSecondsKeepsTheLowWordAfter2038) {
  const uint64_t after2038 = (uint64_t{1} << 31) + 86400;  // 2038-01-20
  const uint64_t after2106 = (uint64_t{1} << 32) + 12345;
  for (uint64_t seconds : {uint64_t{1767225600}, after2038, after2106}) {
    MersenneTwister fromSeconds;
    fromSeconds.SeedFromSeconds(seconds);
    MersenneTwister expected;
    expected.Seed(static_cast<uint32_t>(seconds & 0xffffffffu));
    EXPECT_EQ(Draw(fromSeconds, 50, 1000), Draw(expected, 50, 1000)) << seconds;
  }
  // Two seconds apart, two sequences.
  MersenneTwister first;
  MersenneTwister second;
  first.SeedFromSeconds(after2038);
  second.SeedFromSeconds(after2038 + 1);
  EXPECT_NE(Draw(first, 50, 1000), Draw(second, 50, 1000));
}

TEST(MersenneTwisterLifecycle, RefillsAtFirstAnd625thDrawAfterSeeding) {
  MersenneTwister generator;
  generator.Seed(5489);
  EXPECT_EQ(generator.index, 624);
  const uint32_t seededFirstWord = generator.state[0];
  generator.RandomIndex(10);
  // Refilled without seeding again: the next word continues the block.
  EXPECT_EQ(generator.index, 1);
  EXPECT_NE(generator.state[0], seededFirstWord);
  Draw(generator, 623, 10);
  EXPECT_EQ(generator.index, 624);
  const uint32_t blockFirstWord = generator.state[0];
  generator.RandomIndex(10);
  EXPECT_EQ(generator.index, 1);
  EXPECT_NE(generator.state[0], blockFirstWord);
}

TEST(MersenneTwisterLifecycle, CountOfOneReturnsZeroAndConsumesAWord) {
  MersenneTwister generator;
  MersenneTwister reference;
  for (int i = 0; i < 1300; ++i) {
    ASSERT_EQ(generator.RandomIndex(1), 0);
    reference.NextWord();
  }
  EXPECT_EQ(generator.index, reference.index);
  EXPECT_EQ(generator.NextWord(), reference.NextWord());
}

TEST(MersenneTwisterScale, ZeroWordGivesZero) {
  for (int n : {1, 2, 10, 100, 1 << 21, 2147483647}) {
    EXPECT_EQ(MersenneTwister::ScaleWord(0u, n), 0) << "n " << n;
  }
}

TEST(MersenneTwisterScale, TopWordsGiveTheLastIndex) {
  EXPECT_EQ(MersenneTwister::ScaleWord(0xFFFFFFFEu, 10), 9);
  for (int n : {1, 2, 7, 10, 100, 65536, (1 << 21) - 1, 1 << 21, 1 << 30, 2147483646, 2147483647}) {
    EXPECT_EQ(MersenneTwister::ScaleWord(0xFFFFFFFFu, n), n - 1) << "n " << n;
  }
}

TEST(MersenneTwisterScale, SplitsTheWordRangeEvenly) {
  // Word w maps to i with i <= w * n / (2^32 - 1) < i + 1.
  EXPECT_EQ(MersenneTwister::ScaleWord(0x7FFFFFFFu, 2), 0);
  EXPECT_EQ(MersenneTwister::ScaleWord(0x80000000u, 2), 1);
  EXPECT_EQ(MersenneTwister::ScaleWord(429496729u, 10), 0);
  EXPECT_EQ(MersenneTwister::ScaleWord(429496730u, 10), 1);
  EXPECT_EQ(MersenneTwister::ScaleWord(3499211612u, 10), 8);
  EXPECT_EQ(MersenneTwister::ScaleWord(3499211612u, 100), 81);
}

TEST(MersenneTwisterScale, MultipliesByTheCountBeforeTheScale) {
  // Words whose index differs by one when the scale is applied to n first,
  // or when the quotient is taken exactly: the draw must round as two double
  // products in this order, on every build.
  EXPECT_EQ(MersenneTwister::ScaleWord(1463515284u, 27853225), 9491019);
  EXPECT_EQ(MersenneTwister::ScaleWord(3985978266u, 684307715), 635077170);
  EXPECT_EQ(MersenneTwister::ScaleWord(3732036903u, 1918417407), 1666975338);
}

TEST(MersenneTwisterScale, DrawsScaleTheNextWord) {
  MersenneTwister draws;
  MersenneTwister words;
  for (int n : {1, 3, 7, 10, 1000, 123457, 2147483647}) {
    for (int i = 0; i < 200; ++i) {
      const int index = draws.RandomIndex(n);
      ASSERT_EQ(index, MersenneTwister::ScaleWord(words.NextWord(), n));
      ASSERT_GE(index, 0);
      ASSERT_LT(index, n);
    }
  }
}

}  // namespace
