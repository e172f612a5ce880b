#include "sampler/prepared.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <bit>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <variant>

#include "background_release.h"
#include "bits.h"
#include "compiler/compile.h"
#include "entropy.h"
#include "errors.h"
#include "memory.h"
#include "sampler/batch/postselect.h"
#include "sampler/batch/runtime.h"
#include "sampler/rows.h"
#include "sampler/simd.h"
#include "thread_edges.h"

namespace kelvo {
namespace {

constexpr uint64_t kGolden = 0x9e3779b97f4a7c15;
constexpr uint64_t kMix = 0xbf58476d1ce4e5b9;
constexpr uint64_t kChunkSalt = 0x7EED0000;
constexpr uint64_t kBatchSalt = 0x5EED1234;
// Cheap instructions wait until half the live shots are dead before a compaction.
constexpr uint64_t kCompactionFactor = 2;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

uint64_t ceil_div(uint64_t n, uint64_t d) {
    return n / d + (n % d != 0);
}

template <class T>
uint64_t bytes_of(const std::vector<T>& v) {
    return saturating_mul(v.capacity(), sizeof(T));
}

uint64_t executor_bytes(const BatchFactoredExecutorState& s) {
    uint64_t total = 0;
    for (const std::vector<double>* v :
         {&s.amplitude_re, &s.amplitude_im, &s.scratch_re, &s.scratch_im, &s.exp_values,
          &s.shot_scalars_a, &s.shot_scalars_b, &s.shot_scalars_c}) {
        total = saturating_add(total, bytes_of(*v));
    }
    for (const std::vector<uint64_t>* v :
         {&s.symbol_table, &s.assigned_symbols, &s.measurement_records, &s.detector_records,
          &s.detector_any, &s.work_bits, &s.run_sign_bits, &s.pinned_bits}) {
        total = saturating_add(total, bytes_of(*v));
    }
    total = saturating_add(total, bytes_of(s.symbol_slots));
    for (const BatchActiveComponent& c : s.components) {
        for (const std::vector<double>* v :
             {&c.amplitude_re, &c.amplitude_im, &c.scratch_re, &c.scratch_im}) {
            total = saturating_add(total, bytes_of(*v));
        }
    }
    return total;
}

bool has_postselected_detector(const FactoredInstructionProgram& program) {
    return std::ranges::any_of(program.instructions, [](const FactoredInstruction& i) {
        const auto* d = std::get_if<Detector>(&i);
        return d != nullptr && d->detector.postselect;
    });
}

// Reverses bits [0, live) of a clean row.
void invert_live_bits(std::span<uint64_t> row, uint64_t live) {
    const uint64_t words = word_count(live);
    for (uint64_t w = 0; w < words; ++w)
        row[w] ^= live_word_mask(w, live);
}

// A worker's panic is reported where it happens; the call only says that a worker panicked.
void report_panic(const char* message, std::string_view location) {
    std::fprintf(stderr, "kelvo panicked at %.*s:\n%s\n", static_cast<int>(location.size()),
                 location.data(), message);
    std::fflush(stderr);
}

// How a worker thread ended. A stopped worker ended at a batch boundary because the call was
// asked to stop.
struct WorkerOutcome {
    enum class Kind : uint8_t { Done, Stopped, Error, OutOfMemory, Panic } kind = Kind::Done;
    std::optional<KelvoError> error;
    std::exception_ptr out_of_memory;  // the allocation failure, with its message

