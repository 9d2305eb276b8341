// Decimal numbers for escape sequences, written without a formatting library: the colour
// components 0..255 from a table (one 4-byte copy per number), other numbers digit by digit.
//
// Contract: plain functions over a caller's buffer, which must have 4 bytes of room past the
// last byte a component writes (the table's copies are 4 bytes wide). Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace corvane::digits {

// "0;" .. "255;": each entry is the decimal digits and a ';', padded to 4 bytes so that one 4-byte
// copy writes it and `len` advances past it.
struct Decimal {
    char text[4];
    std::uint8_t len;
};

inline constexpr auto DECIMALS = [] {
    struct Table {
        Decimal d[256];
    } t{};
    for (int v = 0; v < 256; ++v) {
        Decimal& e = t.d[v];
        int n = 0;
        if (v >= 100) e.text[n++] = char('0' + v / 100);
        if (v >= 10) e.text[n++] = char('0' + v / 10 % 10);
        e.text[n++] = char('0' + v % 10);
        e.text[n++] = ';';
        e.len = std::uint8_t(n);
    }
    return t;
}();

// The low byte of `v` and a ';'.
inline std::uint8_t* put_component(std::uint8_t* p, std::uint64_t v) {
    const Decimal& d = DECIMALS.d[v & 0xff];
    std::memcpy(p, d.text, 4);
    return p + d.len;
}

inline std::uint8_t* put_literal(std::uint8_t* p, const char* s, std::size_t n) {
    std::memcpy(p, s, n);
    return p + n;
}

inline std::uint8_t* put_u32(std::uint8_t* p, std::uint32_t v) {
    char tmp[10];
    int n = 0;
    do {
        tmp[n++] = char('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) *p++ = std::uint8_t(tmp[--n]);
    return p;
}

}  // namespace corvane::digits
