// The recording file layout, in one place.
//
// A recording is the signature "LZDX" followed by frame records back to back, with no index and
// no trailer. Every integer is little-endian. A record is a 21-byte header and a payload of
// `payload_len` bytes holding one zlib stream; the stream inflates to rows x cols x 3 bytes: the
// frame itself (key frame) or its byte-wise XOR with the previous frame (delta frame).
//
// Plain data: encoding and decoding copy bytes and never fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace corvane::format {

inline constexpr std::uint8_t kMagic[4] = {'L', 'Z', 'D', 'X'};
inline constexpr std::size_t kMagicSize = sizeof kMagic;

enum FrameType : std::uint8_t { kKeyFrame = 0, kDeltaFrame = 1 };

// Field offsets inside a record header.
inline constexpr std::size_t kFrameTypeAt = 0;
inline constexpr std::size_t kTermWAt = 1;
inline constexpr std::size_t kTermHAt = 5;
inline constexpr std::size_t kRowsAt = 9;
inline constexpr std::size_t kColsAt = 13;
inline constexpr std::size_t kPayloadLenAt = 17;
inline constexpr std::size_t kHeaderSize = 21;

static_assert(kTermWAt == kFrameTypeAt + 1 && kTermHAt == kTermWAt + 4 && kRowsAt == kTermHAt + 4);
static_assert(kColsAt == kRowsAt + 4 && kPayloadLenAt == kColsAt + 4 && kHeaderSize == kPayloadLenAt + 4);
static_assert(kMagicSize == 4);

struct RecordHeader {
    std::uint8_t frame_type;
    std::uint32_t term_w;
    std::uint32_t term_h;
    std::int32_t rows;
    std::int32_t cols;
    std::uint32_t payload_len;
};

inline void put_u32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(v >> (8 * i));
}

inline std::uint32_t get_u32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

inline void encode(const RecordHeader& h, std::uint8_t out[kHeaderSize]) {
    out[kFrameTypeAt] = h.frame_type;
    put_u32(out + kTermWAt, h.term_w);
    put_u32(out + kTermHAt, h.term_h);
    put_u32(out + kRowsAt, std::uint32_t(h.rows));
    put_u32(out + kColsAt, std::uint32_t(h.cols));
    put_u32(out + kPayloadLenAt, h.payload_len);
}

// dst[i] = a[i] ^ b[i]: a delta from a frame and its predecessor, or a frame from a delta.
inline void xor_into(std::uint8_t* dst, const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = a[i] ^ b[i];
}

inline RecordHeader decode(const std::uint8_t in[kHeaderSize]) {
    return RecordHeader{in[kFrameTypeAt],
                        get_u32(in + kTermWAt),
                        get_u32(in + kTermHAt),
                        std::int32_t(get_u32(in + kRowsAt)),
                        std::int32_t(get_u32(in + kColsAt)),
                        get_u32(in + kPayloadLenAt)};
}

}  // namespace corvane::format
