// MT19937 generation, tempering and the scaling of a word to a list index.
#include "random/mersenne_twister.h"

namespace {

constexpr int32_t kMiddle = 397;
constexpr uint32_t kUpperMask = 0x80000000u;
constexpr uint32_t kLowerMask = 0x7FFFFFFFu;
constexpr uint32_t kInitMultiplier = 1812433253u;
// Twist term by the low bit of y, so the refill has no branch.
constexpr uint32_t kTwist[2] = {0u, 0x9908B0DFu};
// 1 / (2^32 - 1) rounded to the nearest double: word 0xFFFFFFFF maps to 1.0.
constexpr double kWordScale = 2.3283064370807974e-10;

uint32_t Twist(uint32_t current, uint32_t next, uint32_t far) {
  const uint32_t y = (current & kUpperMask) | (next & kLowerMask);
  return far ^ (y >> 1) ^ kTwist[y & 1u];
}

uint32_t Temper(uint32_t w) {
  w ^= w >> 11;
  w ^= (w << 7) & 0x9D2C5680u;
  w ^= (w << 15) & 0xEFC60000u;
  w ^= w >> 18;
  return w;
}

}  // namespace

MersenneTwister g_random;

void MersenneTwister::Seed(uint32_t s) {
  state[0] = s;
  for (int32_t i = 1; i < kDegree; ++i) {
    const uint32_t previous = state[i - 1];
    state[i] = kInitMultiplier * (previous ^ (previous >> 30)) + static_cast<uint32_t>(i);
  }
  index = kDegree;
}

void MersenneTwister::SeedFromSeconds(uint64_t seconds) {
  Seed(static_cast<uint32_t>(seconds & 0xffffffffu));
}

// Regenerates the block in place, in the published order: from k = 227 on
// the far word is one already regenerated in this pass, as is state[0] for
// the last step.
void MersenneTwister::Refill() {
  constexpr int32_t kFirstWrapped = kDegree - kMiddle;  // 227
  int32_t k = 0;
  for (; k < kFirstWrapped; ++k) state[k] = Twist(state[k], state[k + 1], state[k + kMiddle]);
  for (; k < kDegree - 1; ++k) state[k] = Twist(state[k], state[k + 1], state[k - kFirstWrapped]);
  state[kDegree - 1] = Twist(state[kDegree - 1], state[0], state[kMiddle - 1]);
  index = 0;
}

uint32_t MersenneTwister::NextWord() {
  if (index >= kDegree) {
    if (index == kUnseeded) Seed(kDefaultSeed);
    Refill();
  }
  return Temper(state[index++]);
}

int MersenneTwister::RandomIndex(int n) { return ScaleWord(NextWord(), n); }

int MersenneTwister::ScaleWord(uint32_t word, int n) {
  // Two separate double multiplications in this order; for n below 2^21 the
  // first one is exact.
  const double product = static_cast<double>(word) * static_cast<double>(n);
  const double r = product * kWordScale;
  // Compared before converting: r may reach n (and 2^31 for the largest n).
  return r >= static_cast<double>(n) ? n - 1 : static_cast<int>(r);
}
