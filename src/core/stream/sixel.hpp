// Sixel pictures: a B, G, R frame as one complete DCS sixel image for terminals that draw pixels.
//
// Contract:
// - `SixelEncoder::encode(pixels, rows, cols)` writes into `output()`: "\x1bPq", the raster
//   attributes "\"1;1;<cols>;<rows>", one "#n;2;r;g;b" per palette entry (components in percent),
//   then the picture in bands of six pixel rows: per colour of the band "#n" and its sixels with
//   "!<count>" for runs of four or more, "$" between the colours of a band, "-" between bands; and
//   "\x1b\\". Every pixel is painted (no transparency). Nothing else: no cursor moves.
// - The palette is adaptive, at most `colors` (1..256) entries: median cut over a histogram of the
//   frame's colours at five bits a component, refined by a few k-means rounds over that
//   histogram. Each pixel then takes the nearest entry (squared RGB distance) of its five-bit
//   colour, through a look-up table filled as colours turn up. With `diffuse`, the error of each
//   pixel is spread to its neighbours (Floyd-Steinberg) before its look-up.
// - With `keep_palette`, a palette (and its table) serves the later frames of the same encoder
//   while they fit it: a frame whose mean squared error against the kept palette exceeds twice
//   the error of the frame the palette was made for, plus SIXEL_SCENE_FLOOR, gets a palette of its
//   own (a scene cut), as does the first frame and the one after `reset_palette()`. A video's
//   colours then hold still from frame to frame, and mapping to a kept palette costs far less
//   than making one. `palettes_made()` counts the palettes made.
// - `palette()` is the colours the terminal shows for the entries of the last image (the percent
//   values written, read back as 0..255: round(p * 255 / 100)), packed red | green << 8 |
//   blue << 16; `indices()` the entry of every pixel of it, rows back to back.
// - The encoder owns its buffers and reuses them; one thread at a time; nothing fails but
//   allocation. A frame with no pixels yields an image of no bands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace corvane::wire {

class SixelNearest;

// The slack of the scene-cut rule, in squared RGB distance: a component off by about 4 on
// average, so that a palette made for a flat picture is not remade for every speck of noise.
inline constexpr double SIXEL_SCENE_FLOOR = 48;

struct SixelOptions {
    int colors = 256;  // 1 .. 256
    bool keep_palette = false;
    bool diffuse = false;
};

class SixelEncoder {
  public:
    explicit SixelEncoder(SixelOptions options);
    ~SixelEncoder();

    void encode(const std::uint8_t* pixels, int rows, int cols);
    const std::vector<std::uint8_t>& output() const { return out_; }
    const std::vector<std::uint32_t>& palette() const { return shown_; }
    const std::vector<std::uint8_t>& indices() const { return index_; }
    void reset_palette() { shown_.clear(); }
    std::uint64_t palettes_made() const { return palettes_; }

  private:
    void build_palette(const std::uint8_t* pixels, std::size_t n);
    std::uint8_t nearest(std::uint32_t bin);
    // The mean squared RGB distance of the pixels to the entries they took.
    double map_pixels(const std::uint8_t* pixels, int rows, int cols);
    void write_image(int rows, int cols);

    SixelOptions opt_;
    std::vector<std::uint32_t> count_;  // per five-bit colour: pixels, then sums of r, g, b
    std::vector<std::uint32_t> sum_;
    std::vector<std::uint16_t> lut_;     // five-bit colour -> entry, or UNSET
    std::vector<std::uint32_t> shown_;   // the palette as the terminal shows it
    std::vector<std::uint8_t> percent_;  // r, g, b percent per entry
    std::vector<std::uint8_t> index_;
    std::vector<std::uint8_t> masks_;  // per entry, per column: the six bits of the current band
    std::vector<std::int16_t> error_;  // two rows of diffused error, r, g, b per pixel
    std::vector<std::uint8_t> out_;
    std::unique_ptr<SixelNearest> search_;  // over the palette as shown
    double made_error_ = 0;                 // map_pixels' error on the frame the palette was made for
    std::uint64_t palettes_ = 0;
};

}  // namespace corvane::wire
