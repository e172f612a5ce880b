// SplitMix64: the generator of the sampler and the tableau simulator. Its whole state is one
// 64-bit word, which callers own.
#pragma once

#include <cstdint>

namespace kelvo {

inline uint64_t splitmix64_next(uint64_t& state) {
    state += 0x9e3779b97f4a7c15;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
}

// Uniform in [0, 1): the top 53 bits of the next output times 2^-53.
inline double splitmix64_uniform(uint64_t& state) {
    return static_cast<double>(splitmix64_next(state) >> 11) * 0x1.0p-53;
}

}  // namespace kelvo
