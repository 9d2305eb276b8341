// Key decoder tests, layer by layer: control bytes, Esc and SS3, UTF-8, CSI, the "u" protocol,
// mouse, paste, reads split anywhere, the parser's queue and bounds, and what poll_key sees.
// Each table row is the bytes of one read and the items they must yield, written as text.
#include "modules/terminal/keys.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

using namespace corvane::keys;
using namespace std::literals;

namespace {

struct Row {
    std::string_view in;
    std::string_view out;  // items joined by " | "; empty when nothing comes out
};

const std::uint8_t* bytes(std::string_view s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

std::string modifier_text(Modifiers m) {
    static constexpr const char* kNames[] = {"Shift", "Alt", "Control", "Super", "Hyper", "Meta"};
    std::string out;
    for (int bit = 0; bit < 6; ++bit) {
        if (m & (1 << bit)) out += "+"s + kNames[bit];
    }
    return out;
}

std::string key_text(const KeyEvent& k) {
    static constexpr const char* kNames[] = {
        "Enter", "Esc", "Char", "Backspace", "Tab", "BackTab", "Up", "Down", "Left", "Right",
        "Home", "End", "PageUp", "PageDown", "Insert", "Delete", "F", "KeypadBegin", "CapsLock",
        "ScrollLock", "NumLock", "PrintScreen", "Pause", "Menu", "Media", "Modifier"};
    std::string out;
    const std::uint32_t v = k.code.value;
    if (k.code.key == Key::Char && v >= 0x20 && v < 0x7F) {
        out = "'"s + static_cast<char>(v) + "'";
    } else if (k.code.key == Key::Char) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(v));
        out = buf;
    } else {
        out = kNames[static_cast<int>(k.code.key)];
        if (k.code.key == Key::F || k.code.key == Key::Media || k.code.key == Key::Modifier) {
            out += std::to_string(v);
        }
    }
    out += modifier_text(k.modifiers);
    if (k.kind == KeyKind::Repeat) out += " repeat";
    if (k.kind == KeyKind::Release) out += " release";
    if (k.state & state::Keypad) out += " keypad";
    if (k.state & state::CapsLock) out += " caps";
    if (k.state & state::NumLock) out += " num";
    return out;
}

std::string describe(const Item& item) {
    static constexpr const char* kActions[] = {"Down", "Up", "Drag", "Moved", "ScrollUp",
                                               "ScrollDown", "ScrollLeft", "ScrollRight"};
    static constexpr const char* kButtons[] = {"None", "Left", "Middle", "Right"};
    if (const auto* r = std::get_if<Reply>(&item)) {
        if (const auto* c = std::get_if<CursorPosition>(r)) {
            return "Cursor " + std::to_string(c->column) + "," + std::to_string(c->row);
        }
        if (const auto* f = std::get_if<KeyboardEnhancementFlags>(r)) {
            return "Flags " + std::to_string(f->flags);
        }
        return "DeviceAttributes";
    }
    const Event& e = std::get<Event>(item);
    switch (event_class(e)) {
        case EventClass::Key: return key_text(std::get<KeyEvent>(e));
        case EventClass::Mouse: {
            const auto& m = std::get<MouseEvent>(e);
            return "Mouse "s + kActions[static_cast<int>(m.action)] + " " +
                   kButtons[static_cast<int>(m.button)] + " " + std::to_string(m.column) + "," +
                   std::to_string(m.row) + modifier_text(m.modifiers);
        }
        case EventClass::Paste: return "Paste[" + std::get<PasteEvent>(e).text + "]";
        case EventClass::Resize: return "Resize";
        case EventClass::FocusGained: return "FocusGained";
        case EventClass::FocusLost: return "FocusLost";
    }
    return "?";
}

std::string drain(Parser& p) {
    std::string out;
    Item item;
    while (p.pop(item)) out += (out.empty() ? "" : " | ") + describe(item);
    return out;
}

// Every read ends with no more input behind it, as when the user types slowly.
std::string run_reads(const std::vector<std::string_view>& reads) {
    Parser p;
    for (const auto r : reads) p.feed(bytes(r), r.size(), false);
    return drain(p);
}

std::string run(std::string_view in) { return run_reads({in}); }

