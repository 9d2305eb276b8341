#include "core/stream/palette.hpp"

#include <algorithm>
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
Lab oklab_of_linear(float r, float g, float b) {
    const float l = std::cbrt(0.4122214708f * r + 0.5363325363f * g + 0.0514459929f * b);
    const float m = std::cbrt(0.2119034982f * r + 0.6806995451f * g + 0.1073969566f * b);
    const float s = std::cbrt(0.0883024619f * r + 0.2817188376f * g + 0.6299787005f * b);
    return {0.2104542553f * l + 0.7936177850f * m - 0.0040720468f * s,
            1.9779984951f * l - 2.4285922050f * m + 0.4505937099f * s,
            0.0259040371f * l + 0.7827717662f * m - 0.8086757660f * s};
}

Lab oklab(float r8, float g8, float b8) {
    return oklab_of_linear(linear(r8), linear(g8), linear(b8));
}

// Every pixel of a diffused frame goes through OKLab: its linear components looked up.
Lab oklab(const std::uint8_t* bgr) {
    static const std::array<float, 256> linears = [] {
        std::array<float, 256> t{};
        for (std::size_t i = 0; i < 256; ++i) t[i] = linear(float(i));
        return t;
    }();
    return oklab_of_linear(linears[bgr[2]], linears[bgr[1]], linears[bgr[0]]);
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

void diffuse_16(const std::uint8_t* bgr, int rows, int cols, std::uint8_t* out) {
    if (rows <= 0 || cols <= 0) return;
    static const std::array<Lab, 16> ansi = [] {
        std::array<Lab, 16> labs{};
        for (std::size_t i = 0; i < 16; ++i)
            labs[i] = oklab(float(PALETTE[i] & 0xff), float(PALETTE[i] >> 8 & 0xff),
                            float(PALETTE[i] >> 16 & 0xff));
        return labs;
    }();
    // The miss carried to this row and the next, in OKLab (where the choice is made, so lightness
    // and hue are paid back as they look), one pixel of margin each side.
    const std::size_t width = std::size_t(cols) + 2;
    std::vector<Lab> here(width), next(width);
    for (int y = 0; y < rows; ++y) {
        std::fill(next.begin(), next.end(), Lab{0, 0, 0});
        const int step = y % 2 == 0 ? 1 : -1;
        for (int i = 0; i < cols; ++i) {
            const int x = step > 0 ? i : cols - 1 - i;
            const std::size_t at = std::size_t(y) * std::size_t(cols) + std::size_t(x),
                              e = std::size_t(x + 1);
            const std::uint8_t* px = bgr + 3 * at;
            const Lab p = oklab(px);
            const Lab want{p.l + here[e].l, p.a + here[e].a, p.b + here[e].b};
            float best = INFINITY;
            std::size_t pick = 0;
            for (std::size_t k = 0; k < 16; ++k) {
                const float dl = want.l - ansi[k].l, da = want.a - ansi[k].a, db = want.b - ansi[k].b;
                const float d = dl * dl + da * da + db * db;
                if (d < best) best = d, pick = k;
            }
            out[at] = std::uint8_t(pick);
            const Lab miss{want.l - ansi[pick].l, want.a - ansi[pick].a, want.b - ansi[pick].b};
            auto carry = [&miss](Lab& to, float weight) {
                to.l += miss.l * weight, to.a += miss.a * weight, to.b += miss.b * weight;
            };
            carry(here[std::size_t(int(e) + step)], 7.0f / 16);
            carry(next[std::size_t(int(e) - step)], 3.0f / 16);
            carry(next[e], 5.0f / 16);
            carry(next[std::size_t(int(e) + step)], 1.0f / 16);
        }
        std::swap(here, next);
    }
}

std::uint8_t dithered_256(std::uint8_t r, std::uint8_t g, std::uint8_t b, int x, int y) {
    static constexpr int BAYER[16] = {0, 8, 2, 10, 12, 4, 14, 6, 3, 11, 1, 9, 15, 7, 13, 5};
    // The cube's levels lie 40 apart.
    constexpr int amplitude = 40;
    const int offset = ((2 * BAYER[(y & 3) * 4 + (x & 3)] + 1) * amplitude) / 32 - amplitude / 2;
    auto at = [offset](std::uint8_t c) { return std::uint8_t(std::clamp(c + offset, 0, 255)); };
    return nearest_256(at(r), at(g), at(b));
}

}  // namespace corvane::wire
