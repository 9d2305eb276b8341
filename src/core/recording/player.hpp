// The player: a recording shown on the terminal, frame by frame, at most one frame per 33 ms.
//
// Contract:
// - `play_recording` reads the file at `path` through a `RecordingReader`, rebuilds each frame
//   (a key frame as inflated, a delta applied in place to the frame before it), optionally
//   sharpens it, scales it to the terminal of the moment and draws it with the given renderer,
//   between the enter and leave sequences of the full-screen mode. It owns only its locals.
// - Failures are `Error`s. Before anything is written: kOpen (the file cannot be opened),
//   kInvalidFormat, kStep for a file too short for its signature. After the screen was entered
//   the leave sequence is not written: kStep (a record cut short, a corrupt payload, a failed
//   write), kShortPayload, kDeltaTooLarge, kLibrary, kMissingPlane.
// - The caller's `PlayHooks` decide how the pacing sleep is spent and whether the playback stops
//   between frames or while the open waits (a FIFO without its peer); a stopped playback leaves
//   the screen (if it entered it) and reports `kInterrupted`.
#pragma once

#include <chrono>
#include <string>

#include "core/error.hpp"
#include "core/stream/renderer.hpp"

namespace corvane {

inline constexpr std::chrono::nanoseconds FRAME_PERIOD = std::chrono::milliseconds(33);

struct PlayHooks {
    // Sleeps for the given time; true when the playback must stop instead of going on.
    bool (*sleep)(std::chrono::nanoseconds, void* context) = nullptr;
    // True when the playback must stop now.
    bool (*stop_requested)(void* context) = nullptr;
    void* context = nullptr;
};

enum class PlayEnd { kFinished, kInterrupted };

Result<PlayEnd> play_recording(const std::string& path, TerminalRenderer& renderer, float sharpen,
                               const PlayHooks& hooks = {});

}  // namespace corvane
