// Decoding of terminal key input: the byte-level tables and the parser's buffer discipline.
#include "modules/terminal/keys.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

namespace corvane::keys {
namespace {

constexpr std::uint8_t kEsc = 0x1B;
constexpr std::string_view kPasteStart = "\x1b[200~";
constexpr std::string_view kPasteEnd = "\x1b[201~";

// ---- Key tables -------------------------------------------------------------------------------

struct LetterKey {
    std::uint8_t letter;
    KeyCode code;
};

// Final letters of SS3 (ESC O x) and of the modifier-encoded CSI form (ESC [ 1 ; m x).
constexpr LetterKey kLetterFinals[] = {
    {'A', KeyCode::of(Key::Up)},       {'B', KeyCode::of(Key::Down)},
    {'C', KeyCode::of(Key::Right)},    {'D', KeyCode::of(Key::Left)},
    {'H', KeyCode::of(Key::Home)},     {'F', KeyCode::of(Key::End)},
    {'P', KeyCode::function(1)},       {'Q', KeyCode::function(2)},
    {'R', KeyCode::function(3)},       {'S', KeyCode::function(4)},
};

// Letters directly after ESC [. No "R": bare CSI R is not a key, and with parameters it is the
// cursor-position reply.
constexpr LetterKey kCsiBareFinals[] = {
    {'A', KeyCode::of(Key::Up)},       {'B', KeyCode::of(Key::Down)},
    {'C', KeyCode::of(Key::Right)},    {'D', KeyCode::of(Key::Left)},
    {'H', KeyCode::of(Key::Home)},     {'F', KeyCode::of(Key::End)},
    {'P', KeyCode::function(1)},       {'Q', KeyCode::function(2)},
    {'S', KeyCode::function(4)},
};

// A run of numbers that map onto consecutive key values: number n gives base.value + (n - first).
struct CodeRange {
    std::uint32_t first;
    std::uint32_t last;
    KeyCode base;
    KeyState state = 0;
};

// ESC [ n ~ keys. The gaps (9, 10, 16, 22, 27, 30) are not keys.
constexpr CodeRange kTildeKeys[] = {
    {1, 1, KeyCode::of(Key::Home)},     {2, 2, KeyCode::of(Key::Insert)},
    {3, 3, KeyCode::of(Key::Delete)},   {4, 4, KeyCode::of(Key::End)},
    {5, 5, KeyCode::of(Key::PageUp)},   {6, 6, KeyCode::of(Key::PageDown)},
    {7, 7, KeyCode::of(Key::Home)},     {8, 8, KeyCode::of(Key::End)},
    {11, 15, KeyCode::function(1)},     {17, 21, KeyCode::function(6)},
    {23, 26, KeyCode::function(11)},    {28, 29, KeyCode::function(15)},
    {31, 34, KeyCode::function(17)},
};

// ESC [ code u keys that are not simply the character `code`. The private-use codes 57364 to
// 57375 are deliberately absent: the protocol leaves them unassigned, so they stay characters.
constexpr CodeRange kKittyKeys[] = {
    {9, 9, KeyCode::of(Key::Tab)},
    {10, 10, KeyCode::of(Key::Enter)},
    {13, 13, KeyCode::of(Key::Enter)},
    {27, 27, KeyCode::of(Key::Esc)},
    {127, 127, KeyCode::of(Key::Backspace)},
    {57358, 57358, KeyCode::of(Key::CapsLock)},
    {57359, 57359, KeyCode::of(Key::ScrollLock)},
    {57360, 57360, KeyCode::of(Key::NumLock)},
    {57361, 57361, KeyCode::of(Key::PrintScreen)},
    {57362, 57362, KeyCode::of(Key::Pause)},
    {57363, 57363, KeyCode::of(Key::Menu)},
    {57376, 57398, KeyCode::function(13)},
    {57399, 57408, KeyCode::character('0'), state::Keypad},
    {57409, 57409, KeyCode::character('.'), state::Keypad},
    {57410, 57410, KeyCode::character('/'), state::Keypad},
    {57411, 57411, KeyCode::character('*'), state::Keypad},
    {57412, 57412, KeyCode::character('-'), state::Keypad},
    {57413, 57413, KeyCode::character('+'), state::Keypad},
    {57414, 57414, KeyCode::of(Key::Enter), state::Keypad},
    {57415, 57415, KeyCode::character('='), state::Keypad},
    {57416, 57416, KeyCode::character(','), state::Keypad},
    {57417, 57417, KeyCode::of(Key::Left), state::Keypad},
    {57418, 57418, KeyCode::of(Key::Right), state::Keypad},
    {57419, 57419, KeyCode::of(Key::Up), state::Keypad},
    {57420, 57420, KeyCode::of(Key::Down), state::Keypad},
    {57421, 57421, KeyCode::of(Key::PageUp), state::Keypad},
    {57422, 57422, KeyCode::of(Key::PageDown), state::Keypad},
    {57423, 57423, KeyCode::of(Key::Home), state::Keypad},
    {57424, 57424, KeyCode::of(Key::End), state::Keypad},
    {57425, 57425, KeyCode::of(Key::Insert), state::Keypad},
    {57426, 57426, KeyCode::of(Key::Delete), state::Keypad},
    {57427, 57427, KeyCode::of(Key::KeypadBegin), state::Keypad},
    {57428, 57440, KeyCode::media(MediaKey::Play)},
    {57441, 57454, KeyCode::modifier(ModifierKey::LeftShift)},
};

// What a modifier key adds to the modifier set, indexed by ModifierKey % 6.
constexpr Modifiers kModifierKeyBits[] = {mod::Shift, mod::Control, mod::Alt,
                                          mod::Super, mod::Hyper,   mod::Meta};

// Mouse button codes: (button number, motion flag) → action and button. Button numbers
// 8 to 15 (extra buttons) are not listed and make the report invalid.
struct MouseCode {
    std::uint8_t number;
    bool motion;
    MouseAction action;
    MouseButton button;
};

constexpr MouseCode kMouseCodes[] = {
    {0, false, MouseAction::Down, MouseButton::Left},
    {1, false, MouseAction::Down, MouseButton::Middle},
    {2, false, MouseAction::Down, MouseButton::Right},
    {0, true, MouseAction::Drag, MouseButton::Left},
    {1, true, MouseAction::Drag, MouseButton::Middle},
    {2, true, MouseAction::Drag, MouseButton::Right},
    {3, false, MouseAction::Up, MouseButton::None},  // legacy release: which button is unknown
    {3, true, MouseAction::Moved, MouseButton::None},
    {4, true, MouseAction::Moved, MouseButton::None},
    {5, true, MouseAction::Moved, MouseButton::None},
    {4, false, MouseAction::ScrollUp, MouseButton::None},
    {5, false, MouseAction::ScrollDown, MouseButton::None},
    {6, false, MouseAction::ScrollLeft, MouseButton::None},
    {7, false, MouseAction::ScrollRight, MouseButton::None},
};

// The Unicode Uppercase property (Lu plus Other_Uppercase) as disjoint sorted runs: the run
// {first, last, step} holds first, first + step, ..., last. Step 2 covers the alternating
// upper/lower pairs of the Latin, Greek and Cyrillic extensions.
struct UpperRun {
    char32_t first;
    char32_t last;
    std::uint8_t step;
};

constexpr UpperRun kUpperRuns[] = {
    {0x41, 0x5A, 1}, {0xC0, 0xD6, 1}, {0xD8, 0xDE, 1}, {0x100, 0x136, 2}, {0x139, 0x147, 2},
    {0x14A, 0x178, 2}, {0x179, 0x17D, 2}, {0x181, 0x182, 1}, {0x184, 0x186, 2}, {0x187, 0x189, 2},
    {0x18A, 0x18B, 1}, {0x18E, 0x191, 1}, {0x193, 0x194, 1}, {0x196, 0x198, 1}, {0x19C, 0x19D, 1},
    {0x19F, 0x1A0, 1}, {0x1A2, 0x1A6, 2}, {0x1A7, 0x1A9, 2}, {0x1AC, 0x1AE, 2}, {0x1AF, 0x1B1, 2},
    {0x1B2, 0x1B3, 1}, {0x1B5, 0x1B7, 2}, {0x1B8, 0x1B8, 1}, {0x1BC, 0x1BC, 1}, {0x1C4, 0x1C4, 1},
    {0x1C7, 0x1C7, 1}, {0x1CA, 0x1CA, 1}, {0x1CD, 0x1DB, 2}, {0x1DE, 0x1EE, 2}, {0x1F1, 0x1F1, 1},
    {0x1F4, 0x1F6, 2}, {0x1F7, 0x1F8, 1}, {0x1FA, 0x232, 2}, {0x23A, 0x23B, 1}, {0x23D, 0x23E, 1},
    {0x241, 0x243, 2}, {0x244, 0x246, 1}, {0x248, 0x24E, 2}, {0x370, 0x372, 2}, {0x376, 0x376, 1},
    {0x37F, 0x37F, 1}, {0x386, 0x388, 2}, {0x389, 0x38A, 1}, {0x38C, 0x38E, 2}, {0x38F, 0x391, 2},
    {0x392, 0x3A1, 1}, {0x3A3, 0x3AB, 1}, {0x3CF, 0x3CF, 1}, {0x3D2, 0x3D4, 1}, {0x3D8, 0x3EE, 2},
    {0x3F4, 0x3F4, 1}, {0x3F7, 0x3F9, 2}, {0x3FA, 0x3FA, 1}, {0x3FD, 0x42F, 1}, {0x460, 0x480, 2},
    {0x48A, 0x4C0, 2}, {0x4C1, 0x4CD, 2}, {0x4D0, 0x52E, 2}, {0x531, 0x556, 1},
    {0x10A0, 0x10C5, 1}, {0x10C7, 0x10C7, 1}, {0x10CD, 0x10CD, 1}, {0x13A0, 0x13F5, 1},
    {0x1C90, 0x1CBA, 1}, {0x1CBD, 0x1CBF, 1}, {0x1E00, 0x1E94, 2}, {0x1E9E, 0x1EFE, 2},
    {0x1F08, 0x1F0F, 1}, {0x1F18, 0x1F1D, 1}, {0x1F28, 0x1F2F, 1}, {0x1F38, 0x1F3F, 1},
    {0x1F48, 0x1F4D, 1}, {0x1F59, 0x1F5F, 2}, {0x1F68, 0x1F6F, 1}, {0x1FB8, 0x1FBB, 1},
    {0x1FC8, 0x1FCB, 1}, {0x1FD8, 0x1FDB, 1}, {0x1FE8, 0x1FEC, 1}, {0x1FF8, 0x1FFB, 1},
    {0x2102, 0x2102, 1}, {0x2107, 0x2107, 1}, {0x210B, 0x210D, 1}, {0x2110, 0x2112, 1},
    {0x2115, 0x2115, 1}, {0x2119, 0x211D, 1}, {0x2124, 0x212A, 2}, {0x212B, 0x212D, 1},
    {0x2130, 0x2133, 1}, {0x213E, 0x213F, 1}, {0x2145, 0x2145, 1}, {0x2160, 0x216F, 1},
    {0x2183, 0x2183, 1}, {0x24B6, 0x24CF, 1}, {0x2C00, 0x2C2F, 1}, {0x2C60, 0x2C62, 2},
    {0x2C63, 0x2C64, 1}, {0x2C67, 0x2C6D, 2}, {0x2C6E, 0x2C70, 1}, {0x2C72, 0x2C72, 1},
    {0x2C75, 0x2C75, 1}, {0x2C7E, 0x2C80, 1}, {0x2C82, 0x2CE2, 2}, {0x2CEB, 0x2CED, 2},
    {0x2CF2, 0x2CF2, 1}, {0xA640, 0xA66C, 2}, {0xA680, 0xA69A, 2}, {0xA722, 0xA72E, 2},
    {0xA732, 0xA76E, 2}, {0xA779, 0xA77D, 2}, {0xA77E, 0xA786, 2}, {0xA78B, 0xA78D, 2},
    {0xA790, 0xA792, 2}, {0xA796, 0xA7AA, 2}, {0xA7AB, 0xA7AE, 1}, {0xA7B0, 0xA7B4, 1},
    {0xA7B6, 0xA7C4, 2}, {0xA7C5, 0xA7C7, 1}, {0xA7C9, 0xA7C9, 1}, {0xA7D0, 0xA7D0, 1},
    {0xA7D6, 0xA7D8, 2}, {0xA7F5, 0xA7F5, 1}, {0xFF21, 0xFF3A, 1}, {0x10400, 0x10427, 1},
    {0x104B0, 0x104D3, 1}, {0x10570, 0x1057A, 1}, {0x1057C, 0x1058A, 1}, {0x1058C, 0x10592, 1},
    {0x10594, 0x10595, 1}, {0x10C80, 0x10CB2, 1}, {0x118A0, 0x118BF, 1}, {0x16E40, 0x16E5F, 1},
    {0x1D400, 0x1D419, 1}, {0x1D434, 0x1D44D, 1}, {0x1D468, 0x1D481, 1}, {0x1D49C, 0x1D49E, 2},
    {0x1D49F, 0x1D49F, 1}, {0x1D4A2, 0x1D4A2, 1}, {0x1D4A5, 0x1D4A6, 1}, {0x1D4A9, 0x1D4AC, 1},
    {0x1D4AE, 0x1D4B5, 1}, {0x1D4D0, 0x1D4E9, 1}, {0x1D504, 0x1D505, 1}, {0x1D507, 0x1D50A, 1},
    {0x1D50D, 0x1D514, 1}, {0x1D516, 0x1D51C, 1}, {0x1D538, 0x1D539, 1}, {0x1D53B, 0x1D53E, 1},
    {0x1D540, 0x1D544, 1}, {0x1D546, 0x1D546, 1}, {0x1D54A, 0x1D550, 1}, {0x1D56C, 0x1D585, 1},
    {0x1D5A0, 0x1D5B9, 1}, {0x1D5D4, 0x1D5ED, 1}, {0x1D608, 0x1D621, 1}, {0x1D63C, 0x1D655, 1},
    {0x1D670, 0x1D689, 1}, {0x1D6A8, 0x1D6C0, 1}, {0x1D6E2, 0x1D6FA, 1}, {0x1D71C, 0x1D734, 1},
    {0x1D756, 0x1D76E, 1}, {0x1D790, 0x1D7A8, 1}, {0x1D7CA, 0x1D7CA, 1}, {0x1E900, 0x1E921, 1},
    {0x1F130, 0x1F149, 1}, {0x1F150, 0x1F169, 1}, {0x1F170, 0x1F189, 1},
};

template <class Row>
const Row* find_letter(std::span<const Row> table, std::uint8_t letter) {
    for (const Row& row : table) {
        if (row.letter == letter) return &row;
    }
    return nullptr;
}

const CodeRange* find_code(std::span<const CodeRange> table, std::uint32_t n) {
    for (const CodeRange& r : table) {
        if (n >= r.first && n <= r.last) return &r;
    }
    return nullptr;
}

KeyCode code_at(const CodeRange& r, std::uint32_t n) {
    return {r.base.key, r.base.value + (n - r.first)};
}

bool is_scalar(std::uint32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }
bool is_digit(std::uint8_t b) { return b >= '0' && b <= '9'; }

// ---- Results ----------------------------------------------------------------------------------

Decoded need_more() { return {Outcome::NeedMore, {}}; }
Decoded invalid() { return {Outcome::Invalid, {}}; }
Decoded complete(Event e) { return {Outcome::Complete, Item(std::move(e))}; }
Decoded complete(Reply r) { return {Outcome::Complete, Item(std::move(r))}; }

Decoded key(KeyCode code, Modifiers mods = 0, KeyKind kind = KeyKind::Press, KeyState st = 0) {
    return complete(Event(KeyEvent{code, mods, kind, st}));
}

// ---- Parameters -------------------------------------------------------------------------------

// The index-th piece of `s` cut at `sep`, or nullopt when there are fewer pieces. An empty
// string has one empty piece, which then fails as a number rather than as a missing field.
std::optional<std::string_view> piece(std::string_view s, std::size_t index, char sep) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < index; ++i) {
        const std::size_t at = s.find(sep, start);
        if (at == std::string_view::npos) return std::nullopt;
        start = at + 1;
    }
    const std::size_t end = s.find(sep, start);
    return s.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

// A decimal number no greater than `max`; anything else (empty, signs, other bytes) is not one.
std::optional<std::uint32_t> number(std::optional<std::string_view> s, std::uint32_t max) {
    if (!s || s->empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (const char ch : *s) {
        if (!is_digit(static_cast<std::uint8_t>(ch))) return std::nullopt;
        v = v * 10 + static_cast<std::uint32_t>(ch - '0');
        if (v > max) return std::nullopt;
    }
    return static_cast<std::uint32_t>(v);
}

constexpr std::uint32_t kU8 = 0xFF;
constexpr std::uint32_t kU16 = 0xFFFF;
constexpr std::uint32_t kU32 = 0xFFFFFFFF;

std::uint16_t zero_based(std::uint32_t one_based) {
    return static_cast<std::uint16_t>(one_based == 0 ? 0 : one_based - 1);
}

std::string_view params(const std::uint8_t* b, std::size_t from, std::size_t to) {
    return {reinterpret_cast<const char*>(b) + from, to - from};
}

struct ModifierField {
    Modifiers modifiers = 0;
    KeyKind kind = KeyKind::Press;
    KeyState state = 0;
};

// The protocol sends the bit set plus one so that "1" means none; a 0 is read as none too.
Modifiers modifiers_of(std::uint32_t field) {
    return static_cast<Modifiers>((field == 0 ? 0 : field - 1) & 0x3F);
}

// The second ";" field, "modifiers[:kind]". nullopt when it is absent or not a number: callers
// differ in what that means.
std::optional<ModifierField> modifier_field(std::string_view ps) {
    const auto field = piece(ps, 1, ';');
    if (!field) return std::nullopt;
    const auto mask = number(piece(*field, 0, ':'), kU8);
    if (!mask) return std::nullopt;
    ModifierField out;
    out.modifiers = modifiers_of(*mask);
    const std::uint32_t bits = *mask == 0 ? 0 : *mask - 1;
    out.state = static_cast<KeyState>(((bits & 64) ? state::CapsLock : 0) |
                                      ((bits & 128) ? state::NumLock : 0));
    const auto kind = number(piece(*field, 1, ':'), kU8);
    if (kind == 2u) out.kind = KeyKind::Repeat;
    if (kind == 3u) out.kind = KeyKind::Release;
    return out;
}

// ---- UTF-8 ------------------------------------------------------------------------------------

// What a lead byte announces: the sequence length and the range of the second byte that keeps
// it well-formed (this is where overlong forms, surrogates and values above U+10FFFF are cut).
struct Lead {
    std::uint8_t length;  // 0: never a lead byte
    std::uint8_t lo;
    std::uint8_t hi;
};

Lead lead_of(std::uint8_t b) {
    if (b < 0x80) return {1, 0, 0};
    if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
    if (b == 0xE0) return {3, 0xA0, 0xBF};
    if (b == 0xED) return {3, 0x80, 0x9F};
    if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
    if (b == 0xF0) return {4, 0x90, 0xBF};
    if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
    if (b == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

// Bytes of the well-formed character at b (all of it), or the length of the maximal ill-formed
// prefix as a negative number, so that lossy conversion replaces exactly that prefix.
long scan_utf8(const std::uint8_t* b, std::size_t n) {
    const Lead lead = lead_of(b[0]);
    if (lead.length == 0) return -1;
    std::size_t i = 1;
    for (; i < lead.length; ++i) {
        const std::uint8_t lo = i == 1 ? lead.lo : 0x80;
        const std::uint8_t hi = i == 1 ? lead.hi : 0xBF;
        if (i >= n || b[i] < lo || b[i] > hi) return -static_cast<long>(i);
    }
    return static_cast<long>(lead.length);
}

char32_t code_point(const std::uint8_t* b, std::size_t len) {
    static constexpr std::uint8_t kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t c = b[0] & kLeadMask[len];
    for (std::size_t i = 1; i < len; ++i) c = (c << 6) | (b[i] & 0x3F);
    return c;
}

std::string lossy_utf8(const std::uint8_t* b, std::size_t n) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(n);
    std::size_t i = 0;
    while (i < n) {
        const long got = scan_utf8(b + i, n - i);
        if (got > 0) {
            out.append(reinterpret_cast<const char*>(b + i), static_cast<std::size_t>(got));
            i += static_cast<std::size_t>(got);
        } else {
            out.append(kReplacement);
            i += static_cast<std::size_t>(-got);
        }
    }
    return out;
}

// One typed character. Incomplete input is judged by the lead byte's announced length alone,
// so some sequences (E0 80) wait for their last byte before being refused as a whole.
Decoded decode_char(const std::uint8_t* b, std::size_t n) {
    std::size_t announced;
    if (b[0] < 0x80) announced = 1;
    else if (b[0] < 0xC0 || b[0] >= 0xF8) return invalid();
    else if (b[0] < 0xE0) announced = 2;
    else if (b[0] < 0xF0) announced = 3;
    else announced = 4;
    for (std::size_t i = 1; i < n; ++i) {
        if ((b[i] & 0xC0) != 0x80) return invalid();
    }
    if (n < announced) return need_more();
    if (n > announced || scan_utf8(b, n) != static_cast<long>(n)) return invalid();
    const char32_t c = code_point(b, n);
    return key(KeyCode::character(c), is_upper(c) ? mod::Shift : Modifiers{0});
}

// ---- Mouse ------------------------------------------------------------------------------------

std::optional<MouseEvent> mouse_from_code(std::uint32_t cb) {
    const auto number = static_cast<std::uint8_t>((cb & 0x03) | ((cb & 0xC0) >> 4));
    const bool motion = (cb & 0x20) != 0;
    for (const MouseCode& row : kMouseCodes) {
        if (row.number == number && row.motion == motion) {
            MouseEvent e;
            e.action = row.action;
            e.button = row.button;
            e.modifiers = static_cast<Modifiers>(((cb & 0x04) ? mod::Shift : 0) |
                                                 ((cb & 0x08) ? mod::Alt : 0) |
                                                 ((cb & 0x10) ? mod::Control : 0));
            return e;
        }
    }
    return std::nullopt;
}

// ESC [ M cb cx cy: three raw bytes, each offset by 32.
Decoded decode_x10_mouse(const std::uint8_t* b, std::size_t n) {
    if (n < 6) return need_more();
    if (b[3] < 32) return invalid();
    auto e = mouse_from_code(b[3] - 32u);
    if (!e) return invalid();
    e->column = zero_based(b[4] < 32 ? 0 : b[4] - 32u);
    e->row = zero_based(b[5] < 32 ? 0 : b[5] - 32u);
    return complete(Event(*e));
}

// Cb ; Cx ; Cy as decimal fields; `offset` is 32 for rxvt, 0 for SGR.
std::optional<MouseEvent> mouse_fields(std::string_view ps, std::uint32_t offset) {
    const auto cb = number(piece(ps, 0, ';'), kU8);
    const auto cx = number(piece(ps, 1, ';'), kU16);
    const auto cy = number(piece(ps, 2, ';'), kU16);
    if (!cb || !cx || !cy || *cb < offset) return std::nullopt;
    auto e = mouse_from_code(*cb - offset);
    if (!e) return std::nullopt;
    e->column = zero_based(*cx);
    e->row = zero_based(*cy);
    return e;
}

// ESC [ < Cb ; Cx ; Cy (M press | m release): the release names its button.
Decoded decode_sgr_mouse(const std::uint8_t* b, std::size_t n) {
    const std::uint8_t f = b[n - 1];
    if (n == 3 || (f != 'M' && f != 'm')) return need_more();
    auto e = mouse_fields(params(b, 3, n - 1), 0);
    if (!e) return invalid();
    if (f == 'm' && e->action == MouseAction::Down) e->action = MouseAction::Up;
    return complete(Event(*e));
}

// ---- CSI forms with parameters ----------------------------------------------------------------

Decoded decode_paste(const std::uint8_t* b, std::size_t n) {
    const std::size_t markers = kPasteStart.size() + kPasteEnd.size();
    if (n < markers || std::memcmp(b + n - kPasteEnd.size(), kPasteEnd.data(), kPasteEnd.size()) != 0) {
        return need_more();
    }
    return complete(Event(PasteEvent{lossy_utf8(b + kPasteStart.size(), n - markers)}));
}

// ESC [ n [; modifiers[:kind]] ~
Decoded decode_tilde(std::string_view ps) {
    const auto n = number(piece(ps, 0, ';'), kU8);
    if (!n) return invalid();
    const CodeRange* r = find_code(kTildeKeys, *n);
    if (!r) return invalid();
    const ModifierField m = modifier_field(ps).value_or(ModifierField{});
    return key(code_at(*r, *n), m.modifiers, m.kind, m.state);
}

// ESC [ code[:alternate] [; modifiers[:kind]] ... u
Decoded decode_kitty(std::string_view ps) {
    const std::string_view codes = *piece(ps, 0, ';');
    const auto code = number(piece(codes, 0, ':'), kU32);
    if (!code) return invalid();
    ModifierField m = modifier_field(ps).value_or(ModifierField{});

    KeyCode kc;
    if (const CodeRange* r = find_code(kKittyKeys, *code)) {
        kc = code_at(*r, *code);
        m.state |= r->state;
        if (kc.key == Key::Tab && (m.modifiers & mod::Shift)) kc = KeyCode::of(Key::BackTab);
        if (kc.key == Key::Modifier && kc.value < 12) m.modifiers |= kModifierKeyBits[kc.value % 6];
    } else if (is_scalar(*code)) {
        kc = KeyCode::character(*code);
    } else {
        return invalid();
    }

    // With alternate-key reporting the shifted character follows the code; it already carries
    // the Shift, so the modifier would count it twice.
    if (m.modifiers & mod::Shift) {
        const auto alternate = number(piece(codes, 1, ':'), kU32);
        if (alternate && is_scalar(*alternate)) {
            kc = KeyCode::character(*alternate);
            m.modifiers &= static_cast<Modifiers>(~mod::Shift);
        }
    }
    return key(kc, m.modifiers, m.kind, m.state);
}

// ESC [ row ; column R
Decoded decode_cursor_position(std::string_view ps) {
    const auto row = number(piece(ps, 0, ';'), kU16);
    const auto column = number(piece(ps, 1, ';'), kU16);
    if (!row || !column) return invalid();
    return complete(Reply(CursorPosition{zero_based(*column), zero_based(*row)}));
}

// ESC [ [1] [; modifiers[:kind]] letter. Old terminals put the modifier digit straight before
// the letter (ESC [ 5 A), which is why a missing field falls back to that digit.
Decoded decode_modified_letter(const std::uint8_t* b, std::size_t n) {
    ModifierField m;
    if (const auto field = modifier_field(params(b, 2, n - 1))) {
        m = *field;
    } else if (is_digit(b[n - 2])) {
        m.modifiers = modifiers_of(b[n - 2] - static_cast<std::uint32_t>('0'));
    } else {
        return invalid();
    }
    const LetterKey* k = find_letter<LetterKey>(kLetterFinals, b[n - 1]);
    if (!k) return invalid();
    return key(k->code, m.modifiers, m.kind, m.state);
}

// ESC [ ? ... u (keyboard flags) or ESC [ ? ... c (device attributes); every other final
// is waited past, as these are replies the host asked for and their end will come.
Decoded decode_private(const std::uint8_t* b, std::size_t n) {
    const std::uint8_t f = b[n - 1];
    if (n > 3 && f == 'c') return complete(Reply(PrimaryDeviceAttributes{}));
    if (n <= 3 || f != 'u') return need_more();
    const auto flags = number(params(b, 3, n - 1), kU8);
    if (!flags) return invalid();
    return complete(Reply(KeyboardEnhancementFlags{static_cast<std::uint8_t>(*flags)}));
}

Decoded decode_csi(const std::uint8_t* b, std::size_t n) {
    if (n == 2) return need_more();
    const std::uint8_t c = b[2];
    const std::uint8_t f = b[n - 1];

    if (const LetterKey* k = find_letter<LetterKey>(kCsiBareFinals, c)) return key(k->code);
    switch (c) {
        case 'Z': return key(KeyCode::of(Key::BackTab), mod::Shift);
        case 'I': return complete(Event(FocusGained{}));
        case 'O': return complete(Event(FocusLost{}));
        case 'M': return decode_x10_mouse(b, n);
        case '<': return decode_sgr_mouse(b, n);
        case '?': return decode_private(b, n);
        case '[':
            if (n == 3) return need_more();
            if (b[3] >= 'A' && b[3] <= 'E') return key(KeyCode::function(1u + (b[3] - 'A')));
            return invalid();
        default: break;
    }
    if (c != ';' && !is_digit(c)) return invalid();

    // Parameter bytes and intermediates run until a final byte in 0x40..0x7E.
    if (n == 3 || f < 0x40 || f > 0x7E) return need_more();
    // A leading ";" is a modified letter whose first parameter (the 1) was left out; it waits
    // for its final byte like the digit forms instead of being refused at "ESC [ ;".
    if (c == ';') return decode_modified_letter(b, n);
    if (n >= kPasteStart.size() && std::memcmp(b, kPasteStart.data(), kPasteStart.size()) == 0) {
        return decode_paste(b, n);
    }
    const std::string_view ps = params(b, 2, n - 1);
    switch (f) {
        case 'M': {
            const auto e = mouse_fields(ps, 32);
            return e ? complete(Event(*e)) : invalid();
        }
        case '~': return decode_tilde(ps);
        case 'R': return decode_cursor_position(ps);
        case 'u': return decode_kitty(ps);
        default: return decode_modified_letter(b, n);
    }
}

Decoded decode_escape(const std::uint8_t* b, std::size_t n, bool more_input) {
    if (n == 1) return more_input ? need_more() : key(KeyCode::of(Key::Esc));
    switch (b[1]) {
        case kEsc: return key(KeyCode::of(Key::Esc));
        case '[': return decode_csi(b, n);
        case 'O': {
            if (n == 2) return need_more();
            const LetterKey* k = find_letter<LetterKey>(kLetterFinals, b[2]);
            return k ? key(k->code) : invalid();
        }
        default: break;
    }
    // Esc before an ordinary key is how terminals send Alt with it.
    Decoded inner = decode(b + 1, n - 1, more_input);
    if (inner.outcome == Outcome::Complete) {
        if (Event* e = std::get_if<Event>(&inner.item)) {
            if (auto* k = std::get_if<KeyEvent>(e)) k->modifiers |= mod::Alt;
        }
    }
    return inner;
}

}  // namespace

// ---- Public -----------------------------------------------------------------------------------

Decoded decode(const std::uint8_t* b, std::size_t n, bool more_input) {
    if (n == 0) return need_more();
    const std::uint8_t b0 = b[0];
    switch (b0) {
        case kEsc: return decode_escape(b, n, more_input);
        // 0x0A is Enter, not Control-J: the terminal stays in its line mode, where the driver
        // turns the Enter key into a line feed.
        case '\r':
        case '\n': return key(KeyCode::of(Key::Enter));
        case '\t': return key(KeyCode::of(Key::Tab));
        case 0x7F: return key(KeyCode::of(Key::Backspace));
        case 0x00: return key(KeyCode::character(' '), mod::Control);
        default: break;
    }
    if (b0 <= 0x1A) return key(KeyCode::character(U'a' + (b0 - 1u)), mod::Control);
    if (b0 <= 0x1F) return key(KeyCode::character(U'4' + (b0 - 0x1Cu)), mod::Control);
    return decode_char(b, n);
}

Parser::Parser() {
    pending_.reserve(kPendingCapacity);
    queue_.reserve(kQueueCapacity);
}

void Parser::feed(std::uint8_t byte, bool more_input) {
    pending_.push_back(byte);
    Decoded d = decode(pending_.data(), pending_.size(), more_input);
    switch (d.outcome) {
        case Outcome::Complete:
            push(std::move(d.item));
            pending_.clear();
            break;
        case Outcome::Invalid:
            pending_.clear();
            break;
        case Outcome::NeedMore: {
            const bool paste = pending_.size() >= kPasteStart.size() &&
                               std::memcmp(pending_.data(), kPasteStart.data(), kPasteStart.size()) == 0;
            if (pending_.size() >= (paste ? kMaxPasteBytes : kMaxSequenceBytes)) pending_.clear();
            break;
        }
    }
}

void Parser::feed(const std::uint8_t* bytes, std::size_t len, bool more_after) {
    for (std::size_t i = 0; i < len; ++i) feed(bytes[i], i + 1 < len || more_after);
}

bool Parser::pop(Item& out) {
    if (head_ == queue_.size()) return false;
    out = std::move(queue_[head_++]);
    if (head_ == queue_.size()) {
        queue_.clear();
        head_ = 0;
    }
    return true;
}

void Parser::push(Item&& item) {
    // Reuse the taken slots before the vector would reallocate.
    if (head_ > 0 && queue_.size() == queue_.capacity()) {
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    queue_.push_back(std::move(item));
}

Classified classify(const Event& event) {
    const auto* k = std::get_if<KeyEvent>(&event);
    if (!k) return {};
    switch (k->code.key) {
        case Key::Enter: return {KeyClass::Enter, 0};
        case Key::Esc: return {KeyClass::Esc, 0};
        case Key::Char: return {KeyClass::Char, static_cast<char32_t>(k->code.value)};
        default: return {};
    }
}

std::string encode_utf8(char32_t c) {
    if (!is_scalar(c)) c = 0xFFFD;
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

bool is_upper(char32_t c) {
    const auto* end = std::end(kUpperRuns);
    const auto* it = std::upper_bound(std::begin(kUpperRuns), end, c,
                                      [](char32_t v, const UpperRun& r) { return v < r.first; });
    if (it == std::begin(kUpperRuns)) return false;
    --it;
    return c <= it->last && (c - it->first) % it->step == 0;
}

}  // namespace corvane::keys
