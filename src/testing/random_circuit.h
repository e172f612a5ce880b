// Random circuits over the whole instruction set for tests: few measurements and few noise
// channels, so that a dense oracle can enumerate every branch.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace kelvo::testing {

// Texts are built by appends: GCC 12 warns falsely (restrict) on "literal" + string.
class RandomCircuit {
  public:
    explicit RandomCircuit(uint64_t seed) : rng_(seed) {
        for (const char* g :
             {"H",     "H_XY",   "H_YZ",   "H_NXY",      "H_NXZ",  "H_NYZ",      "C_XYZ",
              "C_ZYX", "C_NXYZ", "C_NZYX", "C_XNYZ",     "C_XYNZ", "C_ZNYX",     "C_ZYNX",
              "S",     "S_DAG",  "SQRT_X", "SQRT_X_DAG", "SQRT_Y", "SQRT_Y_DAG", "X",
              "Y",     "Z",      "R",      "RX",         "RY"})
            lines_['c'].push_back(std::string(g) + " {q}");
        for (const char* g :
             {"CX",      "CY",          "CZ",      "SWAP",        "CXSWAP",  "CZSWAP",
              "ISWAP",   "ISWAP_DAG",   "SQRT_XX", "SQRT_XX_DAG", "SQRT_YY", "SQRT_YY_DAG",
              "SQRT_ZZ", "SQRT_ZZ_DAG", "SWAPCX",  "XCX",         "XCY",     "XCZ",
              "YCX",     "YCY",         "YCZ"})
            lines_['c'].push_back(std::string(g) + " {qq}");
        for (const char* g : {"T {q}", "T_DAG {q}", "R_X{a} {q}", "R_Y{a} {q}", "R_Z{a} {q}",
                              "R_XX{a} {qq}", "R_YY{a} {qq}", "R_ZZ{a} {qq}", "R_PAULI{a} {P}",
                              "SPP {P}", "SPP_DAG {P}", "U3{a3} {q}"})
            lines_['r'].push_back(g);
        for (const char* g : {"M{m} {!q}", "MX{m} {!q}", "MY{m} {!q}", "MR{m} {!q}", "MRX{m} {!q}",
                              "MRY{m} {!q}", "MPP{m} {P}", "MPAD{m} {b}"})
            lines_['m'].push_back(g);
        for (const char* g :
             {"X_ERROR{p} {q}", "Y_ERROR{p} {q}", "Z_ERROR{p} {q}", "DEPOLARIZE1{p} {q}",
              "DEPOLARIZE2{p} {qq}", "PAULI_CHANNEL_1{p3} {q}", "PAULI_CHANNEL_2{p15} {qq}",
              "E{p} {P}\nELSE_CORRELATED_ERROR{p} {P}"})
            lines_['n'].push_back(g);
        for (const char* g : {"HERALDED_ERASE{p} {q}", "HERALDED_PAULI_CHANNEL_1{p4} {q}"})
            lines_['h'].push_back(g);
        for (const char* g :
             {"CX {rec} {q}", "CY {rec} {q}", "CZ {rec} {q}", "DETECTOR {rec} {rec}"})
            lines_['f'].push_back(g);
        lines_['x'].push_back("EXP_VAL {P} {P}");
        lines_['e'].push_back("TICK");
        // Only in wide shapes: products over many qubits, discarding detectors, one-qubit
        // rotations.
        for (const char* g : {"R_PAULI{a} {W}", "MPP{m} {W}"})
            lines_['w'].push_back(g);
        lines_['y'].push_back("EXP_VAL {W} {P}");
        lines_['d'].push_back("DISCARD {rec}");
        for (const char* g : {"T {q}", "T_DAG {q}", "R_X{a} {q}", "R_Y{a} {q}", "U3{a3} {q}"})
            lines_['o'].push_back(g);
    }

    // Sizes and the mix of instruction kinds; each letter of `kinds` is one draw's weight.
    struct Shape {
        uint64_t min_qubits = 1, max_qubits = 8;
        int min_length = 4, max_length = 19;
        int max_records = 7, max_noise = 4;
        const char* kinds = "cccccccrrrrrmmmmnnnhffxxe";
    };

    // 9 to 16 qubits, many rotations, some on products over many qubits. Noiseless shapes draw
    // no noise channel (heralded ones included); noisy ones one, so that the dense run stays
    // small on 16 qubits.
    static Shape wide(bool noisy, bool exp_vals) {
        return {9,
                16,
                30,
                50,
                5,
                noisy ? 1 : 0,
                exp_vals ? "ccccccccrrrrrrrrrrrrwwmmmnhffdxy" : "ccccccccrrrrrrrrrrrrwwmmmnhffde"};
    }

