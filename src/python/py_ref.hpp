// PyRef (an owning reference), GilRelease (a scoped release of the GIL) and the
// guard that keeps C++ exceptions from crossing into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>  // for std::exception
#include <new>        // for std::bad_alloc
#include <utility>

namespace kelvara::py {

/// Owns one strong reference; releases it when destroyed.
class PyRef {
public:
    PyRef() = default;
    /// Takes over a new reference (may be null after a failed call).
    explicit PyRef(PyObject* owned) : ptr_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(ptr_);
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(ptr_); }

    PyObject* get() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    /// Gives the reference away (to a caller or to a "steals" API).
    PyObject* release() { return std::exchange(ptr_, nullptr); }

private:
    PyObject* ptr_ = nullptr;
};

/// Releases the GIL for its lifetime. Touch no Python object while it lives.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

/// Runs `body` (which returns a PyObject* or null with an exception set) and turns
/// any escaping C++ exception into a Python one: an exception crossing into CPython
/// would abort the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected internal error");
        return nullptr;
    }
}

}  // namespace kelvara::py
