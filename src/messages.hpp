// Every text the module shows Python, in one place: argument errors, the core's failures, panics.
//
// Contract:
// - Plain functions from data to text; no Python calls, any thread.
// - `describe` is the one table that says how each core `Fault` reaches Python (RuntimeError or
//   PanicException) and with which words; the binding raises what it says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/recording/reader.hpp"

namespace corvane::msg {

inline constexpr const char* STR_TO_VEC = "Can't extract `str` to `Vec`";
inline constexpr const char* OUT_OF_RANGE = "out of range integral type conversion attempted";
inline constexpr const char* ALREADY_BORROWED = "Already borrowed";
inline constexpr const char* ALREADY_MUTABLY_BORROWED = "Already mutably borrowed";
inline constexpr const char* DROPPED_ELSEWHERE =
    "_corvane::Corvane is unsendable, but is being dropped on another thread";
inline constexpr const char* INIT_ONCE =
    "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per interpreter process";

inline constexpr const char* WIRE_COLORS = "colors must be 24, 256 or 16";
inline constexpr const char* WIRE_TOLERANCE = "tolerance must be 0 to 64";
inline constexpr const char* WIRE_PALETTE_DEPTH = "palette indices exist at 256 and 16 colours only";
inline constexpr const char* WIRE_NEGATIVE_SIZE = "width and height must not be negative";
inline constexpr const char* SIXEL_COLORS = "colors must be 1 to 256";
inline constexpr const char* CELL_SHAPE = "shape must be 'half', 'quadrant', 'sextant' or 'octant'";
inline constexpr const char* FRAME_EMPTY = "a frame is at least 1 x 1 pixels";

std::string too_many_positional(const char* function, int params, std::int64_t given);
std::string multiple_values(const char* function, const std::string& key);
std::string unexpected_keyword(const char* function, const std::string& key);
std::string missing_required(const char* function, const std::vector<const char*>& names);
std::string cannot_convert(const std::string& type, const char* target);
std::string argument_prefix(const char* name, const std::string& message);
std::string unsendable(const char* type_path, std::uint64_t caller, std::uint64_t owner);
std::string frame_length(std::size_t given, std::int32_t width, std::int32_t height, std::size_t need);
std::string panic_note(const std::string& message);

// "No such file or directory (os error 2)", or the fixed text of a failure of our own.
std::string io_display(const IoError& error);
// `Os { code: 2, kind: NotFound, message: "..." }` and the like, as panic messages quote them.
std::string io_debug(const IoError& error);

struct Described {
    bool panic;  // PanicException, else RuntimeError
    std::string text;
};
Described describe(const Error& error);

// What is wrong with a recording, without the record and offset: "header cut short: 10 of 21 bytes".
std::string damage_text(const RecordDamage& damage);
inline constexpr const char* RECORDING_CLOSED = "the recording is closed";
inline constexpr const char* RECORDING_FRAME_SHAPE =
    "a frame is rows x cols x 3 bytes, rows and cols positive";

}  // namespace corvane::msg
