// What the binding files of `corvane._native` share: the check of a frame's arguments, the
// objects that own one native encoder, and the registration of each file's functions in the module.
// Needs the interpreter lock.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <new>

#include "binding.hpp"
#include "core/stream/cells.hpp"

namespace corvane::native {

// Raises ValueError with `text`; returns NULL.
PyObject* value_error(const char* text);
// A frame's (data, width, height): converted, sizes not negative, and data of exactly their size.
bool frame_arguments(PyObject* const* argv, py::ByteInput& data, std::int32_t& width, std::int32_t& height);
// A cell shape's name ("half", "quadrant", "sextant", "octant"); ValueError for any other.
bool to_shape(PyObject* obj, wire::CellShape& out);
// Runs `work`, pure C++ over `data`, with the interpreter lock given up, so that the threads that
// decode and write go on meanwhile. What `work` throws is thrown again once the lock is back, for
// `translate`. A bytearray's block borrowed without an export is copied first: another thread
// could resize it under `work`.
template <class F>
void without_lock(py::ByteInput& data, F&& work) {
    if (!data.view && data.owned.empty() && data.holder && PyByteArray_CheckExact(data.holder.get())) {
        data.owned.assign(data.data, data.data + data.size);
        data.use_owned();
    }
    std::exception_ptr failed = py::without_lock([&]() noexcept -> std::exception_ptr {
        try {
            work();
            return nullptr;
        } catch (...) {
            return std::current_exception();
        }
    });
    if (failed) std::rethrow_exception(failed);
}
// A Python object owning one native encoder `E` (an owner thread checked by `own`).
template <class E>
struct EncoderObject {
    PyObject_HEAD E* encoder;
    py::Ownership own;
};

// A new object of `type` owning `encoder`; NULL with an exception set when allocation fails.
template <class E>
PyObject* wrap(PyTypeObject* type, std::unique_ptr<E> encoder) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    auto* obj = reinterpret_cast<EncoderObject<E>*>(self);
    new (&obj->own) py::Ownership();
    obj->encoder = encoder.release();
    return self;
}

// Any thread may drop an encoder: it holds memory only.
template <class E>
void encoder_dealloc(PyObject* self) {
    delete reinterpret_cast<EncoderObject<E>*>(self)->encoder;
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
    Py_DECREF(tp);
}

// A function taking keywords (or none) as the PyCFunction a PyMethodDef holds.
template <class F>
PyCFunction method(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// native_sixel.cpp: the class `SixelEncoder`. False with an exception set on failure.
bool add_sixel_type(PyObject* module);
// native_frame.cpp: `sharpen` and `scale`. False with an exception set on failure.
bool add_frame_functions(PyObject* module);
// native_graphics.cpp: `sixel`, `kitty_image`, `kitty_delete` and `cells`.
bool add_graphics_functions(PyObject* module);
// native_keys.cpp: `poll_key`.
bool add_key_functions(PyObject* module);

}  // namespace corvane::native