std::string shown(std::string_view s) {
    std::string out;
    for (const unsigned char c : s) {
        char buf[8];
        std::snprintf(buf, sizeof buf, (c >= 0x20 && c < 0x7F) ? "%c" : "\\x%02x", c);
        out += buf;
    }
    return out;
}

void check_rows(const std::vector<Row>& rows) {
    for (const Row& r : rows) EXPECT_EQ(run(r.in), r.out) << "input " << shown(r.in);
}

// ---- Tables -----------------------------------------------------------------------------------

const std::vector<Row> kControlRows = {
    {"\r", "Enter"}, {"\n", "Enter"}, {"\t", "Tab"}, {"\x7f", "Backspace"},
    {"\x01", "'a'+Control"}, {"\x03", "'c'+Control"}, {"\x08", "'h'+Control"},
    {"\x1a", "'z'+Control"}, {"\x1c", "'4'+Control"}, {"\x1f", "'7'+Control"},
    {"\x00"sv, "' '+Control"}, {"ab\n", "'a' | 'b' | Enter"},
};

const std::vector<Row> kEscapeRows = {
    {"\x1b", "Esc"}, {"\x1b\x1b", "Esc"}, {"\x1b\x1b" "a", "Esc | 'a'"},
    {"\x1b\r", "Enter+Alt"}, {"\x1b" "a", "'a'+Alt"}, {"\x1b" "A", "'A'+Shift+Alt"},
    {"\x1b\x03", "'c'+Alt+Control"}, {"\x1b\xc3\xa9", "U+00E9+Alt"},
    {"\x1bOA", "Up"}, {"\x1bOB", "Down"}, {"\x1bOC", "Right"}, {"\x1bOD", "Left"},
    {"\x1bOH", "Home"}, {"\x1bOF", "End"}, {"\x1bOP", "F1"}, {"\x1bOQ", "F2"},
    {"\x1bOR", "F3"}, {"\x1bOS", "F4"},
    {"\x1bOx" "a", "'a'"}, {"\x1b\x80" "a", "'a'"},
};

const std::vector<Row> kUtf8Rows = {
    {"\xc3\xa9", "U+00E9"}, {"\xc3\x89", "U+00C9+Shift"}, {"\xe2\x82\xac", "U+20AC"},
    {"\xf0\x9f\x98\x80", "U+1F600"}, {"\xce\xa9", "U+03A9+Shift"}, {"\xcf\x89", "U+03C9"},
    {"\xe2\x85\xab", "U+216B+Shift"},  // Roman numeral twelve: upper-case but not a letter
    {"\xc7\x85", "U+01C5"},            // title case is not upper case
    {"\xc4\x80", "U+0100+Shift"}, {"\xc4\x81", "U+0101"},  // alternating upper/lower pairs
    {"\xf4\x8f\xbf\xbf", "U+10FFFF"}, {"Z", "'Z'+Shift"}, {"~", "'~'"}, {" ", "' '"},
    // Ill-formed input is dropped whole, including the byte that exposed it.
    {"\x80" "a", "'a'"}, {"\xff" "a", "'a'"}, {"\xc0\x80" "a", "'a'"},
    {"\xed\xa0\x80" "a", "'a'"}, {"\xf4\x90\x80\x80" "a", "'a'"}, {"\xe0\x80\x80" "a", "'a'"},
    {"\xc3(" "a", "'a'"},
};

