#include "core/stream/sixel.hpp"

#include <algorithm>
#include <climits>
#include <cstring>

#include "core/stream/digits.hpp"

namespace corvane::wire {
namespace {

constexpr std::size_t BINS = 1 << 15;
constexpr std::uint16_t UNSET = 0xffff;
// Each round moves the median cut's centres to the means of what is nearest to them; past three
// the gain on photos is below a tenth of a decibel.
constexpr int KMEANS_ROUNDS = 3;

inline std::uint32_t bin_of(int r, int g, int b) {
    return std::uint32_t(r >> 3) << 10 | std::uint32_t(g >> 3) << 5 | std::uint32_t(b >> 3);
}

struct Bin {
    std::uint32_t key, count;
    float c[3];  // mean r, g, b of the pixels in it
};

struct Box {
    std::size_t begin, end;
    double sse;
    int axis;
};

// The spread of a run of bins: its sum of squared deviations and the component that spreads most.
Box measure(const std::vector<Bin>& bins, std::size_t begin, std::size_t end) {
    double n = 0, s[3] = {0, 0, 0}, q[3] = {0, 0, 0};
    for (std::size_t i = begin; i < end; ++i) {
        const Bin& b = bins[i];
        n += b.count;
        for (int c = 0; c < 3; ++c)
            s[c] += double(b.count) * b.c[c], q[c] += double(b.count) * b.c[c] * b.c[c];
    }
    Box box{begin, end, 0, 0};
    double best = -1;
    for (int c = 0; c < 3; ++c) {
        const double v = n > 0 ? q[c] - s[c] * s[c] / n : 0;
        box.sse += v;
        if (v > best) best = v, box.axis = c;
    }
    return box;
}

std::uint8_t* put_number(std::uint8_t* p, std::uint32_t v) {
    return digits::put_u32(p, v);
}

inline std::uint8_t* put_run(std::uint8_t* p, std::uint8_t ch, int n) {
    if (n >= 4) {
        *p++ = '!';
        p = put_number(p, std::uint32_t(n));
        *p++ = ch;
        return p;
    }
    while (n-- > 0) *p++ = ch;
    return p;
}

}  // namespace

// The nearest of a few hundred colours, fast: entries sorted by green, the search walks out from
// the query's green both ways and stops where the green difference alone exceeds the best found.
class SixelNearest {
  public:
    void build(const std::vector<float>& centre) {
        const std::size_t k = centre.size() / 3;
        order_.resize(k);
        for (std::size_t j = 0; j < k; ++j) order_[j] = j;
        std::sort(order_.begin(), order_.end(),
                  [&](std::size_t a, std::size_t b) { return centre[3 * a + 1] < centre[3 * b + 1]; });
        c_.resize(3 * k);
        for (std::size_t j = 0; j < k; ++j)
            for (std::size_t c = 0; c < 3; ++c) c_[3 * j + c] = centre[3 * order_[j] + c];
    }
    std::size_t find(float r, float g, float b) const {
        const std::size_t k = order_.size();
        std::size_t lo = 0, hi = k;
        while (lo < hi) {
            const std::size_t mid = (lo + hi) / 2;
            if (c_[3 * mid + 1] < g)
                lo = mid + 1;
            else
                hi = mid;
        }
        float best_d = 1e30f;
        std::size_t best = 0;
        auto visit = [&](std::size_t j) {
            const float dg = c_[3 * j + 1] - g;
            if (dg * dg >= best_d) return false;
            const float dr = c_[3 * j] - r, db = c_[3 * j + 2] - b, d = dr * dr + dg * dg + db * db;
            if (d < best_d) best_d = d, best = j;
            return true;
        };
        std::size_t up = lo, down = lo;
        bool go_up = true, go_down = true;
        while (go_up || go_down) {
            if (go_up) go_up = up < k && visit(up++);
            if (go_down) go_down = down > 0 && visit(--down);
        }
        return order_[best];
    }