    // Three phases on 9 to 16 qubits: a rotation on every qubit in random order (each becomes
    // its own active component), then a few entangling gates and rotations that merge some
    // components, then measurements that take qubits back out of merged components.
    std::string make_phased(bool noisy) {
        n_ = 9 + rng_() % 8;
        std::vector<uint64_t> qs(n_);
        std::iota(qs.begin(), qs.end(), 0);
        std::shuffle(qs.begin(), qs.end(), rng_);
        std::string text;
        for (const uint64_t q : qs) {
            std::string target = " ";
            target.append(std::to_string(q)).append("\n");
            switch (rng_() % 4) {
                case 0:
                    text.append("R_X").append(list(1, 1.9)).append(target);
                    break;
                case 1:
                    text.append("R_Y").append(list(1, 1.9)).append(target);
                    break;
                case 2:
                    text.append("U3").append(list(3, 1.9)).append(target);
                    break;
                default:
                    text.append("H").append(target).append("T").append(target);
            }
        }
        const uint64_t n = n_;
        const int noise = noisy ? 1 : 0;
        text += make(true, {n, n, 3, 10, 1, noise, "cccrrwof"});
        return text + make(true, {n, n, 6, 12, 4, noise, "mmmmmoocfd"});
    }

    std::string make(bool rotations) { return make(rotations, Shape{}); }

    std::string make(bool rotations, const Shape& shape) {
        n_ = shape.min_qubits + rng_() % (shape.max_qubits - shape.min_qubits + 1);
        int records = 0, noise = 0;
        const uint64_t kinds = std::char_traits<char>::length(shape.kinds);
        std::string text;
        for (int len = shape.min_length +
                       static_cast<int>(rng_() % (shape.max_length - shape.min_length + 1));
             len > 0;) {
            const char kind = shape.kinds[rng_() % kinds];
            const std::vector<std::string>& pool = lines_[kind];
            const std::string& line = pool[rng_() % pool.size()];
            const bool record = kind == 'm' || kind == 'h' || line.rfind("MPP", 0) == 0;
            const bool noisy = kind == 'n' || kind == 'h';
            if (((kind == 'r' || kind == 'w' || kind == 'o') && !rotations) ||
                (record && records == shape.max_records) || (noisy && noise == shape.max_noise) ||
                ((kind == 'f' || kind == 'd') && records == 0) ||
                (n_ < 2 && line.find("{qq}") != line.npos))
                continue;
            records += record;
            noise += noisy;
            text += expand(line, records) + "\n";
            --len;
        }
        return text;
    }

  private:
    std::string number(double hi) {
        return std::to_string(std::uniform_real_distribution<double>(0.01, hi)(rng_));
    }
    std::string list(int count, double hi) {
        std::string s;
        for (int i = 0; i < count; ++i) {
            s += i ? ',' : '(';
            s += number(hi);
        }
        return s + ')';
    }
    std::string expand(const std::string& line, int records) {
        std::string out;
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] != '{') {
                out += line[i];
                continue;
            }
            const size_t end = line.find('}', i);
            out += field(line.substr(i + 1, end - i - 1), records);
            i = end;
        }
        return out;
    }
    std::string field(const std::string& key, int records) {
        const uint64_t a = rng_() % n_, b = (a + 1 + rng_() % (n_ > 1 ? n_ - 1 : 1)) % n_;
        if (key == "q") return std::to_string(a);
        if (key == "!q") {
            std::string s = rng_() % 4 ? "" : "!";
            return s += std::to_string(a);
        }
        if (key == "qq") return std::to_string(a) + " " + std::to_string(b);
        if (key == "b") return std::to_string(rng_() % 2);
        if (key == "a") return list(1, 1.9);
        if (key == "a3") return list(3, 1.9);
        if (key == "m") return rng_() % 3 ? "" : list(1, 0.3);
        if (key == "p") return list(1, 0.3);
        if (key == "p3") return list(3, 0.2);
        if (key == "p4") return list(4, 0.1);
        if (key == "p15") return list(15, 0.05);
        if (key == "rec") return "rec[-" + std::to_string(1 + rng_() % records) + "]";
        // A product over distinct qubits, so that it is Hermitian: up to 3 of them, or up to
        // every qubit for "W".
        std::vector<uint64_t> qs(n_);
        std::iota(qs.begin(), qs.end(), 0);
        std::shuffle(qs.begin(), qs.end(), rng_);
        std::string s = rng_() % 4 ? "" : "!";
        const uint64_t most = key == "W" ? n_ : std::min<uint64_t>(n_, 3);
        for (uint64_t i = 0, w = 1 + rng_() % most; i < w; ++i) {
            if (i) s += '*';
            s += "XYZ"[rng_() % 3];
            s += std::to_string(qs[i]);
        }
        return s;
    }

    std::mt19937_64 rng_;
    std::map<char, std::vector<std::string>> lines_;
    uint64_t n_ = 1;
};

// The circuit text without noise channels and measurement noise. Heralded channels stay: they
// write records, so dropping them would renumber the rest.
inline std::string without_noise(const std::string& text) {
    static const std::string kNoise[] = {"X_ERROR",         "Y_ERROR",     "Z_ERROR",
                                         "DEPOLARIZE1",     "DEPOLARIZE2", "PAULI_CHANNEL_1",
                                         "PAULI_CHANNEL_2", "E",           "ELSE_CORRELATED_ERROR"};
    std::istringstream lines(text);
    std::string out, line;
    while (std::getline(lines, line)) {
        const std::string name = line.substr(0, line.find_first_of("( "));
        if (std::find(std::begin(kNoise), std::end(kNoise), name) != std::end(kNoise)) continue;
        if (name[0] == 'M' && line[name.size()] == '(')
            line.erase(name.size(), line.find(')') + 1 - name.size());
        out += line;
        out += '\n';
    }
    return out;
}

}  // namespace kelvo::testing
