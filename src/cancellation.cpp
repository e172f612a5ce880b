#include "cancellation.h"

namespace kelvo {

bool CancellationCheck::stop_requested_now() const {
    if (stopped_ || !should_stop_) return stopped_;
    stopped_ = should_stop_();
    next_poll_ = Clock::now() + interval_;
    return stopped_;
}

}  // namespace kelvo
