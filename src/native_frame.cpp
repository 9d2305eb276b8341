// `corvane._native`'s frame functions, over the core's frame/ (the same code the native player
// and `_corvane` run, so the package's pictures come out byte for byte as theirs do):
// - `sharpen(data, width, height, strength)`: the frame sharpened as `Corvane.play` sharpens it;
//   a strength not above 0 gives the frame back unchanged.
// - `scale(data, width, height, new_width, new_height)`: the frame at the new size, averaged by
//   area where it shrinks and bilinear where it grows.
// Frames are B, G, R bytes, rows back to back; results are new `bytes`. Bad sizes are ValueError.
#include <cstdint>
#include <cstring>

#include "core/frame/scale.hpp"
#include "core/frame/sharpen.hpp"
#include "messages.hpp"
#include "native.hpp"

namespace corvane::native {
namespace {

// A frame's bytes as a matrix the core only reads.
cv::Mat frame_view(const py::ByteInput& data, std::int32_t width, std::int32_t height) {
    return cv::Mat(height, width, CV_8UC3, const_cast<std::uint8_t*>(data.data));
}

PyObject* frame_bytes(const cv::Mat& frame) {
    const std::size_t row = std::size_t(frame.cols) * frame.elemSize();
    PyObject* out = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(row * std::size_t(frame.rows)));
    if (!out) return nullptr;
    char* p = PyBytes_AsString(out);
    for (int y = 0; y < frame.rows; ++y) std::memcpy(p + std::size_t(y) * row, frame.ptr(y), row);
    return out;
}

bool positive(std::int32_t width, std::int32_t height) {
    return width > 0 && height > 0 ? true : (value_error(msg::FRAME_EMPTY), false);
}

constexpr const char* SHARPEN_PARAMS[] = {"data", "width", "height", "strength"};
constexpr py::Signature SHARPEN_SIG{"sharpen()", SHARPEN_PARAMS, 4};

PyObject* sharpen(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* argv[4];
    if (!py::match_arguments(SHARPEN_SIG, args, kwargs, argv)) return nullptr;
    return py::translate([&]() -> PyObject* {
        float strength;  // before the frame, whose bytes may be borrowed while no Python code runs
        if (!py::to_f32(argv[3], strength)) return py::argument_failed("strength"), nullptr;
        py::ByteInput data;
        std::int32_t width, height;
        if (!frame_arguments(argv, data, width, height) || !positive(width, height)) return nullptr;
        Result<cv::Mat> sharp = sharpen_with_dft(frame_view(data, width, height), strength);
        if (!sharp) return py::raise_error(sharp.error());
        return frame_bytes(sharp.value());
    });
}

constexpr const char* SCALE_PARAMS[] = {"data", "width", "height", "new_width", "new_height"};
constexpr py::Signature SCALE_SIG{"scale()", SCALE_PARAMS, 5};

PyObject* scale(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* argv[5];
    if (!py::match_arguments(SCALE_SIG, args, kwargs, argv)) return nullptr;
    return py::translate([&]() -> PyObject* {
        std::int32_t new_width, new_height;
        if (!py::to_i32(argv[3], new_width)) return py::argument_failed("new_width"), nullptr;
        if (!py::to_i32(argv[4], new_height)) return py::argument_failed("new_height"), nullptr;
        py::ByteInput data;
        std::int32_t width, height;
        if (!frame_arguments(argv, data, width, height) || !positive(width, height) ||
            !positive(new_width, new_height))
            return nullptr;
        Result<cv::Mat> scaled = scale_frame(frame_view(data, width, height), new_width, new_height);
        if (!scaled) return py::raise_error(scaled.error());
        return frame_bytes(scaled.value());
    });
}

PyMethodDef kFunctions[] = {
    {"sharpen", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sharpen)),
     METH_VARARGS | METH_KEYWORDS,
     "sharpen(data, width, height, strength)\n--\n\nThe frame sharpened as the player sharpens it."},
    {"scale", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scale)),
     METH_VARARGS | METH_KEYWORDS,
     "scale(data, width, height, new_width, new_height)\n--\n\nThe frame at another size: averaged by area "
     "where it shrinks, bilinear where it grows."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_frame_functions(PyObject* module) {
    return PyModule_AddFunctions(module, kFunctions) == 0;
}

}  // namespace corvane::native
