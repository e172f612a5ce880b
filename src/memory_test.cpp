#include "memory.h"

#include <gtest/gtest.h>

#include <fstream>
#include <new>
#include <sstream>
#include <string>

namespace kelvo {
namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kGiB = uint64_t{1} << 30;

TEST(MemoryGuard, RequestAgainstAvailableWithMargin) {
    const struct {
        uint64_t request, available;
        bool fits;
    } cases[] = {
        // An eighth of what is available stays free.
        {14 * kGiB, 16 * kGiB, true},
        {14 * kGiB + 1, 16 * kGiB, false},
        {16 * kGiB, 16 * kGiB, false},
        {0, 16 * kGiB, true},
        // Below 2 GiB the 256 MiB floor is the margin.
        {768 * kMiB, 1 * kGiB, true},
        {768 * kMiB + 1, 1 * kGiB, false},
        {1792 * kMiB, 2 * kGiB, true},
        {1792 * kMiB + 1, 2 * kGiB, false},
        // Less than the floor available: nothing fits.
        {0, 256 * kMiB, true},
        {1, 256 * kMiB, false},
        {0, 100 * kMiB, false},
        {1, 0, false},
        // No wrap-around at the ends of the range.
        {UINT64_MAX, UINT64_MAX, false},
        {UINT64_MAX - UINT64_MAX / 8, UINT64_MAX, true},
        {UINT64_MAX, 16 * kGiB, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fits_in_memory(c.request, c.available), c.fits)
            << c.request << " of " << c.available;
    }
}

// MemAvailable as an independent reader sees it.
uint64_t mem_available_from_stream() {
    std::ifstream in("/proc/meminfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key;
        uint64_t kib = 0;
        if (fields >> key >> kib && key == "MemAvailable:") return kib * 1024;
    }
    return 0;
}

TEST(MemoryGuard, ReadsTheMemoryAvailableNowAndRefusesWhatCannotFit) {
    const uint64_t available = available_memory_bytes();
    EXPECT_THROW(require_memory(available), std::bad_alloc);
    EXPECT_THROW(require_memory(UINT64_MAX), std::bad_alloc);
    EXPECT_THROW(require_memory(uint64_t{1} << 40, uint64_t{1} << 40), std::bad_alloc);
    EXPECT_THROW(require_memory(available / 8, 16), std::bad_alloc);
    EXPECT_NO_THROW(require_memory(kUncheckedRequestBytes));
    EXPECT_NO_THROW(require_memory(kUncheckedRequestBytes / 8, 8));
    EXPECT_NO_THROW(require_memory(0, UINT64_MAX));

    const uint64_t expected = mem_available_from_stream();
    if (expected == 0) GTEST_SKIP() << "no MemAvailable on this system";
    // Other processes allocate between the two reads.
    EXPECT_NEAR(static_cast<double>(available), static_cast<double>(expected),
                0.05 * static_cast<double>(expected));
    EXPECT_LE(available, physical_memory_bytes());
    EXPECT_LT(usable_memory_bytes(), available);
}

// Growing leaves new elements as they come (no zero-filling pass); values given are kept, what
// is written stays, and shrinking keeps a buffer where it is.
TEST(UninitializedVector, HoldsWhatIsWrittenAndShrinksInPlace) {
    for (const uint64_t size : {uint64_t{100}, uint64_t{5} << 20}) {
        UninitializedVector<uint8_t> v;
        v.resize(size);
        for (uint64_t i = 0; i < size; i += 997)
            v[i] = static_cast<uint8_t>(i);
        v.back() = 7;
        const uint8_t* data = v.data();
        v.resize(size / 2);
        EXPECT_EQ(v.data(), data);
        for (uint64_t i = 0; i < size / 2; i += 997)
            ASSERT_EQ(v[i], static_cast<uint8_t>(i));
        UninitializedVector<double> d(size / 8, 1.5);
        EXPECT_EQ(d.front(), 1.5);
        EXPECT_EQ(d.back(), 1.5);
    }
    UninitializedVector<uint8_t> huge;
    EXPECT_THROW(huge.resize(SIZE_MAX - 100), std::exception);
}

}  // namespace
}  // namespace kelvo