const std::vector<Row> kCsiRows = {
    {"\x1b[A", "Up"}, {"\x1b[B", "Down"}, {"\x1b[C", "Right"}, {"\x1b[D", "Left"},
    {"\x1b[H", "Home"}, {"\x1b[F", "End"}, {"\x1b[Z", "BackTab+Shift"}, {"\x1b[P", "F1"},
    {"\x1b[Q", "F2"}, {"\x1b[S", "F4"}, {"\x1b[I", "FocusGained"}, {"\x1b[O", "FocusLost"},
    {"\x1b[[A", "F1"}, {"\x1b[[E", "F5"},
    {"\x1b[1~", "Home"}, {"\x1b[2~", "Insert"}, {"\x1b[3~", "Delete"}, {"\x1b[4~", "End"},
    {"\x1b[5~", "PageUp"}, {"\x1b[6~", "PageDown"}, {"\x1b[7~", "Home"}, {"\x1b[8~", "End"},
    {"\x1b[11~", "F1"}, {"\x1b[15~", "F5"}, {"\x1b[17~", "F6"}, {"\x1b[21~", "F10"},
    {"\x1b[23~", "F11"}, {"\x1b[26~", "F14"}, {"\x1b[28~", "F15"}, {"\x1b[29~", "F16"},
    {"\x1b[31~", "F17"}, {"\x1b[34~", "F20"},
    {"\x1b[3;5~", "Delete+Control"}, {"\x1b[3;1:3~", "Delete release"},
    {"\x1b[5;3:2~", "PageUp+Alt repeat"}, {"\x1b[2;~", "Insert"},
    {"\x1b[1;5A", "Up+Control"}, {"\x1b[1;2B", "Down+Shift"}, {"\x1b[1;3C", "Right+Alt"},
    {"\x1b[1;9D", "Left+Super"}, {"\x1b[1;64H", "Home+Shift+Alt+Control+Super+Hyper+Meta"},
    {"\x1b[1;2:3F", "End+Shift release"}, {"\x1b[1;5P", "F1+Control"},
    {"\x1b[1;2Q", "F2+Shift"}, {"\x1b[1;2S", "F4+Shift"}, {"\x1b[1;66A", "Up+Shift caps"},
    {"\x1b[5A", "Up+Control"}, {"\x1b[;5A", "Up+Control"},
    {"\x1b[12;40R", "Cursor 39,11"}, {"\x1b[1;5R", "Cursor 4,0"}, {"\x1b[?7u", "Flags 7"},
    {"\x1b[?64;1;2;6;22c", "DeviceAttributes"},
    // Invalid, then a key that must still come through.
    {"\x1b[9~" "a", "'a'"}, {"\x1b[10~" "a", "'a'"}, {"\x1b[35~" "a", "'a'"},
    {"\x1b[1;5X" "a", "'a'"}, {"\x1b[1;A" "a", "'a'"}, {"\x1b[R" "a", "'a'"},
    {"\x1b[x" "a", "'a'"}, {"\x1b[[F" "a", "'a'"}, {"\x1b[;5~" "a", "'a'"},
    {"\x1b[5R" "a", "'a'"}, {"\x1b[70000;1R" "a", "'a'"}, {"\x1b[?u" "a", "'a'"},
    {"\x1b[?300u" "a", "'a'"},
};

const std::vector<Row> kKittyRows = {
    {"\x1b[97u", "'a'"}, {"\x1b[13u", "Enter"}, {"\x1b[10u", "Enter"}, {"\x1b[27u", "Esc"},
    {"\x1b[9u", "Tab"}, {"\x1b[9;2u", "BackTab+Shift"}, {"\x1b[127u", "Backspace"},
    {"\x1b[8u", "U+0008"}, {"\x1b[1114111u", "U+10FFFF"},
    {"\x1b[57399u", "'0' keypad"}, {"\x1b[57408u", "'9' keypad"},
    {"\x1b[57409u", "'.' keypad"}, {"\x1b[57413u", "'+' keypad"},
    {"\x1b[57414u", "Enter keypad"}, {"\x1b[57415u", "'=' keypad"},
    {"\x1b[57416u", "',' keypad"}, {"\x1b[57417u", "Left keypad"},
    {"\x1b[57426u", "Delete keypad"}, {"\x1b[57427u", "KeypadBegin keypad"},
    {"\x1b[57358u", "CapsLock"}, {"\x1b[57363u", "Menu"},
    {"\x1b[57364u", "U+E014"}, {"\x1b[57375u", "U+E01F"},
    {"\x1b[57376u", "F13"}, {"\x1b[57398u", "F35"},
    {"\x1b[57428u", "Media0"}, {"\x1b[57440u", "Media12"},
    {"\x1b[57441u", "Modifier0+Shift"}, {"\x1b[57448u", "Modifier7+Control"},
    {"\x1b[57452u", "Modifier11+Meta"}, {"\x1b[57454u", "Modifier13"},
    {"\x1b[97;5u", "'a'+Control"}, {"\x1b[97;5:2u", "'a'+Control repeat"},
    {"\x1b[97;1:3u", "'a' release"}, {"\x1b[97;65u", "'a' caps"}, {"\x1b[97;129u", "'a' num"},
    // The shifted alternate replaces the code and absorbs the Shift, but only with Shift.
    {"\x1b[97:65;2u", "'A'"}, {"\x1b[97:65;6u", "'A'+Control"}, {"\x1b[97:65;1u", "'a'"},
    {"\x1b[97::98;2u", "'a'+Shift"}, {"\x1b[97:55296;2u", "'a'+Shift"},
    {"\x1b[55296u" "a", "'a'"}, {"\x1b[1114112u" "a", "'a'"},
    {"\x1b[99999999999u" "a", "'a'"}, {"\x1b[;5u" "a", "'a'"},
};

