// Decoding of terminal key input: the byte-level tables and the parser's buffer discipline.
//
// Every sequence is checked as strictly as if its payload were kept (a cursor reply or a mouse
// report with a field that is no number is invalid), because that decides which bytes form one
// item and which are dropped; only the payload itself is thrown away. A mouse button code is not
// judged: terminals add buttons, and each report is still one Mouse event.
#include "core/terminal/keys.hpp"

#include <algorithm>
#include <iterator>
#include <optional>
#include <string_view>
#include <utility>

namespace corvane::keys {
namespace {

constexpr std::uint8_t ESC = 0x1B;
constexpr std::string_view PASTE_START = "\x1b[200~";
constexpr std::string_view PASTE_END = "\x1b[201~";
constexpr std::uint32_t U8 = 0xFF, U16 = 0xFFFF, U32 = 0xFFFFFFFF;

constexpr Event OTHER{}, ENTER{KeyClass::Enter, 0, Key::Enter}, ESCAPE{KeyClass::Esc, 0, Key::Esc};
constexpr Event character(char32_t c, std::uint8_t modifiers = 0) {
    return {KeyClass::Char, c, Key::Char, modifiers};
}
// A key poll_key reports as None.
constexpr Event named(Key key, std::uint8_t modifiers = 0) {
    return {KeyClass::None, 0, key, modifiers};
}
constexpr Event with(Event e, std::uint32_t modifiers) {
    e.modifiers = static_cast<std::uint8_t>(e.modifiers | (modifiers & MODIFIER_MASK));
    return e;
}

// ---- Tables -----------------------------------------------------------------------------------

// Final letters of SS3 (ESC O x) and of the numeric CSI forms (ESC [ 1 ; 5 x): the arrows, End,
// Home and F1 to F4, in the order of LETTER_KEYS.
constexpr std::string_view LETTER_FINALS = "ABCDFHPQRS";
constexpr Key LETTER_KEYS[] = {Key::Up,   Key::Down, Key::Right, Key::Left, Key::End,
                               Key::Home, Key::F1,   Key::F2,    Key::F3,   Key::F4};
static_assert(std::size(LETTER_KEYS) == LETTER_FINALS.size());
// Bytes that complete a key or focus report right after ESC [. No "R": bare CSI R is not a key,
// and with parameters it is the cursor-position reply.
constexpr std::string_view CSI_BARE = "ABCDFHPQSZIO";

struct Range {
    std::uint32_t first, last;
};

// ESC [ n ~: Home, Insert, Delete, End, PageUp, PageDown, Home, End, then F1 to F20. The gaps
// are not keys; F13 to F20 have no name.
constexpr Range TILDE_KEYS[] = {{1, 8}, {11, 15}, {17, 21}, {23, 26}, {28, 29}, {31, 34}};
constexpr Key TILDE_NAMES[] = {Key::None,   Key::Home,     Key::Insert, Key::Delete, Key::End,
                               Key::PageUp, Key::PageDown, Key::Home,   Key::End,    Key::None,
                               Key::None,   Key::F1,       Key::F2,     Key::F3,     Key::F4,
                               Key::F5,     Key::None,     Key::F6,     Key::F7,     Key::F8,
                               Key::F9,     Key::F10,      Key::None,   Key::F11,    Key::F12};

// ESC [ code u: the codes that are not simply the character `code`. A character row stands for
// consecutive characters from its own. The private-use codes 57364 to 57375 are absent on
// purpose: the protocol leaves them unassigned, so they stay characters.
struct KittyKey {
    Range codes;
    Event event;
};
constexpr KittyKey KITTY_KEYS[] = {
    {{9, 9}, named(Key::Tab)},
    {{10, 10}, ENTER},
    {{13, 13}, ENTER},
    {{27, 27}, ESCAPE},
    {{127, 127}, named(Key::Backspace)},
    {{57358, 57363}, OTHER},           // lock keys, print screen, pause, menu
    {{57376, 57398}, OTHER},           // F13 to F35
    {{57399, 57408}, character('0')},  // keypad 0 to 9
    {{57409, 57410}, character('.')},  // keypad . and /
    {{57411, 57411}, character('*')},
    {{57412, 57412}, character('-')},
    {{57413, 57413}, character('+')},
    {{57414, 57414}, ENTER},
    {{57415, 57415}, character('=')},
    {{57416, 57416}, character(',')},
    {{57417, 57417}, named(Key::Left)},  // keypad navigation
    {{57418, 57418}, named(Key::Right)},
    {{57419, 57419}, named(Key::Up)},
    {{57420, 57420}, named(Key::Down)},
    {{57421, 57421}, named(Key::PageUp)},
    {{57422, 57422}, named(Key::PageDown)},
    {{57423, 57423}, named(Key::Home)},
    {{57424, 57424}, named(Key::End)},
    {{57425, 57425}, named(Key::Insert)},
    {{57426, 57426}, named(Key::Delete)},
    {{57427, 57454}, OTHER},  // keypad begin, media keys, modifier keys
};

// ---- Helpers ----------------------------------------------------------------------------------

bool in(std::uint32_t n, const Range& r) {
    return n >= r.first && n <= r.last;
}
bool is_scalar(std::uint32_t c) {
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}
bool is_digit(std::uint8_t b) {
    return b >= '0' && b <= '9';
}
bool is_letter_final(std::uint8_t b) {
    return b != 0 && LETTER_FINALS.find(char(b)) != LETTER_FINALS.npos;
}
Key letter_key(std::uint8_t b) {
    return LETTER_KEYS[LETTER_FINALS.find(char(b))];
}

constexpr Decoded NEED_MORE{Outcome::NeedMore, {}}, INVALID{Outcome::Invalid, {}};
constexpr Decoded REPLY{Outcome::Complete, {{}, true}};
Decoded complete(Event e) {
    return {Outcome::Complete, {e, false}};
}
// A well-formed sequence whose event poll_key reports as None.
Decoded other_if(bool ok) {
    return ok ? complete(OTHER) : INVALID;
}

std::string_view params(const std::uint8_t* b, std::size_t from, std::size_t to) {
    return {reinterpret_cast<const char*>(b) + from, to - from};
}

// The index-th piece of `s` cut at `sep`, or nullopt when there are fewer pieces. An empty
// string has one empty piece, which then fails as a number rather than as a missing field.
std::optional<std::string_view> piece(std::string_view s, std::size_t index, char sep) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < index; ++i) {
        const std::size_t at = s.find(sep, start);
        if (at == std::string_view::npos) return std::nullopt;
        start = at + 1;
    }
    return s.substr(start, s.find(sep, start) - start);
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

// Modifier bits sent as the bits plus one; nullopt when `field` is absent or not a number.
std::optional<std::uint32_t> modifier_bits(std::optional<std::string_view> field) {
    const auto mask = field ? number(field, U8) : std::nullopt;
    if (!mask) return std::nullopt;
    return *mask == 0 ? 0 : *mask - 1;
}
// The modifier bits of the second ";" field, "modifiers[:kind]".
std::optional<std::uint32_t> modifiers(std::string_view ps) {
    const auto field = piece(ps, 1, ';');
    return modifier_bits(field ? piece(*field, 0, ':') : std::nullopt);
}

// ---- Sequences --------------------------------------------------------------------------------

// Cb ; Cx ; Cy as decimal fields (SGR and rxvt reports).
bool is_mouse_fields(std::string_view ps) {
    return number(piece(ps, 0, ';'), U8) && number(piece(ps, 1, ';'), U16) && number(piece(ps, 2, ';'), U16);
}

// ESC [ code[:alternate] [; modifiers[:kind]] ... u
Decoded decode_kitty(std::string_view ps) {
    const std::string_view codes = *piece(ps, 0, ';');
    const auto code = number(piece(codes, 0, ':'), U32);
    if (!code) return INVALID;
    Event e = character(*code);
    const KittyKey* row = std::find_if(std::begin(KITTY_KEYS), std::end(KITTY_KEYS),
                                       [&](const KittyKey& k) { return in(*code, k.codes); });
    if (row != std::end(KITTY_KEYS)) {
        e = row->event;
        if (e.key_class == KeyClass::Char) e.ch += *code - row->codes.first;
    } else if (!is_scalar(*code)) {
        return INVALID;
    }
    // With alternate-key reporting the shifted character follows the code. Shift is what makes
    // the terminal send it, and only with Shift held does it stand for the key (a Shift key
    // reported without it stays a modifier key).
    // The shifted character carries the Shift itself.
    std::uint32_t held = modifiers(ps).value_or(0);
    const auto alternate = number(piece(codes, 1, ':'), U32);
    if (alternate && is_scalar(*alternate) && (held & SHIFT)) {
        e = character(*alternate);
        held &= ~std::uint32_t{SHIFT};
    }
    return complete(with(e, held));
}

// ESC [ [1] [; modifiers[:kind]] letter. Old terminals put the modifier digit straight before
// the letter (ESC [ 5 A), which is why a missing field is fine after a digit.
Decoded decode_modified_letter(const std::uint8_t* b, std::size_t n) {
    const std::string_view ps = params(b, 2, n - 1);
    auto held = modifiers(ps);
    if (!held && is_digit(b[n - 2])) held = modifier_bits(piece(ps, 0, ';'));
    if (!held || !is_letter_final(b[n - 1])) return INVALID;
    return complete(named(letter_key(b[n - 1]), static_cast<std::uint8_t>(*held & MODIFIER_MASK)));
}

// ESC [ ? ... u (keyboard flags) or ESC [ ? ... c (device attributes). Every other final is
// waited past: these are replies the host asked for, and their end will come.
Decoded decode_private(const std::uint8_t* b, std::size_t n) {
    const std::uint8_t f = b[n - 1];
    if (f == 'c') return REPLY;
    if (f != 'u') return NEED_MORE;
    return number(params(b, 3, n - 1), U8) ? REPLY : INVALID;
}

Decoded decode_csi(const std::uint8_t* b, std::size_t n) {
    if (n == 2) return NEED_MORE;
    const std::uint8_t c = b[2];
    const std::uint8_t f = b[n - 1];
    if (c != 0 && CSI_BARE.find(char(c)) != CSI_BARE.npos) {
        if (c == 'Z') return complete(named(Key::Tab, SHIFT));               // BackTab
        return complete(is_letter_final(c) ? named(letter_key(c)) : OTHER);  // else focus reports
    }
    switch (c) {
        case 'M':  // X10 mouse: ESC [ M and three raw bytes
            return n < 6 ? NEED_MORE : complete(OTHER);
        case '<':  // SGR mouse: ESC [ < Cb ; Cx ; Cy, then M (press) or m (release)
            if (f != 'M' && f != 'm') return NEED_MORE;
            return other_if(is_mouse_fields(params(b, 3, n - 1)));
        case '?':
            return decode_private(b, n);
        case '[':  // the Linux console's F1 to F5
            if (n == 3) return NEED_MORE;
            if (b[3] < 'A' || b[3] > 'E') return INVALID;
            return complete(named(static_cast<Key>(int(Key::F1) + (b[3] - 'A'))));
        default:
            break;
    }
    if (c != ';' && !is_digit(c)) return INVALID;

    // Parameter bytes and intermediates run until a final byte in 0x40..0x7E (so "ESC [ 1" and
    // "ESC [ ;" wait: digits and ";" lie below it).
    if (f < 0x40 || f > 0x7E) return NEED_MORE;
    // A leading ";" is a modified letter whose first parameter (the 1) was left out.
    if (c == ';') return decode_modified_letter(b, n);
    if (params(b, 0, n).starts_with(PASTE_START)) {
        const bool closed =
            n >= PASTE_START.size() + PASTE_END.size() && params(b, 0, n).ends_with(PASTE_END);
        return closed ? complete(OTHER) : NEED_MORE;
    }
    const std::string_view ps = params(b, 2, n - 1);
    switch (f) {
        case 'M':
            return other_if(is_mouse_fields(ps));  // rxvt mouse
        case '~': {
            const auto key = number(piece(ps, 0, ';'), U8);
            const bool known = key && std::any_of(std::begin(TILDE_KEYS), std::end(TILDE_KEYS),
                                                  [&](const Range& r) { return in(*key, r); });
            if (!known) return INVALID;
            const Key name = *key < std::size(TILDE_NAMES) ? TILDE_NAMES[*key] : Key::None;
            return complete(name == Key::None ? OTHER : with(named(name), modifiers(ps).value_or(0)));
        }
        case 'R':  // cursor position: ESC [ row ; column R
            return number(piece(ps, 0, ';'), U16) && number(piece(ps, 1, ';'), U16) ? REPLY : INVALID;
        case 'u':
            return decode_kitty(ps);
        default:
            return decode_modified_letter(b, n);
    }
}

// One typed character. Incomplete input is judged by the lead byte's announced length alone, so
// some ill-formed sequences (E0 80) wait for their last byte before being refused as a whole.
Decoded decode_char(const std::uint8_t* b, std::size_t n) {
    static constexpr std::uint8_t LEAD_MASK[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    static constexpr char32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};  // below: overlong
    const std::uint8_t b0 = b[0];
    const std::size_t length = b0 < 0x80   ? 1
                               : b0 < 0xC0 ? 0
                               : b0 < 0xE0 ? 2
                               : b0 < 0xF0 ? 3
                               : b0 < 0xF8 ? 4
                                           : 0;
    if (length == 0 || n > length) return INVALID;
    char32_t c = b0 & LEAD_MASK[length];
    for (std::size_t i = 1; i < n; ++i) {
        if ((b[i] & 0xC0) != 0x80) return INVALID;
        c = (c << 6) | (b[i] & 0x3F);
    }
    if (n < length) return NEED_MORE;
    return c >= SMALLEST[length] && is_scalar(c) ? complete(character(c)) : INVALID;
}

Decoded decode_escape(const std::uint8_t* b, std::size_t n, bool more_input) {
    if (n == 1) return more_input ? NEED_MORE : complete(ESCAPE);
    switch (b[1]) {
        case ESC:
            return complete(ESCAPE);  // one Esc, as some terminals send Alt+Esc
        case '[':
            return decode_csi(b, n);
        case 'O':
            if (n == 2) return NEED_MORE;
            if (!is_letter_final(b[2])) return INVALID;
            return complete(named(letter_key(b[2])));
        default: {
            // Esc before an ordinary key is how terminals send Alt with it; poll_key reports the
            // key alone.
            Decoded d = decode(b + 1, n - 1, more_input);
            if (d.outcome == Outcome::Complete) d.item.event = with(d.item.event, ALT);
            return d;
        }
    }
}

}  // namespace

