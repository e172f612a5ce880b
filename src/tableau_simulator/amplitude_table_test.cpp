#include "tableau_simulator/amplitude_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace kelvo::tableau_simulator {
namespace {

template <class K>
K label_of(uint64_t v, uint64_t width) {
    const uint64_t words[2] = {v, v >> 7};
    return K::from_words(std::span(words, std::min<uint64_t>(width, 2)), width);
}

template <class K>
void check_against_map(uint64_t width) {
    std::mt19937_64 rng(width);
    AmplitudeTable<K> table;
    std::map<uint64_t, Complex> oracle;
    for (int step = 0; step < 20000; ++step) {
        const uint64_t v = rng() % 3000;
        const K key = label_of<K>(v, width);
        const uint64_t op = rng() % 4;
        if (op < 2) {
            const Complex amp{static_cast<double>(step), 1};
            EXPECT_EQ(table.insert(key, amp).second, oracle.emplace(v, amp).second);
        } else if (op == 2) {
            // Erase a random tenth of the entries, rewriting the others.
            table.update_or_erase([&](const K& k, Complex& amp) {
                const uint64_t id = k.words()[0];
                if (id % 10 == v % 10) {
                    oracle.erase(id);
                    return false;
                }
                amp.im += 1;
                oracle[id].im += 1;
                return true;
            });
        } else {
            const Complex* found = table.find(key);
            ASSERT_EQ(found != nullptr, oracle.contains(v));
            if (found) {
                EXPECT_EQ(*found, oracle[v]);
            }
        }
        ASSERT_EQ(table.size(), oracle.size());
    }
    size_t seen = 0;
    for (const auto [key, amp] : table) {
        EXPECT_EQ(amp, oracle.at(key.words()[0]));
        ++seen;
    }
    EXPECT_EQ(seen, oracle.size());
}

TEST(AmplitudeTable, BehavesLikeAMapAtEveryWidth) {
    check_against_map<Key<1>>(1);
    check_against_map<Key<2>>(2);
    check_against_map<Key<8>>(8);
    check_against_map<Label>(10);
    AmplitudeTable<Key<1>> table;
    table.insert_new(Key<1>{{4}}, {});
    EXPECT_THROW(table.insert_new(Key<1>{{4}}, {}), FatalError);
}

}  // namespace
}  // namespace kelvo::tableau_simulator