const std::vector<Row> kMouseRows = {
    {"\x1b[<0;10;20M", "Mouse Down Left 9,19"}, {"\x1b[<0;10;20m", "Mouse Up Left 9,19"},
    {"\x1b[<1;1;1M", "Mouse Down Middle 0,0"}, {"\x1b[<2;1;1m", "Mouse Up Right 0,0"},
    {"\x1b[<32;5;6M", "Mouse Drag Left 4,5"}, {"\x1b[<34;5;6M", "Mouse Drag Right 4,5"},
    {"\x1b[<35;5;6M", "Mouse Moved None 4,5"}, {"\x1b[<64;3;4M", "Mouse ScrollUp None 2,3"},
    {"\x1b[<65;3;4m", "Mouse ScrollDown None 2,3"}, {"\x1b[<66;3;4M", "Mouse ScrollLeft None 2,3"},
    {"\x1b[<67;3;4M", "Mouse ScrollRight None 2,3"},
    {"\x1b[<20;1;1M", "Mouse Down Left 0,0+Shift+Control"}, {"\x1b[<8;1;1M", "Mouse Down Left 0,0+Alt"},
    {"\x1b[<0;65535;1M", "Mouse Down Left 65534,0"},
    {"\x1b[M !!", "Mouse Down Left 0,0"}, {"\x1b[M#*+", "Mouse Up None 9,10"},
    {"\x1b[M`\xff\xff", "Mouse ScrollUp None 222,222"},
    {"\x1b[32;10;20M", "Mouse Down Left 9,19"}, {"\x1b[35;1;1M", "Mouse Up None 0,0"},
    {"\x1b[<128;1;1M" "a", "'a'"}, {"\x1b[<0;1M" "a", "'a'"}, {"\x1b[<0;70000;1M" "a", "'a'"},
    {"\x1b[M\x1f!!" "a", "'a'"}, {"\x1b[31;1;1M" "a", "'a'"},
};

const std::vector<Row> kPasteRows = {
    {"\x1b[200~hello\x1b[201~", "Paste[hello]"}, {"\x1b[200~\x1b[201~", "Paste[]"},
    {"\x1b[200~one\ntwo\x1b[A~\x1b[201~" "a", "Paste[one\ntwo\x1b[A~] | 'a'"},
    {"\x1b[200~\xc3\xa9\x1b[201~", "Paste[\xc3\xa9]"},
    // Each maximal ill-formed prefix becomes one U+FFFD.
    {"\x1b[200~a\xff" "b\xe2\x82" "c\xed\xa0\x80\x1b[201~",
     "Paste[a\xef\xbf\xbd" "b\xef\xbf\xbd" "c\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd]"},
};

const std::vector<const std::vector<Row>*> kAllTables = {
    &kControlRows, &kEscapeRows, &kUtf8Rows, &kCsiRows, &kKittyRows, &kMouseRows, &kPasteRows};

}  // namespace

// ---- Layers -----------------------------------------------------------------------------------

TEST(Keys01Control, OneKeyPerByte) { check_rows(kControlRows); }

TEST(Keys02Escape, AltPrefixEscAndSs3) { check_rows(kEscapeRows); }

TEST(Keys02Escape, LoneEscWaitsOnlyWhileTheReadGoesOn) {
    Parser p;
    p.feed(0x1B, true);
    EXPECT_FALSE(p.has_item());
    EXPECT_EQ(p.pending_size(), 1u);

    // A read that filled the buffer ends in Esc: the sequence continues in the next read.
    Parser q;
    q.feed(bytes("\x1b"), 1, true);
    q.feed(bytes("[A"), 2, false);
    EXPECT_EQ(drain(q), "Up");
}

