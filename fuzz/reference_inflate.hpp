// zlib's inflate in its plainest use, as the reference the fuzz targets compare against: all
// input at once, a fixed output window, the first `keep` bytes kept and every byte counted.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "check.hpp"

namespace fuzz_reference {

struct Inflated {
    bool corrupt = false;            // the stream is not a valid zlib stream
    std::uint64_t total = 0;         // every byte the stream inflates to
    std::vector<std::uint8_t> kept;  // the first `keep` of them
};

inline Inflated inflate_all(const std::uint8_t* data, std::size_t len, std::uint64_t keep) {
    Inflated r;
    z_stream s{};
    check(inflateInit2(&s, 15) == Z_OK, "inflateInit2");
    s.next_in = const_cast<Bytef*>(data);
    s.avail_in = static_cast<uInt>(len);
    std::uint8_t window[1 << 16];
    for (;;) {
        s.next_out = window;
        s.avail_out = sizeof window;
        const int rc = inflate(&s, Z_NO_FLUSH);
        const std::size_t got = sizeof window - s.avail_out;
        const std::uint64_t room = keep > r.kept.size() ? keep - r.kept.size() : 0;
        r.kept.insert(r.kept.end(), window, window + std::min<std::uint64_t>(got, room));
        r.total += got;
        if (rc == Z_STREAM_END || rc == Z_BUF_ERROR) break;  // the end, or the input ran out
        if (rc != Z_OK) {
            r.corrupt = true;
            break;
        }
    }
    inflateEnd(&s);
    return r;
}

}  // namespace fuzz_reference