    bool failed() const { return kind != Kind::Done && kind != Kind::Stopped; }
};

// Runs `work` on a worker thread: nothing escapes, every way it can end lands in `outcome`.
template <class Work>
void run_guarded(WorkerOutcome& outcome, Work&& work) {
    try {
        try {
            work();
        } catch (const KelvoError& e) {
            outcome.error = e;
            outcome.kind = WorkerOutcome::Kind::Error;
        }
    } catch (const Cancelled&) {
        outcome.kind = WorkerOutcome::Kind::Stopped;
    } catch (const std::bad_alloc&) {
        outcome.kind = WorkerOutcome::Kind::OutOfMemory;
        outcome.out_of_memory = std::current_exception();
    } catch (const std::length_error&) {
        outcome.kind = WorkerOutcome::Kind::OutOfMemory;
    } catch (const FatalError& e) {
        report_panic(e.what(), e.location());
        outcome.kind = WorkerOutcome::Kind::Panic;
    } catch (...) {
        report_panic("unknown C++ exception", "unknown");
        outcome.kind = WorkerOutcome::Kind::Panic;
    }
}

// Counts the worker threads that have ended, so that the calling thread can wait for them in
// steps and poll the caller's check in between.
class EndedWorkers {
  public:
    void add_one() {
        {
            const std::lock_guard lock(mutex_);
            ++count_;
        }
        ended_.notify_one();
    }
    // Waits until `count` workers have ended or `timeout` has passed; true when they have.
    bool wait_for(uint64_t count, CancellationCheck::Clock::duration timeout) {
        std::unique_lock lock(mutex_);
        return ended_.wait_for(lock, timeout, [&] { return count_ >= count; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable ended_;
    uint64_t count_ = 0;
};

// Whether an allocation of a few bytes can fail rather than the process be stopped by the
// system later: under an address-space limit, or where the system never overcommits memory.
bool small_allocations_can_fail() {
    rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) return true;
    static const bool never_overcommits = [] {
        char mode = 0;
        if (FILE* f = std::fopen("/proc/sys/vm/overcommit_memory", "r")) {
            mode = static_cast<char>(std::fgetc(f));
            std::fclose(f);
        }
        return mode == '2';
    }();
    return never_overcommits;
}

// Lets the workers waiting on `go` start.
void start_all(std::atomic<bool>& go) {
    go = true;
    go.notify_all();
}

// Starts, stops and joins the workers still running when the call that spawned them ends.
class JoinOnExit {
  public:
    JoinOnExit(std::vector<std::thread>& threads, std::atomic<bool>& go, std::atomic<bool>& stop)
        : threads_(threads), go_(go), stop_(stop) {}
    JoinOnExit(const JoinOnExit&) = delete;
    JoinOnExit& operator=(const JoinOnExit&) = delete;
    ~JoinOnExit() {
        for (std::thread& t : threads_) {
            if (!t.joinable()) continue;
            stop_ = true;
            start_all(go_);
            t.join();
        }
    }

  private:
    std::vector<std::thread>& threads_;
    std::atomic<bool>& go_;
    std::atomic<bool>& stop_;
};

// Whether a refused thread was refused for want of memory. The system says "try again" (EAGAIN)
// both when a limit on threads is reached and when the new thread's stack cannot be mapped
// (an address-space limit): a stack of the default size mapped now tells them apart.
size_t default_thread_stack_bytes() {
    size_t stack = size_t{8} << 20;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) == 0) {
        pthread_attr_getstacksize(&attributes, &stack);
        pthread_attr_destroy(&attributes);
    }
    return stack;
}

bool thread_refused_for_memory(std::error_code code) {
    if (code == std::errc::not_enough_memory) return true;
    if (code != std::errc::resource_unavailable_try_again) return false;
    const size_t stack = default_thread_stack_bytes();
    void* const probe =
        mmap(nullptr, stack, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (probe == MAP_FAILED) return errno == ENOMEM;
    munmap(probe, stack);
    return false;
}

// Under an address-space limit, whether a new thread's stack still fits with a megabyte to
// spare: the thread's first allocation (its exception state) must not find the space taken by
// its own stack, since a failure there aborts the process.
bool room_for_a_thread() {
    rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
    unsigned long pages = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    const uint64_t used = uint64_t{pages} * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    return used + default_thread_stack_bytes() + (uint64_t{1} << 20) <= limit.rlim_cur;
}

}  // namespace

Sampler::Sampler(const Circuit& circuit, SamplerOptions options, const CancellationCheck& cancel)
    : options_(std::move(options)) {
    const CallClock call;
    const Clock::time_point start = Clock::now();
    program_ = std::make_unique<const FactoredInstructionProgram>(
        plan_circuit(circuit, options_.postselection_mask, cancel));
    const ReleaseOnUnwind release(program_, workers_, expression_plan_);
    const FactoredInstructionProgram& program = *program_;
    logical_records_ = circuit_logical_records(circuit);
    compile_s_ = seconds_since(start);

    measurement_count_ = program.num_records;
    detector_count_ = program.num_detectors;
    observable_count_ = logical_records_.size();
    exp_val_count_ = program.num_exp_vals;
    active_qubit_count_ = program.active_qubits;

    if (options_.normalize_syndromes &&
        (!options_.expected_detectors.empty() || !options_.expected_observables.empty())) {
        throw KelvoError::invalid_input(
            "normalize_syndromes cannot be combined with expected_detectors or "
            "expected_observables");
    }
    if (!options_.expected_detectors.empty() &&
        options_.expected_detectors.size() != detector_count_) {
        throw KelvoError::invalid_input("expected_detectors has length " +
                                        std::to_string(options_.expected_detectors.size()) +
                                        ", expected " + std::to_string(detector_count_));
    }
    if (!options_.expected_observables.empty() &&
        options_.expected_observables.size() != observable_count_) {
        throw KelvoError::invalid_input("expected_observables has length " +
                                        std::to_string(options_.expected_observables.size()) +
                                        ", expected " + std::to_string(observable_count_));
    }
    forced_branches_ = plan_pinned_measurements(program, options_.pin_measurements);
    has_postselection_ = has_postselected_detector(program);
    if (options_.normalize_syndromes) {
        ReferenceSample reference =
            reference_sample_for_program(program, logical_records_, forced_branches_, cancel);
        options_.expected_detectors = std::move(reference.detectors);
        options_.expected_observables = std::move(reference.observables);
    }

    if (options_.batch_size == 0) options_.batch_size = default_batch_count(program.active_qubits);
    if (options_.sample_chunk_shots == 0) {
        options_.sample_chunk_shots = std::max<uint64_t>(options_.batch_size, 2048);
    }
    options_.threads = std::max<uint64_t>(options_.threads, 1);
    kernel_name_ = simd_level() == SimdLevel::Vector ? "neon" : "scalar";

    for (const auto& lists : logical_records_)
        for (const auto& list : lists)
            observable_record_table_.push_back(list);
    KELVO_ASSERT(measurement_count_ <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max()),
                 "measurement record count out of range");
    all_records_table_.emplace_back(measurement_count_);
    for (uint64_t r = 0; r < measurement_count_; ++r)
        all_records_table_[0][r] = static_cast<int32_t>(r + 1);

