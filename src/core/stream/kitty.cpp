#include "core/stream/kitty.hpp"

#include <algorithm>
#include <cstring>

#include "core/recording/codec.hpp"
#include "core/stream/digits.hpp"

namespace corvane::wire {
namespace {

void append(std::vector<std::uint8_t>& out, const char* s) {
    out.insert(out.end(), s, s + std::strlen(s));
}

void append_number(std::vector<std::uint8_t>& out, std::uint32_t v) {
    std::uint8_t tmp[10];
    out.insert(out.end(), tmp, digits::put_u32(tmp, v));
}

}  // namespace

void base64_append(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out) {
    static constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::size_t at = out.size();
    out.resize(at + (n + 2) / 3 * 4);
    std::uint8_t* p = out.data() + at;
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const std::uint32_t v = std::uint32_t(data[i]) << 16 | std::uint32_t(data[i + 1]) << 8 | data[i + 2];
        *p++ = std::uint8_t(ALPHABET[v >> 18]), *p++ = std::uint8_t(ALPHABET[v >> 12 & 63]);
        *p++ = std::uint8_t(ALPHABET[v >> 6 & 63]), *p++ = std::uint8_t(ALPHABET[v & 63]);
    }
    if (i < n) {
        const std::uint32_t v =
            std::uint32_t(data[i]) << 16 | (i + 1 < n ? std::uint32_t(data[i + 1]) << 8 : 0);
        *p++ = std::uint8_t(ALPHABET[v >> 18]), *p++ = std::uint8_t(ALPHABET[v >> 12 & 63]);
        *p++ = i + 1 < n ? std::uint8_t(ALPHABET[v >> 6 & 63]) : '=';
        *p++ = '=';
    }
}

Status kitty_image(const std::uint8_t* pixels, int rows, int cols, std::uint32_t id,
                   std::vector<std::uint8_t>& out) {
    rows = std::max(rows, 0), cols = std::max(cols, 0);
    const std::size_t n = std::size_t(rows) * std::size_t(cols);
    std::vector<std::uint8_t> rgb(3 * n);
    for (std::size_t i = 0; i < n; ++i)
        rgb[3 * i] = pixels[3 * i + 2], rgb[3 * i + 1] = pixels[3 * i + 1], rgb[3 * i + 2] = pixels[3 * i];
    Result<std::vector<std::uint8_t>> packed = VideoCodec::compress_raw(rgb.data(), rgb.size());
    if (!packed) return packed.error();
    std::vector<std::uint8_t> text;
    text.reserve((packed.value().size() + 2) / 3 * 4);
    base64_append(packed.value().data(), packed.value().size(), text);

    append(out, "\x1b_Ga=T,f=24,o=z,q=2,s=");
    append_number(out, std::uint32_t(cols));
    append(out, ",v=");
    append_number(out, std::uint32_t(rows));
    append(out, ",i=");
    append_number(out, id);
    std::size_t at = 0;
    do {
        const std::size_t piece = std::min(KITTY_CHUNK, text.size() - at);
        if (at > 0) append(out, "\x1b_G");
        append(out, at + piece < text.size() ? (at > 0 ? "m=1;" : ",m=1;") : (at > 0 ? "m=0;" : ",m=0;"));
        out.insert(out.end(), text.begin() + std::ptrdiff_t(at), text.begin() + std::ptrdiff_t(at + piece));
        append(out, "\x1b\\");
        at += piece;
    } while (at < text.size());
    return {};
}

void kitty_delete(std::uint32_t id, std::vector<std::uint8_t>& out) {
    append(out, "\x1b_Ga=d,d=I,i=");
    append_number(out, id);
    append(out, ",q=2\x1b\\");
}

}  // namespace corvane::wire
