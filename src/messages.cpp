#include "messages.hpp"

#include <cstdio>
#include <cstring>

namespace corvane::msg {
namespace {

constexpr int STS_ERROR = -2;
constexpr int STS_OUT_OF_RANGE = -211;

// OpenCV's names of its error codes: 0 down to -31, and -201 down to -223.
const char* code_name(int code) {
    static constexpr const char* NAMES_FROM_ZERO[] = {"StsOk",
                                                      "StsBackTrace",
                                                      "StsError",
                                                      "StsInternal",
                                                      "StsNoMem",
                                                      "StsBadArg",
                                                      "StsBadFunc",
                                                      "StsNoConv",
                                                      "StsAutoTrace",
                                                      "HeaderIsNull",
                                                      "BadImageSize",
                                                      "BadOffset",
                                                      "BadDataPtr",
                                                      "BadStep",
                                                      "BadModelOrChSeq",
                                                      "BadNumChannels",
                                                      "BadNumChannel1U",
                                                      "BadDepth",
                                                      "BadAlphaChannel",
                                                      "BadOrder",
                                                      "BadOrigin",
                                                      "BadAlign",
                                                      "BadCallBack",
                                                      "BadTileSize",
                                                      "BadCOI",
                                                      "BadROISize",
                                                      "MaskIsTiled",
                                                      "StsNullPtr",
                                                      "StsVecLengthErr",
                                                      "StsFilterStructContentErr",
                                                      "StsKernelStructContentErr",
                                                      "StsFilterOffsetErr"};
    static constexpr const char* NAMES_FROM_201[] = {
        "StsBadSize",           "StsDivByZero",        "StsInplaceNotSupported",
        "StsObjectNotFound",    "StsUnmatchedFormats", "StsBadFlag",
        "StsBadPoint",          "StsBadMask",          "StsUnmatchedSizes",
        "StsUnsupportedFormat", "StsOutOfRange",       "StsParseError",
        "StsNotImplemented",    "StsBadMemBlock",      "StsAssert",
        "GpuNotSupported",      "GpuApiCallError",     "OpenGlNotSupported",
        "OpenGlApiCallError",   "OpenCLApiCallError",  "OpenCLDoubleNotSupported",
        "OpenCLInitError",      "OpenCLNoAMDBlasFft"};
    constexpr int LOW = int(std::size(NAMES_FROM_ZERO));
    constexpr int HIGH = int(std::size(NAMES_FROM_201));
    if (code <= 0 && code > -LOW) return NAMES_FROM_ZERO[-code];
    if (code <= -201 && code > -201 - HIGH) return NAMES_FROM_201[-201 - code];
    return nullptr;
}

// "MESSAGE (code: NAME, N)", or "MESSAGE (code: N)" for a code without a name.
std::string with_code(const std::string& message, int code) {
    std::string text = message + " (code: ";
    if (const char* name = code_name(code)) text += std::string(name) + ", ";
    return text + std::to_string(code) + ")";
}

constexpr const char* IO_KIND_NAMES[] = {
#define CORVANE_IO_KIND_NAME(name) #name,
    CORVANE_IO_KINDS(CORVANE_IO_KIND_NAME)
#undef CORVANE_IO_KIND_NAME
};

struct FixedText {
    const char* text;
    bool custom;  // debug form `Custom { kind, error }`, else `Error { kind, message }`
};

// Indexed by IoText.
constexpr FixedText FIXED_TEXTS[] = {
    {"", false},
    {"failed to fill whole buffer", false},
    {"failed to write whole buffer", false},
    {"failed to write the buffered data", false},
    {"file name contained an unexpected NUL byte", false},
    {"corrupt deflate stream", true},
    {"deflate compression error", true},
    {"Failed to initialize input reader", true},
};

std::string os_message(int code) {
    char buf[256];
    return strerror_r(code, buf, sizeof buf);  // the GNU form may return a static string instead
}

// A string literal as debug descriptions show it: quoted, with quotes, backslashes and control
// characters escaped.
std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char esc[12];
                    std::snprintf(esc, sizeof esc, "\\u{%x}", c);
                    out += esc;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

}  // namespace

std::string too_many_positional(const char* function, int params, std::int64_t given) {
    return std::string(function) + " takes " + std::to_string(params) + " positional arguments but " +
           std::to_string(given) + (given == 1 ? " was" : " were") + " given";
}

std::string multiple_values(const char* function, const std::string& key) {
    return std::string(function) + " got multiple values for argument '" + key + "'";
}

std::string unexpected_keyword(const char* function, const std::string& key) {
    return std::string(function) + " got an unexpected keyword argument '" + key + "'";
}

std::string missing_required(const char* function, const std::vector<const char*>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            if (names.size() > 2) list += ',';
            list += i + 1 == names.size() ? " and " : " ";
        }
        list.append(1, '\'').append(names[i]).append(1, '\'');
    }
    return std::string(function) + " missing " + std::to_string(names.size()) +
           " required positional argument" + (names.size() > 1 ? "s" : "") + ": " + list;
}

