// Key decoder tests. A row is the bytes a terminal sends and what poll_key makes of their items;
// each runs whole, cut at every point and followed by a key, so that a sequence that ends early or
// late, or waits for more where it should not, shows. Then need-more, the pending caps, the queue.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/terminal/keys.hpp"

using namespace corvane::keys;
using namespace std::literals;

namespace {

const std::uint8_t* bytes(std::string_view s) {
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

// "enter", "esc", the character, "-" for an event poll_key reports as None, "reply" for an item
// it never sees; with `names`, the named view the package reads instead, which leaves out replies
// and events without a name. Items joined by spaces.
std::string drain(Parser& p, bool names = false) {
    std::string out;
    for (Item item; p.pop(item);) {
        const Event* e = event_of(item);
        const std::string one = names                             ? (e ? key_name(*e) : "")
                                : !e                              ? "reply"
                                : e->key_class == KeyClass::Enter ? "enter"
                                : e->key_class == KeyClass::Esc   ? "esc"
                                : e->key_class == KeyClass::Char  ? encode_utf8(e->ch)
                                                                  : "-";
        if (!one.empty()) out += (out.empty() ? "" : " ") + one;
    }
    return out;
}

// `in` cut into reads at `cuts`, then "a" in a read of its own. Every read ends with nothing
// more behind it, as when the user types slowly.
std::string run(std::string_view in, const std::vector<std::size_t>& cuts = {}) {
    Parser p;
    std::size_t from = 0;
    for (const std::size_t k : cuts) {
        p.feed(bytes(in.substr(from)), k - from, false);
        from = k;
    }
    p.feed(bytes(in.substr(from)), in.size() - from, false);
    p.feed('a', false);
    return drain(p);
}

struct Row {
    std::string_view in, out;
};

// Laid out by hand, several rows a line.
// clang-format off
const Row kRows[] = {
    // Control bytes, Esc, Alt (Esc before a key), SS3.
    {"\r", "enter"}, {"\n", "enter"}, {"\t", "-"}, {"\x7f", "-"}, {"\x01", "a"}, {"\x03", "c"},
    {"\x1a", "z"}, {"\x1c", "4"}, {"\x1f", "7"}, {"\x00"sv, " "}, {"ab\n", "a b enter"},
    {"\x1b", "esc"}, {"\x1b\x1bq", "esc q"}, {"\x1b\r", "enter"}, {"\x1bq", "q"}, {"\x1b\x03", "c"},
    {"\x1b\xc3\xa9", "é"}, {"\x1bOA", "-"}, {"\x1bOS", "-"}, {"\x1bOx", ""}, {"\x1b\x80", ""},
    // UTF-8; ill-formed input is dropped whole, including the byte that exposed it.
    {"\xc3\xa9", "é"}, {"\xe0\xa4\x85", "अ"}, {"\xe2\x82\xac", "€"}, {"\xf0\x9f\x98\x80", "😀"},
    {"Z", "Z"}, {"\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"}, {"\x80", ""}, {"\xff", ""}, {"\xc0\x80", ""},
    {"\xe0\x80\x80", ""}, {"\xed\xa0\x80", ""}, {"\xf4\x90\x80\x80", ""}, {"\xc3(", ""},
    // CSI keys and focus reports, valid and not.
    {"\x1b[A", "-"}, {"\x1b[Z", "-"}, {"\x1b[I", "-"}, {"\x1b[[E", "-"}, {"\x1b[[F", ""}, {"\x1b[x", ""},
    {"\x1b[R", ""}, {"\x1b[2~", "-"}, {"\x1b[34~", "-"}, {"\x1b[3;5:3~", "-"}, {"\x1b[9~", ""},
    {"\x1b[35~", ""}, {"\x1b[1;5A", "-"}, {"\x1b[5A", "-"}, {"\x1b[;5A", "-"}, {"\x1b[1;5X", ""},
    {"\x1b[1;A", ""}, {"\x1b[;5~", ""},
    // Replies; a modified F3 (CSI 1;5R) cannot be told from a cursor position.
    {"\x1b[12;40R", "reply"}, {"\x1b[1;5R", "reply"}, {"\x1b[?7u", "reply"}, {"\x1b[?64;1;2c", "reply"},
    {"\x1b[5R", ""}, {"\x1b[70000;1R", ""}, {"\x1b[?300u", ""},
    // The "u" protocol; a shifted alternate replaces the key, also on release, but a Shift key
    // reported without Shift held stays a modifier key.
    {"\x1b[97u", "a"}, {"\x1b[13u", "enter"}, {"\x1b[27u", "esc"}, {"\x1b[9;2u", "-"}, {"\x1b[127u", "-"},
    {"\x1b[57399u", "0"}, {"\x1b[57408u", "9"}, {"\x1b[57410u", "/"}, {"\x1b[57414u", "enter"},
    {"\x1b[57416u", ","}, {"\x1b[57363u", "-"}, {"\x1b[57364u", "\ue014"}, {"\x1b[57375u", "\ue01f"},
    {"\x1b[57376u", "-"}, {"\x1b[57454u", "-"}, {"\x1b[57455u", "\ue06f"}, {"\x1b[97:65;2u", "A"},
    {"\x1b[97:65;6:3u", "A"}, {"\x1b[97:65;1u", "a"}, {"\x1b[97::98;2u", "a"}, {"\x1b[;5u", ""},
    {"\x1b[97:55296;2u", "a"}, {"\x1b[57447:3u", "-"}, {"\x1b[57441:65u", "-"}, {"\x1b[55296u", ""},
    {"\x1b[1114112u", ""},
    // Mouse (SGR, X10, rxvt), whatever the button, and bracketed paste.
    {"\x1b[<0;10;20M", "-"}, {"\x1b[<0;10;20m", "-"}, {"\x1b[<35;5;6M", "-"}, {"\x1b[<67;3;4M", "-"},
    {"\x1b[<98;1;1M", "-"}, {"\x1b[<128;1;1M", "-"}, {"\x1b[<0;1M", ""}, {"\x1b[<0;70000;1M", ""},
    {"\x1b[M !!", "-"}, {"\x1b[M`\xff\xff", "-"}, {"\x1b[M\x1f!!", "-"}, {"\x1b[32;10;20M", "-"},
    {"\x1b[31;1;1M", "-"}, {"\x1b[200~hi\x1b[201~", "-"}, {"\x1b[200~\x1b[201~", "-"},
    {"\x1b[200~1\n\x1b[A~\x1b[201~", "-"},
};
// clang-format on

}  // namespace

// A read that ends right after Esc ends the Esc key, so no cut is made there.
TEST(Keys, EveryRowAtEveryCut) {
    for (const Row& r : kRows) {
        const std::string want = r.out.empty() ? "a" : std::string(r.out) + " a";
        std::vector<std::size_t> cuts;
        for (std::size_t k = 1; k < r.in.size(); ++k) {
            if (r.in[k - 1] != '\x1b') cuts.push_back(k);
        }
        EXPECT_EQ(run(r.in), want) << testing::PrintToString(r.in);
        EXPECT_EQ(run(r.in, cuts), want) << testing::PrintToString(r.in) << " cut everywhere";
        for (const std::size_t k : cuts) {
            EXPECT_EQ(run(r.in, {k}), want) << testing::PrintToString(r.in) << " cut at " << k;
        }
    }
}

TEST(Keys, IncompleteSequencesNeedMore) {
    for (const std::string_view s :
         {"\x1b[", "\x1bO", "\x1b[[", "\x1b[1", "\x1b[;", "\x1b[<0;1;2", "\x1b[M !", "\x1b[?1$", "\x1b[200~",
          "\x1b[200~x\x1b[201", "\xe0\x80", "\x1b\xf0\x9f"}) {
        EXPECT_EQ(decode(bytes(s), s.size(), false).outcome, Outcome::NeedMore) << testing::PrintToString(s);
    }
    EXPECT_EQ(decode(bytes("\x1b"), 1, true).outcome, Outcome::NeedMore);  // the read goes on after Esc
}

// Past its cap a sequence is discarded up to its end, which a paste gives as one event and any
// other sequence as nothing; then decoding goes on afresh. Pending bytes never reach the cap.
TEST(Keys, OverLongSequencesAreDiscardedToTheirEnd) {
    const std::size_t cap = Parser::MAX_PASTE_BYTES;
    const auto paste = [](std::size_t body) {
        return "\x1b[200~" + std::string(body - 1, 'x') + "q\x1b[201~";
    };
    const std::string digits(Parser::MAX_SEQUENCE_BYTES, '1');
    const std::pair<std::vector<std::string>, std::string> groups[] = {
        // Pastes: one at the cap, one of 70,000 characters, the cap after each byte of the end marker
        // and just before it, and a marker that breaks off past the cap.
        {{paste(cap - 12), paste(70'000), paste(cap - 11), paste(cap - 10), paste(cap - 9), paste(cap - 8),
          paste(cap - 7), paste(cap - 6), "\x1b[200~" + std::string(cap, 'x') + "\x1b[20\x1b[201x\x1b[201~"},
         "- a"},
        // A key, a mouse report and a reply, each ending at its own kind of final byte.
        {{"\x1b[1;" + digits + "~", "\x1b[<" + digits + "M", "\x1b[?" + digits + "~c"}, "a"},
    };
    for (const auto& [inputs, out] : groups) {
        for (const std::string& in : inputs) {
            // In reads of one byte, of 1024 and whole: the cap falls inside a read or between reads.
            for (const std::size_t step : {std::size_t(1), std::size_t(1024), in.size()}) {
                Parser p;
                std::size_t most = 0;
                for (std::size_t at = 0; at < in.size(); at += step) {
                    p.feed(bytes(in) + at, std::min(step, in.size() - at), at + step < in.size());
                    most = std::max(most, p.pending_size());
                }
                p.feed('a', false);
                EXPECT_EQ(drain(p), out) << in.size() << " bytes in reads of " << step;
                EXPECT_LT(most, Parser::MAX_PASTE_BYTES);
            }
        }
    }
}

TEST(Keys, QueueIsFifoAcrossInterleavedFeedsAndPops) {
    Parser p;
    std::string fed, taken;
    Item item;
    for (int round = 0; round < 400; ++round) {  // the backlog grows past the reserved 128
        for (int i = 0; i < 3; ++i) {
            fed += static_cast<char>('a' + (round * 3 + i) % 26);
            p.feed(static_cast<std::uint8_t>(fed.back()), false);
        }
        for (int i = 0; i < 2 && p.pop(item); ++i) taken += static_cast<char>(item.event.ch);
    }
    while (p.pop(item)) taken += static_cast<char>(item.event.ch);
    EXPECT_EQ(taken, fed);
    EXPECT_EQ(p.pending_size(), 0u);
}

// The named view the package reads: keys the None above hides, with the modifiers held. Events
// without a name (mouse, paste, focus, F13) and replies give nothing.
TEST(Keys, NamesWithModifiers) {
    // clang-format off
    const Row rows[] = {
        {"\x1b[A", "up"}, {"\x1bOB", "down"}, {"\x1b[C", "right"}, {"\x1b[1;5D", "ctrl+left"},
        {"\x1b[5D", "ctrl+left"}, {"\x1b[;3A", "alt+up"}, {"\x1b[1;9A", "super+up"}, {"\x1b[1;2H", "shift+home"},
        {"\x1bOF", "end"}, {"\x1b[1~", "home"}, {"\x1b[4~", "end"}, {"\x1b[7~", "home"}, {"\x1b[8~", "end"},
        {"\x1b[2~", "insert"}, {"\x1b[3;5~", "ctrl+delete"}, {"\x1b[5;3~", "alt+pageup"}, {"\x1b[6~", "pagedown"},
        {"\x1bOP", "f1"}, {"\x1b[1;2Q", "shift+f2"}, {"\x1bOR", "f3"}, {"\x1b[S", "f4"}, {"\x1b[[E", "f5"},
        {"\x1b[15~", "f5"}, {"\x1b[17~", "f6"}, {"\x1b[21~", "f10"}, {"\x1b[23~", "f11"}, {"\x1b[24;5~", "ctrl+f12"},
        {"\x1b[25~", ""}, {"\t", "tab"}, {"\x1b[Z", "shift+tab"}, {"\x1b[9;2u", "shift+tab"}, {"\x7f", "backspace"},
        {"\x1b[127;5u", "ctrl+backspace"}, {"\r", "enter"}, {"\x1b\r", "alt+enter"}, {"\x1b", "esc"},
        {"\x1b[27;2u", "shift+esc"}, {"\x01", "ctrl+a"}, {"\x1bq", "alt+q"}, {"\x1b\x03", "ctrl+alt+c"},
        {"\x1b[97;5u", "ctrl+a"}, {"\x1b[97:65;6u", "ctrl+A"}, {"\x1b[97;197u", "ctrl+a"}, {"\x1b[57419u", "up"},
        {"\x1b[57426;5u", "ctrl+delete"}, {"q\xc3\xa9 ", "q é  "}, {"\x1b[<0;1;1M", ""},
        {"\x1b[200~q\x1b[201~", ""}, {"\x1b[I", ""}, {"\x1b[12;40R", ""},
    };
    // clang-format on
    for (const Row& r : rows) {
        Parser p;
        p.feed(bytes(r.in), r.in.size(), false);
        EXPECT_EQ(drain(p, true), r.out) << testing::PrintToString(r.in);
    }
}
