#include "sampler/row_placement.h"

#include <algorithm>

#include "errors.h"

namespace kelvo {

void RowBuffers::resize(uint64_t rows, const RowWidths& widths) {
    measurements.resize(checked_product(rows, widths.measurements));
    detectors.resize(checked_product(rows, widths.detectors));
    observables.resize(checked_product(rows, widths.observables));
    exp_vals.resize(checked_product(rows, widths.exp_vals));
}

RowSpans RowBuffers::rows(uint64_t first, uint64_t count, const RowWidths& widths) {
    const auto stretch = [&]<class T>(UninitializedVector<T>& buffer, uint64_t width) {
        KELVO_ASSERT((first + count) * width <= buffer.size(), "row buffer size out of range");
        return std::span<T>(buffer).subspan(first * width, count * width);
    };
    return {stretch(measurements, widths.measurements), stretch(detectors, widths.detectors),
            stretch(observables, widths.observables), stretch(exp_vals, widths.exp_vals)};
}

RowPlacement::RowPlacement(RowBuffers& result, const RowWidths& widths, uint64_t shots,
                           uint64_t chunk, uint64_t workers, bool discarding)
    : result_(result),
      widths_(widths),
      shots_(shots),
      chunk_(chunk),
      workers_(workers),
      discarding_(discarding),
      provisional_(discarding && workers > 1) {
    KELVO_ASSERT(chunk > 0 && workers > 0, "row placement of an empty schedule");
    const uint64_t chunk_count = shots / chunk + (shots % chunk != 0);
    // Group w's full chunks, and the call's last chunk (the only short one) in its group.
    group_first_row_.assign(workers + 1, 0);
    for (uint64_t w = 0; w < workers; ++w) {
        const uint64_t chunks = w < chunk_count ? (chunk_count - 1 - w) / workers + 1 : 0;
        uint64_t rows = chunks * chunk;
        if (chunks > 0 && (chunk_count - 1) % workers == w) rows -= chunk_count * chunk - shots;
        group_first_row_[w + 1] = group_first_row_[w] + rows;
    }
    result_.resize(shots, widths);
    if (provisional_) {
        staged_.resize(shots, widths);
        survivors_.assign(chunk_count, 0);
    }
}

uint64_t RowPlacement::full_place(uint64_t c) const {
    return group_first_row_[c % workers_] + (c / workers_) * chunk_;
}

RowSpans RowPlacement::chunk_rows(uint64_t c, uint64_t kept_before) {
    KELVO_ASSERT(c * chunk_ < shots_, "chunk index out of range");
    const uint64_t rows = std::min(chunk_, shots_ - c * chunk_);
    if (provisional_) return staged_.rows(full_place(c), rows, widths_);
    if (discarding_) return result_.rows(kept_before, rows, widths_);
    return result_.rows(full_place(c), rows, widths_);
}

void RowPlacement::chunk_done(uint64_t c, uint64_t survivors) {
    if (!provisional_) return;
    KELVO_ASSERT(c < survivors_.size() && survivors <= chunk_, "chunk index out of range");
    survivors_[c] = survivors;
}

void RowPlacement::settle(uint64_t w) {
    if (!provisional_) return;
    KELVO_ASSERT(w < workers_, "row group out of range");
    uint64_t first = 0;
    for (uint64_t earlier = 0; earlier < w; ++earlier)
        for (uint64_t c = earlier; c < survivors_.size(); c += workers_)
            first += survivors_[c];
    for (uint64_t c = w; c < survivors_.size(); c += workers_) {
        const uint64_t rows = survivors_[c];
        const RowSpans from = staged_.rows(full_place(c), rows, widths_);
        const RowSpans to = result_.rows(first, rows, widths_);
        std::ranges::copy(from.measurements, to.measurements.begin());
        std::ranges::copy(from.detectors, to.detectors.begin());
        std::ranges::copy(from.observables, to.observables.begin());
        std::ranges::copy(from.exp_vals, to.exp_vals.begin());
        first += rows;
    }
}

}  // namespace kelvo
