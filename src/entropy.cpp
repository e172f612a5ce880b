#include "entropy.h"

#include <array>
#include <bit>
#include <random>

namespace kelvo {
namespace detail {
namespace {

struct SipState {
    uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }

    void compress(uint64_t m) {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};

uint64_t load_le(const uint8_t* p, size_t n) {
    uint64_t m = 0;
    for (size_t i = 0; i < n; ++i)
        m |= static_cast<uint64_t>(p[i]) << (8 * i);
    return m;
}

}  // namespace

uint64_t siphash13(uint64_t k0, uint64_t k1, std::span<const uint8_t> message) {
    SipState s{k0 ^ 0x736f6d6570736575, k1 ^ 0x646f72616e646f6d, k0 ^ 0x6c7967656e657261,
               k1 ^ 0x7465646279746573};
    const size_t blocks = message.size() / 8;
    for (size_t i = 0; i < blocks; ++i)
        s.compress(load_le(message.data() + 8 * i, 8));
    const size_t tail = message.size() % 8;
    s.compress(load_le(message.data() + 8 * blocks, tail) |
               (static_cast<uint64_t>(message.size()) << 56));
    s.v2 ^= 0xff;
    for (int i = 0; i < 3; ++i)
        s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace detail

uint64_t entropy_seed() {
    thread_local std::array<uint64_t, 2> keys = [] {
        std::random_device os;
        std::array<uint64_t, 2> k{};
        for (uint64_t& word : k)
            word = (static_cast<uint64_t>(os()) << 32) | os();
        return k;
    }();
    const uint64_t seed = detail::siphash13(keys[0], keys[1], {});
    ++keys[0];
    return seed;
}

}  // namespace kelvo
