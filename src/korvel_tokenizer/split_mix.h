#ifndef KORVEL_TOKENIZER_SPLIT_MIX_H_
#define KORVEL_TOKENIZER_SPLIT_MIX_H_

#include <cstdint>

namespace korvel::tokenizer {

// The step between successive states of a SplitMix64 sequence.
inline constexpr uint64_t kSplitMixStep = 0x9E3779B97F4A7C15ull;

// SplitMix64's output function: a bijection that spreads every bit of `z`
// over the whole result. Feeding it states kSplitMixStep apart gives the
// SplitMix64 sequence; the results are fixed, so seeds derived with it
// reproduce across runs and platforms.
inline uint64_t SplitMix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace korvel::tokenizer

#endif  // KORVEL_TOKENIZER_SPLIT_MIX_H_
