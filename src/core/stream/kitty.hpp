// kitty's graphics protocol: a B, G, R frame as the escape sequences that show it as an image.
//
// Contract:
// - `kitty_image(pixels, rows, cols, id, out)` appends to `out` the transfer of the frame as RGB
//   (f=24, s=cols, v=rows), compressed as one zlib stream (o=z, RFC 1950) and base64-encoded,
//   in APC chunks "\x1b_G<keys>;<at most 4096 base64 bytes>\x1b\\": the first chunk carries
//   a=T (transmit and place at the cursor), i=<id>, q=2 (no replies) and the format keys, every
//   later one only m; m=1 on all but the last chunk, m=0 on the last. An empty frame is one chunk
//   with no payload.
// - `kitty_delete(id, out)` appends "\x1b_Ga=d,d=I,i=<id>,q=2\x1b\\": the image's placements and
//   its data go, so the terminal's memory does not grow with a video's frames.
// - Plain functions; any thread. Fails only when the compressor does (`Error`, kCompress).
#pragma once

#include <cstdint>
#include <vector>

#include "core/error.hpp"

namespace corvane::wire {

inline constexpr std::size_t KITTY_CHUNK = 4096;

Status kitty_image(const std::uint8_t* pixels, int rows, int cols, std::uint32_t id,
                   std::vector<std::uint8_t>& out);
void kitty_delete(std::uint32_t id, std::vector<std::uint8_t>& out);
// Standard base64 (RFC 4648, with padding) of `n` bytes, appended to `out`.
void base64_append(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out);

}  // namespace corvane::wire