TEST(Keys03Utf8, CharactersAndIllFormedInput) { check_rows(kUtf8Rows); }

TEST(Keys03Utf8, SplitCharacterWaitsForItsLastByte) {
    Parser p;
    p.feed(0xC3, false);
    EXPECT_FALSE(p.has_item());
    p.feed(0xA9, false);
    EXPECT_EQ(drain(p), "U+00E9");
}

TEST(Keys04Csi, KeysRepliesAndInvalid) { check_rows(kCsiRows); }

TEST(Keys04Csi, IncompleteSequencesNeedMore) {
    const std::string_view cases[] = {
        "\x1b[", "\x1bO", "\x1b[[", "\x1b[1", "\x1b[1;5", "\x1b[;", "\x1b[<", "\x1b[<0;1;2",
        "\x1b[M", "\x1b[M !", "\x1b[?", "\x1b[?1;2", "\x1b[?1$", "\x1b[200~", "\x1b[200~abc",
        "\x1b[200~abc\x1b[201", "\xc3", "\xe2\x82", "\xf0\x9f\x98", "\x1b\xc3"};
    for (const auto c : cases) {
        EXPECT_EQ(decode(bytes(c), c.size(), false).outcome, Outcome::NeedMore) << shown(c);
    }
    EXPECT_EQ(decode(bytes("\x1b"), 1, true).outcome, Outcome::NeedMore);
}

TEST(Keys05KittyU, KeyTableModifiersAndAlternates) { check_rows(kKittyRows); }

TEST(Keys06Mouse, SgrX10AndRxvtReports) { check_rows(kMouseRows); }

TEST(Keys07Paste, TextBetweenMarkers) { check_rows(kPasteRows); }

TEST(Keys07Paste, PasteUpToTheCapIsKeptWhole) {
    const std::size_t cap = Parser::kMaxPasteBytes;
    const std::string fits = "\x1b[200~" + std::string(cap - 12, 'x') + "\x1b[201~";
    Parser p;
    p.feed(bytes(fits), fits.size(), false);
    Item item;
    ASSERT_TRUE(p.pop(item));
    EXPECT_EQ(std::get<PasteEvent>(std::get<Event>(item)).text.size(), cap - 12);
    EXPECT_FALSE(p.has_item());
}

TEST(Keys07Paste, UnterminatedPasteStaysBoundedAndLaterKeysGetThrough) {
    Parser p;
    p.feed(bytes("\x1b[200~"), 6, false);
    const std::string chunk(4096, 'x');
    for (int i = 0; i < 64; ++i) {  // 256 KiB, four times the cap
        p.feed(bytes(chunk), chunk.size(), false);
        ASSERT_LE(p.pending_size(), Parser::kMaxPasteBytes);
        Item item;
        while (p.pop(item)) ASSERT_NE(event_class(std::get<Event>(item)), EventClass::Paste);
    }
    p.feed(bytes("\x1b[201~\r"), 7, false);
    std::string out = drain(p);
    EXPECT_EQ(out.substr(out.size() - 5), "Enter");
}

TEST(Keys07Paste, EndlessSequencesStayBounded) {
    for (const std::string_view start : {"\x1b[<"sv, "\x1b[?"sv, "\x1b[1"sv}) {
        Parser p;
        p.feed(bytes(start), start.size(), false);
        for (int i = 0; i < 10000; ++i) {
            p.feed('1', false);
            ASSERT_LE(p.pending_size(), Parser::kMaxSequenceBytes) << shown(start);
        }
        p.feed(bytes("\x1b[A"), 3, false);
        const std::string out = drain(p);
        EXPECT_EQ(out.substr(out.size() - 2), "Up") << shown(start);
    }
}

