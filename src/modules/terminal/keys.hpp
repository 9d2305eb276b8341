// Terminal key-input decoding.
//
// Contract:
// - Turns the raw bytes a terminal sends into items: events (keys, mouse reports, pasted text,
//   focus changes) and internal replies (cursor position, keyboard-enhancement flags, primary
//   device attributes). It does no I/O and knows nothing about descriptors, signals or Python;
//   the input reader owns those and hands bytes in here.
// - `decode()` is a pure function of the bytes of one candidate sequence and the *more input*
//   flag of its last byte (true when more bytes of the same read follow it, which is the only way
//   to tell a lone Esc key from the start of an escape sequence). It answers: a complete item,
//   need more bytes, or invalid.
// - `Parser` owns the bytes of the sequence being decoded and a FIFO of decoded items; popped
//   items are moved out to the caller. Both buffers are reserved up front (pending 256 bytes,
//   queue 128 items) and the pending buffer is capped (see `Parser`), so no input stream can make
//   it grow without limit.
// - Threads: `decode()` and the free helpers are reentrant. A `Parser` is not synchronised: one
//   thread at a time, which in practice is whoever holds the input reader's mutex.
// - Failures: malformed input is not an error of the caller, so an invalid sequence is dropped
//   silently and never reported; decoding goes on with the next byte. Nothing here throws except
//   std::bad_alloc from the buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace corvane::keys {

// ---- Keys -----------------------------------------------------------------------------------

enum class Key : std::uint8_t {
    Enter, Esc, Char,  // the three that poll_key reports
    Backspace, Tab, BackTab, Up, Down, Left, Right, Home, End, PageUp, PageDown, Insert, Delete,
    F,            // value: the function key number, 1 and up
    KeypadBegin, CapsLock, ScrollLock, NumLock, PrintScreen, Pause, Menu,
    Media,        // value: a MediaKey
    Modifier,     // value: a ModifierKey (the key itself was pressed, e.g. left Shift alone)
};

enum class MediaKey : std::uint8_t {
    Play, Pause, PlayPause, Reverse, Stop, FastForward, Rewind, TrackNext, TrackPrevious, Record,
    LowerVolume, RaiseVolume, MuteVolume,
};

// Left keys first, then right keys, each in the order of the modifier bits' names below, so
// that `value % 6` picks the modifier a modifier key stands for.
enum class ModifierKey : std::uint8_t {
    LeftShift, LeftControl, LeftAlt, LeftSuper, LeftHyper, LeftMeta,
    RightShift, RightControl, RightAlt, RightSuper, RightHyper, RightMeta,
    IsoLevel3Shift, IsoLevel5Shift,
};

// One value type for every key so that tables can hold them: `value` is the character for
// Char, the number for F, the enumerator for Media and Modifier, and 0 otherwise.
struct KeyCode {
    Key key = Key::Char;
    std::uint32_t value = 0;

    static constexpr KeyCode of(Key k) { return {k, 0}; }
    static constexpr KeyCode character(char32_t c) { return {Key::Char, c}; }
    static constexpr KeyCode function(unsigned n) { return {Key::F, n}; }
    static constexpr KeyCode media(MediaKey m) { return {Key::Media, static_cast<std::uint32_t>(m)}; }
    static constexpr KeyCode modifier(ModifierKey m) {
        return {Key::Modifier, static_cast<std::uint32_t>(m)};
    }
    friend constexpr bool operator==(const KeyCode&, const KeyCode&) = default;
};

// Modifier bits. They equal the terminal protocols' own bits (modifier field minus one), so a
// decoded field maps onto them without translation.
using Modifiers = std::uint8_t;
namespace mod {
inline constexpr Modifiers Shift = 1, Alt = 2, Control = 4, Super = 8, Hyper = 16, Meta = 32;
}

// Extra key state bits reported by the keyboard protocol.
using KeyState = std::uint8_t;
namespace state {
inline constexpr KeyState Keypad = 1, CapsLock = 2, NumLock = 4;
}

enum class KeyKind : std::uint8_t { Press, Repeat, Release };

struct KeyEvent {
    KeyCode code;
    Modifiers modifiers = 0;
    KeyKind kind = KeyKind::Press;
    KeyState state = 0;
    friend bool operator==(const KeyEvent&, const KeyEvent&) = default;
};

// ---- Other events ---------------------------------------------------------------------------

enum class MouseAction : std::uint8_t {
    Down, Up, Drag, Moved, ScrollUp, ScrollDown, ScrollLeft, ScrollRight,
};
// None where the report does not say (motion, scrolling, and the legacy release report).
enum class MouseButton : std::uint8_t { None, Left, Middle, Right };

struct MouseEvent {
    MouseAction action = MouseAction::Moved;
    MouseButton button = MouseButton::None;
    std::uint16_t column = 0;  // zero-based; the terminal counts from 1
    std::uint16_t row = 0;
    Modifiers modifiers = 0;   // only Shift, Alt and Control can be reported
    friend bool operator==(const MouseEvent&, const MouseEvent&) = default;
};