  private:
    std::vector<std::size_t> order_;
    std::vector<float> c_;
};

SixelEncoder::SixelEncoder(SixelOptions options) : opt_(options), search_(std::make_unique<SixelNearest>()) {
    opt_.colors = std::clamp(opt_.colors, 1, 256);
}

SixelEncoder::~SixelEncoder() = default;

void SixelEncoder::encode(const std::uint8_t* pixels, int rows, int cols) {
    rows = std::max(rows, 0), cols = std::max(cols, 0);
    const std::size_t n = std::size_t(rows) * std::size_t(cols);
    const bool keep = opt_.keep_palette && !shown_.empty();
    if (!keep || map_pixels(pixels, rows, cols) > 2 * made_error_ + SIXEL_SCENE_FLOOR) {
        build_palette(pixels, n);
        made_error_ = map_pixels(pixels, rows, cols);
    }
    write_image(rows, cols);
}

void SixelEncoder::build_palette(const std::uint8_t* pixels, std::size_t n) {
    count_.assign(BINS, 0);
    sum_.assign(3 * BINS, 0);
    for (std::size_t i = 0; i < n; ++i, pixels += 3) {
        const std::uint32_t k = bin_of(pixels[2], pixels[1], pixels[0]);
        ++count_[k];
        sum_[3 * k] += pixels[2], sum_[3 * k + 1] += pixels[1], sum_[3 * k + 2] += pixels[0];
    }
    std::vector<Bin> bins;
    for (std::uint32_t k = 0; k < BINS; ++k) {
        const std::uint32_t c = count_[k];
        if (c == 0) continue;
        const float inv = 1.0f / float(c);
        bins.push_back(
            {k, c, {float(sum_[3 * k]) * inv, float(sum_[3 * k + 1]) * inv, float(sum_[3 * k + 2]) * inv}});
    }
    if (bins.empty()) bins.push_back({0, 1, {0, 0, 0}});

    // Median cut: split the box with the largest squared error at the median of its widest component.
    std::vector<Box> boxes{measure(bins, 0, bins.size())};
    while (int(boxes.size()) < opt_.colors) {
        std::size_t pick = boxes.size();
        for (std::size_t i = 0; i < boxes.size(); ++i)
            if (boxes[i].end - boxes[i].begin >= 2 && boxes[i].sse > 0 &&
                (pick == boxes.size() || boxes[i].sse > boxes[pick].sse))
                pick = i;
        if (pick == boxes.size()) break;
        const Box box = boxes[pick];
        const int axis = box.axis;
        std::sort(bins.begin() + std::ptrdiff_t(box.begin), bins.begin() + std::ptrdiff_t(box.end),
                  [axis](const Bin& a, const Bin& b) { return a.c[axis] < b.c[axis]; });
        std::uint64_t total = 0, half = 0;
        for (std::size_t i = box.begin; i < box.end; ++i) total += bins[i].count;
        std::size_t cut = box.begin + 1;
        for (std::size_t i = box.begin; i + 1 < box.end; ++i) {
            half += bins[i].count;
            cut = i + 1;
            if (2 * half >= total) break;
        }
        boxes[pick] = measure(bins, box.begin, cut);
        boxes.push_back(measure(bins, cut, box.end));
    }

    const std::size_t k = boxes.size();
    std::vector<float> centre(3 * k);
    for (std::size_t j = 0; j < k; ++j) {
        double w = 0, s[3] = {0, 0, 0};
        for (std::size_t i = boxes[j].begin; i < boxes[j].end; ++i) {
            w += bins[i].count;
            for (int c = 0; c < 3; ++c) s[c] += double(bins[i].count) * bins[i].c[c];
        }
        for (int c = 0; c < 3; ++c) centre[3 * j + c] = float(s[c] / w);
    }
    std::vector<double> acc(4 * k);
    for (int round = 0; round < KMEANS_ROUNDS; ++round) {
        std::fill(acc.begin(), acc.end(), 0.0);
        SixelNearest search;
        search.build(centre);
        for (const Bin& b : bins) {
            const std::size_t best = search.find(b.c[0], b.c[1], b.c[2]);
            acc[4 * best] += b.count;
            for (int c = 0; c < 3; ++c) acc[4 * best + 1 + std::size_t(c)] += double(b.count) * b.c[c];
        }
        for (std::size_t j = 0; j < k; ++j)
            if (acc[4 * j] > 0)
                for (int c = 0; c < 3; ++c)
                    centre[3 * j + c] = float(acc[4 * j + 1 + std::size_t(c)] / acc[4 * j]);
    }

    shown_.resize(k);
    percent_.resize(3 * k);
    for (std::size_t j = 0; j < k; ++j) {
        std::uint32_t packed = 0;
        for (int c = 0; c < 3; ++c) {
            const int v = std::clamp(int(centre[3 * j + c] + 0.5f), 0, 255);
            const int pct = (v * 100 + 127) / 255;
            percent_[3 * j + c] = std::uint8_t(pct);
            packed |= std::uint32_t((pct * 255 + 50) / 100) << (8 * c);
        }
        shown_[j] = packed;
    }
    std::vector<float> shown(3 * k);
    for (std::size_t j = 0; j < 3 * k; ++j) shown[j] = float(shown_[j / 3] >> (8 * (j % 3)) & 0xff);
    search_->build(shown);
    lut_.assign(BINS, UNSET);
    ++palettes_;
}

std::uint8_t SixelEncoder::nearest(std::uint32_t bin) {
    std::uint16_t& slot = lut_[bin];
    if (slot != UNSET) return std::uint8_t(slot);
    const std::size_t best =
        search_->find(float(bin >> 10) * 8 + 4, float(bin >> 5 & 31) * 8 + 4, float(bin & 31) * 8 + 4);
    slot = std::uint16_t(best);
    return std::uint8_t(best);
}

double SixelEncoder::map_pixels(const std::uint8_t* pixels, int rows, int cols) {
    index_.resize(std::size_t(rows) * std::size_t(cols));
    std::uint8_t* out = index_.data();
    std::uint64_t error = 0;
    auto miss = [&](const int* v, std::uint8_t k) {
        int e = 0;
        for (int c = 0; c < 3; ++c) {
            const int d = v[c] - int(shown_[k] >> (8 * c) & 0xff);
            e += d * d;
        }
        return e;
    };
    const double pixels_n = std::max<double>(double(index_.size()), 1);
    if (!opt_.diffuse) {
        for (std::size_t i = 0; i < index_.size(); ++i, pixels += 3) {
            const int v[3] = {pixels[2], pixels[1], pixels[0]};
            out[i] = nearest(bin_of(v[0], v[1], v[2]));
            error += std::uint64_t(miss(v, out[i]));
        }
        return double(error) / pixels_n;
    }
    // Two rows of error, each with a pixel of margin on both sides so that no spread needs a test.
    const std::size_t width = std::size_t(cols) + 2;
    error_.assign(2 * 3 * width, 0);
    for (int y = 0; y < rows; ++y) {
        std::int16_t* here = error_.data() + std::size_t(y & 1) * 3 * width;
        std::int16_t* below = error_.data() + std::size_t(~y & 1) * 3 * width;
        std::fill(below, below + 3 * width, std::int16_t(0));
        for (int x = 0; x < cols; ++x, pixels += 3) {
            const std::size_t e = 3 * (std::size_t(x) + 1);
            int v[3];
            for (int c = 0; c < 3; ++c)
                v[c] = std::clamp(int(pixels[2 - c]) + here[e + std::size_t(c)] / 16, 0, 255);
            const std::uint8_t k = nearest(bin_of(v[0], v[1], v[2]));
            *out++ = k;
            error += std::uint64_t(miss(v, k));
            for (int c = 0; c < 3; ++c) {
                const int d = v[c] - int(shown_[k] >> (8 * c) & 0xff);
                here[e + 3 + std::size_t(c)] = std::int16_t(here[e + 3 + std::size_t(c)] + 7 * d);
                below[e - 3 + std::size_t(c)] = std::int16_t(below[e - 3 + std::size_t(c)] + 3 * d);
                below[e + std::size_t(c)] = std::int16_t(below[e + std::size_t(c)] + 5 * d);
                below[e + 3 + std::size_t(c)] = std::int16_t(below[e + 3 + std::size_t(c)] + d);
            }
        }
    }
    return double(error) / pixels_n;
}

void SixelEncoder::write_image(int rows, int cols) {
    const std::size_t k = shown_.size(), w = std::size_t(cols);
    out_.resize(64 + 20 * k);
    std::uint8_t* p = out_.data();
    p = digits::put_literal(p, "\x1bPq\"1;1;", 8);
    p = put_number(p, std::uint32_t(cols));
    *p++ = ';';
    p = put_number(p, std::uint32_t(rows));
    for (std::size_t j = 0; j < k; ++j) {
        *p++ = '#';
        p = put_number(p, std::uint32_t(j));
        p = digits::put_literal(p, ";2;", 3);
        for (int c = 0; c < 3; ++c) {
            p = put_number(p, percent_[3 * j + std::size_t(c)]);
            *p++ = ';';
        }
        --p;
    }
    masks_.assign(k * w, 0);
    std::vector<int> first(k, INT_MAX), last(k, -1);
    std::vector<std::uint8_t> used;
    used.reserve(k);
    for (int y0 = 0; y0 < rows; y0 += 6) {
        used.clear();
        const int band = std::min(6, rows - y0);
        for (int dy = 0; dy < band; ++dy) {
            const std::uint8_t* row = index_.data() + std::size_t(y0 + dy) * w;
            const std::uint8_t bit = std::uint8_t(1 << dy);
            for (std::size_t x = 0; x < w; ++x) {
                const std::uint8_t e = row[x];
                if (first[e] == INT_MAX) used.push_back(e);
                first[e] = std::min(first[e], int(x));
                last[e] = std::max(last[e], int(x));
                masks_[e * w + x] |= bit;
            }
        }
        // A colour's bytes never outnumber its columns, plus its "#n", "$" and a leading skip.
        std::size_t at = std::size_t(p - out_.data());
        out_.resize(at + used.size() * (w + 24) + 16);
        p = out_.data() + at;
        for (std::size_t u = 0; u < used.size(); ++u) {
            const std::uint8_t e = used[u];
            if (u > 0) *p++ = '$';
            *p++ = '#';
            p = put_number(p, e);
            p = put_run(p, '?', first[e]);
            std::uint8_t* m = masks_.data() + e * w;
            int x = first[e];
            while (x <= last[e]) {
                const std::uint8_t v = m[x];
                int end = x + 1;
                while (end <= last[e] && m[end] == v) ++end;
                p = put_run(p, std::uint8_t(63 + v), end - x);
                x = end;
            }
            std::memset(m + first[e], 0, std::size_t(last[e] - first[e] + 1));
            first[e] = INT_MAX, last[e] = -1;
        }
        if (y0 + 6 < rows) *p++ = '-';
    }
    std::size_t at = std::size_t(p - out_.data());
    out_.resize(at + 2);
    std::memcpy(out_.data() + at, "\x1b\\", 2);
}

}  // namespace corvane::wire
