#include "background_release.h"

#include <pthread.h>

#include <mutex>
#include <thread>

#include "never_destroyed.h"

namespace kelvo::detail {
namespace {

// One thread at most frees what calls hand over; it runs while its queue has work and then
// ends, so that an idle process keeps no thread of it (which a fork or an address-space limit
// would meet).
class FreeingThread {
  public:
    FreeingThread() {
        // A fork while the thread runs leaves the child with the queue but not the thread:
        // the child forgets the thread, and its next hand-over starts one of its own.
        pthread_atfork([] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                       [] {
                           FreeingThread& self = instance();
                           self.running_ = false;
                           self.mutex_.unlock();
                       });
    }

    static FreeingThread& instance() {
        // Never destroyed: the thread may still be freeing while the process exits.
        static NeverDestroyed<FreeingThread> freeing;
        return freeing.get();
    }

    void hand_over(std::unique_ptr<Leftovers> leftovers) noexcept {
        std::unique_lock lock(mutex_);
        try {
            queue_.push_back(std::move(leftovers));
            if (!running_) {
                std::thread([this] { run(); }).detach();
                running_ = true;
            }
        } catch (...) {
            // No memory or no thread: what waits here is freed now, outside the lock.
            std::vector<std::unique_ptr<Leftovers>> waiting;
            waiting.swap(queue_);
            lock.unlock();
            leftovers.reset();
        }
    }

  private:
    void run() noexcept {
        std::unique_lock lock(mutex_);
        while (!queue_.empty()) {
            std::vector<std::unique_ptr<Leftovers>> batch;
            batch.swap(queue_);
            lock.unlock();
            batch.clear();
            lock.lock();
        }
        running_ = false;
    }

    std::mutex mutex_;
    std::vector<std::unique_ptr<Leftovers>> queue_;
    bool running_ = false;
};

}  // namespace

void hand_to_freeing_thread(std::unique_ptr<Leftovers> leftovers) noexcept {
    FreeingThread::instance().hand_over(std::move(leftovers));
}

}  // namespace kelvo::detail
