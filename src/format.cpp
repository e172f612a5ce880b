#include "format.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace kelvo {
namespace {

std::string non_finite(double x) {
    if (std::isnan(x)) return "NaN";
    return x < 0 ? "-inf" : "inf";
}

// Shortest scientific digits split into mantissa text and decimal exponent.
void shortest_scientific(double x, std::string& mantissa, int& exponent) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    (void)ec;
    const std::string_view text(buf, static_cast<size_t>(end - buf));
    const size_t e = text.find('e');
    mantissa = std::string(text.substr(0, e));
    exponent = 0;
    std::from_chars(text.data() + e + 1 + (text[e + 1] == '+'), text.data() + text.size(),
                    exponent);
}

// Length of the valid UTF-8 sequence starting at `i`, or the length of the maximal invalid
// prefix (at least 1) negated.
int utf8_step(std::string_view s, size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) return 1;
    int need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return -1;
    }
    for (int k = 1; k <= need; ++k) {
        if (i + k >= s.size()) return -k;
        const auto c = static_cast<unsigned char>(s[i + k]);
        if (c < lo || c > hi) return -k;
        lo = 0x80;
        hi = 0xBF;
    }
    return need + 1;
}

}  // namespace

std::string format_float(double x) {
    if (!std::isfinite(x)) return non_finite(x);
    char buf[400];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed);
    (void)ec;
    return std::string(buf, end);
}

std::string format_float_exp(double x) {
    if (!std::isfinite(x)) return non_finite(x);
    std::string mantissa;
    int exponent;
    shortest_scientific(x, mantissa, exponent);
    return mantissa + "e" + std::to_string(exponent);
}

std::string format_float_debug(double x) {
    if (!std::isfinite(x)) return non_finite(x);
    const double a = std::fabs(x);
    if (a != 0 && (a < 1e-4 || a >= 1e16)) return format_float_exp(x);
    std::string s = format_float(x);
    if (s.find('.') == std::string::npos) s += ".0";
    return s;
}

std::string debug_string(std::string_view s) {
    std::string out = "\"";
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", c);
                    out += buf;
                } else {
                    out += ch;
                }
        }
    }
    return out + "\"";
}

bool is_valid_utf8(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        const int step = utf8_step(bytes, i);
        if (step < 0) return false;
        i += static_cast<size_t>(step);
    }
    return true;
}

std::optional<size_t> utf8_whole_prefix(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        // Circuit text is mostly ASCII: skip it eight bytes at a time.
        if (i + 8 <= bytes.size()) {
            uint64_t word;
            std::memcpy(&word, bytes.data() + i, 8);
            if ((word & 0x8080808080808080) == 0) {
                i += 8;
                continue;
            }
        }
        const int step = utf8_step(bytes, i);
        if (step > 0) {
            i += static_cast<size_t>(step);
            continue;
        }
        // A lead byte whose sequence runs past the end may still be completed.
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const bool cut =
            lead >= 0xC2 && lead <= 0xF4 && i + static_cast<size_t>(-step) >= bytes.size();
        if (cut) return i;
        return std::nullopt;
    }
    return bytes.size();
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        const int step = utf8_step(bytes, i);
        if (step > 0) {
            out.append(bytes.substr(i, static_cast<size_t>(step)));
            i += static_cast<size_t>(step);
        } else {
            out += "\xEF\xBF\xBD";
            i += static_cast<size_t>(-step);
        }
    }
    return out;
}

}  // namespace kelvo
