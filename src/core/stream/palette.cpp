#include "core/stream/palette.hpp"

#include <array>
#include <cmath>
#include <vector>

namespace corvane::wire {
namespace {

constexpr std::uint32_t rgb(int r, int g, int b) {
    return std::uint32_t(r) | std::uint32_t(g) << 8 | std::uint32_t(b) << 16;
}

constexpr std::array<std::uint32_t, 256> PALETTE = [] {
    std::array<std::uint32_t, 256> p{};
    constexpr std::uint32_t ansi[16] = {
        rgb(0, 0, 0),       rgb(205, 0, 0),   rgb(0, 205, 0),   rgb(205, 205, 0),
        rgb(0, 0, 238),     rgb(205, 0, 205), rgb(0, 205, 205), rgb(229, 229, 229),
        rgb(127, 127, 127), rgb(255, 0, 0),   rgb(0, 255, 0),   rgb(255, 255, 0),
        rgb(92, 92, 255),   rgb(255, 0, 255), rgb(0, 255, 255), rgb(255, 255, 255)};
    for (int i = 0; i < 16; ++i) p[i] = ansi[i];
    constexpr int level[6] = {0, 95, 135, 175, 215, 255};
    for (int i = 0; i < 216; ++i) p[16 + i] = rgb(level[i / 36], level[i / 6 % 6], level[i % 6]);
    for (int i = 0; i < 24; ++i) p[232 + i] = rgb(8 + 10 * i, 8 + 10 * i, 8 + 10 * i);
    return p;
}();

struct Lab {
    float l, a, b;
};

float linear(float c) {
    c /= 255.0f;
    return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
}

// OKLab: distances in it follow how different colours look far better than RGB distances do.
Lab oklab(float r8, float g8, float b8) {
    const float r = linear(r8), g = linear(g8), b = linear(b8);
    const float l = std::cbrt(0.4122214708f * r + 0.5363325363f * g + 0.0514459929f * b);
    const float m = std::cbrt(0.2119034982f * r + 0.6806995451f * g + 0.1073969566f * b);
    const float s = std::cbrt(0.0883024619f * r + 0.2817188376f * g + 0.6299787005f * b);
    return {0.2104542553f * l + 0.7936177850f * m - 0.0040720468f * s,
            1.9779984951f * l - 2.4285922050f * m + 0.4505937099f * s,
            0.0259040371f * l + 0.7827717662f * m - 0.8086757660f * s};
}

// Index = r >> 3 | (g >> 3) << 5 | (b >> 3) << 10; each bin is judged by its centre.
std::vector<std::uint8_t> build_table(int first, int count) {
    std::vector<Lab> labs;
    for (int i = first; i < first + count; ++i) {
        const std::uint32_t c = PALETTE[std::size_t(i)];
        labs.push_back(oklab(float(c & 0xff), float(c >> 8 & 0xff), float(c >> 16 & 0xff)));
    }
    std::vector<std::uint8_t> table(1 << 15);
    for (int i = 0; i < (1 << 15); ++i) {
        const Lab p = oklab(float((i & 31) * 8 + 4), float((i >> 5 & 31) * 8 + 4), float((i >> 10) * 8 + 4));
        float best = INFINITY;
        int pick = 0;
        for (int k = 0; k < count; ++k) {
            const float dl = p.l - labs[k].l, da = p.a - labs[k].a, db = p.b - labs[k].b;
            const float d = dl * dl + da * da + db * db;
            if (d < best) best = d, pick = k;
        }
        table[std::size_t(i)] = std::uint8_t(first + pick);
    }
    return table;
}

inline std::size_t bin(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return std::size_t(r >> 3) | std::size_t(g >> 3) << 5 | std::size_t(b >> 3) << 10;
}

}  // namespace

std::uint32_t palette_rgb(std::uint32_t index) {
    return PALETTE[index & 0xff];
}

std::uint8_t nearest_256(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    static const std::vector<std::uint8_t> table = build_table(16, 240);
    return table[bin(r, g, b)];
}

std::uint8_t nearest_16(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    static const std::vector<std::uint8_t> table = build_table(0, 16);
    return table[bin(r, g, b)];
}

}  // namespace corvane::wire
