// A compiled circuit ready to be sampled: the program, its read-only plans and one reusable
// workspace per worker thread; and the result of a sampling call.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "cancellation.h"
#include "circuit/ir.h"
#include "compiler/program.h"
#include "memory.h"
#include "sampler/batch/executor.h"
#include "sampler/batch/postselect.h"
#include "sampler/exogenous.h"
#include "sampler/pinning.h"
#include "sampler/presampled_expression.h"
#include "sampler/reference.h"
#include "sampler/row_placement.h"

namespace kelvo {

// What the caller asks of a Sampler. An empty list means the option was not given; zero sizes
// mean the defaults.
struct SamplerOptions {
    std::vector<uint8_t> postselection_mask;    // per detector; nonzero discards failing shots
    std::vector<uint8_t> expected_detectors;    // per detector; nonzero inverts its bit
    std::vector<uint8_t> expected_observables;  // per observable; nonzero inverts its bit
    std::vector<MeasurementParity> pin_measurements;
    bool normalize_syndromes = false;  // expected bits from the noiseless reference shot
    uint64_t observable = 0;           // the observable whose ones count as logical errors
    uint64_t threads = 0;
    uint64_t sample_chunk_shots = 0;
    uint64_t batch_size = 0;
};

// The scalar outcome of one sampling call, apart from its rows.
struct SampleCounters {
    uint64_t total_shots = 0;
    uint64_t discards = 0;
    uint64_t passed_shots = 0;
    uint64_t logical_errors = 0;
    double compile_s = 0;  // left 0; the caller copies the Sampler's compile time in
    double presample_s = 0;
    double execute_s = 0;
    double sample_s = 0;
    uint64_t active_threads = 0;
    uint64_t record_rows = 0;
    bool bit_packed = false;
};

// The rows and counters of one sampling call. A row is one byte per column, or, bit-packed,
// ceil(n / 8) bytes with column j in bit j % 8 of byte j / 8. Buffers hold `record_rows` rows
// each (zero-width buffers stay empty); counts-only calls hold no rows.
// Detector rows are inverted where the expected detector bit is set, observable rows where the
// expected observable bit is set; expectation values are per row in slot order.
struct SampleResult : SampleCounters, RowBuffers {
    std::vector<uint64_t> observable_ones;
};

// The workspace of one worker thread, reused by every sampling call.
struct BatchWorker {
    PackedPresampledExogenous exogenous;
    PresampledExpressionBlock expressions;
    BatchFactoredExecutorState executor;
    BatchDetectorPostselectionScratch postselection;  // prepared when detectors discard
    std::vector<uint64_t> observable_words;
    std::vector<uint64_t> observable_ones;
    uint64_t total_shots = 0;
    uint64_t discards = 0;
    uint64_t passed_shots = 0;
    uint64_t logical_errors = 0;
    double presample_s = 0;
    double execute_s = 0;
};

class Sampler {
  public:
    // Compiles `circuit` and prepares everything sampling calls reuse. Throws KelvoError
    // (compilation, option checks, pins) and std::bad_alloc; Cancelled when `cancel` asks the
    // compilation to stop (it is polled between planner steps).
    Sampler(const Circuit& circuit, SamplerOptions options, const CancellationCheck& cancel = {});
    Sampler(Sampler&&) noexcept;
    Sampler& operator=(Sampler&&) noexcept;
    ~Sampler();

    // Shots with per-shot rows, seeded from operating-system entropy or by `seed`. The same
    // seed gives the same rows (as a multiset; their order follows the worker count) and
    // counters. Throw KelvoError, and std::bad_alloc when the rows would not fit in memory.
    // `cancel` is polled on the calling thread while the call runs; when it asks to stop, the
    // workers stop at their next batch boundary and the call throws Cancelled. When the system
    // refuses a worker thread, the workers already started are stopped the same way and the
    // call throws std::system_error "failed to spawn thread: {cause}". Either way nothing is
    // returned and the next call gives what it would have given without this one.
    SampleResult sample(uint64_t shots, bool bit_packed, const CancellationCheck& cancel = {});
    SampleResult sample_with_seed(uint64_t shots, uint64_t seed, bool bit_packed,
                                  const CancellationCheck& cancel = {});
    // Counters only: no rows are kept.
    SampleResult sample_counts(uint64_t shots, const CancellationCheck& cancel = {});
    SampleResult sample_counts_with_seed(uint64_t shots, uint64_t seed,
                                         const CancellationCheck& cancel = {});

