#include "pauli.h"

#include <bit>

#include "bits.h"
#include "errors.h"
#include "memory.h"

namespace kelvo {
namespace {

void check_qubit(const PauliString& p, uint64_t q) {
    KELVO_ASSERT(q < p.num_qubits, "qubit index out of range");
}

void check_same_size(const PauliString& a, const PauliString& b) {
    KELVO_ASSERT_EQ(a.num_qubits, b.num_qubits, "Pauli strings act on different numbers of qubits");
}

// Zero words for n qubits; the two vectors of a string together must fit in memory.
std::vector<uint64_t> zero_words(uint64_t n) {
    require_memory(word_count(n), 2 * sizeof(uint64_t), "a Pauli string");
    return std::vector<uint64_t>(word_count(n), 0);
}

// Coefficient exponent k of i^k in front of the Hermitian letters.
unsigned letter_phase(const PauliString& p) {
    return (p.phase + 4 - static_cast<unsigned>(p.y_count() % 4)) % 4;
}

}  // namespace

PauliString::PauliString(uint64_t n)
    : x(zero_words(n)), z(zero_words(n)), num_qubits(n), phase(0) {}

bool PauliString::xbit(uint64_t q) const {
    check_qubit(*this, q);
    return get_bit(x, q);
}

bool PauliString::zbit(uint64_t q) const {
    check_qubit(*this, q);
    return get_bit(z, q);
}

void PauliString::set_xbit(uint64_t q, bool value) {
    check_qubit(*this, q);
    set_bit(x, q, value);
}

void PauliString::set_zbit(uint64_t q, bool value) {
    check_qubit(*this, q);
    set_bit(z, q, value);
}

std::optional<uint64_t> PauliString::max_support() const {
    for (size_t i = std::min(x.size(), z.size()); i-- > 0;) {
        const uint64_t w = x[i] | z[i];
        if (w) return 64 * i + 63 - static_cast<uint64_t>(std::countl_zero(w));
    }
    return std::nullopt;
}

bool PauliString::has_nonidentity_body() const {
    uint64_t any = 0;
    for (const uint64_t w : x)
        any |= w;
    for (const uint64_t w : z)
        any |= w;
    return any != 0;
}

uint64_t PauliString::y_count() const {
    uint64_t n = 0;
    for (size_t i = 0; i < x.size(); ++i)
        n += static_cast<uint64_t>(std::popcount(x[i] & z[i]));
    return n;
}

bool PauliString::words_are_consistent() const {
    const uint64_t words = word_count(num_qubits);
    if (x.size() != words || z.size() != words) return false;
    if (words == 0 || num_qubits % 64 == 0) return true;
    const uint64_t high = ~uint64_t{0} << (num_qubits % 64);
    return ((x.back() | z.back()) & high) == 0;
}

std::string PauliString::str() const {
    static constexpr const char* kPrefix[4] = {"", "i*", "-", "-i*"};
    std::string out = kPrefix[letter_phase(*this)];
    if (num_qubits == 0) return out + "I";
    out.reserve(out.size() + num_qubits);
    for (uint64_t q = 0; q < num_qubits; ++q) {
        static constexpr char kLetter[4] = {'I', 'X', 'Z', 'Y'};
        out += kLetter[get_bit(x, q) | (get_bit(z, q) << 1)];
    }
    return out;
}

PauliString operator*(const PauliString& a, const PauliString& b) {
    check_same_size(a, b);
    PauliString out(a.num_qubits);
    uint64_t crossings = 0;
    for (size_t i = 0; i < a.x.size(); ++i) {
        out.x[i] = a.x[i] ^ b.x[i];
        out.z[i] = a.z[i] ^ b.z[i];
        crossings += static_cast<uint64_t>(std::popcount(a.z[i] & b.x[i]));
    }
    out.phase = static_cast<uint8_t>((a.phase + b.phase + 2 * (crossings % 2)) % 4);
    return out;
}

PauliString pauli_string(std::string_view text) {
    PauliString p(text.size());
    for (size_t q = 0; q < text.size(); ++q) {
        switch (text[q]) {
            case 'I':
            case 'i':
            case '_':
                break;
            case 'X':
            case 'x':
                set_bit(p.x, q, true);
                break;
            case 'Z':
            case 'z':
                set_bit(p.z, q, true);
                break;
            case 'Y':
            case 'y':
                set_bit(p.x, q, true);
                set_bit(p.z, q, true);
                p.phase = static_cast<uint8_t>((p.phase + 1) % 4);
                break;
            default:
                throw KelvoError::unsupported("unsupported Pauli character");
        }
    }
    return p;
}

PauliString pauli_identity(uint64_t n) {
    return PauliString(n);
}

PauliString pauli_x(uint64_t n, uint64_t q) {
    KELVO_ASSERT(q < n, "qubit index out of range");
    PauliString p(n);
    p.set_xbit(q, true);
    return p;
}

PauliString pauli_y(uint64_t n, uint64_t q) {
    KELVO_ASSERT(q < n, "qubit index out of range");
    PauliString p(n);
    p.set_xbit(q, true);
    p.set_zbit(q, true);
    p.phase = 1;
    return p;
}

PauliString pauli_z(uint64_t n, uint64_t q) {
    KELVO_ASSERT(q < n, "qubit index out of range");
    PauliString p(n);
    p.set_zbit(q, true);
    return p;
}

bool pauli_anticommutes(const PauliString& a, const PauliString& b) {
    check_same_size(a, b);
    uint64_t acc = 0;
    for (size_t i = 0; i < a.x.size(); ++i)
        acc ^= (a.x[i] & b.z[i]) ^ (a.z[i] & b.x[i]);
    return std::popcount(acc) & 1;
}

bool measurement_phase_sign(const PauliString& p) {
    const unsigned k = letter_phase(p);
    if (k % 2 == 1) {
        throw KelvoError::invalid_input(
            "Pauli measurement requires a Hermitian Pauli with real coefficient");
    }
    return k == 2;
}

}  // namespace kelvo
