// The `_corvane` extension module: the `Corvane` class and its methods.
//
// Contract:
// - Single-phase initialisation; the module may be initialised once per process.
// - A `Corvane` object owns its renderer, its recorder state, the writer of an open recording and
//   the size of the last frame given to `render`. It belongs to the thread that created it: calls
//   from other threads raise PanicException; dropped on another thread, it reports that and is
//   still torn down, so an open recording keeps every frame.
// - Every method follows one sequence: match arguments, check the owner thread and take shared or
//   exclusive access, convert the arguments, run the body, give the access back. Bodies run under
//   `translate`, so no C++ exception reaches the interpreter.
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <opencv2/core.hpp>
#include <string>

#include "binding.hpp"
#include "core/recording/player.hpp"
#include "core/recording/recorder.hpp"
#include "core/stream/renderer.hpp"
#include "core/terminal/input.hpp"
#include "messages.hpp"

namespace corvane {
namespace {

using py::Access;
using py::PyRef;

constexpr const char* TYPE_PATH = "_corvane::Corvane";

struct CorvaneState {
    TerminalRenderer renderer;
    VideoRecorder recorder;
    std::unique_ptr<RecordingWriter> recording_writer;  // present while a recording is open
    std::int32_t frame_w = 0;
    std::int32_t frame_h = 0;
};

struct CorvaneObject {
    PyObject_HEAD CorvaneState* state;
    py::Ownership own;
};

PyTypeObject* g_type = nullptr;
PyObject* g_module = nullptr;

CorvaneObject* as_corvane(PyObject* self) {
    return reinterpret_cast<CorvaneObject*>(self);
}

template <class Body>
PyObject* with_access(PyObject* self, Access access, Body&& body) {
    return py::with_access<CorvaneObject>(self, access, TYPE_PATH,
                                          [&](CorvaneObject& obj) { return body(*obj.state); });
}

using py::none;

// Called between frames and when a signal interrupts a blocking open: a Python handler that
// raised (Ctrl-C) ends the call with its exception.
bool signal_pending(void*) {
    return PyErr_CheckSignals() != 0;
}

constexpr const char* PATH_PARAMS[] = {"path"};
constexpr py::Signature START_SIG{"Corvane.start_recording()", PATH_PARAMS, 1};

PyObject* start_recording(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* argv[1];
    if (!py::match_arguments(START_SIG, args, kwargs, argv)) return nullptr;
    return with_access(self, Access::Exclusive, [&](CorvaneState& st) -> PyObject* {
        std::string path;
        if (!py::to_text(argv[0], path)) return py::argument_failed("path"), nullptr;
        auto opened = RecordingWriter::open(path, StopCheck{signal_pending, nullptr});
        if (!opened) return PyErr_Occurred() ? nullptr : py::raise_os_error(opened.error().io);
        std::unique_ptr<RecordingWriter>& next = opened.value();
        // Until the new file is emptied, a failure leaves that file, and the recording in progress,
        // exactly as they were. On the same file, its last buffered bytes go out first, or they
        // would land in the new recording.
        if (st.recording_writer && st.recording_writer->same_file(*next))
            if (Status flushed = st.recording_writer->flush(); !flushed)
                return py::raise_os_error(flushed.error().io);
        if (Status emptied = next->truncate(); !emptied) return py::raise_os_error(emptied.error().io);
        st.recording_writer = std::move(next);  // finishes the old one, if any
        st.recorder.forget_previous_frame();
        return none();
    });
}

PyObject* stop_recording(PyObject* self, PyObject*) {
    return with_access(self, Access::Exclusive, [](CorvaneState& st) {
        st.recording_writer.reset();
        return none();
    });
}

constexpr const char* RENDER_PARAMS[] = {"data", "width", "height"};
constexpr py::Signature RENDER_SIG{"Corvane.render()", RENDER_PARAMS, 3};

PyObject* render(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* argv[3];
    if (!py::match_arguments(RENDER_SIG, args, kwargs, argv)) return nullptr;
    return with_access(self, Access::Exclusive, [&](CorvaneState& st) -> PyObject* {
        py::ByteInput data;
        std::int32_t width, height;
        if (!py::to_frame(argv, data, width, height)) return nullptr;

        st.frame_w = width;
        st.frame_h = height;
        if (width < 0 || height < 0) {  // OpenCV refuses the image; its own message is the error
            auto refused = guard([&] { return cv::Mat(height, width, CV_8UC3); });
            if (!refused) return py::raise_error(refused.error());
        }
        const std::size_t need = std::size_t(std::max(width, 0)) * std::size_t(std::max(height, 0)) * 3;
        if (need != 0 && data.size != need) {
            PyErr_SetString(PyExc_ValueError, msg::frame_length(data.size, width, height, need).c_str());
            return nullptr;
        }
        // The image is the caller's bytes themselves: OpenCV only reads them.
        auto image = guard([&] {
            return need == 0 ? cv::Mat(height, width, CV_8UC3)
                             : cv::Mat(height, width, CV_8UC3, const_cast<std::uint8_t*>(data.data));
        });
        if (!image) return py::raise_error(image.error());
        const cv::Mat& frame = image.value();

        auto [term_w, term_h] = st.renderer.get_terminal_size();
        auto prepared = st.renderer.prepare_character_map(frame, term_w, term_h);
        if (!prepared) return py::raise_error(prepared.error());
        if (Status drawn = st.renderer.render_character_map(prepared.value()); !drawn)
            return py::raise_error(drawn.error());
        if (st.recording_writer) {
            Status recorded = st.recorder.record(prepared.value(), term_w, term_h, *st.recording_writer);
            if (!recorded) return py::raise_error(recorded.error());
        }
        return none();
    });
}

bool set_int(PyObject* dict, const char* key, long value) {
    PyRef v = PyRef::steal(PyLong_FromLong(value));
    return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

PyObject* get_mapping_info(PyObject* self, PyObject*) {
    return with_access(self, Access::Exclusive, [&](CorvaneState& st) -> PyObject* {
        auto [term_w, term_h] = st.renderer.get_terminal_size();
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict || !set_int(dict.get(), "term_w", term_w) || !set_int(dict.get(), "term_h", term_h) ||
            !set_int(dict.get(), "display_h", display_height(term_h)) ||
            !set_int(dict.get(), "frame_w", st.frame_w) || !set_int(dict.get(), "frame_h", st.frame_h))
            return nullptr;
        return dict.release();
    });
}

constexpr const char* PLAY_PARAMS[] = {"path", "sharpen"};
constexpr py::Signature PLAY_SIG{"Corvane.play()", PLAY_PARAMS, 2};

// The pacing sleep lets other Python threads run. A signal wakes it: if its Python handler
// raised (Ctrl-C), the playback stops; otherwise (a window-size change, say) the sleep goes on to
// its end, so signals never speed a playback up.
bool sleep_without_lock(std::chrono::nanoseconds d, void*) {
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    const long long end = until.tv_sec * 1'000'000'000LL + until.tv_nsec + d.count();
    until = timespec{time_t(end / 1'000'000'000), long(end % 1'000'000'000)};
    for (;;) {
        const int rc = py::without_lock(
            [&]() noexcept { return clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr); });
        if (rc != EINTR) return false;
        if (PyErr_CheckSignals() != 0) return true;
    }
}

PyObject* play(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* argv[2];
    if (!py::match_arguments(PLAY_SIG, args, kwargs, argv)) return nullptr;
    return with_access(self, Access::Shared, [&](CorvaneState&) -> PyObject* {
        std::string path;
        float sharpen;
        if (!py::to_text(argv[0], path)) return py::argument_failed("path"), nullptr;
        if (!py::to_f32(argv[1], sharpen)) return py::argument_failed("sharpen"), nullptr;
        TerminalRenderer renderer;
        const PlayHooks hooks{sleep_without_lock, signal_pending, nullptr};
        Result<PlayEnd> played = play_recording(path, renderer, sharpen, hooks);
        if (!played) return py::raise_error(played.error());
        // An interrupted playback returns with the signal handler's exception set.
        return played.value() == PlayEnd::kInterrupted ? nullptr : none();
    });
}

PyObject* hide_cursor(PyObject* self, PyObject*) {
    return with_access(self, Access::Shared, [](CorvaneState&) -> PyObject* {
        Status written = TerminalRenderer::hide_cursor();
        return written ? none() : py::raise_error(written.error());
    });
}

PyObject* show_cursor(PyObject* self, PyObject*) {
    return with_access(self, Access::Shared, [](CorvaneState&) -> PyObject* {
        Status written = TerminalRenderer::show_cursor();
        return written ? none() : py::raise_error(written.error());
    });
}

PyObject* key_text(const keys::Event& event) {
    switch (event.key_class) {
        case keys::KeyClass::Enter:
            return PyUnicode_FromString("enter");
        case keys::KeyClass::Esc:
            return PyUnicode_FromString("esc");
        case keys::KeyClass::Char: {
            const std::string utf8 = keys::encode_utf8(event.ch);
            return PyUnicode_FromStringAndSize(utf8.data(), Py_ssize_t(utf8.size()));
        }
        case keys::KeyClass::None:
            break;
    }
    return none();
}

PyObject* poll_key(PyObject* self, PyObject*) {
    return with_access(self, Access::Shared, [](CorvaneState&) -> PyObject* {
        using namespace std::chrono_literals;
        Result<bool> ready = terminal::poll_input(0ms);
        if (!ready) return py::raise_error(ready.error());
        if (!ready.value()) return none();
        Result<keys::Event> event = terminal::read_input();
        if (!event) return py::raise_error(event.error());
        return key_text(event.value());
    });
}

constexpr py::Signature NEW_SIG{"Corvane.__new__()", nullptr, 0};

PyObject* corvane_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (!py::match_arguments(NEW_SIG, args, kwargs, nullptr)) return nullptr;
    return py::translate([&]() -> PyObject* {
        auto state = std::make_unique<CorvaneState>();
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = alloc(type, 0);
        if (!self) return nullptr;
        CorvaneObject* obj = as_corvane(self);
        new (&obj->own) py::Ownership();
        obj->state = state.release();
        return self;
    });
}