    // Seconds spent compiling, measured once at construction.
    double compile_s() const { return compile_s_; }
    // Whether some detector discards the shots where it fires.
    bool has_postselection() const { return has_postselection_; }
    // The options as resolved: default sizes filled in and, under normalize_syndromes, the
    // reference bits as the expected bits.
    const SamplerOptions& options() const { return options_; }
    const FactoredInstructionProgram& program() const { return *program_; }
    // "neon" when the vector kernels run, "scalar" otherwise.
    std::string_view kernel_name() const { return kernel_name_; }

  private:
    // One call's shape, as each worker sees it. Chunks are taken in index order by whichever
    // worker is free (their rows land in emission order all the same).
    struct SampleCall {
        uint64_t shots = 0;
        uint64_t seed = 0;
        uint64_t chunk_count = 0;
        uint64_t workers = 1;
        bool keep_records = false;
        bool bit_packed = false;
        std::atomic<uint64_t>* next_chunk = nullptr;
        RowPlacement* rows = nullptr;  // with rows
        // How a worker learns that the call must stop: the one on the calling thread polls the
        // caller's check, the others read the flag that the calling thread sets.
        const CancellationCheck* cancel = nullptr;
        const std::atomic<bool>* stop = nullptr;

        bool stop_requested() const {
            return stop ? stop->load(std::memory_order_relaxed) : cancel->stop_requested();
        }
    };

    SampleResult sample_impl(uint64_t shots, uint64_t seed, bool keep_records, bool bit_packed,
                             const CancellationCheck& cancel);
    std::unique_ptr<BatchWorker> make_worker(const CancellationCheck& cancel = {}) const;
    // Makes room for `count` workers, worker 0 built; std::bad_alloc when the workspaces still
    // to be built would not fit in physical memory.
    void prepare_workers(uint64_t count);
    void run_worker(BatchWorker& worker, const SampleCall& call) const;
    // `batch_check` is what a batch polls between instructions (the caller's check or the
    // stop flag, as stop_requested reads them).
    void run_chunk(BatchWorker& worker, const SampleCall& call, uint64_t c,
                   const CancellationCheck& batch_check) const;
    // Writes a batch's `live` rows at row `row` of `rows`.
    void write_rows(const BatchWorker& worker, const RowSpans& rows, uint64_t row, uint64_t live,
                    bool bit_packed) const;
    // Runs worker w on thread w; with provisional rows, every worker then settles its group
    // once all have sampled.
    void run_threads(const SampleCall& call);

    SamplerOptions options_;
    std::unique_ptr<const FactoredInstructionProgram> program_;  // stable for worker threads
    LogicalRecords logical_records_;
    std::vector<std::vector<int32_t>> observable_record_table_;
    std::vector<std::vector<int32_t>> all_records_table_;
    std::vector<ForcedBranch> forced_branches_;
    PresampledExpressionPlan expression_plan_;
    // Built on first use (worker 0 at construction); dropped after a failure so that the next
    // call starts from a fresh workspace.
    std::vector<std::unique_ptr<BatchWorker>> workers_;
    std::string_view kernel_name_;
    uint64_t measurement_count_ = 0;
    uint64_t detector_count_ = 0;
    uint64_t observable_count_ = 0;
    uint64_t exp_val_count_ = 0;
    uint64_t active_qubit_count_ = 0;
    bool has_postselection_ = false;
    double compile_s_ = 0;
};

}  // namespace kelvo
