// What a thread needs of the C++ runtime at its edges: how it may be ended from outside, and
// the state its first throw needs.
#pragma once

#include <exception>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace kelvo {

// The exception with which the C library ends a thread from inside (pthread_exit: the Python
// interpreter ends a daemon thread that way when it asks for the interpreter lock after
// finalization began). It must pass every handler: a catch-all first rethrows it, and no
// frame on its way may be noexcept, or the process aborts.
#if defined(__GLIBCXX__)
using ForcedUnwind = abi::__forced_unwind;
#else
struct ForcedUnwind {};  // no such unwind outside the GNU runtime: never thrown
#endif

// Allocates the calling thread's exception-handling state now. The runtime allocates it on a
// thread's first throw when the C++ library was loaded after the thread began (the extension
// module is loaded with dlopen), and a failed allocation there aborts the process; a thread
// that is about to allocate much calls this first, so that its std::bad_alloc can be thrown.
inline void reserve_exception_state() {
    // The query is declared pure: only a used result keeps the call.
    [[maybe_unused]] volatile const int pending = std::uncaught_exceptions();
}

}  // namespace kelvo
