// libFuzzer target: the terminal key decoder fed arbitrary byte streams in arbitrary reads.
//
// The input is the byte stream itself, read from the front; the way it is cut into reads (the
// length of each read and whether the reader saw more bytes waiting after it) is taken from the
// back, so a seed that is a plain escape sequence stays one. Checked on every input:
// - nothing crashes and every call returns (libFuzzer's -timeout catches a call that does not);
// - the pending buffer stays under its cap after every byte: 64 KiB for a bracketed paste,
//   256 bytes for anything else, so no stream can make it grow without limit;
// - every byte yields at most one item, and the queue is drained the way the input reader drains it;
// - every character a key carries is a Unicode scalar value and encodes to well-formed UTF-8, and
//   pasted text is well-formed UTF-8;
// - a stream without Esc decodes to the same items however it is cut, since only a lone Esc
//   depends on whether more input follows.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "modules/terminal/keys.hpp"

using namespace corvane::keys;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();  // libFuzzer reports the input and the stack
}

void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

bool well_formed_utf8(const std::string& s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t i = 0, n = s.size();
    while (i < n) {
        const unsigned char b = p[i];
        std::size_t len;
        char32_t c;
        if (b < 0x80) { len = 1; c = b; }
        else if (b >= 0xC2 && b <= 0xDF) { len = 2; c = b & 0x1F; }
        else if (b >= 0xE0 && b <= 0xEF) { len = 3; c = b & 0x0F; }
        else if (b >= 0xF0 && b <= 0xF4) { len = 4; c = b & 0x07; }
        else return false;
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            c = (c << 6) | (p[i + k] & 0x3F);
        }
        static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

bool is_scalar(std::uint32_t c) { return c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF); }

// A comparable text for one item, checking the item on the way.
std::string describe(const Item& item) {
    const Event* e = event_of(item);
    if (!e) return "reply" + std::to_string(std::get<Reply>(item).index());
    std::string out = "event" + std::to_string(e->index());
    if (const auto* k = std::get_if<KeyEvent>(e)) {
        out += ":" + std::to_string(int(k->code.key)) + ":" + std::to_string(k->code.value) + ":" +
               std::to_string(k->modifiers) + ":" + std::to_string(int(k->kind));
        if (k->code.key == Key::Char) check(is_scalar(k->code.value), "a key character is not a scalar value");
        const Classified c = classify(*e);
        if (c.key_class == KeyClass::Char) {
            const std::string utf8 = encode_utf8(c.ch);
            check(!utf8.empty() && utf8.size() <= 4 && well_formed_utf8(utf8), "encode_utf8 is ill-formed");
        }
    } else if (const auto* p = std::get_if<PasteEvent>(e)) {
        check(well_formed_utf8(p->text), "pasted text is ill-formed UTF-8");
        check(p->text.size() <= 3 * Parser::kMaxPasteBytes, "pasted text larger than its cap allows");
        out += ":" + p->text;
    }
    return out;
}

struct Read {
    std::size_t offset, length;
    bool more_after;
};

std::vector<std::string> run(const std::uint8_t* bytes, const std::vector<Read>& reads) {
    static const char kPasteStart[] = "\x1b[200~";
    Parser parser;
    std::vector<std::string> items;
    std::size_t fed = 0;
    for (const Read& r : reads) {
        for (std::size_t i = 0; i < r.length; ++i) {
            parser.feed(bytes[r.offset + i], i + 1 < r.length || r.more_after);
            ++fed;
            const std::size_t pending = parser.pending_size();
            check(pending < Parser::kMaxPasteBytes, "pending bytes reached the paste cap");
            if (pending >= Parser::kMaxSequenceBytes) {
                // Only a bracketed paste may grow this long: the pending bytes are the last ones
                // fed, across reads, and must begin with the paste marker.
                const std::size_t start = r.offset + i + 1 - pending;
                check(std::memcmp(bytes + start, kPasteStart, 6) == 0,
                      "a sequence other than a paste outgrew 256 bytes");
            }
        }
        Item item;
        while (parser.pop(item)) items.push_back(describe(item));
        check(items.size() <= fed, "more items than bytes");
    }
    check(!parser.has_item(), "the queue was not drained");
    return items;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Cut the stream: read lengths and "more after" flags from the back, bytes from the front.
    FuzzedDataProvider fdp(data, size);
    std::vector<Read> reads;
    std::size_t at = 0;
    std::size_t end = size;
    while (at < end) {
        const std::size_t before = fdp.remaining_bytes();
        const std::size_t len = fdp.ConsumeIntegralInRange<std::size_t>(1, 1024);
        const bool more = fdp.ConsumeBool();
        end -= before - fdp.remaining_bytes();  // those bytes were taken from the back
        if (at >= end) break;
        const std::size_t take = std::min(len, end - at);
        reads.push_back({at, take, more});
        at += take;
    }
    const std::size_t stream_len = at;

    const std::vector<std::string> split = run(data, reads);

    // The whole stream as one read, for the cut-independence check.
    const std::vector<std::string> whole = run(data, {{0, stream_len, false}});
    if (std::memchr(data, 0x1B, stream_len) == nullptr) {
        check(split == whole, "a stream without Esc decoded differently when cut");
    }

    // decode() alone on the whole stream, with and without more input: it must just answer.
    (void)decode(data, stream_len, true);
    (void)decode(data, stream_len, false);
    return 0;
}
