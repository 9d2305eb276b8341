#include "binding.hpp"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "messages.hpp"

namespace corvane::py {
namespace {

void raise(PyObject* type, const std::string& text) {
    PyErr_SetString(type, text.c_str());
}

std::string utf8_of(PyObject* str) {
    PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(str));
    if (!bytes) {
        PyErr_Clear();
        return "<?>";
    }
    return PyBytes_AsString(bytes.get());
}

std::string type_name(PyObject* obj) {
    PyRef name =
        PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return "<unknown>";
    }
    return utf8_of(name.get());
}

// An integer argument or element, by its __index__, as a C long.
bool to_long(PyObject* obj, long& out) {
    if (PyLong_Check(obj)) {
        out = PyLong_AsLong(obj);
    } else {
        PyRef index = PyRef::steal(PyNumber_Index(obj));
        if (!index) return false;
        out = PyLong_AsLong(index.get());
    }
    return !(out == -1 && PyErr_Occurred());
}

bool to_u8(PyObject* obj, std::uint8_t& out) {
    long v;
    if (!to_long(obj, v)) return false;
    if (v < 0 || v > 255) {
        raise(PyExc_OverflowError, msg::OUT_OF_RANGE);
        return false;
    }
    out = static_cast<std::uint8_t>(v);
    return true;
}

// The nearest float, with magnitudes past the float range becoming infinities.
float narrow_to_float(double d) {
    if (std::isfinite(d) && std::fabs(d) > FLT_MAX) {
        // Halfway between FLT_MAX and the next power of two rounds to even, which is infinity.
        const double halfway = double(FLT_MAX) + std::ldexp(1.0, 127 - 24);
        float mag = std::fabs(d) >= halfway ? INFINITY : FLT_MAX;
        return d < 0 ? -mag : mag;
    }
    return static_cast<float>(d);
}

std::atomic<std::uint64_t> g_next_thread_id{1};

}  // namespace

bool match_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
    for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
    if (given > sig.count) {
        raise(PyExc_TypeError, msg::too_many_positional(sig.function, sig.count, given));
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) out[i] = PyTuple_GetItem(args, i);

    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (kwargs && PyDict_Next(kwargs, &pos, &key, &value)) {
        const std::string name = PyUnicode_Check(key) ? utf8_of(key) : std::string();
        int slot = -1;
        for (int i = 0; i < sig.count; ++i)
            if (name == sig.params[i]) slot = i;
        if (slot < 0) {
            raise(PyExc_TypeError, msg::unexpected_keyword(sig.function, name));
            return false;
        }
        if (out[slot]) {
            raise(PyExc_TypeError, msg::multiple_values(sig.function, name));
            return false;
        }
        out[slot] = value;
    }

    std::vector<const char*> missing;
    for (int i = 0; i < sig.count; ++i)
        if (!out[i]) missing.push_back(sig.params[i]);
    if (!missing.empty()) {
        raise(PyExc_TypeError, msg::missing_required(sig.function, missing));
        return false;
    }
    return true;
}

void raise_cannot_convert(PyObject* obj, const char* target) {
    raise(PyExc_TypeError, msg::cannot_convert(type_name(obj), target));
}

bool to_bytes(PyObject* obj, ByteInput& out, bool may_borrow) {
    if (PyUnicode_Check(obj)) {
        raise(PyExc_TypeError, msg::STR_TO_VEC);
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_cannot_convert(obj, "Sequence");
        return false;
    }
    // Exact bytes cannot change under us and iterate to their own bytes: borrow them as they lie.
    if (PyBytes_CheckExact(obj)) {
        out.holder = PyRef::borrow(obj);
        out.data = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(obj));
        out.size = static_cast<std::size_t>(PyBytes_Size(obj));
        return true;
    }
    switch (take_contiguous_bytes(obj, out, may_borrow)) {
        case Intake::kTaken:
            return true;
        case Intake::kFailed:
            return false;
        case Intake::kDeclined:
            break;
    }
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) PyErr_Clear();
    // The length only sizes the first reservation; an overstated one must not cost memory.
    else
        out.owned.reserve(std::min<std::size_t>(std::size_t(hint), std::size_t(1) << 26));
    // Lists and tuples are walked in place; anything else through its own iterator.
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        const bool list = PyList_CheckExact(obj);
        for (Py_ssize_t i = 0;; ++i) {
            // Re-read the size each time: an element's __index__ may shrink the list.
            if (i >= (list ? PyList_Size(obj) : PyTuple_Size(obj))) break;
            PyObject* item = list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
            PyRef hold = PyRef::borrow(item);
            std::uint8_t b;
            if (!to_u8(item, b)) return false;
            out.owned.push_back(b);
        }
    } else {
        PyRef iter = PyRef::steal(PyObject_GetIter(obj));
        if (!iter) return false;
        while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
            std::uint8_t b;
            if (!to_u8(item.get(), b)) return false;
            out.owned.push_back(b);
        }
        if (PyErr_Occurred()) return false;
    }
    out.use_owned();
    return true;
}

bool to_i32(PyObject* obj, std::int32_t& out) {
    long v;
    if (!to_long(obj, v)) return false;
    if (v < INT32_MIN || v > INT32_MAX) {
        raise(PyExc_OverflowError, msg::OUT_OF_RANGE);
        return false;
    }
    out = static_cast<std::int32_t>(v);
    return true;
}

