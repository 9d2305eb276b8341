// libFuzzer target: the key decoder fed arbitrary bytes cut into arbitrary reads. The stream is
// read from the front, the cuts (read lengths, more input behind each) from the back, so a seed
// that is a plain escape sequence stays one. Checked: pending bytes stay below 256, or 64 KiB
// for a bracketed paste; the items are those of a parser that keeps every pending byte, less any
// sequence over 256 bytes other than a paste; a byte yields at most one item; a printable
// character is a scalar value that reads back as itself from its UTF-8; the items do not depend
// on the cuts, except where a read ends in Esc with nothing behind it (that Esc is the key).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "core/terminal/keys.hpp"

using namespace corvane::keys;

namespace {

struct Read {
    std::size_t offset, length;
    bool more_after;
};

std::vector<Item> run(std::string_view stream, const std::vector<Read>& reads) {
    Parser parser;
    std::vector<Item> items, unbounded;
    std::string whole;  // the pending bytes of a parser without a cap
    for (const Read& r : reads) {
        for (std::size_t i = r.offset; i < r.offset + r.length; ++i) {
            const bool more = i + 1 < r.offset + r.length || r.more_after;
            parser.feed(std::uint8_t(stream[i]), more);
            whole += stream[i];
            const bool paste = whole.starts_with("\x1b[200~");
            const std::size_t n = parser.pending_size();
            check(n <= whole.size() && n < (paste ? Parser::MAX_PASTE_BYTES : Parser::MAX_SEQUENCE_BYTES),
                  "pending over its cap");
            const Decoded d = decode(reinterpret_cast<const std::uint8_t*>(whole.data()), whole.size(), more);
            if (d.outcome != Outcome::NeedMore) {
                if (d.outcome == Outcome::Complete && (paste || whole.size() <= Parser::MAX_SEQUENCE_BYTES)) {
                    unbounded.push_back(d.item);
                }
                whole.clear();
            }
            Item item;
            if (!parser.pop(item)) continue;
            check(!parser.has_item(), "two items from one byte");
            items.push_back(item);
            const char32_t c = item.event.ch;
            if (item.event.key_class != KeyClass::Char || c < 0x20 || c == 0x7F) continue;
            const std::string u = encode_utf8(c);
            const Decoded back = decode(reinterpret_cast<const std::uint8_t*>(u.data()), u.size(), false);
            const bool scalar = c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
            // The character alone: the modifiers held with it are not in its UTF-8.
            const Event& again = back.item.event;
            check(scalar && back.outcome == Outcome::Complete && !back.item.reply &&
                      again.key_class == KeyClass::Char && again.ch == c,
                  "a character is no scalar");
        }
    }
    check(items == unbounded, "the cap changed the items");
    return items;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider cuts(data, size);
    std::vector<Read> reads;
    std::size_t at = 0;
    bool lone_esc_cut = false;
    while (at < cuts.remaining_bytes()) {
        const std::size_t length = cuts.ConsumeIntegralInRange<std::size_t>(1, 1024);
        const bool more = cuts.ConsumeBool();
        const std::size_t end = cuts.remaining_bytes();  // the cuts are taken from the back
        if (at >= end) break;
        if (!reads.empty() && !reads.back().more_after && data[at - 1] == 0x1B) lone_esc_cut = true;
        reads.push_back({at, std::min(length, end - at), more});
        at += reads.back().length;
    }
    const std::string_view stream(reinterpret_cast<const char*>(data), at);
    const std::vector<Item> split = run(stream, reads);
    check(reads.empty() || lone_esc_cut || split == run(stream, {{0, at, reads.back().more_after}}),
          "the cuts changed the items");
    return 0;
}
