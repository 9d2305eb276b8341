// `corvane._native`'s pictures for terminals beyond half blocks, over the core's stream/:
// - `sixel(data, width, height, colors)`: the frame as one sixel image with an adaptive palette of
//   at most `colors` (1..256) entries.
// - `kitty_image(data, width, height, image_id, under_text)`: the frame as kitty graphics chunks
//   that transmit it under `image_id` and place it at the cursor, under the text when `under_text`
//   is true; `kitty_delete(image_id)` the sequence that drops that image.
// - `kitty_shm_image(data, width, height, image_id, name, under_text)`: the frame written to the
//   new POSIX shared-memory object `name` (without the interpreter lock), and the one sequence
//   that has kitty read it (and unlink it) and show it like `kitty_image`. A failure to make, size or map the
//   object is OSError, the object unlinked. `shm_unlink(name)`: True when the object was there to unlink.
// - `cells(data, width, height, shape)`: the whole frame drawn in 24-bit colour with the cells of
//   `shape` ("half", "quadrant", "sextant", "octant"), each the best two-colour fit of its pixels.
// Frames are B, G, R bytes, rows back to back; results are new `bytes`. Bad values are ValueError.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/stream/cells.hpp"
#include "core/stream/kitty.hpp"
#include "core/stream/sixel.hpp"
#include "messages.hpp"
#include "native.hpp"

namespace corvane::native {

bool to_shape(PyObject* obj, wire::CellShape& out) {
    std::string name;
    if (!py::to_text(obj, name)) return py::argument_failed("shape");
    if (name == "half")
        out = wire::CellShape::kHalf;
    else if (name == "quadrant")
        out = wire::CellShape::kQuadrant;
    else if (name == "sextant")
        out = wire::CellShape::kSextant;
    else if (name == "octant")
        out = wire::CellShape::kOctant;
    else
        return value_error(msg::CELL_SHAPE), false;
    return true;
}

namespace {

PyObject* to_bytes(const std::uint8_t* data, std::size_t n) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), Py_ssize_t(n));
}

bool to_id(PyObject* obj, std::uint32_t& out) {
    std::int32_t v = 0;
    if (!py::to_i32(obj, v)) return py::argument_failed("image_id");
    if (v < 1) return value_error("image_id must be at least 1"), false;
    out = std::uint32_t(v);
    return true;
}

constexpr const char* SIXEL_PARAMS[] = {"data", "width", "height", "colors"};
constexpr py::Signature SIXEL_SIG{"sixel()", SIXEL_PARAMS, 4};

PyObject* sixel(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* argv[4];
    if (!py::match_arguments(SIXEL_SIG, args, kwargs, argv)) return nullptr;
    return py::translate([&]() -> PyObject* {
        std::int32_t colors;
        if (!py::to_i32(argv[3], colors)) return py::argument_failed("colors"), nullptr;
        if (colors < 1 || colors > 256) return value_error(msg::SIXEL_COLORS);
        py::ByteInput data;
        std::int32_t width, height;
        if (!frame_arguments(argv, data, width, height)) return nullptr;
        wire::SixelEncoder enc({colors, false, false});
        without_lock(data, [&] { enc.encode(data.data, height, width); });
        return to_bytes(enc.output().data(), enc.output().size());
    });
}

constexpr const char* KITTY_PARAMS[] = {"data", "width", "height", "image_id", "under_text"};
constexpr py::Signature KITTY_SIG{"kitty_image()", KITTY_PARAMS, 5};

PyObject* kitty_image(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* argv[5];
    if (!py::match_arguments(KITTY_SIG, args, kwargs, argv)) return nullptr;
    return py::translate([&]() -> PyObject* {
        std::uint32_t id = 0;
        if (!to_id(argv[3], id)) return nullptr;
        const int under_text = PyObject_IsTrue(argv[4]);
        if (under_text < 0) return nullptr;
        py::ByteInput data;
        std::int32_t width, height;
        if (!frame_arguments(argv, data, width, height)) return nullptr;
        std::vector<std::uint8_t> out;
        Status done;
        without_lock(data,
                     [&] { done = wire::kitty_image(data.data, height, width, id, under_text != 0, out); });
        if (!done) return py::raise_error(done.error());
        return to_bytes(out.data(), out.size());
    });
}

constexpr const char* SHM_PARAMS[] = {"data", "width", "height", "image_id", "name", "under_text"};
constexpr py::Signature SHM_SIG{"kitty_shm_image()", SHM_PARAMS, 6};

