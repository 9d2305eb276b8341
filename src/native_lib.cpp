// The `corvane._native` extension module: what the package needs of the core (src/core) for Python.
//
// Contract:
// - The class `Encoder(colors, tolerance, dither)` (`dither` None: only at 16 colours):
//   `encode(data, width, height)` returns the
//   bytes that bring the terminal from what this encoder last drew to the frame (display-sized
//   B, G, R bytes, as `Corvane.render` takes them; b"" when nothing needs drawing);
//   `set_tolerance(t)` changes T from the next frame on; `invalidate()` makes the next frame a
//   whole one; `palette(data, width, height)` the palette index of every pixel (256 and 16
//   colours), as `encode` picks them. The module writes nothing itself: the caller owns the output and its
//   thread. `encode_inline(data, width, height)` the lines that print a picture at the cursor
//   (scrolling text, exact colours at 24 bits), without touching what `encode` remembers.
// - The class `CellEncoder(shape, colors, tolerance, dither)`: the same `encode`, `set_tolerance`
//   and `invalidate` for cells of `shape` ("half", "quadrant", "sextant", "octant"); a frame is
//   the shape's pixels, cell width x cell height of them per cell (a ragged edge is left out).
// - The frame functions `sharpen` and `scale` (native_frame.cpp); `poll_key`, the keys named
//   (native_keys.cpp).
// - Pictures for pixel terminals and finer cells: `sixel`, `kitty_image`, `kitty_delete`, `cells`
//   (native_graphics.cpp); the class `SixelEncoder`, a video's sixel frames (native_sixel.cpp).
// - The recording reader and writer (native_recording.cpp).
// - Same conventions as `_corvane` (binding.hpp): argument matching, conversions, one owner
//   thread per object, shared/exclusive access, `translate` around every body. Bad values are
//   ValueError with the texts of messages.cpp.
// - Built against the 3.8 stable ABI, like `_corvane`.
#include <cstdint>
#include <memory>
#include <utility>

#include "binding.hpp"
#include "core/stream/cells.hpp"
#include "core/stream/encoder.hpp"
#include "messages.hpp"
#include "native.hpp"
#include "native_recording.hpp"

namespace corvane {
namespace native {

PyObject* value_error(const char* text) {
    PyErr_SetString(PyExc_ValueError, text);
    return nullptr;
}

bool frame_arguments(PyObject* const* argv, py::ByteInput& data, std::int32_t& width, std::int32_t& height) {
    if (!py::to_frame(argv, data, width, height)) return false;
    if (width < 0 || height < 0) return value_error(msg::WIRE_NEGATIVE_SIZE), false;
    const std::size_t need = std::size_t(width) * std::size_t(height) * 3;
    if (data.size == need) return true;
    PyErr_SetString(PyExc_ValueError, msg::frame_length(data.size, width, height, need).c_str());
    return false;
}

}  // namespace native

namespace {

using native::encoder_dealloc;
using native::EncoderObject;
using native::frame_arguments;
using native::method;
using native::value_error;
using native::wrap;

using py::Access;
using py::PyRef;

// The two wire encoders share their Python surface: `encode`, `set_tolerance`, `invalidate`.
template <class E>
struct Names;
template <>
struct Names<wire::WireEncoder> {
    static constexpr const char* path = "corvane._native::Encoder";
    static constexpr const char* encode = "Encoder.encode()";
    static constexpr const char* tolerance = "Encoder.set_tolerance()";
};
template <>
struct Names<wire::CellEncoder> {
    static constexpr const char* path = "corvane._native::CellEncoder";
    static constexpr const char* encode = "CellEncoder.encode()";
    static constexpr const char* tolerance = "CellEncoder.set_tolerance()";
};

template <class E, class Body>
PyObject* with_access(PyObject* self, Access access, Body&& body) {
    return py::with_access<EncoderObject<E>>(self, access, Names<E>::path,
                                             [&](EncoderObject<E>& obj) { return body(*obj.encoder); });
}

using py::none;

bool to_tolerance(PyObject* obj, int& out) {
    std::int32_t t;
    if (!py::to_i32(obj, t)) return py::argument_failed("tolerance");
    if (t < 0 || t > wire::MAX_TOLERANCE) return value_error(msg::WIRE_TOLERANCE), false;
    out = t;
    return true;
}

// (colors, tolerance, dither) as both encoders take them; `dither` None: only at 16 colours,
// where the nearest of so few colours turns mid-tones grey.
bool to_depth(PyObject* const* argv, wire::Depth& depth, int& tolerance, bool& dither) {
    std::int32_t colors;
    if (!py::to_i32(argv[0], colors)) return py::argument_failed("colors");
    if (colors == 24)
        depth = wire::Depth::kTrue;
    else if (colors == 256)
        depth = wire::Depth::k256;
    else if (colors == 16)
        depth = wire::Depth::k16;
    else
        return value_error(msg::WIRE_COLORS), false;
    if (!to_tolerance(argv[1], tolerance)) return false;
    const int d = argv[2] == Py_None ? depth == wire::Depth::k16 : PyObject_IsTrue(argv[2]);
    if (d < 0) return false;
    dither = d == 1;
    return true;
}

constexpr const char* ENCODE_PARAMS[] = {"data", "width", "height"};

// A frame's (data, width, height) through `draw`, an encoder's method that leaves its bytes in
// `output()`; those bytes are the answer.
template <class E, class Draw>
PyObject* drawn_bytes(const py::Signature& sig, PyObject* self, PyObject* args, PyObject* kwargs,
                      Draw&& draw) {
    PyObject* argv[3];
    if (!py::match_arguments(sig, args, kwargs, argv)) return nullptr;
    return with_access<E>(self, Access::Exclusive, [&](E& enc) -> PyObject* {
        py::ByteInput data;
        std::int32_t width, height;
        if (!frame_arguments(argv, data, width, height)) return nullptr;
        draw(enc, data.data, height, width);
        const ByteBuffer& out = enc.output();
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()), Py_ssize_t(out.size()));
    });
}