    workers_.resize(1);
    workers_[0] = make_worker(cancel);
    cancel.check();
    // The expression plan reads which conditions are exogenous from the storage the first
    // worker prepared for this program.
    prepare_presampled_expression_plan(expression_plan_, program, workers_[0]->exogenous, cancel);
}

Sampler::Sampler(Sampler&&) noexcept = default;
Sampler& Sampler::operator=(Sampler&&) noexcept = default;
Sampler::~Sampler() = default;

SampleResult Sampler::sample(uint64_t shots, bool bit_packed, const CancellationCheck& cancel) {
    return sample_impl(shots, entropy_seed(), true, bit_packed, cancel);
}

SampleResult Sampler::sample_with_seed(uint64_t shots, uint64_t seed, bool bit_packed,
                                       const CancellationCheck& cancel) {
    return sample_impl(shots, seed, true, bit_packed, cancel);
}

SampleResult Sampler::sample_counts(uint64_t shots, const CancellationCheck& cancel) {
    return sample_impl(shots, entropy_seed(), false, false, cancel);
}

SampleResult Sampler::sample_counts_with_seed(uint64_t shots, uint64_t seed,
                                              const CancellationCheck& cancel) {
    return sample_impl(shots, seed, false, false, cancel);
}

std::unique_ptr<BatchWorker> Sampler::make_worker(const CancellationCheck& cancel) const {
    const FactoredInstructionProgram& program = *program_;
    auto worker = std::make_unique<BatchWorker>();
    worker->executor = BatchFactoredExecutorState(program, options_.batch_size, 1, cancel);
    worker->executor.shot_major = true;
    worker->executor.forced_branches = forced_branches_;
    if (has_postselection_) {
        prepare_batch_detector_postselection_scratch_for_program(
            worker->postselection, worker->executor, program,
            {options_.expected_detectors, kCompactionFactor, all_records_table_});
    }
    prepare_presampled_exogenous_packed(worker->exogenous, program);
    worker->observable_ones.assign(observable_count_, 0);
    return worker;
}

void Sampler::prepare_workers(uint64_t count) {
    if (!workers_[0]) workers_[0] = make_worker();
    // What one more workspace costs once its first chunk has run: worker 0's buffers, the
    // chunk's noise and expression rows, and the detector and observable rows of a batch.
    // A caller may ask for any number of threads, so this is checked before any is built.
    const uint64_t chunk_words = word_count(options_.sample_chunk_shots);
    const uint64_t batch_words = workers_[0]->executor.words_per_batch;
    const uint64_t rows = saturating_add(
        saturating_mul(
            saturating_add(program_->num_symbols, expression_plan_.block_expressions.size()),
            chunk_words),
        saturating_mul(saturating_add(detector_count_, observable_count_), batch_words));
    const uint64_t per_worker = saturating_add(
        saturating_add(executor_bytes(workers_[0]->executor), saturating_mul(rows, 8)),
        saturating_add(sizeof(BatchWorker), saturating_mul(observable_count_, 8)));
    // Existing workspaces already hold their buffers, and later growth of those is checked
    // where it happens; what must fit now is the workspaces still to be built.
    uint64_t missing = count > workers_.size() ? count - workers_.size() : 0;
    for (uint64_t w = 1; w < std::min<uint64_t>(count, workers_.size()); ++w)
        missing += workers_[w] ? 0 : 1;
    require_memory(missing, per_worker, "the worker threads' workspaces");
    // Each thread builds its own workspace (run_threads), so that they are built in parallel.
    if (workers_.size() < count) workers_.resize(count);
}

void Sampler::write_rows(const BatchWorker& worker, const RowSpans& rows, uint64_t row,
                         uint64_t live, bool bit_packed) const {
    const BatchFactoredExecutorState& executor = worker.executor;
    const uint64_t wpb = executor.words_per_batch;
    const auto rows_at = [&](std::span<uint8_t> buffer, uint64_t columns) {
        const uint64_t bytes = row_bytes(columns, bit_packed);
        KELVO_ASSERT((row + live) * bytes <= buffer.size(), "row buffer size out of range");
        return buffer.subspan(row * bytes, live * bytes);
    };
    write_bit_rows(rows_at(rows.measurements, measurement_count_), executor.measurement_records, {},
                   measurement_count_, wpb, live, bit_packed);
    write_bit_rows(rows_at(rows.detectors, detector_count_), executor.detector_records,
                   options_.expected_detectors, detector_count_, wpb, live, bit_packed);
    write_bit_rows(rows_at(rows.observables, observable_count_), worker.observable_words, {},
                   observable_count_, wpb, live, bit_packed);
    if (exp_val_count_ == 0) return;
    KELVO_ASSERT(
        (row + live) * exp_val_count_ <= rows.exp_vals.size() &&
            (exp_val_count_ - 1) * executor.batch_capacity + live <= executor.exp_values.size(),
        "expectation value index out of range");
    double* out = rows.exp_vals.data() + row * exp_val_count_;
    for (uint64_t s = 0; s < live; ++s)
        for (uint64_t e = 0; e < exp_val_count_; ++e)
            *out++ = executor.exp_values[e * executor.batch_capacity + s];
}

void Sampler::run_worker(BatchWorker& worker, const SampleCall& call) const {
    worker.observable_ones.assign(observable_count_, 0);
    worker.total_shots = worker.discards = worker.passed_shots = worker.logical_errors = 0;
    worker.presample_s = worker.execute_s = 0;
    worker.executor.record_detectors = call.keep_records;
    // A batch of a long program runs for seconds, so it looks for a stop between instructions
    // too: on a worker thread by reading the flag, never the caller's check.
    const std::atomic<bool>* const stop = call.stop;
    const CancellationCheck stop_flag =
        stop ? CancellationCheck([stop] { return stop->load(std::memory_order_relaxed); },
                                 std::chrono::milliseconds(5))
             : CancellationCheck();
    const CancellationCheck& batch_check = stop ? stop_flag : *call.cancel;
    // A free worker takes the next chunk: a worker held up (by the machine's other work, or
    // by a chunk that costs more) does not hold up the call.
    for (;;) {
        const uint64_t c = call.next_chunk->fetch_add(1, std::memory_order_relaxed);
        if (c >= call.chunk_count) break;
        run_chunk(worker, call, c, batch_check);
    }
}

void Sampler::run_chunk(BatchWorker& worker, const SampleCall& call, uint64_t c,
                        const CancellationCheck& batch_check) const {
    const FactoredInstructionProgram& program = *program_;
    BatchFactoredExecutorState& executor = worker.executor;
    const uint64_t key = kMix * (call.seed + 1);
    const uint64_t chunk = options_.sample_chunk_shots;
    const uint64_t batch = options_.batch_size;
    const uint64_t batches_per_chunk = ceil_div(chunk, batch);
    const std::span<const uint8_t> expected_observables(options_.expected_observables);
    // Rows kept after a batch: every record for row output, else the observables' records.
    const PostselectionContext postselection{
        options_.expected_detectors, kCompactionFactor,
        call.keep_records ? all_records_table_ : observable_record_table_};
    if (call.stop_requested()) throw Cancelled();
    const uint64_t shots = std::min(chunk, call.shots - c * chunk);
    const RowSpans rows =
        call.keep_records ? call.rows->chunk_rows(c, worker.passed_shots) : RowSpans{};
    uint64_t kept = 0;

    const Clock::time_point presample = Clock::now();
    resample_prepared_exogenous_packed_in_place(worker.exogenous, program, shots,
                                                kGolden * (c + 1) ^ kChunkSalt ^ key);
    evaluate_presampled_expression_block(worker.expressions, expression_plan_, worker.exogenous);
    worker.presample_s += seconds_since(presample);

    const Clock::time_point execute = Clock::now();
    for (uint64_t b = 0, offset = 0; offset < shots; ++b, offset += batch) {
        if (call.stop_requested()) throw Cancelled();
        const uint64_t m = std::min(batch, shots - offset);
        reset_batch_executor(executor, program, m);
        executor.rng_state = kGolden * (c * batches_per_chunk + b + 1) ^ key ^ kBatchSalt;
        if (has_postselection_) {
            worker.discards += execute_batch_postselected_in_place(
                                   executor, program, expression_plan_, worker.expressions, offset,
                                   worker.postselection, postselection, batch_check)
                                   .discarded;
        } else {
            execute_batch_in_place_expressions(executor, program, expression_plan_,
                                               worker.expressions, offset, batch_check);
        }
        const uint64_t live = executor.live_shots;
        const uint64_t wpb = executor.words_per_batch;
        fill_observable_words(worker.observable_words, executor, logical_records_);
        const std::span<uint64_t> observable_words(worker.observable_words);
        for (uint64_t j = 0; j < observable_count_; ++j) {
            const std::span<uint64_t> row = observable_words.subspan(j * wpb, wpb);
            if (j < expected_observables.size() && expected_observables[j] != 0) {
                invert_live_bits(row, live);
            }
            uint64_t ones = 0;
            for (uint64_t w = 0; w < word_count(live); ++w)
                ones += static_cast<uint64_t>(std::popcount(row[w]));
            worker.observable_ones[j] += ones;
            if (j == options_.observable) worker.logical_errors += ones;
        }
        if (call.keep_records) write_rows(worker, rows, kept, live, call.bit_packed);
        kept += live;
        worker.passed_shots += live;
        worker.total_shots += m;
        if (shots - offset <= batch) break;
    }
    worker.execute_s += seconds_since(execute);
    if (call.keep_records) call.rows->chunk_done(c, kept);
}

SampleResult Sampler::sample_impl(uint64_t shots, uint64_t seed, bool keep_records, bool bit_packed,
                                  const CancellationCheck& cancel) {
    uint64_t output_bytes = 0;
    if (keep_records) {
        uint64_t total = 0;
        bool fits = true;
        for (const uint64_t columns : {measurement_count_, detector_count_, observable_count_}) {
            uint64_t bytes = 0;
            fits = fits && !__builtin_mul_overflow(shots, row_bytes(columns, bit_packed), &bytes);
            total = saturating_add(total, bytes);
        }
        uint64_t values = 0;
        fits = fits && !__builtin_mul_overflow(shots, exp_val_count_, &values);
        if (!fits) throw KelvoError::invalid_input("sampling output size exceeds usize");
        output_bytes = saturating_add(total, saturating_mul(values, sizeof(double)));
    }
    const uint64_t chunk = options_.sample_chunk_shots;
    const uint64_t batch = options_.batch_size;
    if (chunk == 0 || batch == 0) {
        throw KelvoError::invalid_input("division by zero in chunk sizing");
    }
    const uint64_t chunk_count = ceil_div(shots, chunk);
    const uint64_t workers = std::min(options_.threads, std::max<uint64_t>(chunk_count, 1));
    // The rows are written as the call runs; refuse them up front rather than run out of
    // memory half way. Provisional rows (discarding detectors, several workers) take as much
    // again.
    require_memory(
        has_postselection_ && workers > 1 ? saturating_mul(output_bytes, 2) : output_bytes,
        "the sample records");
    prepare_workers(workers);

    SampleResult result;
    result.observable_ones.assign(observable_count_, 0);
    result.bit_packed = bit_packed;
    const Clock::time_point start = Clock::now();
    std::atomic<uint64_t> next_chunk = 0;
    SampleCall call{shots, seed, chunk_count, workers, keep_records, bit_packed, &next_chunk};
    call.cancel = &cancel;
    const RowWidths widths{row_bytes(measurement_count_, bit_packed),
                           row_bytes(detector_count_, bit_packed),
                           row_bytes(observable_count_, bit_packed), exp_val_count_};
    std::optional<RowPlacement> rows;
    if (keep_records) {
        call.rows = &rows.emplace(result, widths, shots, chunk, workers, has_postselection_);
    }

    // On any failure the rows written so far go with `result` and `rows`: nothing partial is
    // returned.
    if (workers == 1) {
        try {
            run_worker(*workers_[0], call);
        } catch (const Cancelled&) {
            throw;  // stopped at a batch boundary, as a finished call ends
        } catch (...) {
            workers_[0].reset();
            throw;
        }
    } else {
        run_threads(call);
    }
    rows.reset();  // the provisional rows, if any

    for (uint64_t w = 0; w < workers; ++w) {
        BatchWorker& worker = *workers_[w];
        result.total_shots += worker.total_shots;
        result.discards += worker.discards;
        result.passed_shots += worker.passed_shots;
        result.logical_errors += worker.logical_errors;
        result.presample_s += worker.presample_s;
        result.execute_s += worker.execute_s;
        for (uint64_t j = 0; j < observable_count_; ++j)
            result.observable_ones[j] += worker.observable_ones[j];
    }
    // Discarded shots leave room at the end; the cut keeps the buffers where they are.
    if (keep_records) result.resize(result.passed_shots, widths);
    result.record_rows = keep_records ? result.passed_shots : 0;
    result.sample_s = seconds_since(start);
    result.active_threads = workers;
    return result;
}

void Sampler::run_threads(const SampleCall& call) {
    std::vector<WorkerOutcome> outcomes(call.workers);
    std::vector<std::thread> threads;
    threads.reserve(call.workers);
    // With provisional rows every worker waits for all to finish sampling before it settles
    // its group; a failed or stopped one still arrives, and then nobody settles.
    const bool settle = call.rows != nullptr && call.rows->provisional();
    std::barrier<> sampled(static_cast<std::ptrdiff_t>(settle ? call.workers : 0));
    std::atomic<bool> failed = false;
    std::atomic<bool> stop = false;
    SampleCall shared = call;
    shared.stop = &stop;
    EndedWorkers ended;
    std::optional<ThreadSpawnError> spawn_failure;
    // A worker's exception state is allocated on its first throw unless it reserves it first,
    // and a failure there aborts. Where small allocations can fail (an address-space limit),
    // that reservation can fail too while other threads map their own memory, so the workers
    // then reserve it one at a time while nothing else allocates, and start work together
    // once all have; elsewhere each starts at once.
    const bool one_at_a_time = small_allocations_can_fail();
    std::atomic<uint64_t> reserved = 0;
    std::atomic<bool> go = !one_at_a_time;
    // However this call ends (the caller's check may end the thread itself by unwinding it, as
    // the interpreter does at exit), the workers start, stop and are joined before what they
    // share goes away.
    const JoinOnExit join_on_exit(threads, go, stop);
    for (uint64_t w = 0; w < call.workers; ++w) {
        try {
            if (one_at_a_time && !room_for_a_thread())
                throw std::system_error(std::make_error_code(std::errc::not_enough_memory));
            threads.emplace_back(
                [this, &outcomes, &sampled, &failed, &ended, &shared, &reserved, &go, settle, w] {
                    reserve_exception_state();
                    reserved.fetch_add(1);
                    reserved.notify_one();
                    go.wait(false);
                    WorkerOutcome& outcome = outcomes[w];
                    run_guarded(outcome, [&] {
                        if (!workers_[w]) workers_[w] = make_worker();
                        run_worker(*workers_[w], shared);
                    });
                    if (settle) {
                        if (outcome.kind != WorkerOutcome::Kind::Done) failed = true;
                        sampled.arrive_and_wait();
                        if (!failed) run_guarded(outcome, [&] { shared.rows->settle(w); });
                    }
                    ended.add_one();
                });
        } catch (const std::system_error& e) {
            // A refused thread is a shortage, not a broken invariant: the workers already
            // started stop at their next batch boundary, the ones never started do not hold
            // them at the barrier, no rows are settled, and the call fails as an error.
            spawn_failure.emplace(e.code(), thread_refused_for_memory(e.code()));
            failed = true;
            stop = true;
            if (settle) {
                for (uint64_t missing = w; missing < call.workers; ++missing)
                    sampled.arrive_and_drop();
            }
            break;
        }
        for (uint64_t now = reserved.load(); one_at_a_time && now <= w; now = reserved.load())
            reserved.wait(now);
    }
    start_all(go);
    // Wait for the workers, polling the caller's check meanwhile; a stop reaches every worker
    // at its next batch boundary.
    const uint64_t started = threads.size();
    const CancellationCheck::Clock::duration poll = call.cancel->interval();
    while (!ended.wait_for(started, poll)) {
        if (!stop && call.cancel->stop_requested()) stop = true;
    }
    for (std::thread& t : threads)
        t.join();

    // A failed workspace may be left half way through a batch: the next call rebuilds it. A
    // stopped one ended between batches, as a finished one does.
    for (uint64_t w = 0; w < started; ++w)
        if (outcomes[w].failed()) workers_[w].reset();
    for (uint64_t w = 0; w < started; ++w) {
        const WorkerOutcome& outcome = outcomes[w];
        if (!outcome.failed()) continue;
        // The first failure decides; a later panic still ends the call as one.
        for (uint64_t later = w + 1; later < started; ++later) {
            if (outcomes[later].kind == WorkerOutcome::Kind::Panic) {
                fatal("a scoped thread panicked");
            }
        }
        switch (outcome.kind) {
            case WorkerOutcome::Kind::Error:
                throw *outcome.error;
            case WorkerOutcome::Kind::OutOfMemory:
                if (outcome.out_of_memory) std::rethrow_exception(outcome.out_of_memory);
                throw std::bad_alloc();
            default:
                throw KelvoError::worker_panic();
        }
    }
    if (spawn_failure) throw *spawn_failure;
    if (stop) throw Cancelled();
}

}  // namespace kelvo