// ---- Public -----------------------------------------------------------------------------------

Decoded decode(const std::uint8_t* b, std::size_t n, bool more_input) {
    if (n == 0) return NEED_MORE;
    switch (b[0]) {
        case ESC:
            return decode_escape(b, n, more_input);
        // 0x0A is Enter, not Control-J: the terminal stays in its line mode, where the driver
        // turns the Enter key into a line feed.
        case '\r':
        case '\n':
            return complete(ENTER);
        case '\t':
            return complete(named(Key::Tab));
        case 0x7F:
            return complete(named(Key::Backspace));
        case 0x00:
            return complete(character(' ', CTRL));  // Control-Space
        default:
            break;
    }
    // The other control bytes are Control with a letter (0x03 is Control-C) or with 4 to 7.
    if (b[0] <= 0x1A) return complete(character(U'a' + (b[0] - 1u), CTRL));
    if (b[0] <= 0x1F) return complete(character(U'4' + (b[0] - 0x1Cu), CTRL));
    return decode_char(b, n);
}

Parser::Parser() {
    pending_.reserve(MAX_SEQUENCE_BYTES);
    queue_.reserve(QUEUE_CAPACITY);
}

void Parser::feed(std::uint8_t byte, bool more_input) {
    pending_.push_back(byte);
    if (over_cap_) pending_.erase(pending_.begin() + EDGE_BYTES);  // slides the kept tail
    const Decoded d = decode(pending_.data(), pending_.size(), more_input);
    const bool paste = params(pending_.data(), 0, pending_.size()).starts_with(PASTE_START);
    if (d.outcome == Outcome::NeedMore) {
        if (over_cap_ || pending_.size() < (paste ? MAX_PASTE_BYTES : MAX_SEQUENCE_BYTES)) return;
        pending_.erase(pending_.begin() + EDGE_BYTES, pending_.end() - EDGE_BYTES);
        over_cap_ = true;
        return;
    }
    // Past the cap only a paste is reported: any other sequence was judged on its edges alone.
    if (d.outcome == Outcome::Complete && (!over_cap_ || paste)) {
        // Reuse the taken slots before the vector would reallocate.
        if (head_ > 0 && queue_.size() == queue_.capacity()) {
            queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
        queue_.push_back(d.item);
    }
    pending_.clear();
    over_cap_ = false;
}

void Parser::feed(const std::uint8_t* bytes, std::size_t len, bool more_after) {
    for (std::size_t i = 0; i < len; ++i) feed(bytes[i], i + 1 < len || more_after);
}

bool Parser::pop(Item& out) {
    if (head_ == queue_.size()) return false;
    out = queue_[head_++];
    if (head_ == queue_.size()) {
        queue_.clear();
        head_ = 0;
    }
    return true;
}

std::string key_name(const Event& e) {
    static constexpr const char* NAMES[] = {
        "",     "",    "enter",  "esc",      "tab",    "backspace", "up",  "down", "right", "left",
        "home", "end", "pageup", "pagedown", "insert", "delete",    "f1",  "f2",   "f3",    "f4",
        "f5",   "f6",  "f7",     "f8",       "f9",     "f10",       "f11", "f12",  "resize"};
    static_assert(std::size(NAMES) == std::size_t(Key::Resize) + 1);
    if (e.key == Key::None) return {};
    std::string out;
    for (const auto& [bit, prefix] :
         {std::pair{CTRL, "ctrl+"}, {ALT, "alt+"}, {SHIFT, "shift+"}, {SUPER, "super+"}})
        if (e.modifiers & bit) out += prefix;
    return out + (e.key == Key::Char ? encode_utf8(e.ch) : NAMES[std::size_t(e.key)]);
}

std::string encode_utf8(char32_t c) {
    if (!is_scalar(c)) c = 0xFFFD;
    if (c < 0x80) return std::string(1, static_cast<char>(c));
    const std::size_t len = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    std::string out(len, '\0');
    for (std::size_t i = len - 1; i > 0; --i, c >>= 6) out[i] = static_cast<char>(0x80 | (c & 0x3F));
    out[0] = static_cast<char>(((0xFF00 >> len) & 0xFF) | c);  // lead bits 110, 1110 or 11110
    return out;
}

}  // namespace corvane::keys