template <class E>
PyObject* encode(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr py::Signature sig{Names<E>::encode, ENCODE_PARAMS, 3};
    return drawn_bytes<E>(sig, self, args, kwargs, [](E& enc, auto... frame) { enc.encode(frame...); });
}

constexpr py::Signature INLINE_SIG{"Encoder.encode_inline()", ENCODE_PARAMS, 3};

// A picture as lines printed where the cursor is; the encoder's model of the screen stays as it was.
PyObject* encode_inline(PyObject* self, PyObject* args, PyObject* kwargs) {
    return drawn_bytes<wire::WireEncoder>(
        INLINE_SIG, self, args, kwargs,
        [](wire::WireEncoder& enc, auto... frame) { enc.encode_inline(frame...); });
}

constexpr py::Signature PALETTE_SIG{"Encoder.palette()", ENCODE_PARAMS, 3};

// One palette index per pixel, in the encoder's depth (256 or 16) and dithering.
PyObject* palette(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* argv[3];
    if (!py::match_arguments(PALETTE_SIG, args, kwargs, argv)) return nullptr;
    return with_access<wire::WireEncoder>(self, Access::Shared, [&](wire::WireEncoder& enc) -> PyObject* {
        py::ByteInput data;
        std::int32_t width, height;
        if (!frame_arguments(argv, data, width, height)) return nullptr;
        if (enc.depth() == wire::Depth::kTrue) return value_error(msg::WIRE_PALETTE_DEPTH);
        const std::size_t pixels = std::size_t(width) * std::size_t(height);
        PyRef out = PyRef::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(pixels)));
        if (!out) return nullptr;
        enc.palette_indices(data.data, height, width,
                            reinterpret_cast<std::uint8_t*>(PyBytes_AsString(out.get())));
        return out.release();
    });
}

constexpr const char* TOLERANCE_PARAMS[] = {"tolerance"};

template <class E>
PyObject* set_tolerance(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr py::Signature sig{Names<E>::tolerance, TOLERANCE_PARAMS, 1};
    PyObject* argv[1];
    if (!py::match_arguments(sig, args, kwargs, argv)) return nullptr;
    return with_access<E>(self, Access::Exclusive, [&](E& enc) -> PyObject* {
        int t = 0;
        if (!to_tolerance(argv[0], t)) return nullptr;
        enc.set_tolerance(t);
        return none();
    });
}

template <class E>
PyObject* invalidate(PyObject* self, PyObject*) {
    return with_access<E>(self, Access::Exclusive, [](E& enc) {
        enc.invalidate();
        return none();
    });
}

constexpr const char* NEW_PARAMS[] = {"colors", "tolerance", "dither"};
constexpr py::Signature NEW_SIG{"Encoder.__new__()", NEW_PARAMS, 3};

PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* argv[3];
    if (!py::match_arguments(NEW_SIG, args, kwargs, argv)) return nullptr;
    return py::translate([&]() -> PyObject* {
        wire::EncoderOptions options;
        if (!to_depth(argv, options.depth, options.tolerance, options.dither)) return nullptr;
        return wrap(type, std::make_unique<wire::WireEncoder>(options));
    });
}

