// A small terminal of its own that reads an encoder's stream back into the colour of every pixel
// of its cells: SGR 0, 49, 38/48 in the ;2 and ;5 forms, 30-37, 40-47, 90-97, 100-107; CUP, CUF,
// CR, LF; the synchronized-update marks; and the glyphs of one cell shape, whose set pixels take
// the foreground. Anything else fails the test. A colour is red | green << 8 | blue << 16, or a
// palette index with PALETTE_FLAG; -1 is the terminal's own (and a pixel never drawn).
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/stream/canvas.hpp"

namespace corvane::wire {

constexpr long PALETTE_FLAG = 1 << 24;

struct TerminalModel {
    CellShape shape;
    CellSize cell;
    int cols, rows, x = 0, y = 0;
    bool addressing = true;  // false: printed lines, where CUP, CUF and synchronized updates have no place
    long fg = -1, bg = -1;
    std::vector<long> px;  // pixel rows of the cell grid
    std::map<std::string, unsigned> patterns;

    TerminalModel(CellShape s, int c, int r) : shape(s), cell(cell_size(s)), cols(c), rows(r) {
        px.assign(std::size_t(c * cell.width * r * cell.height), -1);
        for (unsigned p = 0; p < (1u << (cell.width * cell.height)); ++p) {
            const Glyph g = cell_glyph(s, p);
            EXPECT_TRUE(patterns.emplace(std::string(g.utf8, g.len), p).second) << "two patterns, one glyph";
        }
    }
    long pixel(int px_x, int px_y) const { return px[std::size_t(px_y * cols * cell.width + px_x)]; }

    void sgr(const std::vector<long>& p) {
        for (std::size_t i = 0; i < p.size(); ++i) {
            const long v = p[i], ansi = PALETTE_FLAG | (v % 10 + (v >= 90 ? 8 : 0));
            if (v == 38 || v == 48) {
                (v == 38 ? fg : bg) = p.at(i + 1) == 2 ? p.at(i + 2) | p.at(i + 3) << 8 | p.at(i + 4) << 16
                                                       : PALETTE_FLAG | p.at(i + 2);
                i += p[i + 1] == 2 ? 4 : 2;
            } else if (v == 0 || v == 49) {
                bg = -1, fg = v == 0 ? -1 : fg;
            } else if (v % 10 <= 7 && (v / 10 == 3 || v / 10 == 9)) {
                fg = ansi;
            } else if (v % 10 <= 7 && (v / 10 == 4 || v / 10 == 10)) {
                bg = ansi;
            } else {
                FAIL() << "unexpected SGR " << v;
            }
        }
    }
    void feed(const std::string& s) {
        for (std::size_t i = 0; i < s.size();) {
            if (s.compare(i, 2, "\x1b[") == 0) {
                std::size_t j = i + 2;
                const bool priv = s[j] == '?';
                std::vector<long> p{0};
                for (j += priv; std::isdigit((unsigned char)s[j]) || s[j] == ';'; ++j)
                    s[j] == ';' ? p.push_back(0) : void(p.back() = p.back() * 10 + (s[j] - '0'));
                const char f = s[j];
                if (!addressing) ASSERT_EQ(f, 'm') << "cursor or mode sequence in printed lines";
                if (priv)
                    ASSERT_TRUE(p[0] == 2026 && (f == 'h' || f == 'l'));
                else if (f == 'm')
                    sgr(p);
                else if (f == 'H')
                    y = p.size() > 1 ? int(p[0]) - 1 : 0, x = p.size() > 1 ? int(p[1]) - 1 : 0;
                else if (f == 'C')
                    x += std::max(1, int(p[0]));
                else
                    FAIL() << "unexpected sequence ending in " << f;
                i = j + 1;
            } else if (s[i] == '\r') {
                x = 0, ++i;
            } else if (s[i] == '\n') {
                if (!addressing)
                    ASSERT_TRUE(i >= 4 && s.compare(i - 4, 4, "\x1b[0m") == 0) << "line not reset";
                x = addressing ? x : 0, ++y, ++i;  // a terminal's output processing returns the carriage
            } else {
                const std::size_t len = s[i] == ' ' ? 1 : (std::uint8_t(s[i]) >= 0xf0 ? 4 : 3);
                const auto glyph = patterns.find(s.substr(i, len));
                ASSERT_TRUE(glyph != patterns.end()) << "unexpected byte " << int(std::uint8_t(s[i]));
                ASSERT_TRUE(x < cols && y < rows) << "cell outside the grid";
                for (int k = 0; k < cell.width * cell.height; ++k)
                    px[std::size_t(((y * cell.height + k / cell.width) * cols + x) * cell.width +
                                   k % cell.width)] = glyph->second >> k & 1 ? fg : bg;
                ++x, i += len;
            }
        }
    }
    void feed(const ByteBuffer& b) { feed(std::string(reinterpret_cast<const char*>(b.data()), b.size())); }
};

}  // namespace corvane::wire
