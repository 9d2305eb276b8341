// Frame bytes from the objects Python programs hold, without a Python call per byte.
//
// Contract:
// - `ByteInput` is the `data` of one call: a pointer and a length that stay valid as long as the
//   ByteInput lives, because it keeps a reference to (or an export of, or a copy of) their owner.
// - `take_contiguous_bytes` handles the objects whose bytes lie in one block: bytearray, and
//   memoryview, array.array and numpy.ndarray (exact types, one dimension, format 'B'). It gives
//   the same bytes the element-by-element conversion gives, in iteration order, and declines
//   anything else so that the element path (and its exceptions) applies.
// - Borrowing the block is allowed only when no Python code can run before the bytes are used;
//   otherwise they are copied at once.
// - The buffer protocol is used only where the running interpreter offers it in its stable ABI
//   (3.11 on), found at run time; older ones get one copy through `bytes(memoryview)`.
// Needs the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "py_ref.hpp"

namespace corvane::py {

struct BufferExport;  // a held buffer export, released with the ByteInput

struct ByteInput {
    ByteInput() = default;
    ~ByteInput();
    ByteInput(const ByteInput&) = delete;
    ByteInput& operator=(const ByteInput&) = delete;

    PyRef holder;
    BufferExport* view = nullptr;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::vector<std::uint8_t> owned;

    void use_owned() {
        data = owned.data();
        size = owned.size();
    }
};

enum class Intake { kTaken, kDeclined, kFailed };

Intake take_contiguous_bytes(PyObject* obj, ByteInput& out, bool may_borrow);

}  // namespace corvane::py