struct PasteEvent {
    std::string text;  // UTF-8; ill-formed input bytes are replaced by U+FFFD
    friend bool operator==(const PasteEvent&, const PasteEvent&) = default;
};

// Never produced by the decoder; the reader makes it from SIGWINCH and queues it like the rest.
struct ResizeEvent {
    std::uint16_t columns = 0;
    std::uint16_t rows = 0;
    friend bool operator==(const ResizeEvent&, const ResizeEvent&) = default;
};

struct FocusGained {
    friend bool operator==(const FocusGained&, const FocusGained&) = default;
};
struct FocusLost {
    friend bool operator==(const FocusLost&, const FocusLost&) = default;
};

using Event = std::variant<KeyEvent, MouseEvent, PasteEvent, ResizeEvent, FocusGained, FocusLost>;

// In the order of Event's alternatives, so the class is the variant's index.
enum class EventClass : std::uint8_t { Key, Mouse, Paste, Resize, FocusGained, FocusLost };

inline EventClass event_class(const Event& e) { return static_cast<EventClass>(e.index()); }

// ---- Internal replies -----------------------------------------------------------------------
// Answers to queries the host program may have sent; the reader keeps them out of poll_key's way.

struct CursorPosition {
    std::uint16_t column = 0;  // zero-based
    std::uint16_t row = 0;
    friend bool operator==(const CursorPosition&, const CursorPosition&) = default;
};

struct KeyboardEnhancementFlags {
    std::uint8_t flags = 0;  // the protocol's bit set as sent (1 disambiguate, 2 event types, ...)
    friend bool operator==(const KeyboardEnhancementFlags&, const KeyboardEnhancementFlags&) = default;
};

struct PrimaryDeviceAttributes {
    friend bool operator==(const PrimaryDeviceAttributes&, const PrimaryDeviceAttributes&) = default;
};

using Reply = std::variant<CursorPosition, KeyboardEnhancementFlags, PrimaryDeviceAttributes>;

using Item = std::variant<Event, Reply>;

inline const Event* event_of(const Item& item) { return std::get_if<Event>(&item); }

// ---- Decoding -------------------------------------------------------------------------------

enum class Outcome : std::uint8_t { Complete, NeedMore, Invalid };

struct Decoded {
    Outcome outcome = Outcome::NeedMore;
    Item item;  // meaningful only when outcome is Complete
};

// Decodes `bytes` as one sequence. The parser calls it after every byte, so the answer is about
// the whole buffer: Complete means the buffer is exactly one item (longer buffers are not
// scanned for a second item).
Decoded decode(const std::uint8_t* bytes, std::size_t len, bool more_input);

// ---- Parser ---------------------------------------------------------------------------------

// Accumulates bytes until they form an item or turn out invalid.
//
// Pending-buffer cap: a bracketed paste may hold up to kMaxPasteBytes (markers included), any
// other sequence up to kMaxSequenceBytes. A sequence that reaches its cap while still incomplete
// is dropped like an invalid one and the following bytes decode afresh. So an endless CSI or an
// unterminated paste costs at most 64 KiB and never blocks later keys; the price is that the
// tail of an over-long paste arrives as ordinary keys rather than being swallowed until a closing
// marker that might never come. 256 bytes is far above any real key, mouse or reply sequence, and
// 64 KiB covers any paste a person makes into a video player.
class Parser {
public:
    static constexpr std::size_t kPendingCapacity = 256;
    static constexpr std::size_t kQueueCapacity = 128;
    static constexpr std::size_t kMaxSequenceBytes = 256;
    static constexpr std::size_t kMaxPasteBytes = 64 * 1024;

    Parser();

    void feed(std::uint8_t byte, bool more_input);
    // Feeds one read's worth: every byte but the last has more input after it; the last one has
    // `more_after` (true when the read filled the caller's buffer).
    void feed(const std::uint8_t* bytes, std::size_t len, bool more_after);

    bool has_item() const { return head_ < queue_.size(); }
    std::size_t queued() const { return queue_.size() - head_; }
    // Moves the oldest item into `out`; false when the queue is empty.
    bool pop(Item& out);

    std::size_t pending_size() const { return pending_.size(); }

private:
    void push(Item&& item);

    std::vector<std::uint8_t> pending_;
    // A FIFO over a vector: items before head_ are taken. It keeps its reserved storage instead
    // of a deque's chunk churn, and it is compacted before it would grow.
    std::vector<Item> queue_;
    std::size_t head_ = 0;
};

// ---- Helpers for poll_key -------------------------------------------------------------------

enum class KeyClass : std::uint8_t { None, Enter, Esc, Char };

struct Classified {
    KeyClass key_class = KeyClass::None;
    char32_t ch = 0;  // set for KeyClass::Char
};

// What poll_key reports for an event: only the key code counts, never modifiers or kind.
Classified classify(const Event& event);

// UTF-8 bytes of a Unicode scalar value (U+FFFD for anything that is not one).
std::string encode_utf8(char32_t c);

// Whether c is an upper-case letter (the Unicode Uppercase property); decides the Shift bit of
// plainly typed characters.
bool is_upper(char32_t c);

}  // namespace corvane::keys
