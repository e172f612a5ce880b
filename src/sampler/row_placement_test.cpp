#include "sampler/row_placement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "errors.h"
#include "splitmix64.h"

namespace kelvo {
namespace {

// Row r of chunk c, as its bytes and value: unique per (c, r).
uint8_t byte_of(uint64_t c, uint64_t r, uint64_t j) {
    return static_cast<uint8_t>(31 * c + 7 * r + j);
}

void fill(const RowSpans& rows, const RowWidths& w, uint64_t c, uint64_t count) {
    for (uint64_t r = 0; r < count; ++r) {
        for (uint64_t j = 0; j < w.measurements; ++j)
            rows.measurements[r * w.measurements + j] = byte_of(c, r, j);
        for (uint64_t j = 0; j < w.detectors; ++j)
            rows.detectors[r * w.detectors + j] = byte_of(c, r, j + 100);
        for (uint64_t j = 0; j < w.exp_vals; ++j)
            rows.exp_vals[r * w.exp_vals + j] = static_cast<double>(c * 1000 + r) + 0.5 * j;
    }
}

// The rows of a call by hand: group w's chunks w, w + W, ... in order, group 0 first, each
// chunk's first survivors[c] rows.
RowBuffers emission_order(const RowWidths& w, uint64_t workers,
                          const std::vector<uint64_t>& survivors) {
    RowBuffers want;
    for (uint64_t g = 0; g < workers; ++g) {
        for (uint64_t c = g; c < survivors.size(); c += workers) {
            for (uint64_t r = 0; r < survivors[c]; ++r) {
                for (uint64_t j = 0; j < w.measurements; ++j)
                    want.measurements.push_back(byte_of(c, r, j));
                for (uint64_t j = 0; j < w.detectors; ++j)
                    want.detectors.push_back(byte_of(c, r, j + 100));
                for (uint64_t j = 0; j < w.exp_vals; ++j)
                    want.exp_vals.push_back(static_cast<double>(c * 1000 + r) + 0.5 * j);
            }
        }
    }
    return want;
}

// Chunks run in a scrambled order (as free workers take them), with or without discards, on
// one or several workers: the rows come out in emission order.
TEST(RowPlacement, RowsLandInEmissionOrderWhoeverRunsTheChunks) {
    uint64_t rng = 5;
    const RowWidths widths{3, 2, 0, 2};
    for (const bool discarding : {false, true}) {
        for (const uint64_t workers : {1, 2, 3, 8}) {
            for (const uint64_t shots : {1, 99, 100, 101, 1234}) {
                const uint64_t chunk = 100;
                const uint64_t chunks = (shots + chunk - 1) / chunk;
                RowBuffers result;
                RowPlacement placement(result, widths, shots, chunk, workers, discarding);
                EXPECT_EQ(placement.provisional(), discarding && workers > 1);
                std::vector<uint64_t> order(chunks), survivors(chunks);
                for (uint64_t c = 0; c < chunks; ++c)
                    order[c] = c;
                // One worker runs its chunks in order; several take them in any order.
                if (workers > 1) {
                    for (uint64_t i = chunks; i > 1; --i)
                        std::swap(order[i - 1], order[splitmix64_next(rng) % i]);
                }
                uint64_t kept = 0;
                for (const uint64_t c : order) {
                    const uint64_t size = std::min(chunk, shots - c * chunk);
                    survivors[c] = discarding ? splitmix64_next(rng) % (size + 1) : size;
                    fill(placement.chunk_rows(c, kept), widths, c, survivors[c]);
                    placement.chunk_done(c, survivors[c]);
                    kept += survivors[c];
                }
                for (uint64_t g = workers; g > 0; --g)
                    placement.settle(g - 1);
                result.resize(kept, widths);
                const RowBuffers want = emission_order(widths, workers, survivors);
                EXPECT_TRUE(std::ranges::equal(result.measurements, want.measurements))
                    << discarding << " " << workers << " " << shots;
                EXPECT_TRUE(std::ranges::equal(result.detectors, want.detectors));
                EXPECT_TRUE(std::ranges::equal(result.exp_vals, want.exp_vals));
                EXPECT_TRUE(result.observables.empty());
            }
        }
    }
}

TEST(RowPlacement, ChunksOutsideTheCallAreRefused) {
    RowBuffers result;
    RowPlacement placement(result, {1, 1, 1, 1}, 250, 100, 2, true);
    EXPECT_THROW(placement.chunk_rows(3, 0), FatalError);
    EXPECT_THROW(placement.chunk_done(3, 0), FatalError);
    EXPECT_THROW(placement.chunk_done(0, 101), FatalError);
    EXPECT_THROW(placement.settle(2), FatalError);
    EXPECT_THROW(RowPlacement(result, {1, 1, 1, 1}, 250, 0, 2, true), FatalError);
}

}  // namespace
}  // namespace kelvo