PyObject* kitty_shm_image(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* argv[6];
    if (!py::match_arguments(SHM_SIG, args, kwargs, argv)) return nullptr;
    return py::translate([&]() -> PyObject* {
        std::uint32_t id = 0;
        std::string name;
        if (!to_id(argv[3], id)) return nullptr;
        if (!py::to_text(argv[4], name)) return py::argument_failed("name"), nullptr;
        const int under_text = PyObject_IsTrue(argv[5]);
        if (under_text < 0) return nullptr;
        py::ByteInput data;
        std::int32_t width, height;
        if (!frame_arguments(argv, data, width, height)) return nullptr;
        auto put = [&]() noexcept { return wire::shm_put_rgb(name, data.data, height, width); };
        // A bytearray is borrowed without an export: another thread could resize it, so it stays locked.
        const Status done = PyByteArray_CheckExact(argv[0]) ? put() : py::without_lock(put);
        if (!done) return py::raise_os_error(done.error().io);
        std::vector<std::uint8_t> out;
        wire::kitty_shm_image(name, height, width, id, under_text != 0, out);
        return to_bytes(out.data(), out.size());
    });
}

constexpr const char* UNLINK_PARAMS[] = {"name"};
constexpr py::Signature UNLINK_SIG{"shm_unlink()", UNLINK_PARAMS, 1};

PyObject* shm_unlink(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* argv[1];
    if (!py::match_arguments(UNLINK_SIG, args, kwargs, argv)) return nullptr;
    return py::translate([&]() -> PyObject* {
        std::string name;
        if (!py::to_text(argv[0], name)) return py::argument_failed("name"), nullptr;
        return PyBool_FromLong(wire::shm_remove(name));
    });
}

constexpr const char* DELETE_PARAMS[] = {"image_id"};
constexpr py::Signature DELETE_SIG{"kitty_delete()", DELETE_PARAMS, 1};

PyObject* kitty_delete(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* argv[1];
    if (!py::match_arguments(DELETE_SIG, args, kwargs, argv)) return nullptr;
    return py::translate([&]() -> PyObject* {
        std::uint32_t id = 0;
        if (!to_id(argv[0], id)) return nullptr;
        std::vector<std::uint8_t> out;
        wire::kitty_delete(id, out);
        return to_bytes(out.data(), out.size());
    });
}

constexpr const char* CELLS_PARAMS[] = {"data", "width", "height", "shape"};
constexpr py::Signature CELLS_SIG{"cells()", CELLS_PARAMS, 4};

PyObject* cells(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* argv[4];
    if (!py::match_arguments(CELLS_SIG, args, kwargs, argv)) return nullptr;
    return py::translate([&]() -> PyObject* {
        wire::CellOptions options;
        if (!to_shape(argv[3], options.shape)) return nullptr;
        py::ByteInput data;
        std::int32_t width, height;
        if (!frame_arguments(argv, data, width, height)) return nullptr;
        wire::CellEncoder enc(options);
        enc.encode(data.data, height, width);
        return to_bytes(enc.output().data(), enc.output().size());
    });
}

PyMethodDef kFunctions[] = {
    {"sixel", method(sixel), METH_VARARGS | METH_KEYWORDS,
     "sixel(data, width, height, colors)\n--\n\nThe frame as a sixel image with an adaptive palette."},
    {"kitty_image", method(kitty_image), METH_VARARGS | METH_KEYWORDS,
     "kitty_image(data, width, height, image_id, under_text)\n--\n\nThe frame as kitty graphics, shown at "
     "the "
     "cursor."},
    {"kitty_shm_image", method(kitty_shm_image), METH_VARARGS | METH_KEYWORDS,
     "kitty_shm_image(data, width, height, image_id, name, under_text)\n--\n\nThe frame in shared memory "
     "`name`, shown "
     "by kitty."},
    {"shm_unlink", method(shm_unlink), METH_VARARGS | METH_KEYWORDS,
     "shm_unlink(name)\n--\n\nUnlinks a shared-memory object; True when it was there."},
    {"kitty_delete", method(kitty_delete), METH_VARARGS | METH_KEYWORDS,
     "kitty_delete(image_id)\n--\n\nThe sequence that deletes a kitty image and its data."},
    {"cells", method(cells), METH_VARARGS | METH_KEYWORDS,
     "cells(data, width, height, shape)\n--\n\nThe whole frame in cells of two colours of the given shape."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_graphics_functions(PyObject* module) {
    return PyModule_AddFunctions(module, kFunctions) == 0;
}

}  // namespace corvane::native