bool to_text(PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        raise_cannot_convert(obj, "PyString");
        return false;
    }
    PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(obj));
    if (!bytes) return false;
    char* p;
    Py_ssize_t n;
    if (PyBytes_AsStringAndSize(bytes.get(), &p, &n) < 0) return false;
    out.assign(p, static_cast<std::size_t>(n));
    return true;
}

bool to_f32(PyObject* obj, float& out) {
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) return false;
    out = narrow_to_float(d);
    return true;
}

bool to_frame(PyObject* const* argv, ByteInput& data, std::int32_t& width, std::int32_t& height) {
    const bool stable = PyLong_Check(argv[1]) && PyLong_Check(argv[2]);
    if (!to_bytes(argv[0], data, stable)) return argument_failed("data");
    if (!to_i32(argv[1], width)) return argument_failed("width");
    if (!to_i32(argv[2], height)) return argument_failed("height");
    return true;
}

PyObject* none() {
    Py_INCREF(Py_None);
    return Py_None;
}

bool argument_failed(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef old_type = PyRef::steal(type), old = PyRef::steal(value), old_tb = PyRef::steal(tb);
    PyRef text = PyRef::steal(PyObject_Str(old.get()));
    std::string message = text ? utf8_of(text.get()) : std::string();
    if (!text) PyErr_Clear();
    const std::string prefixed = msg::argument_prefix(name, message);
    PyRef arg = PyRef::steal(PyUnicode_FromStringAndSize(prefixed.data(), Py_ssize_t(prefixed.size())));
    if (!arg) return false;
    PyRef fresh = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, arg.get(), nullptr));
    if (!fresh) return false;
    PyException_SetCause(fresh.get(), PyException_GetCause(old.get()));  // steals the new reference
    Py_INCREF(PyExc_TypeError);
    PyErr_Restore(PyExc_TypeError, fresh.release(), nullptr);
    return false;
}

PyObject* panic_exception_type() {
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "The exception raised when a call of the native module fails in a way it cannot recover from.\n\n"
        "Like SystemExit, it derives from BaseException, so `except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
    return type;
}

PyObject* raise_panic(const std::string& message) {
    const std::string note = msg::panic_note(message);
    for (size_t off = 0; off < note.size();) {
        ssize_t n = ::write(STDERR_FILENO, note.data() + off, note.size() - off);
        if (n <= 0 && errno != EINTR) break;
        if (n > 0) off += size_t(n);
    }
    PyObject* type = panic_exception_type();
    if (!type) return nullptr;
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* raise_error(const Error& error) {
    const msg::Described d = msg::describe(error);
    if (d.panic) return raise_panic(d.text);
    raise(PyExc_RuntimeError, d.text);
    return nullptr;
}

PyObject* raise_os_error(const IoError& error) {
    raise(PyExc_OSError, msg::io_display(error));
    return nullptr;
}

std::uint64_t current_thread_id() {
    thread_local const std::uint64_t id = g_next_thread_id.fetch_add(1);
    return id;
}

Borrow::Borrow(Ownership& own, Access access, const char* type_path) : own_(own), access_(access) {
    const std::uint64_t me = current_thread_id();
    if (me != own.owner) {
        raise_panic(msg::unsendable(type_path, me, own.owner));
        return;
    }
    constexpr std::uint64_t WRITER = ~std::uint64_t{0};
    if (access == Access::Exclusive && own.borrow != 0) {
        raise(PyExc_RuntimeError, msg::ALREADY_BORROWED);
    } else if (access == Access::Shared && own.borrow == WRITER) {
        raise(PyExc_RuntimeError, msg::ALREADY_MUTABLY_BORROWED);
    } else {
        own.borrow = access == Access::Exclusive ? WRITER : own.borrow + 1;
        held_ = true;
    }
}

Borrow::~Borrow() {
    if (!held_ || g_retaking_lock) return;  // on a thread being ended, the object may be gone
    if (access_ == Access::Exclusive)
        own_.borrow = 0;
    else
        --own_.borrow;
}

namespace {

using FinalizingQuery = int (*)();

// Why look it up at run time: the query is no part of the stable ABI. 3.13 calls it
// Py_IsFinalizing, 3.8 to 3.12 _Py_IsFinalizing; both read a flag, safe without the lock.
FinalizingQuery finalizing_query() {
    static const FinalizingQuery query = [] {
        void* found = dlsym(RTLD_DEFAULT, "Py_IsFinalizing");
        if (!found) found = dlsym(RTLD_DEFAULT, "_Py_IsFinalizing");
        return reinterpret_cast<FinalizingQuery>(found);
    }();
    return query;
}

[[noreturn]] void park_for_good() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);  // signals go to the threads that can still act on them
    for (;;) pause();
}

}  // namespace

bool interpreter_finalizing() {
    const FinalizingQuery query = finalizing_query();
    return query && query() != 0;
}

void retake_lock(PyThreadState* saved, bool finalizing_before) {
    if (!finalizing_before && interpreter_finalizing()) park_for_good();
    g_retaking_lock = true;
    PyEval_RestoreThread(saved);
    g_retaking_lock = false;
}

}  // namespace corvane::py
