#include "tableau_simulator/state_vector.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>
#include <string>

#include "errors.h"
#include "memory.h"

namespace kelvo::tableau_simulator {
namespace detail {
namespace {

struct Generator {
    uint64_t x;
    uint64_t z;
    uint8_t phase;
};

// a <- a*b.
void multiply_into(Generator& a, const Generator& b) {
    a.phase = static_cast<uint8_t>((a.phase + b.phase + 2 * (std::popcount(a.z & b.x) & 1)) & 3);
    a.x ^= b.x;
    a.z ^= b.z;
}

// Brings gens[from..] to reduced echelon form on the bits that `part` selects, pivots from the
// top bit down; returns the number of pivot rows, which end up at gens[from..from+rank).
template <class Part>
size_t reduce(std::vector<Generator>& gens, size_t from, uint64_t n, Part part) {
    size_t rank = 0;
    for (uint64_t b = n; b-- > 0;) {
        const uint64_t bit = uint64_t{1} << b;
        const auto pivot = std::find_if(gens.begin() + from + rank, gens.end(),
                                        [&](const Generator& g) { return part(g) & bit; });
        if (pivot == gens.end()) continue;
        std::swap(*pivot, gens[from + rank]);
        for (size_t j = from; j < gens.size(); ++j) {
            if (j != from + rank && (part(gens[j]) & bit))
                multiply_into(gens[j], gens[from + rank]);
        }
        ++rank;
    }
    return rank;
}

}  // namespace

ReferenceSupport reference_support(std::span<const RowPauli> stabilizers, uint64_t n) {
    std::vector<Generator> gens;
    gens.reserve(stabilizers.size());
    for (const RowPauli& s : stabilizers)
        gens.push_back({s.x[0], s.z[0], s.phase});
    // X parts: the pivot rows span V; the rest are +-Z^c, fixing parity(c AND a) for a in the
    // support.
    const size_t dim = reduce(gens, 0, n, [](const Generator& g) { return g.x; });
    const size_t constraints = reduce(gens, dim, n, [](const Generator& g) { return g.z; });
    uint64_t a = 0;
    for (size_t i = dim; i < dim + constraints; ++i) {
        KELVO_ASSERT(gens[i].x == 0 && gens[i].phase % 2 == 0,
                     "stabilizer rows do not describe a state");
        // Free bits stay 0, so each reduced constraint sets its own pivot bit.
        if (gens[i].phase == 2) a |= uint64_t{1} << (63 - std::countl_zero(gens[i].z));
    }
    KELVO_ASSERT(dim + constraints == n, "stabilizer rows do not describe a state");
    // Clearing every pivot bit of V, highest first, gives the smallest element of a + V.
    for (size_t i = 0; i < dim; ++i) {
        if ((a >> (63 - std::countl_zero(gens[i].x))) & 1) a ^= gens[i].x;
    }
    return {a, dim};
}

}  // namespace detail

namespace {

// out = P v for P = i^phase X^x Z^z on the low word.
void apply_pauli(const RowPauli& p, const std::vector<Complex>& v, std::vector<Complex>& out) {
    const Complex c = i_pow(p.phase);
    const uint64_t x = p.x[0];
    const uint64_t z = p.z[0];
    for (uint64_t j = 0; j < v.size(); ++j) {
        const Complex val = (std::popcount(j & z) & 1) ? -1.0 * v[j] : v[j];
        out[j ^ x] = c * val;
    }
}

}  // namespace

std::vector<Complex> reconstruct_state_vector(const Frame& frame,
                                              const AmplitudeTable<Key<1>>& table) {
    const uint64_t n = frame.num_qubits();
    KELVO_ASSERT(n < 64, "state-vector reconstruction needs fewer than 64 qubits");
    std::vector<RowPauli> stabilizers, destabilizers;
    for (uint64_t q = 0; q < n; ++q) {
        stabilizers.push_back(frame.image_z(q));
        destabilizers.push_back(frame.image_x(q));
    }
    const auto [start, dim] = detail::reference_support(stabilizers, n);
    // Each support index carries weight 2^-dim; below 1e-9 the reference phase cannot be fixed.
    if (dim >= 30) {
        fatal(
            "state-vector reconstruction cannot fix the global phase of a reference state "
            "spread over 2^" +
            std::to_string(dim) + " basis states (at most 2^29 are supported)");
    }
    // Four vectors of `size` amplitudes live at once (the Python result list, built once three
    // of them are gone, takes less than those three).
    const uint64_t size = uint64_t{1} << n;
    require_memory(size, 4 * sizeof(Complex), "the state vector");

    std::vector<Complex> ref(size), work(size);
    ref[start] = {1, 0};
    for (const RowPauli& s : stabilizers) {
        apply_pauli(s, ref, work);
        for (uint64_t j = 0; j < size; ++j) {
            ref[j] = {(ref[j].re + work[j].re) * 0.5, (ref[j].im + work[j].im) * 0.5};
        }
    }
    double m = 0;
    for (const Complex& v : ref)
        m += norm2(v);
    KELVO_ASSERT(m > 1e-9, "reference state lost its weight");
    const double scale = 1 / std::sqrt(m);
    for (Complex& v : ref)
        v = scale * v;

    std::vector<Complex> psi(size), u(size);
    for (const auto [key, amp] : table) {
        u = ref;
        for (uint64_t q = 0; q < n; ++q) {
            if (!key.bit(q)) continue;
            apply_pauli(destabilizers[q], u, work);
            std::swap(u, work);
        }
        for (uint64_t j = 0; j < size; ++j)
            psi[j] = psi[j] + amp * u[j];
    }
    return psi;
}

}  // namespace kelvo::tableau_simulator
