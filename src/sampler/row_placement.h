// Where the rows of a sampling call go. A call's rows are emitted group by group: with W
// workers, group w holds chunks w, w + W, w + 2W, ... in that order, group 0 first. Any
// thread may run any chunk; each writes the chunk's rows straight to their place:
// - without discarding detectors every chunk keeps all its shots, so its place in the result
//   is known before the call;
// - with discarding detectors and one worker, chunks run in emission order and each chunk's
//   survivors follow the survivors before it;
// - with discarding detectors and several workers, a chunk's survivors first go to the place
//   the chunk would have without discards, in provisional buffers; once every chunk has run,
//   each group is settled (copied behind the survivors of the groups before it), one thread
//   per group.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "memory.h"

namespace kelvo {

// The width of a row in each buffer: bytes of measurement, detector and observable rows, and
// expectation values per row.
struct RowWidths {
    uint64_t measurements = 0;
    uint64_t detectors = 0;
    uint64_t observables = 0;
    uint64_t exp_vals = 0;
};

// A stretch of rows in the four buffers.
struct RowSpans {
    std::span<uint8_t> measurements;
    std::span<uint8_t> detectors;
    std::span<uint8_t> observables;
    std::span<double> exp_vals;
};

// The four row buffers of a call, each the concatenation of its rows.
struct RowBuffers {
    UninitializedVector<uint8_t> measurements;
    UninitializedVector<uint8_t> detectors;
    UninitializedVector<uint8_t> observables;
    UninitializedVector<double> exp_vals;

    // Grows (leaving new rows uninitialised) or cuts every buffer to `rows` rows; a cut keeps
    // the buffers where they are.
    void resize(uint64_t rows, const RowWidths& widths);
    // Rows [first, first + count).
    RowSpans rows(uint64_t first, uint64_t count, const RowWidths& widths);
};

class RowPlacement {
  public:
    // Sizes `result` for every shot of a call of `shots` shots in chunks of `chunk` run by
    // `workers` workers (and the provisional buffers alike, when they are needed).
    RowPlacement(RowBuffers& result, const RowWidths& widths, uint64_t shots, uint64_t chunk,
                 uint64_t workers, bool discarding);

    // Whether the rows of several workers wait in provisional buffers until every chunk ran.
    bool provisional() const { return provisional_; }

    // Room for the rows of chunk c. `kept_before` is the survivors the (only) worker kept
    // before this chunk; it matters only with discards on one worker.
    RowSpans chunk_rows(uint64_t c, uint64_t kept_before);
    // Chunk c kept `survivors` rows (at the start of its room). Threads report distinct chunks.
    void chunk_done(uint64_t c, uint64_t survivors);
    // With provisional rows, once every chunk is done: copies group w's survivors to their
    // place in the result. Threads settle distinct groups.
    void settle(uint64_t w);

  private:
    // The first row of chunk c when no shot is discarded.
    uint64_t full_place(uint64_t c) const;

    RowBuffers& result_;
    RowWidths widths_;
    uint64_t shots_;
    uint64_t chunk_;
    uint64_t workers_;
    bool discarding_;
    bool provisional_;
    std::vector<uint64_t> group_first_row_;  // per group, when no shot is discarded
    std::vector<uint64_t> survivors_;        // per chunk, with provisional rows
    RowBuffers staged_;                      // the provisional rows
};

}  // namespace kelvo
