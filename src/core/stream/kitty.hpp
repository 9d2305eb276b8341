// kitty's graphics protocol: a B, G, R frame as the escape sequences that show it as an image.
//
// Contract:
// - `kitty_image(pixels, rows, cols, id, under_text, out)` appends to `out` the transfer of the frame as RGB
//   (f=24, s=cols, v=rows), base64-encoded, compressed first as one zlib stream (o=z, RFC 1950)
//   when a sample of it shrinks by an eighth or more (else t=d, the pixels as they are), in APC
//   chunks "\x1b_G<keys>;<at most 4096 base64 bytes>\x1b\\": the first chunk carries a=T
//   (transmit and place at the cursor), i=<id>, q=2 (no replies), z=-1 when `under_text` (kitty
//   draws images above the text otherwise) and the format keys, every later one only m; m=1 on all but the
//   last chunk, m=0 on the last. An empty frame is one chunk with no payload.
// - `kitty_delete(id, out)` appends "\x1b_Ga=d,d=I,i=<id>,q=2\x1b\\": the image's placements and
//   its data go, so the terminal's memory does not grow with a video's frames.
// - `shm_put_rgb(name, pixels, rows, cols)` makes the POSIX shared-memory object `name` (new: an
//   existing one is refused, EEXIST, and left alone), sizes it to 3 * rows * cols bytes, fills it
//   with the frame as R, G, B and closes it. A failure is kOpen with the system's error number
//   (a name with a NUL: the NUL-in-path text); the object made is then unlinked. No allocation, so
//   it may run without the interpreter lock.
// - `kitty_shm_image(name, rows, cols, id, under_text, out)` appends the one sequence that has the terminal
// read
//   such an object (t=s; it unlinks the object) and show it like `kitty_image`:
//   "\x1b_Ga=T,f=24,t=s,q=2[,z=-1],s=<cols>,v=<rows>,i=<id>;<base64 of name>\x1b\\".
// - `shm_remove(name)` unlinks an object; false when there was none (the terminal read it).
// - Plain functions; any thread. `kitty_image` fails only when the compressor does (`Error`, kCompress).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/error.hpp"

namespace corvane::wire {

inline constexpr std::size_t KITTY_CHUNK = 4096;

Status kitty_image(const std::uint8_t* pixels, int rows, int cols, std::uint32_t id, bool under_text,
                   std::vector<std::uint8_t>& out);
void kitty_delete(std::uint32_t id, std::vector<std::uint8_t>& out);
Status shm_put_rgb(const std::string& name, const std::uint8_t* pixels, int rows, int cols) noexcept;
void kitty_shm_image(const std::string& name, int rows, int cols, std::uint32_t id, bool under_text,
                     std::vector<std::uint8_t>& out);
bool shm_remove(const std::string& name);
// Standard base64 (RFC 4648, with padding) of `n` bytes, appended to `out`.
void base64_append(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out);

}  // namespace corvane::wire
