// The colour parameters of SGR sequences, as every cell writer of the wire spells them: "38;2;r;g;b;"
// or "48;2;r;g;b;" at 24 bits, "38;5;n;" / "48;5;n;" in the 256 palette, 30-37, 90-97, 40-47 and
// 100-107 for the 16 ANSI colours; each with its trailing ';' (the caller turns the last into 'm').
//
// Contract: colour codes are red | green << 8 | blue << 16 at 24 bits and palette indices
// otherwise; the buffer needs 4 bytes of room past what a parameter writes (digits.hpp). Any thread.
#pragma once

#include <cstdint>

#include "core/stream/digits.hpp"

namespace corvane::wire {

enum class Depth : std::uint8_t { kTrue, k256, k16 };

template <Depth D>
int colour_param_len(std::uint32_t c, bool bg) {
    using digits::DECIMALS;
    if constexpr (D == Depth::kTrue)
        return 5 + DECIMALS.d[c & 0xff].len + DECIMALS.d[c >> 8 & 0xff].len + DECIMALS.d[c >> 16 & 0xff].len;
    if constexpr (D == Depth::k256) return 5 + DECIMALS.d[c & 0xff].len;
    return bg && c >= 8 ? 4 : 3;
}

template <Depth D>
std::uint8_t* put_colour_param(std::uint8_t* p, std::uint32_t c, bool bg) {
    using digits::put_component;
    using digits::put_literal;
    if constexpr (D == Depth::kTrue) {
        p = put_literal(p, bg ? "48;2;" : "38;2;", 5);
        p = put_component(p, c);
        p = put_component(p, c >> 8);
        return put_component(p, c >> 16);
    }
    if constexpr (D == Depth::k256) {
        p = put_literal(p, bg ? "48;5;" : "38;5;", 5);
        return put_component(p, c);
    }
    if (c < 8) {
        *p++ = bg ? '4' : '3';
    } else {
        p = bg ? put_literal(p, "10", 2) : put_literal(p, "9", 1);
        c -= 8;
    }
    *p++ = std::uint8_t('0' + c);
    *p++ = ';';
    return p;
}

}  // namespace corvane::wire
