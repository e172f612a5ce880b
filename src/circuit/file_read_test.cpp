#include "circuit/file_read.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <new>
#include <string>
#include <thread>

#include "errors.h"

namespace kelvo {
namespace {

// A FIFO in the temporary directory, removed at the end of the test.
class Fifo {
  public:
    Fifo()
        : path_((std::filesystem::temp_directory_path() /
                 ("kelvo_file_read_test_" + std::to_string(::getpid())))
                    .string()) {
        ::unlink(path_.c_str());
        EXPECT_EQ(::mkfifo(path_.c_str(), 0600), 0);
    }
    ~Fifo() { ::unlink(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

struct Interrupted {};

TEST(CircuitFileRead, EndlessSourcesEndAtTheMemoryBound) {
    EXPECT_THROW(detail::read_circuit_file("/dev/zero", {}, uint64_t{1} << 20), std::bad_alloc);
    // Random bytes are not UTF-8 for long.
    EXPECT_THROW(read_circuit_file("/dev/urandom"), KelvoError);
}

TEST(CircuitFileRead, BytesThatAreNotUtf8AreRefusedBeforeTheEnd) {
    const Fifo fifo;
    std::atomic<bool> reader_done = false, writer_gave_up = false;
    std::thread writer([&] {
        const int fd = ::open(fifo.path().c_str(), O_WRONLY);
        // A character cut between two writes is fine; the invalid byte after it is not.
        EXPECT_EQ(::write(fd, "H 0\n\xc3", 5), 5);
        EXPECT_EQ(::write(fd, "\xa9\xff", 2), 2);
        // Keep the pipe open (no end of file) until the reader has given up, or 30 s.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!reader_done && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        writer_gave_up = !reader_done;
        ::close(fd);
    });
    try {
        read_circuit_file(fifo.path());
        ADD_FAILURE() << "invalid UTF-8 was read";
    } catch (const KelvoError& e) {
        EXPECT_EQ(std::string(e.what()), "failed to read circuit file: " + fifo.path());
    }
    reader_done = true;
    writer.join();
    EXPECT_FALSE(writer_gave_up);
}

// A signal ends a blocked open (no writer yet) or read (a writer that sends nothing), and the
// check may abandon the read; without a throwing check the read goes on.
TEST(CircuitFileRead, SignalsReachTheInterruptCheckWhileBlocked) {
    struct sigaction action = {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);  // no SA_RESTART: blocked calls return EINTR
    struct sigaction previous;
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    for (const bool with_writer : {false, true}) {
        const Fifo fifo;
        std::atomic<int> checks = 0;
        std::atomic<bool> done = false;
        std::string outcome;
        std::thread reader([&] {
            try {
                read_circuit_file(fifo.path(), [&] {
                    if (++checks == 3) throw Interrupted{};
                });
                outcome = "read";
            } catch (const Interrupted&) {
                outcome = "interrupted";
            }
            done = true;
        });
        const int fd = with_writer ? ::open(fifo.path().c_str(), O_WRONLY) : -1;
        // Signals sent before the reader blocks are lost, so keep sending; give up after 30 s
        // by letting the read finish.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done && std::chrono::steady_clock::now() < deadline) {
            ::pthread_kill(reader.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!done) {
            const int late = with_writer ? fd : ::open(fifo.path().c_str(), O_WRONLY);
            ::close(late);
        } else if (fd >= 0) {
            ::close(fd);
        }
        reader.join();
        EXPECT_EQ(outcome, "interrupted") << "with writer: " << with_writer;
        EXPECT_EQ(checks, 3);
    }
    ::sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
}  // namespace kelvo