void corvane_dealloc(PyObject* self) {
    CorvaneObject* obj = as_corvane(self);
    if (obj->own.owner != py::current_thread_id()) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_SetString(PyExc_RuntimeError, msg::DROPPED_ELSEWHERE);
        PyErr_WriteUnraisable(nullptr);
        PyErr_Restore(type, value, tb);
    }
    // The state is destroyed on any thread: its buffers are freed and, for an open recording,
    // every recorded frame reaches the file.
    delete obj->state;
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
    Py_DECREF(tp);
}

PyMethodDef kMethods[] = {
    {"start_recording", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(start_recording)),
     METH_VARARGS | METH_KEYWORDS, "start_recording($self, path)\n--\n\n"},
    {"stop_recording", stop_recording, METH_NOARGS, "stop_recording($self)\n--\n\n"},
    {"render", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(render)),
     METH_VARARGS | METH_KEYWORDS, "render($self, data, width, height)\n--\n\n"},
    {"get_mapping_info", get_mapping_info, METH_NOARGS, "get_mapping_info($self)\n--\n\n"},
    {"play", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(play)), METH_VARARGS | METH_KEYWORDS,
     "play($self, path, sharpen)\n--\n\n"},
    {"hide_cursor", hide_cursor, METH_NOARGS, "hide_cursor($self)\n--\n\n"},
    {"show_cursor", show_cursor, METH_NOARGS, "show_cursor($self)\n--\n\n"},
    {"poll_key", poll_key, METH_NOARGS, "poll_key($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Corvane()\n--\n\nPython wrapper for the Corvane library.")},
    {Py_tp_new, reinterpret_cast<void*>(corvane_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(corvane_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.Corvane", sizeof(CorvaneObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_corvane",
    "Native core of corvane. The module name must equal the name of the built library file.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool add_to_all(PyObject* module, const char* name) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    return text && PyList_Append(all.get(), text.get()) == 0;
}

}  // namespace
}  // namespace corvane

PyMODINIT_FUNC PyInit__corvane(void) {
    using namespace corvane;
    if (g_module) {
        PyErr_SetString(PyExc_ImportError, msg::INIT_ONCE);
        return nullptr;
    }
    PyRef module = PyRef::steal(PyModule_Create(&kModule));
    if (!module) return nullptr;
    if (!g_type) {
        g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
        if (!g_type) return nullptr;
    }
    Py_INCREF(g_type);
    if (PyModule_AddObject(module.get(), "Corvane", reinterpret_cast<PyObject*>(g_type)) < 0) {
        Py_DECREF(g_type);
        return nullptr;
    }
    if (!add_to_all(module.get(), "Corvane")) return nullptr;
    g_module = module.get();
    Py_INCREF(g_module);
    return module.release();
}