std::string cannot_convert(const std::string& type, const char* target) {
    return "'" + type + "' object cannot be converted to '" + target + "'";
}

std::string argument_prefix(const char* name, const std::string& message) {
    return "argument '" + std::string(name) + "': " + message;
}

std::string unsendable(const char* type_path, std::uint64_t caller, std::uint64_t owner) {
    return "assertion `left == right` failed: " + std::string(type_path) +
           " is unsendable, but sent to another thread\n  left: ThreadId(" + std::to_string(caller) +
           ")\n right: ThreadId(" + std::to_string(owner) + ")";
}

std::string frame_length(std::size_t given, std::int32_t width, std::int32_t height, std::size_t need) {
    return "data holds " + std::to_string(given) + " bytes, but a frame of width " + std::to_string(width) +
           " and height " + std::to_string(height) + " needs " + std::to_string(need) +
           " bytes (width x height x 3)";
}

std::string panic_note(const std::string& message) {
    return "thread '<unnamed>' panicked in _corvane:\n" + message + "\n";
}

std::string io_display(const IoError& error) {
    if (error.text != IoText::kNone) return FIXED_TEXTS[std::size_t(error.text)].text;
    return os_message(error.os_code) + " (os error " + std::to_string(error.os_code) + ")";
}

std::string io_debug(const IoError& error) {
    const std::string kind = IO_KIND_NAMES[std::size_t(error.kind)];
    if (error.text == IoText::kNone)
        return "Os { code: " + std::to_string(error.os_code) + ", kind: " + kind +
               ", message: " + quoted(os_message(error.os_code)) + " }";
    const FixedText& fixed = FIXED_TEXTS[std::size_t(error.text)];
    if (fixed.custom) return "Custom { kind: " + kind + ", error: " + quoted(fixed.text) + " }";
    return "Error { kind: " + kind + ", message: " + quoted(fixed.text) + " }";
}

Described describe(const Error& e) {
    switch (e.fault) {
        case Fault::kLibrary:
            return {false, with_code(e.text, e.code)};
        case Fault::kUnknownThrow:
            return {false, with_code("Unspecified error, neither from OpenCV nor from std", STS_ERROR)};
        case Fault::kInvalidFormat:
            return {false, with_code("Invalid Format", STS_ERROR)};
        case Fault::kOpen:
        case Fault::kCompress:
            return {false, with_code(io_display(e.io), STS_ERROR)};
        case Fault::kStep:
            return {true, "called `Result::unwrap()` on an `Err` value: " + io_debug(e.io)};
        case Fault::kPrint:
            return {true, "failed printing to stdout: " + io_display(e.io)};
        case Fault::kShortPayload:
            return {true, "range end index " + std::to_string(e.end) + " out of range for slice of length " +
                              std::to_string(e.length)};
        case Fault::kDeltaTooLarge: {
            const std::string len = std::to_string(e.length);
            return {true, "index out of bounds: the len is " + len + " but the index is " + len};
        }
        case Fault::kMissingPlane:
            return {false, with_code("Index: " + std::to_string(e.end) + " out of bounds: 0.." +
                                         std::to_string(e.length),
                                     STS_OUT_OF_RANGE)};
    }
    return {true, "unknown failure"};
}

std::string damage_text(const RecordDamage& d) {
    const auto n = [&](int i) { return std::to_string(d.n[i]); };
    switch (d.kind) {
        case DamageKind::kEmptyFile:
            return "not a recording (the file is empty)";
        case DamageKind::kNoSignature:
            return "not a recording (it does not begin with LZDX)";
        case DamageKind::kHeaderCut:
            return "header cut short: " + n(0) + " of " + n(1) + " bytes";
        case DamageKind::kUnknownType:
            return "unknown frame type " + n(0);
        case DamageKind::kEmptySize:
            return "frame size " + n(0) + " x " + n(1) + " is empty";
        case DamageKind::kDeltaFirst:
            return "delta frame with no frame before it";
        case DamageKind::kDeltaResized:
            return "delta frame of " + n(0) + " x " + n(1) + " after a frame of " + n(2) + " x " + n(3);
        case DamageKind::kPayloadCut:
            return "payload cut short: " + n(0) + " of " + n(1) + " bytes";
        case DamageKind::kCorruptStream:
            return "payload is no valid zlib stream (" + d.reason + ")";
        case DamageKind::kTooLong:
            return "payload inflates to more than " + n(0) + " bytes";
        case DamageKind::kStreamCut:
            return "payload ends inside its zlib stream after " + n(0) + " of " + n(1) + " bytes";
        case DamageKind::kTooShort:
            return "payload inflates to " + n(0) + " bytes, not " + n(1);
        case DamageKind::kStray:
            return n(0) + (d.n[0] == 1 ? " stray byte" : " stray bytes") + " after the zlib stream";
        case DamageKind::kFileChanged:
            return "payload cut short (the file changed)";
    }
    return "damaged";
}

}  // namespace corvane::msg