// Terminals deliver a sequence in pieces when the user is slow or the line is busy; the result
// must not depend on where the reads break. Esc alone at the end of a read is a key, so a split
// right after a leading Esc is left out.
TEST(Keys08Split, AnySplitGivesTheSameItems) {
    for (const auto* table : kAllTables) {
        for (const Row& r : *table) {
            const std::size_t first = r.in[0] == '\x1b' ? 2 : 1;
            for (std::size_t k = first; k < r.in.size(); ++k) {
                EXPECT_EQ(run_reads({r.in.substr(0, k), r.in.substr(k)}), r.out)
                    << shown(r.in) << " split at " << k;
            }
            std::vector<std::string_view> reads{r.in.substr(0, first)};
            for (std::size_t i = first; i < r.in.size(); ++i) reads.push_back(r.in.substr(i, 1));
            EXPECT_EQ(run_reads(reads), r.out) << shown(r.in) << " byte by byte";
        }
    }
}

TEST(Keys09Parser, QueueIsFifoAcrossInterleavedFeedsAndPops) {
    Parser p;
    std::string fed, taken;
    Item item;
    for (int round = 0; round < 400; ++round) {  // the backlog grows past the reserved 128
        for (int i = 0; i < 3; ++i) {
            const char c = static_cast<char>('a' + (round * 3 + i) % 26);
            fed += c;
            p.feed(static_cast<std::uint8_t>(c), false);
        }
        for (int i = 0; i < 2 && p.pop(item); ++i) {
            taken += static_cast<char>(std::get<KeyEvent>(std::get<Event>(item)).code.value);
        }
    }
    EXPECT_EQ(p.queued(), 400u);
    while (p.pop(item)) taken += static_cast<char>(std::get<KeyEvent>(std::get<Event>(item)).code.value);
    EXPECT_EQ(taken, fed);
    EXPECT_FALSE(p.pop(item));
    EXPECT_EQ(p.pending_size(), 0u);
}

// What poll_key makes of each kind of item: its class and the string it reports.
TEST(Keys10Classify, OnlyEnterEscAndCharactersReachPollKey) {
    struct Case {
        std::string_view in;
        EventClass cls;
        std::string_view poll;
    };
    const Case cases[] = {
        {"\r", EventClass::Key, "enter"}, {"\n", EventClass::Key, "enter"},
        {"\x1b", EventClass::Key, "esc"}, {"\x1b\r", EventClass::Key, "enter"},
        {"a", EventClass::Key, "a"}, {"\x03", EventClass::Key, "c"},
        {"\xc3\xa9", EventClass::Key, "\xc3\xa9"}, {"\xe2\x82\xac", EventClass::Key, "\xe2\x82\xac"},
        {"\xf0\x9f\x98\x80", EventClass::Key, "\xf0\x9f\x98\x80"},
        {"\x1b[97;1:3u", EventClass::Key, "a"}, {"\x1b[27u", EventClass::Key, "esc"},
        {"\x1b[57414u", EventClass::Key, "enter"}, {"\x1b[A", EventClass::Key, "None"},
        {"\t", EventClass::Key, "None"}, {"\x1b[<0;1;1M", EventClass::Mouse, "None"},
        {"\x1b[200~x\x1b[201~", EventClass::Paste, "None"},
        {"\x1b[I", EventClass::FocusGained, "None"}, {"\x1b[O", EventClass::FocusLost, "None"},
    };
    const auto poll = [](const Event& e) -> std::string {
        const Classified c = classify(e);
        switch (c.key_class) {
            case KeyClass::Enter: return "enter";
            case KeyClass::Esc: return "esc";
            case KeyClass::Char: return encode_utf8(c.ch);
            case KeyClass::None: return "None";
        }
        return "?";
    };
    for (const Case& c : cases) {
        Parser p;
        p.feed(bytes(c.in), c.in.size(), false);
        Item item;
        ASSERT_TRUE(p.pop(item)) << shown(c.in);
        const Event* e = event_of(item);
        ASSERT_NE(e, nullptr) << shown(c.in);
        EXPECT_EQ(event_class(*e), c.cls) << shown(c.in);
        EXPECT_EQ(poll(*e), c.poll) << shown(c.in);
    }
    const Event resize = ResizeEvent{80, 24};
    EXPECT_EQ(event_class(resize), EventClass::Resize);
    EXPECT_EQ(poll(resize), "None");

    Parser p;
    p.feed(bytes("\x1b[3;7R"), 6, false);
    Item reply;
    ASSERT_TRUE(p.pop(reply));
    EXPECT_EQ(event_of(reply), nullptr);
}
