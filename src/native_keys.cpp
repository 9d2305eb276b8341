// `corvane._native`'s key input, over the core's input reader and key decoder:
// - `poll_key()`: the name of the next key pressed (keys::key_name: "q", "enter", "left",
//   "ctrl+left", "f5", "resize" when the terminal's size changed), or None when none is waiting.
//   It never waits. Events without a name (mouse reports, pastes, keys like F13) are passed
//   over; replies of the terminal never reach it. Failures (no terminal to read) are OSError.
// The reader is this module's copy of the core's process-wide one; `_corvane`'s poll_key has
// another, so a process reads keys through one of them only.
#include <chrono>

#include "core/terminal/input.hpp"
#include "native.hpp"

namespace corvane::native {
namespace {

// Unnamed events passed over in one call at most, so a flood of mouse reports cannot hold it.
constexpr int EVENTS_PER_POLL = 256;

PyObject* poll_key(PyObject*, PyObject*) {
    return py::translate([]() -> PyObject* {
        using namespace std::chrono_literals;
        for (int i = 0; i < EVENTS_PER_POLL; ++i) {
            Result<bool> ready = terminal::poll_input(0ms);
            if (!ready) return py::raise_os_error(ready.error().io);
            if (!ready.value()) break;
            Result<keys::Event> event = terminal::read_input();
            if (!event) return py::raise_os_error(event.error().io);
            const std::string name = keys::key_name(event.value());
            if (!name.empty()) return PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size()));
        }
        return py::none();
    });
}

PyMethodDef kFunctions[] = {
    {"poll_key", poll_key, METH_NOARGS,
     "poll_key()\n--\n\nThe name of the next key pressed, or None when none is waiting; never waits."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_key_functions(PyObject* module) {
    return PyModule_AddFunctions(module, kFunctions) == 0;
}

}  // namespace corvane::native
