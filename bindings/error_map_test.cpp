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
using testing::take_raised;

template <class E>
testing::Raised translated(const E& error) {
    try {
        throw error;
    } catch (...) {
        translate_current_exception();
    }
    EXPECT_TRUE(PyErr_Occurred());
    return take_raised();
}

TEST(ErrorMap, KelvoErrorKinds) {
    ensure_python();
    struct Case {
        KelvoError error;
        PyObject* type;
        const char* message;
    };
    const Case cases[] = {
        {KelvoError::invalid_input("bad"), PyExc_ValueError, "bad"},
        {KelvoError::parse(3, "oops"), parse_error_class(), "line 3: oops"},
        {KelvoError::io("a.kelvo", std::make_error_code(std::errc::no_such_file_or_directory)),
         PyExc_OSError, "failed to read circuit file: a.kelvo"},
        {KelvoError::unsupported("no"), PyExc_ValueError, "no"},
        {KelvoError::internal("inner"), PyExc_RuntimeError, "inner"},
        {KelvoError::worker_panic(), PyExc_RuntimeError, "batch worker panicked"},
    };
    for (const Case& c : cases) {
        const testing::Raised raised = translated(c.error);
        EXPECT_EQ(raised.type, c.type) << c.message;
        EXPECT_EQ(raised.message, c.message);
    }
}

TEST(ErrorMap, SimErrorKinds) {
    ensure_python();
    PyObject* const value_error = PyExc_ValueError;
    PyObject* const sim_error = simulator_error_class();
    const std::pair<SimError, PyObject*> cases[] = {
        {SimError::invalid_probability(1.5), value_error},
        {SimError::invalid_pauli_channel(), value_error},
        {SimError::non_finite_angle(1.0), value_error},
        {SimError::pruned_all_amplitudes(1e-12), sim_error},
        {SimError::rank_cap_exceeded(5, 4), sim_error},
        {SimError::impossible_postselection(true, 3e-10), sim_error},
        {SimError::repeated_qubit(2), value_error},
        {SimError::controlled_pauli_anticommutes(), value_error},
        {SimError::controlled_pauli_not_positive(), value_error},
        {SimError::non_hermitian_axis(), value_error},
        {SimError::unproduced_batch_record(7), sim_error},
        {SimError::qubit_out_of_range(9, 3), value_error},
    };
    for (const auto& [error, type] : cases) {
        const testing::Raised raised = translated(error);
        EXPECT_EQ(raised.type, type) << error.what();
        EXPECT_EQ(raised.message, error.what());
    }
}

TEST(ErrorMap, PanicsAndMemory) {
    ensure_python();
    ::testing::internal::CaptureStderr();
    testing::Raised raised = translated(FatalError("index out of range", "src/x.cpp:3"));
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(raised.type, panic_exception_class());
    EXPECT_EQ(raised.message, "index out of range");
    EXPECT_NE(printed.find("src/x.cpp:3"), std::string::npos);
    EXPECT_NE(printed.find("index out of range"), std::string::npos);

    EXPECT_EQ(translated(std::bad_alloc()).type, PyExc_MemoryError);
    EXPECT_EQ(translated(std::length_error("vector")).type, PyExc_MemoryError);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(translated(std::out_of_range("at")).type, panic_exception_class());
    ::testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace kelvo::py
