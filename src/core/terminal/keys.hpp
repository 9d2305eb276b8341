// Terminal key-input decoding.
//
// Contract:
// - Turns the raw bytes a terminal sends into items: events (keys, mouse reports, pasted text,
//   focus changes) and replies to queries (cursor position, keyboard flags, device attributes).
//   It does no I/O; the input reader owns descriptors and signals and hands bytes in here.
// - An event has two views. `key_class` and `ch` are what poll_key observes: Enter, Esc, a
//   character, or "something else". `key` and `modifiers` name the key for readers that know
//   more (arrows, Home, F1 to F12, Tab with Shift, a character with Control); `key_name` spells
//   them. Mouse coordinates, pasted text and keys without a name here (F13 and up, media keys) are
//   recognised (a sequence must be well-formed to count) but not kept. Replies are marked so the
//   reader can drop them.
// - `decode()` is a pure function of the bytes of one candidate sequence and the *more input*
//   flag of its last byte (true when more bytes of the same read follow, the only way to tell a
//   lone Esc key from the start of a sequence). It answers: complete, need more, or invalid.
// - `Parser` owns the pending bytes of the sequence being decoded and a FIFO of items. Its
//   buffers are reserved up front and the pending bytes are capped, so no stream grows them
//   without limit.
// - Threads: `decode()` is reentrant; a `Parser` is used by one thread at a time (whoever holds
//   the input reader's mutex).
// - Failures: malformed input is dropped silently and decoding goes on with the next byte.
//   Nothing throws except std::bad_alloc from the buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace corvane::keys {

// None stands for every other key and every event that is not a key (mouse, paste, focus,
// resize): poll_key reports them all as None.
enum class KeyClass : std::uint8_t { None, Enter, Esc, Char };

// The named view. None: no key a reader names (mouse, paste, focus, F13 and up, media keys).
// Resize: the terminal's size changed (the input reader makes these, the decoder never does).
enum class Key : std::uint8_t {
    None,
    Char,
    Enter,
    Esc,
    Tab,
    Backspace,
    Up,
    Down,
    Right,
    Left,
    Home,
    End,
    PageUp,
    PageDown,
    Insert,
    Delete,
    F1,
    F2,
    F3,
    F4,
    F5,
    F6,
    F7,
    F8,
    F9,
    F10,
    F11,
    F12,
    Resize,
};

// Modifier bits as terminals send them (their number minus one); Caps Lock, Num Lock and the
// rarer Hyper and Meta are dropped, so a key reads the same whatever the lock keys.
inline constexpr std::uint8_t SHIFT = 1, ALT = 2, CTRL = 4, SUPER = 8;
inline constexpr std::uint8_t MODIFIER_MASK = SHIFT | ALT | CTRL | SUPER;

struct Event {
    KeyClass key_class = KeyClass::None;
    char32_t ch = 0;  // a Unicode scalar value for KeyClass::Char and Key::Char, else 0
    Key key = Key::None;
    // Held with the key. A character with Shift is the shifted character without it.
    std::uint8_t modifiers = 0;
    friend bool operator==(const Event&, const Event&) = default;
};

// The event's name: "ctrl+", "alt+", "shift+", "super+" (in that order, for those held), then
// the character itself or "enter", "esc", "tab", "backspace", "up", "down", "right", "left",
// "home", "end", "pageup", "pagedown", "insert", "delete", "f1" to "f12", "resize". Empty for
// Key::None.
std::string key_name(const Event& event);

struct Item {
    Event event;
    bool reply = false;  // an answer the terminal sent to some query, never a key
    friend bool operator==(const Item&, const Item&) = default;
};

inline const Event* event_of(const Item& item) {
    return item.reply ? nullptr : &item.event;
}

enum class Outcome : std::uint8_t { Complete, NeedMore, Invalid };

struct Decoded {
    Outcome outcome = Outcome::NeedMore;
    Item item;  // meaningful only when outcome is Complete
};

// Decodes `bytes` as one sequence. The parser calls it after every byte, so Complete means the
// whole buffer is exactly one item.
Decoded decode(const std::uint8_t* bytes, std::size_t len, bool more_input);

// Accumulates bytes until they form an item or turn out invalid.
//
// Pending cap: a bracketed paste may hold up to MAX_PASTE_BYTES (markers included), any other
// sequence MAX_SEQUENCE_BYTES. A sequence that reaches its cap still incomplete is discarded up
// to its end, as the decoder would find it: the bytes in between are passed over, not kept, and
// the end gives one Paste event for a paste and nothing for any other sequence. So no byte of an
// over-long paste ever comes back as a key, and memory stays bounded. 256 bytes is far above any
// real key, mouse or reply sequence, and 64 KiB covers any paste a person makes into a video
// player.
class Parser {
  public:
    static constexpr std::size_t QUEUE_CAPACITY = 128;
    static constexpr std::size_t MAX_SEQUENCE_BYTES = 256;
    static constexpr std::size_t MAX_PASTE_BYTES = 64 * 1024;

    Parser();

    void feed(std::uint8_t byte, bool more_input);
    // One read's worth: every byte but the last has more input after it; the last one has
    // `more_after` (true when the read did not take all the terminal held).
    void feed(const std::uint8_t* bytes, std::size_t len, bool more_after);

    bool has_item() const { return head_ < queue_.size(); }
    // Takes the oldest item; false when the queue is empty.
    bool pop(Item& out);
    std::size_t pending_size() const { return pending_.size(); }

  private:
    // Past the cap, pending_ keeps the sequence's first EDGE_BYTES and its last EDGE_BYTES only:
    // all the decoder reads to tell where a sequence ends (its kind, its final byte, a paste's
    // end marker).
    static constexpr std::size_t EDGE_BYTES = 6;
    static_assert(2 * EDGE_BYTES <= MAX_SEQUENCE_BYTES);

    std::vector<std::uint8_t> pending_;
    bool over_cap_ = false;
    // A FIFO over a vector (items before head_ are taken): it keeps its reserved storage and is
    // compacted instead of growing while taken slots can be reused.
    std::vector<Item> queue_;
    std::size_t head_ = 0;
};

// UTF-8 bytes of a Unicode scalar value (U+FFFD for anything that is not one).
std::string encode_utf8(char32_t c);

}  // namespace corvane::keys
