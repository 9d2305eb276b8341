// What the binding files of `corvane._native` share: the check of a frame's arguments, and the
// registration of each file's functions in the module.
// Needs the interpreter lock.
#pragma once

#include <cstdint>

#include "binding.hpp"
#include "core/stream/cells.hpp"

namespace corvane::native {

// Raises ValueError with `text`; returns NULL.
PyObject* value_error(const char* text);
// A frame's (data, width, height): converted, sizes not negative, and data of exactly their size.
bool frame_arguments(PyObject* const* argv, py::ByteInput& data, std::int32_t& width, std::int32_t& height);
// A cell shape's name ("half", "quadrant", "sextant", "octant"); ValueError for any other.
bool to_shape(PyObject* obj, wire::CellShape& out);
// native_frame.cpp: `sharpen` and `scale`. False with an exception set on failure.
bool add_frame_functions(PyObject* module);
// native_graphics.cpp: `sixel`, `kitty_image`, `kitty_delete` and `cells`.
bool add_graphics_functions(PyObject* module);
// native_keys.cpp: `poll_key`.
bool add_key_functions(PyObject* module);

}  // namespace corvane::native
