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

inline constexpr std::uint8_t RECORDING_MAGIC[4] = {'L', 'Z', 'D', 'X'};
inline constexpr std::size_t MAGIC_SIZE = sizeof RECORDING_MAGIC;

enum FrameType : std::uint8_t { kKeyFrame = 0, kDeltaFrame = 1 };

// Field offsets inside a record header.
inline constexpr std::size_t FRAME_TYPE_AT = 0;
inline constexpr std::size_t TERM_W_AT = 1;
inline constexpr std::size_t TERM_H_AT = 5;
inline constexpr std::size_t ROWS_AT = 9;
inline constexpr std::size_t COLS_AT = 13;
inline constexpr std::size_t PAYLOAD_LEN_AT = 17;
inline constexpr std::size_t HEADER_SIZE = 21;

static_assert(TERM_W_AT == FRAME_TYPE_AT + 1 && TERM_H_AT == TERM_W_AT + 4 && ROWS_AT == TERM_H_AT + 4);
static_assert(COLS_AT == ROWS_AT + 4 && PAYLOAD_LEN_AT == COLS_AT + 4 && HEADER_SIZE == PAYLOAD_LEN_AT + 4);
static_assert(MAGIC_SIZE == 4);

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

inline void encode(const RecordHeader& h, std::uint8_t out[HEADER_SIZE]) {
    out[FRAME_TYPE_AT] = h.frame_type;
    put_u32(out + TERM_W_AT, h.term_w);
    put_u32(out + TERM_H_AT, h.term_h);
    put_u32(out + ROWS_AT, std::uint32_t(h.rows));
    put_u32(out + COLS_AT, std::uint32_t(h.cols));
    put_u32(out + PAYLOAD_LEN_AT, h.payload_len);
}

// dst[i] = a[i] ^ b[i]: a delta from a frame and its predecessor, or a frame from a delta.
inline void xor_into(std::uint8_t* dst, const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = a[i] ^ b[i];
}

inline RecordHeader decode(const std::uint8_t in[HEADER_SIZE]) {
    return RecordHeader{in[FRAME_TYPE_AT],
                        get_u32(in + TERM_W_AT),
                        get_u32(in + TERM_H_AT),
                        std::int32_t(get_u32(in + ROWS_AT)),
                        std::int32_t(get_u32(in + COLS_AT)),
                        get_u32(in + PAYLOAD_LEN_AT)};
}

}  // namespace corvane::format
