#include "core/stream/kitty.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

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

// The first keys of a transmission that shows the frame at the cursor, up to the image id.
void image_keys(std::vector<std::uint8_t>& out, const char* transfer, int rows, int cols, std::uint32_t id,
                bool under_text) {
    append(out, "\x1b_Ga=T,f=24,");
    append(out, transfer);
    append(out, under_text ? ",q=2,z=-1,s=" : ",q=2,s=");
    append_number(out, std::uint32_t(std::max(cols, 0)));
    append(out, ",v=");
    append_number(out, std::uint32_t(std::max(rows, 0)));
    append(out, ",i=");
    append_number(out, id);
}

// zlib's fastest level: the frame is on the wire once, and a video has ~40 ms for all of its work.
constexpr int KITTY_LEVEL = 1;

// Deflate pays on flat pictures (a test pattern shrinks tenfold) but hardly on grainy ones (a
// photo's frame by 7 %, for 15 ms of work on each side). Four slices spread over the picture tell
// which for a sixteenth of the cost; a small picture is always compressed.
bool worth_compressing(const std::vector<std::uint8_t>& rgb) {
    constexpr std::size_t SLICE = 8 * 1024, SLICES = 4;
    if (rgb.size() <= 4 * SLICE * SLICES) return true;
    std::vector<std::uint8_t> sample(SLICE * SLICES);
    for (std::size_t k = 0; k < SLICES; ++k)
        std::memcpy(sample.data() + k * SLICE, rgb.data() + (2 * k + 1) * rgb.size() / (2 * SLICES), SLICE);
    Result<std::vector<std::uint8_t>> packed =
        VideoCodec::compress_raw(sample.data(), sample.size(), KITTY_LEVEL);
    return !packed || packed.value().size() * 8 < sample.size() * 7;
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

Status kitty_image(const std::uint8_t* pixels, int rows, int cols, std::uint32_t id, bool under_text,
                   std::vector<std::uint8_t>& out) {
    rows = std::max(rows, 0), cols = std::max(cols, 0);
    const std::size_t n = std::size_t(rows) * std::size_t(cols);
    std::vector<std::uint8_t> rgb(3 * n);
    for (std::size_t i = 0; i < n; ++i)
        rgb[3 * i] = pixels[3 * i + 2], rgb[3 * i + 1] = pixels[3 * i + 1], rgb[3 * i + 2] = pixels[3 * i];
    const bool compress = worth_compressing(rgb);
    if (compress) {
        Result<std::vector<std::uint8_t>> packed =
            VideoCodec::compress_raw(rgb.data(), rgb.size(), KITTY_LEVEL);
        if (!packed) return packed.error();
        rgb = std::move(packed.value());
    }
    std::vector<std::uint8_t> text;
    text.reserve((rgb.size() + 2) / 3 * 4);
    base64_append(rgb.data(), rgb.size(), text);

    image_keys(out, compress ? "o=z" : "t=d", rows, cols, id, under_text);
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

Status shm_put_rgb(const std::string& name, const std::uint8_t* pixels, int rows, int cols) noexcept {
    if (name.find('\0') != std::string::npos)
        return Error::of(Fault::kOpen, IoError::fixed(IoKind::InvalidInput, IoText::kNulInPath));
    const std::size_t n = std::size_t(std::max(rows, 0)) * std::size_t(std::max(cols, 0));
    // Exclusive: a name some other program holds is never written over, nor unlinked below.
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return Error::of(Fault::kOpen, IoError::last_os());
    void* map = MAP_FAILED;
    int failed = 0;
    if (ftruncate(fd, off_t(3 * n)) != 0)
        failed = errno;
    else if (n > 0 && (map = mmap(nullptr, 3 * n, PROT_WRITE, MAP_SHARED, fd, 0)) == MAP_FAILED)
        failed = errno;
    close(fd);
    if (failed != 0) {
        shm_unlink(name.c_str());
        return Error::of(Fault::kOpen, IoError::os(failed));
    }
    if (n == 0) return {};
    auto* rgb = static_cast<std::uint8_t*>(map);
    for (std::size_t i = 0; i < n; ++i)
        rgb[3 * i] = pixels[3 * i + 2], rgb[3 * i + 1] = pixels[3 * i + 1], rgb[3 * i + 2] = pixels[3 * i];
    munmap(map, 3 * n);
    return {};
}

void kitty_shm_image(const std::string& name, int rows, int cols, std::uint32_t id, bool under_text,
                     std::vector<std::uint8_t>& out) {
    image_keys(out, "t=s", rows, cols, id, under_text);
    out.push_back(';');
    base64_append(reinterpret_cast<const std::uint8_t*>(name.data()), name.size(), out);
    append(out, "\x1b\\");
}

bool shm_remove(const std::string& name) {
    return shm_unlink(name.c_str()) == 0;
}

}  // namespace corvane::wire
