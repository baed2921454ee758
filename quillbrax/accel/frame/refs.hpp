// Owning references to Python objects.
#pragma once

#include "frame/python.hpp"

#include <utility>

namespace quillbrax::frame {

// A strong reference, released by the destructor: replaces the C pattern of a Py_XDECREF on
// every exit path.
class Ref {
public:
    Ref() = default;
    // Takes over a new reference (the result of an API call that returns one); null is allowed.
    static Ref steal(PyObject* object) { return Ref(object); }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* object) { return Ref(Py_XNewRef(object)); }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(object_, std::exchange(other.object_, nullptr)));
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller (for returning a result to the interpreter).
    PyObject* release() { return std::exchange(object_, nullptr); }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// Holds the pending exception while cleanup code that may call into Python runs, and sets it
// again on destruction.
class PendingException {
public:
    PendingException() : exception_(PyErr_GetRaisedException()) {}
    PendingException(const PendingException&) = delete;
    PendingException& operator=(const PendingException&) = delete;
    ~PendingException() { PyErr_SetRaisedException(exception_); }

private:
    PyObject* exception_;
};

}  // namespace quillbrax::frame