constexpr const char* CELL_NEW_PARAMS[] = {"shape", "colors", "tolerance", "dither"};
constexpr py::Signature CELL_NEW_SIG{"CellEncoder.__new__()", CELL_NEW_PARAMS, 4};

PyObject* cell_encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* argv[4];
    if (!py::match_arguments(CELL_NEW_SIG, args, kwargs, argv)) return nullptr;
    return py::translate([&]() -> PyObject* {
        wire::CellOptions options;
        if (!native::to_shape(argv[0], options.shape)) return nullptr;
        if (!to_depth(argv + 1, options.depth, options.tolerance, options.dither)) return nullptr;
        return wrap(type, std::make_unique<wire::CellEncoder>(options));
    });
}

PyMethodDef kMethods[] = {
    {"encode", method(encode<wire::WireEncoder>), METH_VARARGS | METH_KEYWORDS,
     "encode($self, data, width, height)\n--\n\nThe bytes that draw a display-sized B, G, R frame."},
    {"encode_inline", method(encode_inline), METH_VARARGS | METH_KEYWORDS,
     "encode_inline($self, data, width, height)\n--\n\nThe lines that print a B, G, R picture at the "
     "cursor."},
    {"palette", method(palette), METH_VARARGS | METH_KEYWORDS,
     "palette($self, data, width, height)\n--\n\nThe palette index of every pixel (256 or 16 colours)."},
    {"set_tolerance", method(set_tolerance<wire::WireEncoder>), METH_VARARGS | METH_KEYWORDS,
     "set_tolerance($self, tolerance)\n--\n\n"},
    {"invalidate", invalidate<wire::WireEncoder>, METH_NOARGS,
     "invalidate($self)\n--\n\nDraw the next frame whole."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Encoder(colors, tolerance, dither)\n--\n\nThe wire encoder of frames.")},
    {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(encoder_dealloc<wire::WireEncoder>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"corvane._native.Encoder", sizeof(EncoderObject<wire::WireEncoder>), 0,
                     Py_TPFLAGS_DEFAULT, kSlots};

PyMethodDef kCellMethods[] = {
    {"encode", method(encode<wire::CellEncoder>), METH_VARARGS | METH_KEYWORDS,
     "encode($self, data, width, height)\n--\n\nThe bytes that draw a B, G, R frame of the shape's pixels."},
    {"set_tolerance", method(set_tolerance<wire::CellEncoder>), METH_VARARGS | METH_KEYWORDS,
     "set_tolerance($self, tolerance)\n--\n\n"},
    {"invalidate", invalidate<wire::CellEncoder>, METH_NOARGS,
     "invalidate($self)\n--\n\nDraw the next frame whole."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kCellSlots[] = {
    {Py_tp_doc, const_cast<char*>("CellEncoder(shape, colors, tolerance, dither)\n--\n\nThe wire encoder of "
                                  "frames in cells of two colours.")},
    {Py_tp_new, reinterpret_cast<void*>(cell_encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(encoder_dealloc<wire::CellEncoder>)},
    {Py_tp_methods, kCellMethods},
    {0, nullptr},
};

PyType_Spec kCellSpec = {"corvane._native.CellEncoder", sizeof(EncoderObject<wire::CellEncoder>), 0,
                         Py_TPFLAGS_DEFAULT, kCellSlots};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "corvane._native",
    "What corvane's package asks of the native core: the encoder, sharpening, scaling, keys, recording "
    "files.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace corvane

PyMODINIT_FUNC PyInit__native(void) {
    using namespace corvane;
    PyRef module = PyRef::steal(PyModule_Create(&kModule));
    if (!module) return nullptr;
    for (auto [type_spec, name] : {std::pair{&kSpec, "Encoder"}, std::pair{&kCellSpec, "CellEncoder"}}) {
        PyObject* type = PyType_FromSpec(type_spec);
        if (!type || PyModule_AddObject(module.get(), name, type) < 0) {
            Py_XDECREF(type);
            return nullptr;
        }
    }
    if (!native::add_frame_functions(module.get()) || !native::add_graphics_functions(module.get()) ||
        !native::add_key_functions(module.get()) || !native::add_sixel_type(module.get()))
        return nullptr;
    if (!add_recording_types(module.get())) return nullptr;
    PyRef all = PyRef::steal(Py_BuildValue(
        "[sssssssssssss]", "CellEncoder", "Encoder", "RecordingDamage", "RecordingReader", "RecordingWriter",
        "SixelEncoder", "cells", "kitty_delete", "kitty_image", "poll_key", "scale", "sharpen", "sixel"));
    if (!all || PyModule_AddObject(module.get(), "__all__", all.get()) < 0) return nullptr;
    all.release();
    return module.release();
}
