// Freeing what a call built without keeping a caller who wants it stopped waiting.
//
// A compilation of millions of operations holds tens of millions of small buffers, and freeing
// them takes a second or more: a call stopped by Ctrl-C would end that much later. What a
// stopped or failed call leaves behind is therefore handed to a thread of its own, which only
// frees it. Nothing else is shared with that thread, and nothing waits for it.
#pragma once

#include <exception>
#include <memory>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "cancellation.h"

namespace kelvo {

// Takes `values` over and frees them on a detached thread (here, when no thread can be
// started or there is no memory for the hand-over).
template <class... T>
void release_in_background(T&&... values) noexcept {
    static_assert((!std::is_lvalue_reference_v<T> && ...), "the values are moved in");
    try {
        auto held = std::make_unique<std::tuple<T...>>(std::move(values)...);
        std::thread([held = std::move(held)] {}).detach();
    } catch (...) {
        // The values, or what is left of them, are freed on the way out.
    }
}

// Frees the elements of `v` from the back a slice at a time, polling `cancel` between slices,
// then its storage.
template <class T>
void release_polling(std::vector<T>& v, const CancellationCheck& cancel) {
    constexpr size_t kSlice = size_t{1} << 16;
    while (v.size() > kSlice) {
        cancel.check();
        v.resize(v.size() - kSlice);
    }
    std::vector<T>().swap(v);
}

// Declared after the locals it names: when the scope is left by an exception, hands them to
// release_in_background before they would be destroyed in turn.
template <class... T>
class ReleaseOnUnwind {
  public:
    explicit ReleaseOnUnwind(T&... values)
        : values_(values...), exceptions_(std::uncaught_exceptions()) {}
    ReleaseOnUnwind(const ReleaseOnUnwind&) = delete;
    ReleaseOnUnwind& operator=(const ReleaseOnUnwind&) = delete;

    ~ReleaseOnUnwind() {
        if (std::uncaught_exceptions() <= exceptions_) return;
        std::apply([](T&... values) { release_in_background(std::move(values)...); }, values_);
    }

  private:
    std::tuple<T&...> values_;
    int exceptions_;
};

}  // namespace kelvo
