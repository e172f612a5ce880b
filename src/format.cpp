#include "format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

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

// The code point of one whole UTF-8 character.
uint32_t code_point(std::string_view character) {
    const auto byte = [&](size_t k) {
        return static_cast<uint32_t>(static_cast<unsigned char>(character[k]));
    };
    switch (character.size()) {
        case 1:
            return byte(0);
        case 2:
            return (byte(0) & 0x1F) << 6 | (byte(1) & 0x3F);
        case 3:
            return (byte(0) & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
        default:
            return (byte(0) & 0x07) << 18 | (byte(1) & 0x3F) << 12 | (byte(2) & 0x3F) << 6 |
                   (byte(3) & 0x3F);
    }
}

struct CodePointRange {
    uint32_t first, last;
};

// Not printable (general categories Cc, Cf, Cs, Co, Cn, Zl, Zp, Zs) or a grapheme extender.
constexpr CodePointRange kDebugEscapes[] = {
#include "debug_escape_ranges.inc"
};

}  // namespace

bool escaped_in_debug_strings(uint32_t c) {
    if (c < 0x80) return c < 0x20 || c == '"' || c == '\\' || c == 0x7F;
    const auto* const end = std::end(kDebugEscapes);
    const auto* const range =
        std::lower_bound(std::begin(kDebugEscapes), end, c,
                         [](const CodePointRange& r, uint32_t value) { return r.last < value; });
    return range != end && range->first <= c;
}

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
    char escape[16];
    for (size_t i = 0; i < s.size();) {
        const int step = utf8_step(s, i);
        if (step < 0) {
            out += "\xEF\xBF\xBD";  // not UTF-8: as utf8_lossy reads it
            i += static_cast<size_t>(-step);
            continue;
        }
        const std::string_view character = s.substr(i, static_cast<size_t>(step));
        i += static_cast<size_t>(step);
        const uint32_t c = code_point(character);
        switch (c) {
            case '"':
                out += "\\\"";
                continue;
            case '\\':
                out += "\\\\";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\t':
                out += "\\t";
                continue;
            case '\0':
                out += "\\0";
                continue;
        }
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && escaped_in_debug_strings(c))) {
            std::snprintf(escape, sizeof escape, "\\u{%x}", c);
            out += escape;
        } else {
            out += character;
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
