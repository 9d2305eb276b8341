// Binding conventions shared by every method of the extension.
//
// Contract:
// - `match_arguments` fills a method's parameters from a call's positional tuple and keyword
//   dictionary, raising the TypeError shapes of the argument-error table in binding.cpp.
// - `to_*` convert one argument each and return false with a Python exception set. A TypeError of
//   a conversion gets the "argument 'NAME': " prefix through `argument_failed`, keeping __cause__.
// - `raise_*` turn the core's failures into Python exceptions and return NULL: an `Error` into
//   RuntimeError or pyo3_runtime.PanicException (also written to standard error) as the table in
//   messages.cpp says, an open failure of `start_recording` into OSError.
// - `translate` runs a method body so that no C++ exception (only allocation and OpenCV throw)
//   ever crosses into the interpreter. The unwind of a thread being ended is no exception: it
//   passes on, and no frame between a method and its caller is `noexcept`, or it would terminate
//   the process.
// - `without_lock` runs a blocking call with the interpreter lock given up.
// - `Ownership` holds an object's owner thread and borrow state; `Borrow` checks both and holds
//   shared or exclusive access for one call.
// Everything here needs the interpreter lock, but the blocking call of `without_lock`.
#pragma once

#include <cxxabi.h>

#include <cstdint>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "byte_input.hpp"
#include "core/error.hpp"
#include "py_ref.hpp"

namespace corvane::py {

struct Signature {
    const char* function;  // as shown in messages, e.g. "Corvane.render()"
    const char* const* params;
    int count;
};

// On success `out[i]` holds a borrowed reference to parameter i.
bool match_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// The bytes of a `data` argument. `may_borrow`: no Python code runs before the bytes are used,
// so a mutable owner's block may be used where it lies.
bool to_bytes(PyObject* obj, ByteInput& out, bool may_borrow);
bool to_i32(PyObject* obj, std::int32_t& out);
bool to_text(PyObject* obj, std::string& out);
bool to_f32(PyObject* obj, float& out);
// Returns false after rewriting a pending TypeError as "argument 'NAME': ...".
bool argument_failed(const char* name);
// The (data, width, height) of a frame, converted in that order with their names in the messages.
// When both sizes are ints no Python code runs between taking the bytes and using them, so the
// bytes may be used where they lie.
bool to_frame(PyObject* const* argv, ByteInput& data, std::int32_t& width, std::int32_t& height);

PyObject* none();

// Raises TypeError "'TYPE' object cannot be converted to 'TARGET'".
void raise_cannot_convert(PyObject* obj, const char* target);
PyObject* raise_error(const Error& error);
PyObject* raise_panic(const std::string& message);
PyObject* raise_os_error(const IoError& error);
PyObject* panic_exception_type();

std::uint64_t current_thread_id();

enum class Access { Shared, Exclusive };

struct Ownership {
    std::uint64_t owner = current_thread_id();
    std::uint64_t borrow = 0;  // readers, or all ones for one writer
};

class Borrow {
  public:
    // Checks the owner thread, then takes access; on failure `ok()` is false with an exception set.
    Borrow(Ownership& own, Access access, const char* type_path);
    ~Borrow();
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    bool ok() const { return held_; }

  private:
    Ownership& own_;
    Access access_;
    bool held_ = false;
};

template <class F>
PyObject* translate(F&& body);

// True when the interpreter is finalizing: during that, the thread that finalizes holds the lock
// and any other that retakes it is ended.
bool interpreter_finalizing();

// Retakes the lock `PyEval_SaveThread` gave up. CPython 3.8 to 3.13 end a thread that retakes it
// while the interpreter finalizes, by a forced unwind from inside `PyEval_RestoreThread`. Such a
// thread parks for good instead, as CPython 3.14 parks it itself: the process is exiting. One that
// comes back just before the finalizing starts is still ended; `g_retaking_lock` makes its unwind
// leave Python objects alone. `finalizing_before`: `interpreter_finalizing()` when the lock was
// given up, true only on the thread that finalizes, which gets the lock back.
void retake_lock(PyThreadState* saved, bool finalizing_before);

template <class F>
auto without_lock(F&& blocking) {
    static_assert(std::is_nothrow_invocable_v<F>, "nothing may unwind past a lock given up");
    const bool finalizing = interpreter_finalizing();
    PyThreadState* saved = PyEval_SaveThread();
    auto result = blocking();
    retake_lock(saved, finalizing);
    return result;
}

// What every method of an object with an `own` field does around its body: the owner and borrow checks,
// the body under `translate`, the access given back. The method descriptors already refuse a
// `self` of another type, before any of this runs.
template <class Object, class Body>
PyObject* with_access(PyObject* self, Access access, const char* type_path, Body&& body) {
    Object* obj = reinterpret_cast<Object*>(self);
    Borrow borrow(obj->own, access, type_path);
    if (!borrow.ok()) return nullptr;
    return translate([&] { return body(*obj); });
}

template <class F>
CORVANE_CATCHES_FORCED_UNWIND PyObject* translate(F&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;  // a thread being ended: swallowed, it would go on to call the interpreter without the lock
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise_panic(e.what());
    } catch (...) {
        return raise_panic("unknown failure");
    }
}

}  // namespace corvane::py
