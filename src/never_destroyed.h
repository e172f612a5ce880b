// A value built once and never destroyed, for function-local statics.
//
// Static destructors run at process exit while other threads may still read the value (sampling
// workers of a daemon interpreter thread), and after the interpreter has finalized (a value
// holding Python objects must not release them then). Leaving the value to the process avoids
// both.
#pragma once

#include <new>
#include <utility>

namespace kelvo {

template <class T>
class NeverDestroyed {
  public:
    template <class... Args>
    explicit NeverDestroyed(Args&&... args) {
        new (storage_) T(std::forward<Args>(args)...);
    }
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;

    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }
    const T& get() const { return *std::launder(reinterpret_cast<const T*>(storage_)); }

  private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace kelvo
