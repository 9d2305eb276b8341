// Terminal palettes and the nearest palette colour of a 24-bit colour.
//
// Contract:
// - `palette_rgb(i)` is the colour xterm shows for index i of its 256-colour palette: 0..15 the
//   ANSI colours at xterm's defaults, 16..231 the 6 x 6 x 6 cube, 232..255 the grey ramp. Colours
//   are packed red | green << 8 | blue << 16, as the encoder's 24-bit codes are.
// - `nearest_256` picks from 16..255 only (0..15 are themed by most terminals, so their colour is
//   not known); `nearest_16` picks from 0..15. "Nearest" is the least squared distance in OKLab,
//   looked up in a 32 x 32 x 32 table over the top five bits of each component.
// - `diffuse_16` picks from 0..15 for a whole B, G, R picture with error diffusion (Floyd and
//   Steinberg's weights, rows in alternate directions): each pixel's miss is carried to the
//   pixels after it, so an orange between red and yellow comes out as red and yellow side by
//   side rather than as the grey that lies nearest to it. The same picture gives the same
//   indices every time.
// - The tables are built once, on first use, thread-safely (function-local statics); after that
//   every call is a read. Nothing fails.
#pragma once

#include <cstdint>

namespace corvane::wire {

std::uint32_t palette_rgb(std::uint32_t index);
std::uint8_t nearest_256(std::uint8_t r, std::uint8_t g, std::uint8_t b);
std::uint8_t nearest_16(std::uint8_t r, std::uint8_t g, std::uint8_t b);
// The 256 palette's pick for a pixel at (x, y) under 4 x 4 ordered (Bayer) dithering, about one
// palette step of spread.
std::uint8_t dithered_256(std::uint8_t r, std::uint8_t g, std::uint8_t b, int x, int y);
// `rows` x `cols` pixels in, one index per pixel out (rows * cols bytes).
void diffuse_16(const std::uint8_t* bgr, int rows, int cols, std::uint8_t* out);

}  // namespace corvane::wire
