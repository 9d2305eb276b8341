// `corvane._native.SixelEncoder(colors)`: a video's frames as sixel images that keep one adaptive
// palette of at most `colors` (1..256) entries while the frames fit it, and make a new one at a
// scene cut (core/stream/sixel.hpp says when). `encode(data, width, height)` is the frame (B, G,
// R bytes, rows back to back) as one image, with the interpreter lock given up while it is made;
// `palettes_made()` counts the palettes made so far. One owner thread, like the wire encoders.
#include <cstdint>
#include <memory>

#include "core/stream/sixel.hpp"
#include "messages.hpp"
#include "native.hpp"

namespace corvane::native {
namespace {

constexpr const char* kPath = "corvane._native::SixelEncoder";

using SixelObject = EncoderObject<wire::SixelEncoder>;

template <class Body>
PyObject* with_encoder(PyObject* self, Body&& body) {
    return py::with_access<SixelObject>(self, py::Access::Exclusive, kPath,
                                        [&](SixelObject& obj) { return body(*obj.encoder); });
}

constexpr const char* ENCODE_PARAMS[] = {"data", "width", "height"};
constexpr py::Signature ENCODE_SIG{"SixelEncoder.encode()", ENCODE_PARAMS, 3};

PyObject* encode(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* argv[3];
    if (!py::match_arguments(ENCODE_SIG, args, kwargs, argv)) return nullptr;
    return with_encoder(self, [&](wire::SixelEncoder& enc) -> PyObject* {
        py::ByteInput data;
        std::int32_t width, height;
        if (!frame_arguments(argv, data, width, height)) return nullptr;
        without_lock(data, [&] { enc.encode(data.data, height, width); });
        const auto& out = enc.output();
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()), Py_ssize_t(out.size()));
    });
}

PyObject* palettes_made(PyObject* self, PyObject*) {
    return with_encoder(
        self, [](wire::SixelEncoder& enc) { return PyLong_FromUnsignedLongLong(enc.palettes_made()); });
}

constexpr const char* NEW_PARAMS[] = {"colors"};
constexpr py::Signature NEW_SIG{"SixelEncoder.__new__()", NEW_PARAMS, 1};

PyObject* sixel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* argv[1];
    if (!py::match_arguments(NEW_SIG, args, kwargs, argv)) return nullptr;
    return py::translate([&]() -> PyObject* {
        std::int32_t colors;
        if (!py::to_i32(argv[0], colors)) return py::argument_failed("colors"), nullptr;
        if (colors < 1 || colors > 256) return value_error(msg::SIXEL_COLORS);
        return wrap(type, std::make_unique<wire::SixelEncoder>(wire::SixelOptions{colors, true, false}));
    });
}

PyMethodDef kMethods[] = {
    {"encode", method(encode), METH_VARARGS | METH_KEYWORDS,
     "encode($self, data, width, height)\n--\n\nThe frame as a sixel image in the kept palette, or a new "
     "one at a scene cut."},
    {"palettes_made", palettes_made, METH_NOARGS, "palettes_made($self)\n--\n\nThe palettes made so far."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("SixelEncoder(colors)\n--\n\nA video's frames as sixel images with a kept "
                                  "palette.")},
    {Py_tp_new, reinterpret_cast<void*>(sixel_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(encoder_dealloc<wire::SixelEncoder>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"corvane._native.SixelEncoder", sizeof(SixelObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

bool add_sixel_type(PyObject* module) {
    PyObject* type = PyType_FromSpec(&kSpec);
    if (!type || PyModule_AddObject(module, "SixelEncoder", type) < 0) {
        Py_XDECREF(type);
        return false;
    }
    return true;
}

}  // namespace corvane::native
