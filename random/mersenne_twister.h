// The program's one pseudo-random generator: MT19937 with its reference
// seeding, and the draw of a list position from one output word.
#pragma once

#include <cstdint>

class MersenneTwister {
 public:
  static constexpr int32_t kDegree = 624;
  // Value of index before any seed was given.
  static constexpr int32_t kUnseeded = kDegree + 1;
  // Seed applied by the first draw when none was given.
  static constexpr uint32_t kDefaultSeed = 5489u;

  // Constant initialisation: the global instance exists, unseeded, before
  // any code runs.
  constexpr MersenneTwister() : state{}, index(kUnseeded) {}

  // Reference initialisation from one word; the next draw refills the block.
  void Seed(uint32_t s);
  // Seeds with a calendar time in whole seconds since 1970, of which the low
  // 32 bits count, so a time after January 2038 seeds as well as any other.
  void SeedFromSeconds(uint64_t seconds);
  // Index from 0 to n - 1 (n at least 1, not checked); consumes one word.
  int RandomIndex(int n);
  // The next tempered output word, seeding with 5489 first when unseeded.
  uint32_t NextWord();
  // Maps a word onto 0..n - 1 as RandomIndex does: word * n / (2^32 - 1),
  // truncated, with the top word clamped to n - 1.
  static int ScaleWord(uint32_t word, int n);

  uint32_t state[kDegree];
  // Next word to hand out: 0..623 ready, 624 used up, 625 never seeded.
  int32_t index;

 private:
  void Refill();
};

// The one generator of the program.
extern MersenneTwister g_random;
