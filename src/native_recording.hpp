// The recording classes of `corvane._native`: `RecordingReader`, `RecordingWriter` and the
// `RecordingDamage` exception (src/native_recording.cpp).
#pragma once

#include "py_ref.hpp"

namespace corvane {

// Adds the classes and the exception to the module; false with a Python exception set.
bool add_recording_types(PyObject* module);

}  // namespace corvane
