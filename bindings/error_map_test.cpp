#include "error_map.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <system_error>

#include "embedded_python.h"

namespace kelvo::py {
namespace {

using tableau_simulator::SimError;
using testing::ensure_python;

template <class E>
testing::Raised translated(const E& error) {
    try {
        throw error;
    } catch (...) {
        translate_current_exception();
    }
    EXPECT_TRUE(PyErr_Occurred());
    return testing::take_raised();
}

// Each error kind becomes its Python class and keeps its message.
TEST(ErrorMap, EachExceptionBecomesItsPythonClass) {
    ensure_python();
    const auto expect = [](const auto& error, PyObject* type) {
        const testing::Raised raised = translated(error);
        EXPECT_EQ(raised.type, type) << error.what();
        EXPECT_EQ(raised.message, error.what());
    };
    for (const KelvoError& e : {KelvoError::invalid_input("bad"), KelvoError::unsupported("no")})
        expect(e, PyExc_ValueError);
    for (const KelvoError& e : {KelvoError::internal("inner"), KelvoError::worker_panic()})
        expect(e, PyExc_RuntimeError);
    EXPECT_EQ(translated(KelvoError::worker_panic()).message, "batch worker panicked");
    expect(KelvoError::parse(3, "oops"), parse_error_class());
    expect(KelvoError::io("a", std::make_error_code(std::errc::no_such_file_or_directory)),
           PyExc_OSError);
    for (const SimError& e :
         {SimError::invalid_probability(1.5), SimError::invalid_pauli_channel(),
          SimError::non_finite_angle(1.0), SimError::repeated_qubit(2),
          SimError::controlled_pauli_anticommutes(), SimError::controlled_pauli_not_positive(),
          SimError::non_hermitian_axis(), SimError::qubit_out_of_range(9, 3)})
        expect(e, PyExc_ValueError);
    for (const SimError& e :
         {SimError::pruned_all_amplitudes(1e-12), SimError::rank_cap_exceeded(5, 4),
          SimError::impossible_postselection(true, 3e-10), SimError::unproduced_batch_record(7)})
        expect(e, simulator_error_class());
    // A broken precondition is printed, then raised as the panic exception.
    ::testing::internal::CaptureStderr();
    const testing::Raised raised = translated(FatalError("index out of range", "src/x.cpp:3"));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "kelvo panicked at src/x.cpp:3:\nindex out of range\n");
    EXPECT_EQ(raised.type, panic_exception_class());
    EXPECT_EQ(raised.message, "index out of range");
    EXPECT_EQ(translated(std::bad_alloc()).type, PyExc_MemoryError);
    EXPECT_EQ(translated(std::length_error("vector")).type, PyExc_MemoryError);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(translated(std::out_of_range("at")).type, panic_exception_class());
    ::testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace kelvo::py
