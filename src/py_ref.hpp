// PyRef: the one owner of a strong reference to a Python object.
//
// `PyRef::steal` takes over a new reference (a NULL one stays empty, so a failed API call can be
// wrapped directly and tested), `PyRef::borrow` adds a reference of its own. Move-only; the
// reference is dropped when the owner dies unless `release()` hands it to the caller. Use only
// with the interpreter lock held.
//
// `g_retaking_lock` is set on a thread while it retakes the interpreter lock (`retake_lock` in
// binding.hpp). An interpreter that is finalizing ends the thread right there, and its C++ frames
// unwind without the lock: what they hold is left alone then, to the process that is exiting.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace corvane::py {

inline thread_local bool g_retaking_lock = false;

class PyRef {
  public:
    PyRef() = default;
    static PyRef steal(PyObject* o) { return PyRef(o); }
    static PyRef borrow(PyObject* o) {
        Py_XINCREF(o);
        return PyRef(o);
    }
    PyRef(PyRef&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(o_);
            o_ = std::exchange(other.o_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() {
        if (!g_retaking_lock) Py_XDECREF(o_);
    }

    PyObject* get() const { return o_; }
    PyObject* release() { return std::exchange(o_, nullptr); }
    explicit operator bool() const { return o_ != nullptr; }

  private:
    explicit PyRef(PyObject* o) : o_(o) {}
    PyObject* o_ = nullptr;
};

}  // namespace corvane::py
