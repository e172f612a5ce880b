#!/usr/bin/env python3
"""Plants hand-written faults in the library, one at a time, and runs the whole test suite on each.

A fault is caught when some C++ unit test or some pytest test fails. The source file is restored
after every run (also on Ctrl-C); nothing here is ever meant to be committed in its faulty form.

    python3 scripts/mutation_check.py [--tree DIR] [--only ID,ID...] [--list]

DIR defaults to this checkout; the build goes to DIR/build/mut (C++ tests, the binding tests and
the extension module, imported from DIR/build/mut/pkg). Needs cmake, ninja, GoogleTest, pytest,
numpy and stim.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys

# (id, area, file, original text, faulty text, what the fault is)
MUTANTS = [
    # Pauli strings and the Python glue
    ("P1", "pauli", "src/pauli.cpp", "std::popcount(a.z[i] & b.x[i])", "std::popcount(a.x[i] & b.z[i])",
     "product phase counts the crossings the wrong way round"),
    ("P2", "pauli", "src/pauli.cpp", '{"", "i*", "-", "-i*"}', '{"", "-i*", "-", "i*"}',
     "printed prefixes of i and -i exchanged"),
    ("P3", "pauli", "src/pauli.cpp", "p.phase = static_cast<uint8_t>((p.phase + 1) % 4);",
     "p.phase = static_cast<uint8_t>((p.phase + 3) % 4);", "literal Y parsed as -Y"),
    ("P4", "glue", "bindings/pauli_api.cpp", "if (q >= num_qubits) raise", "if (q > num_qubits) raise",
     "Python index check off by one"),
    ("P5", "glue", "bindings/convert.cpp", "return static_cast<uint8_t>(((value % 4) + 4) % 4);",
     "return static_cast<uint8_t>(value % 4);", "negative phase exponents not reduced modulo 4"),
    ("P6", "glue", "bindings/convert.cpp", "if (is_numpy_bool(arg.obj)) {",
     "if (is_numpy_bool(arg.obj) || PyLong_Check(arg.obj)) {", "integers accepted as bools"),
    ("P7", "glue", "bindings/guard.cpp", "if (!on_owner_thread())", "if (false && !on_owner_thread())",
     "thread affinity not enforced"),
    ("P8", "glue", "bindings/guard.cpp", 'raise(PyExc_RuntimeError, "Already mutably borrowed");',
     "break;", "shared access granted during exclusive access"),
    ("P9", "glue", "bindings/simulator_api.cpp", 'method<&gate1<&TS::s>, "s($self',
     'method<&gate1<&TS::s_dag>, "s($self', "Python s bound to the core's s_dag"),
    ("P10", "glue", "bindings/simulator_api.cpp", "const bool adjoint = to_bool(a[1]);",
     "const bool adjoint = !to_bool(a[1]);", "t_pauli's adjoint flag inverted"),
    ("P11", "glue", "bindings/simulator_api.cpp", "method<&postselect<&TS::postselect_x>,",
     "method<&postselect<&TS::postselect_y>,", "Python postselect_x bound to postselect_y"),
    ("P12", "glue", "bindings/error_map.cpp",
     "ImpossiblePostselection:\n        case SimErrorKind::UnproducedBatchRecord:\n            type = "
     "simulator_error_class();\n            break;\n        case SimErrorKind::InvalidProbability:\n"
     "        case SimErrorKind::InvalidPauliChannel:\n        case SimErrorKind::NonFiniteAngle:\n"
     "        case SimErrorKind::RepeatedQubit:\n",
     "ImpossiblePostselection:\n        case SimErrorKind::UnproducedBatchRecord:\n        case "
     "SimErrorKind::RepeatedQubit:\n            type = simulator_error_class();\n            break;\n"
     "        case SimErrorKind::InvalidProbability:\n        case SimErrorKind::InvalidPauliChannel:\n"
     "        case SimErrorKind::NonFiniteAngle:\n",
     "repeated qubits reported as SimulatorError instead of ValueError"),
    ("P13", "glue", "bindings/simulator_api.cpp", "sim.core.rng = to_instance<TableauSimulator>(a[0])->core.rng;",
     "(void)to_instance<TableauSimulator>(a[0]);", "restore_rng_from copies nothing"),
    ("P14", "glue", "bindings/signature.cpp", "if (equal == 0) {", "if (equal == 0 && false) {",
     "keywords that are not interned no longer match"),
    ("P15", "glue", "bindings/convert.cpp", "if (pending == PyExc_TypeError || pending",
     "if (PyErr_ExceptionMatches(PyExc_TypeError) || pending",
     "subclasses of TypeError rebuilt with the parameter name"),
    ("P16", "glue", "bindings/convert.cpp", "if (overflow > 0 || value > INT32_MAX) {", "if (overflow > 0) {",
     "phase exponents above the i32 range accepted"),
    ("P17", "glue", "bindings/pauli_api.cpp",
     "    const bool value = to_bool(a[1]);\n    check_qubit(q, p.num_qubits);",
     "    check_qubit(q, p.num_qubits);\n    const bool value = to_bool(a[1]);",
     "qubit range checked before the value converts"),
    ("P18", "glue", "bindings/pauli_api.cpp", "    p.phase = to_phase(a[0]);",
     "    p.phase = 0;\n    p.phase = to_phase(a[0]);", "a failed set_phase clears the phase"),
    ("P19", "glue", "bindings/signature.cpp", '(i + 1 == names.size() ? ", and " : ", ")', '", "',
     "no 'and' before the last of three missing names"),
    ("P20", "glue", "bindings/convert.cpp", "if (value > 255) {", "if (value > 256) {", "256 accepted as a byte"),
    ("P21", "glue", "bindings/convert.cpp", "PyTuple_Size(pair.get()) != 2", "PyTuple_Size(pair.get()) < 2",
     "pins with extra tuple items accepted"),
    ("P22", "glue", "bindings/error_map.cpp",
     "} catch (const std::length_error&) {\n            PyErr_NoMemory();\n        } catch", "} catch",
     "length_error reported as a panic instead of MemoryError"),
    ("P23", "glue", "bindings/py_class.h", "if (inst->guard.on_owner_thread()) {", "if (true) {",
     "an object dropped on another thread is destroyed there without a report"),
    # Circuit language
    ("C1", "circuit", "src/circuit/targets.cpp", "return num_records + 1 - *k;", "return num_records - *k;",
     "record offsets off by one"),
    ("C2", "circuit", "src/circuit/targets.cpp", "if (*k == 0 || *k > num_records)", "if (*k > num_records)",
     "rec[-0] not refused"),
    ("C3", "circuit", "src/circuit/targets.cpp", "(product.phase + (axis == 'Y') + crossing)",
     "(product.phase + 3 * (axis == 'Y') + crossing)", "Y factors of products take the wrong phase"),
    ("C4", "circuit", "src/circuit/targets.cpp", "a.inverted != b.inverted, line));", "a.inverted, line));",
     "second inverted flag of a pair measurement dropped"),
    ("C5", "circuit", "src/circuit/noise.cpp", "builder.remaining_mass *= 1.0 - p;", "builder.remaining_mass *= p;",
     "else-chain probabilities not conditioned on the earlier members"),
    ("C6", "circuit", "src/circuit/noise.cpp", "if (!(p >= 0.0 && p <= 1.0))", "if (!(p >= 0.0 && p < 1.0))",
     "probability 1 refused"),
    ("C7", "circuit", "src/circuit/feedback.cpp", "append_feedback(builder, node, b, a);",
     "append_feedback(builder, node, a, b);", "record after the qubit read in the wrong order"),
    ("C8", "circuit", "src/circuit/rotations.cpp", "rotation_half_angle(lambda));", "rotation_half_angle(phi));",
     "U3's first rotation by phi instead of lambda"),
    ("C9", "circuit", "src/circuit/ir.cpp", "count = std::max(count, o.index + 1);",
     "count = std::max(count, o.index);", "observable count one short"),
    ("C10", "circuit", "src/circuit/names.cpp", '{"SQRT_Y", G::SQRT_Y},', '{"SQRT_Y", G::SQRT_Y_DAG},',
     "SQRT_Y mapped to SQRT_Y_DAG"),
    ("C11", "circuit", "src/circuit/numeric.cpp", "value = op == '+' ? value + rhs : value - rhs;",
     "value = op == '+' ? value + rhs : rhs - value;", "subtraction operands swapped"),
    ("C12", "circuit", "src/circuit/syntax.cpp", '"unterminated Kelvo block"', '"unterminated Kelvo blocks"',
     "wrong message text"),
    ("C13", "circuit", "src/circuit/targets.cpp", "if (current.empty() || current.back() == '*') fail(",
     "if (current.empty()) fail(", "a doubled MPP combiner not refused as misplaced"),
    ("C14", "circuit", "src/circuit/dispatch.cpp", "if (node.parens) fail(node.line, \"operation does not accept parens",
     "if (!node.args.empty()) fail(node.line, \"operation does not accept parens", "empty parens accepted on gates"),
    ("C15", "circuit", "src/circuit/file_read.cpp", "require_memory(bytes - capacity_);", "(void)capacity_;",
     "file buffer grows without the memory guard"),
    ("C16", "circuit", "src/circuit/numeric.cpp", "value = op == '*' ? value * rhs : value / rhs;",
     "value = op == '*' ? value * rhs : rhs / value;", "division operands swapped"),
    ("C17", "circuit", "src/circuit/numeric.cpp", "            negate = !negate;", "            negate = true;",
     "a run of minus signs negates once"),
    ("C18", "circuit", "bindings/circuit_api.cpp", 'getter<&num_exp_vals>("num_exp_vals"',
     'getter<&num_measurements>("num_exp_vals"', "Python num_exp_vals reads the measurement count"),
    ("C19", "circuit", "bindings/circuit_api.cpp", "const std::string path = to_path(a[0]);",
     "const std::string path(to_str(a[0]));", "file names converted without the file system encoding"),
    ("C20", "circuit", "src/circuit/syntax.cpp", "        } else if (c == ']') {\n            in_brackets = false;",
     "        } else if (c == ']') {\n            in_brackets = true;", "a comment after a closed bracket is not seen"),
    ("C21", "circuit", "src/circuit/file_read.cpp",
     "        if (errno != EINTR) fail_io(path, errno);\n        cancel.check_now();",
     "        if (errno != EINTR) fail_io(path, errno);", "a blocked open does not call the interrupt check"),
    ("C22", "circuit", "src/circuit/file_read.cpp",
     "            if (errno != EINTR) fail_io(path, errno);\n            cancel.check_now();",
     "            if (errno != EINTR) fail_io(path, errno);", "a blocked read does not call the interrupt check"),
    ("C23", "circuit", "src/circuit/file_read.cpp",
     "        if (!whole) fail_io(path, std::errc::illegal_byte_sequence);\n        checked += *whole;",
     "        if (whole) checked += *whole;", "bytes that are not UTF-8 refused only at the end"),
    ("C24", "circuit", "bindings/error_map.cpp", "            type = PyExc_OSError;",
     "            type = PyExc_ValueError;", "reading failures raised as ValueError instead of OSError"),
    ("C25", "circuit", "bindings/circuit_api.cpp",
     "without_gil_cancellable(\n        [&](const CancellationCheck& cancel) { return read_circuit_file(path, cancel); });",
     "read_circuit_file(path, signal_check());", "a file is read holding the interpreter lock"),
    ("C26", "circuit", "src/circuit/numeric.cpp", "        if (text_[pos_] == '+') {",
     "        if (text_[pos_] == '+' && false) {", "unary plus signs not skipped"),
    ("C27", "circuit", "src/circuit/numeric.cpp", "        value = kPi;", "        value = 3.14159265358979;",
     "pi one ulp-ish short"),
    ("C28", "circuit", "src/circuit/digits.h", "if (i - start > 19) {", "if (i - start > 20) {",
     "twenty-digit runs taken as fitting unchecked"),
    ("C29", "circuit", "src/circuit/names.cpp", '{"H_XZ", G::H},', '{"H_XZ", G::H_XY},',
     "H_XZ alias mapped to another gate"),
    ("C30", "circuit", "bindings/circuit_api.cpp", 'getter<&num_detectors>("num_detectors"',
     'getter<&num_observables>("num_detectors"', "Python num_detectors reads the observable count"),
    ("C31", "circuit", "src/circuit/dispatch.cpp", "detector.source_position = builder.instructions.size();",
     "detector.source_position = builder.num_measurements;", "detector positions count measurements"),
    ("C32", "circuit", "src/circuit/dispatch.cpp", "instruction.exp_val_start = builder.num_exp_vals;",
     "instruction.exp_val_start = builder.num_measurements;", "expectation slots count measurements"),
    ("C33", "circuit", "src/circuit/noise.cpp", 'if (token == "*") fail(node.line, "implicit Pauli',
     'if (token.find(\'*\') != token.npos) fail(node.line, "implicit Pauli', "glued products refused in E"),
    # Symbolic algebra and Clifford frames
    ("S1", "frames", "src/symbolic.cpp", "out.constant = a.constant != b.constant;",
     "out.constant = a.constant || b.constant;", "XOR of constants computed as OR"),
    ("S2", "frames", "src/symbolic.cpp", "if (std::abs(sum - 1.0) > 1e-12) {", "if (std::abs(sum - 1.0) > 1e-11) {",
     "categorical tolerance ten times too loose"),
    ("S3", "frames", "src/symbolic.cpp", "const uint64_t word = static_cast<uint64_t>(c - 1) / 64;",
     "const uint64_t word = static_cast<uint64_t>(c) / 64;", "evaluation plan word index off by one"),
    ("S4", "frames", "src/bits.h", "return n / 64 + (n % 64 != 0);", "return (n + 63) / 64;",
     "word count wraps near 2^64"),
    ("S5", "frames", "src/frames.cpp", "    mul_rows(n_ + q, q, n_ + q, 1);\n    negate_row(q);\n}\n\nvoid CliffordFrame::left_h_nyz",
     "    mul_rows(n_ + q, q, n_ + q, 3);\n    negate_row(q);\n}\n\nvoid CliffordFrame::left_h_nyz",
     "H_YZ update with a flipped sign"),
    ("S6", "frames", "src/active_pauli_frame.cpp", "KELVO_ASSERT(condition >= 1,", "KELVO_ASSERT(condition >= 0,",
     "condition id 0 accepted"),
    ("S7", "frames", "src/bits.cpp", "if ((j - i) % 2 == 1) ids[out++] = ids[i];", "ids[out++] = ids[i];",
     "equal condition ids no longer cancel"),
    ("S8", "frames", "src/frames.cpp", "crossings ^= src_on_right ? D.z[s.word] & s.x : s.z & D.x[s.word];",
     "crossings ^= src_on_right ? D.z[s.word] & s.x : s.x & D.z[s.word];",
     "sparse row product with the source on the left counts the wrong crossings"),
    ("S9", "frames", "src/frames.cpp", "        std::swap(support_.words[a], support_.words[b]);\n", "",
     "row exchange leaves the support cache behind"),
    ("S10", "frames", "src/pauli.cpp", "    p.set_zbit(q, true);\n    p.phase = 1;",
     "    p.set_zbit(q, true);\n    p.phase = 3;", "pauli_y builds -Y"),
    ("S11", "frames", "src/pauli.cpp", "            case 'x':\n", "", "lower-case x refused"),
    ("S12", "frames", "src/pauli.cpp", "if (w) return 64 * i + 63 -", "if (w) return 63 -",
     "highest support ignores the word offset"),
    ("S13", "frames", "src/symbolic.cpp", "if (wanted > int64_t{next_condition_id})",
     "if (static_cast<uint32_t>(wanted) > next_condition_id)", "counter raised by an unsigned comparison"),
    ("S14", "frames", "src/symbolic.cpp",
     "    if (!is_probability(p)) throw KelvoError::invalid_input(kProbabilityRange);\n"
     "    const int32_t id = first_of_fresh_ids(next_condition_id, 1);\n    ++next_condition_id;\n",
     "    const int32_t id = first_of_fresh_ids(next_condition_id, 1);\n    ++next_condition_id;\n"
     "    if (!is_probability(p)) throw KelvoError::invalid_input(kProbabilityRange);\n",
     "a refused probability consumes an id"),
    ("S15", "frames", "src/symbolic.cpp", "if (row.size() != words || (row.back() & high_mask) != 0) {",
     "if (row.size() != words) {", "categorical rows with bits at or above k accepted"),
    ("S16", "frames", "src/symbolic.cpp", "return constant != ((std::popcount(parity) & 1) != 0);",
     "return (std::popcount(parity) & 1) != 0;", "evaluation plan drops the constant"),
    ("S17", "frames", "src/active_pauli_frame.cpp", "    context.raise_next_condition_id_past(condition);\n", "",
     "recorded conditions leave the id counter behind"),
    ("S18", "frames", "src/frames.cpp", "for (const std::vector<PauliString>* list : {&x_rows, &z_rows}) {",
     "for (const std::vector<PauliString>* list : {&x_rows}) {", "Z rows of another width accepted"),
    ("S19", "frames", "src/frames.cpp", "    check_qubit(a);\n    check_qubit(b);\n", "    check_qubit(a);\n",
     "second qubit of a pair not range-checked"),
    ("S20", "frames", "src/format.cpp", "        if (step < 0) return false;", "        if (step == -1) return false;",
     "a character cut off by the end counted as valid UTF-8"),
    ("S21", "frames", "src/format.cpp", "        if (b == 0xED) hi = 0x9F;\n", "", "surrogates accepted as UTF-8"),
    ("S22", "frames", "src/frames.cpp", "        crossings ^= az & bx;\n", "        crossings ^= ax & bz;\n",
     "dense row product counts the wrong crossings"),
    ("S23", "frames", "src/active_pauli_frame.cpp", "const bool bodies = count <= kBodyLimit;",
     "const bool bodies = count < kBodyLimit;", "bodies released one record early"),
    ("S24", "frames", "src/symbolic.cpp", "        categorical_of[id] = index;", "        categorical_of[id] = 0;",
     "every categorical condition mapped to the first group"),
    ("S25", "frames", "src/symbolic.cpp",
     "    ++next_condition_id;\n    if (categorical_of.contains(id)) {\n"
     "        throw KelvoError::invalid_input(\"condition already belongs to a categorical distribution\");\n    }\n",
     "    if (categorical_of.contains(id)) {\n"
     "        throw KelvoError::invalid_input(\"condition already belongs to a categorical distribution\");\n    }\n"
     "    ++next_condition_id;\n",
     "an id refused for its categorical group is not consumed"),
    ("S26", "frames", "src/symbolic.cpp", "    if (categorical_of.contains(id)) {", "    if (false) {",
     "an id of a categorical group also made a Bernoulli condition"),
    ("S27", "frames", "src/memory.cpp", "    return available > margin ? available - margin : 0;",
     "    return available;", "usable memory keeps no margin"),
    # Tableau simulator
    ("T1", "simulator", "src/tableau_simulator/frame.cpp",
     "signs_[2 * q] = static_cast<uint8_t>((signs_[2 * q] + k) & 3);",
     "signs_[2 * q] = static_cast<uint8_t>((signs_[2 * q] + k + 2) & 3);", "S update with a flipped sign"),
    ("T2", "simulator", "src/tableau_simulator/simulator.cpp",
     "    core.frame.left_h(q);\n    core.frame.negate_row(2 * q);\n",
     "    core.frame.left_h(q);\n    core.frame.negate_row(2 * q + 1);\n", "SQRT_Y_DAG negates the wrong row"),
    ("T3", "simulator", "src/tableau_simulator/measurement.cpp", "constexpr double kMinProbability = 1e-9;",
     "constexpr double kMinProbability = 1e-8;", "postselection threshold too high"),
    ("T4", "simulator", "src/tableau_simulator/measurement.cpp", "result.outcome = splitmix64_uniform(rng) >= p0;",
     "result.outcome = splitmix64_uniform(rng) < 1 - p0;", "outcome drawn against the wrong side of the uniform"),
    ("T5", "simulator", "src/tableau_simulator/measurement.cpp", "result.outcome = splitmix64_uniform(rng) >= p0;",
     "result.outcome = result.deterministic ? p0 < 0.5 : splitmix64_uniform(rng) >= p0;",
     "certain outcomes skip their draw"),
    ("T6", "simulator", "src/tableau_simulator/rotation.cpp", "const double sign = sigma_odd != key_odd ? -1.0 : 1.0;",
     "const double sign = sigma_odd == key_odd ? -1.0 : 1.0;", "paired T rotation with the wrong relative sign"),
    ("T7", "simulator", "src/tableau_simulator/rotation.cpp", "    rotate({a, c}, true);", "    rotate({a, c}, false);",
     "one CCZ rotation with the wrong direction"),
    ("T8", "simulator", "src/tableau_simulator/measurement.cpp",
     "core.frame.negate_row(axis == Axis::Z ? 2 * q + 1 : 2 * q);",
     "core.frame.negate_row(axis == Axis::Z ? 2 * q : 2 * q + 1);", "reset applies the wrong Pauli"),
    ("T9", "simulator", "src/tableau_simulator/measurement.cpp", "result.probability = *forced ? 1 - p0 : p0;",
     "result.probability = *forced ? p0 : 1 - p0;", "postselection reports the other outcome's probability"),
    ("T10", "simulator", "src/tableau_simulator/simulator.cpp",
     "if (letter_phase(control) != 0 || letter_phase(target) != 0) {", "if (letter_phase(target) != 0) {",
     "controlled Pauli accepts a negative control"),
    ("T11", "simulator", "src/tableau_simulator/simulator.cpp", "    ensure_qubit(std::max(a, b));\n}\n\nvoid TableauSimulator::cx",
     "    ensure_qubit(a);\n}\n\nvoid TableauSimulator::cx", "two-qubit gates grow the register for one qubit only"),
    ("T12", "simulator", "src/tableau_simulator/simulator.cpp", "return std::clamp(e, -1.0, 1.0);\n}\n\nstd::vector",
     "return e;\n}\n\nstd::vector", "observable expectations not clamped"),
    ("T13", "simulator", "src/tableau_simulator/measurement.cpp", "if (letter_phase(observable) % 2 != 0) throw",
     "if (false) throw", "non-Hermitian measurement axes accepted"),
    ("T14", "simulator", "src/tableau_simulator/frame.cpp", "(signs_[r] + p + 1 + 2 * a) & 3",
     "(signs_[r] + p + 3 + 2 * a) & 3", "frame rotation after a random measurement with a flipped sign"),
    ("T15", "simulator", "src/tableau_simulator/frame.cpp", "((words_[r * 2 * stride_ + word] >> bit) & 1) << 1",
     "((words_[r * 2 * stride_ + stride_ + word] >> bit) & 1) << 1", "right Z update reads the wrong half"),
    ("T16", "simulator", "src/tableau_simulator/frame.cpp", "(signs_[2 * q] + signs_[2 * q + 1] + 2 * p + 1) & 3",
     "(signs_[2 * q] + signs_[2 * q + 1] + 2 * p + 3) & 3", "preimage of Y_q with the wrong sign"),
    ("T17", "simulator", "src/tableau_simulator/label.h",
     "const size_t n = std::min(w_.size(), mask.w_.size());\n        uint64_t acc = 0;",
     "const size_t n = std::min(w_.size(), mask.w_.size()) - 1;\n        uint64_t acc = 0;",
     "wide labels' parity skips the last word"),
    ("T18", "simulator", "src/tableau_simulator/state_vector.cpp", "if (gens[i].phase == 2) a |=",
     "if (gens[i].phase == 0) a |=", "reference support of the state vector at the wrong index"),
    ("T19", "simulator", "src/tableau_simulator/frame.cpp",
     "        std::swap(signs_[2 * a + half], signs_[2 * b + half]);\n", "", "SWAP leaves the signs behind"),
    ("T20", "simulator", "src/tableau_simulator/amplitude_table.h", "if (target < capacity()) rehash(target);",
     "(void)target;", "tables never shrink after pruning"),
    ("T21", "simulator", "src/tableau_simulator/simulator.cpp", "    s_dag(q);\n    x(q);\n",
     "    s(q);\n    x(q);\n", "H_XY built from S instead of S_DAG"),
    ("T22", "simulator", "src/tableau_simulator/simulator.cpp", "iswap_rows(core.frame, a, b, 3);",
     "iswap_rows(core.frame, a, b, 1);", "ISWAP_DAG applies ISWAP"),
    ("T23", "simulator", "src/tableau_simulator/simulator.cpp", "if (axis == Axis::Y) f.left_root_x(q, 3);",
     "if (axis == Axis::Y) f.left_root_x(q, 1);", "Y-controlled gates rotate back the wrong way"),
    ("T24", "simulator", "src/tableau_simulator/frame.cpp",
     "bool exact = signs_[2 * q] == 0 && signs_[2 * q + 1] == 0;", "bool exact = signs_[2 * q] == 0;",
     "shrinking drops qubits whose Z preimage carries a sign"),
    ("T25", "simulator", "src/tableau_simulator/frame.cpp", "sign_a = static_cast<uint8_t>((sign_a + extra + 2 * p) & 3);",
     "sign_a = static_cast<uint8_t>((sign_a + extra) & 3);", "right row product drops the crossing sign"),
    ("T26", "simulator", "src/tableau_simulator/amplitude_table.h",
     "size_t erased = 0;\n        for (size_t i = 0; i < capacity(); ++i) {",
     "size_t erased = 0;\n        for (size_t i = capacity(); i-- > 0;) {",
     "update pass visits the entries against the iteration order"),
    ("T27", "simulator", "src/tableau_simulator/frame.cpp", "xor_words<W>(z.data(), row_words + w, w);",
     "xor_words<W>(z.data(), row_words + w, W == 0 ? w - 1 : w);",
     "any-width preimages drop the last word of their Z part"),
    ("T28", "glue", "bindings/simulator_api.cpp", '", deterministic=" + py_bool_text(r.deterministic)',
     '", deterministic=" + py_bool_text(r.outcome)', "MeasureResult repr shows the outcome as the flag"),
    ("T29", "glue", "bindings/simulator_api.cpp", '", rank=" + std::to_string(sim.rank())',
     '", rank=" + std::to_string(sim.num_qubits())', "simulator repr shows the register size as rank"),
    ("T30", "glue", "bindings/simulator_api.cpp", 'method<&gate1<&TS::t>, "t($self',
     'method<&gate1<&TS::t_dag>, "t($self', "Python t bound to the core's t_dag"),
    ("T31", "glue", "bindings/simulator_api.cpp",
     "const uint64_t first = to_u64(a[0]);\n    const uint64_t second = to_u64(a[1]);",
     "const uint64_t second = to_u64(a[1]);\n    const uint64_t first = to_u64(a[0]);",
     "two-qubit gate arguments converted right to left"),
    ("T32", "simulator", "src/tableau_simulator/frame.cpp", "k += std::popcount(pauli.x[i] & pauli.z[i]);",
     "k += 3 * std::popcount(pauli.x[i] & pauli.z[i]);", "preimages count the Y letters' phase the wrong way"),
    ("T33", "simulator", "src/tableau_simulator/frame.cpp", "out.phase = static_cast<uint8_t>((4 - k) & 3);",
     "out.phase = static_cast<uint8_t>(k & 3);", "images of X and Z carry the conjugate phase"),
    ("T34", "simulator", "src/tableau_simulator/rotation.cpp",
     "if (rank() <= core.rank_cap >> 7 && core.prune_epsilon <= 1e-12) return ccz_rotations(a, b, c);",
     "if (core.prune_epsilon <= 1e-12) return ccz_rotations(a, b, c);", "CCZ works in place at any rank"),
    ("T35", "simulator", "src/tableau_simulator/measurement.cpp",
     "if (count > core.rank_cap) throw", "if (count > core.rank_cap + 1) throw",
     "a filtering measurement keeps one term over the cap"),
    ("T36", "simulator", "src/tableau_simulator/measurement.cpp",
     "if (count == 0) throw SimError::pruned_all_amplitudes(core.prune_epsilon);", "",
     "a filtering measurement may prune every amplitude"),
    ("T37", "glue", "bindings/simulator_api.cpp", "Resets `q` to |+i>.", "Resets `q` to |-i>.",
     "reset_y's docstring names the wrong state"),
    # Detector postselection and pinned parities
    ("D1", "sampler", "src/sampler/batch/postselect.cpp", "            read_condition(c, f.instruction);",
     "            (void)c;", "compaction drops the rows a later forced branch reads"),
    ("D2", "sampler", "src/sampler/pinning.cpp",
     "c != equation.first && symbols.branch_instructions.contains(c)", "c != equation.first",
     "forced branches keep noise conditions the batch never assigns"),
    ("D3", "sampler", "src/sampler/pinning.cpp", "certain.contains(condition)", "false",
     "the compiler's certain flips read as noise in pinned parities"),
    ("D4", "sampler", "src/sampler/batch/postselect.cpp",
     "        return true;  // their cost (draws, projections) grows with the live shots",
     "        return false;", "coins and measurements drawn for dead shots"),
    ("D5", "sampler", "src/sampler/batch/postselect.cpp",
     "context.expected_detectors[expected_index] != 0", "context.expected_detectors[expected_index] == 0",
     "postselection ignores the expected detector bits"),
    ("D6", "sampler", "src/sampler/batch/postselect.cpp",
     "if (record_use[r] > index || (final && record_use[r] == index))", "if (record_use[r] > index)",
     "the final compaction leaves records last read at its index behind"),
    # Ctrl-C, refused threads, the memory guard's cgroups and debug strings
    ("I1", "interrupt", "src/circuit/file_read.cpp", "        cancel.check();\n    }", "    }",
     "a flowing read never looks for Ctrl-C"),
    ("I2", "interrupt", "src/sampler/prepared.cpp",
     "            if (call.stop_requested()) throw Cancelled();\n", "",
     "a worker looks for a stop only between chunks"),
    ("I3", "interrupt", "src/compiler/planner.cpp", "        cancel.check();\n", "",
     "the planner never looks for Ctrl-C"),
    ("I4", "interrupt", "bindings/poisonable_mutex.h", "        } catch (const Cancelled&) {\n            throw;\n",
     "", "an interrupted sampling call poisons its program"),
    ("I5", "interrupt", "bindings/error_map.cpp",
     "set_message(e.memory_short() ? PyExc_MemoryError : PyExc_RuntimeError, e.what());",
     "raise_panic(e.what(), \"sampler\");", "a refused thread raises the panic exception"),
    ("I6", "interrupt", "src/sampler/prepared.cpp", "            stop = true;\n            break;",
     "            break;", "a refused thread leaves the started workers running to the end"),
    ("I7", "frames", "src/memory.cpp", "    if (!inactive) inactive = keyed_number(stat, \"inactive_file\");\n",
     "", "a cgroup's reclaimable file cache counts as used"),
    ("I8", "frames", "src/memory.cpp", "        relative = path.substr(mount.root.size());", "",
     "a cgroup below a mount's root is read at the mount point"),
    ("I9", "frames", "src/format.cpp", "(c >= 0x80 && escaped_in_debug_strings(c))", "c == 0x85",
     "debug strings escape only U+0085 beyond ASCII"),
]


def default_sigint():
    # A run started from a background shell inherits an ignored SIGINT, and the tests that
    # interrupt a blocked read with Ctrl-C would fail on an unmutated tree.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def run(cmd, cwd, timeout, env=None):
    try:
        return subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout,
                              preexec_fn=default_sigint)
    except subprocess.TimeoutExpired as e:
        return subprocess.CompletedProcess(cmd, 124, e.stdout or "", e.stderr or "")


class Suite:
    def __init__(self, tree: pathlib.Path):
        self.tree = tree
        self.build = tree / "build" / "mut"
        self.pkg = self.build / "pkg"

    def configure(self):
        if not (self.build / "build.ninja").exists():
            subprocess.run(["cmake", "-S", ".", "-B", str(self.build), "-G", "Ninja",
                            "-DKELVO_BUILD_TESTS=ON", "-DKELVO_BUILD_PYTHON=ON",
                            f"-DPython_EXECUTABLE={sys.executable}"],
                           cwd=self.tree, check=True, capture_output=True)

    def compile(self) -> bool:
        ok = run(["ninja", "-C", str(self.build), "-j3"], self.tree, 1800).returncode == 0
        if ok:
            (self.pkg / "kelvo").mkdir(parents=True, exist_ok=True)
            shutil.copy(self.tree / "python" / "kelvo" / "__init__.py", self.pkg / "kelvo")
            for so in self.build.glob("_core*.so"):
                target = self.pkg / "kelvo" / so.name
                if not target.exists():
                    target.symlink_to(so)
        return ok

    def failures(self) -> tuple[int, int, list[str]]:
        """Failing C++ tests and failing pytest tests (a crash or timeout counts as one), and the
        suites and files they belong to."""
        ctest = run(["ctest", "--test-dir", str(self.build), "-j3", "--timeout", "120"], self.tree, 1800)
        m = re.search(r"(\d+) tests failed out of", ctest.stdout)
        cpp = int(m.group(1)) if m else (0 if ctest.returncode == 0 else 1)
        where = re.findall(r"^\s*\d+ - (\w+)\.", ctest.stdout, re.M)
        env = dict(os.environ, PYTHONPATH=str(self.pkg))
        py = run([sys.executable, "-m", "pytest", "-q", "-rf", "-p", "no:cacheprovider", "tests"],
                 self.tree, 900, env)
        m = re.search(r"(\d+) failed", py.stdout)
        e = re.search(r"(\d+) error", py.stdout)
        pyf = (int(m.group(1)) if m else 0) + (int(e.group(1)) if e else 0)
        if py.returncode != 0 and pyf == 0:
            pyf = 1
        where += re.findall(r"^FAILED tests/(\w+)\.py", py.stdout, re.M)
        return cpp, pyf, sorted(set(where))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tree", default=str(pathlib.Path(__file__).resolve().parent.parent))
    parser.add_argument("--only", default="")
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    # A terminated run still restores the file it changed.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))
    tree = pathlib.Path(args.tree).resolve()
    chosen = [m for m in MUTANTS if not args.only or m[0] in args.only.split(",")]
    if args.list:
        for mid, area, path, _, _, what in chosen:
            print(f"{mid:4} {area:9} {path:42} {what}")
        return
    suite = Suite(tree)
    suite.configure()
    if not suite.compile():
        sys.exit("the unmutated tree does not build")
    base = suite.failures()
    if base[:2] != (0, 0):
        sys.exit(f"the unmutated suite fails: {base}")
    print("| id | area | fault | C++ failures | pytest failures | caught | caught by |")
    print("|---|---|---|---|---|---|---|")
    for mid, area, path, old, new, what in chosen:
        file = tree / path
        original = file.read_text()
        if original.count(old) != 1:
            print(f"| {mid} | {area} | {what} | - | - | does not apply | |", flush=True)
            continue
        try:
            file.write_text(original.replace(old, new))
            if not suite.compile():
                print(f"| {mid} | {area} | {what} | - | - | does not build | |", flush=True)
                continue
            cpp, py, where = suite.failures()
        finally:
            file.write_text(original)
        caught = "yes" if cpp or py else "NO"
        print(f"| {mid} | {area} | {what} | {cpp} | {py} | {caught} | {' '.join(where)} |", flush=True)
    suite.compile()


if __name__ == "__main__":
    main()
