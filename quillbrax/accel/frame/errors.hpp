// How failures travel inside a call and how they surface: a Python exception is set, a Failure
// carrying the source line of the failing statement unwinds the kernel body (every acquired
// buffer and reference is released by its destructor on the way), and the function's entry point
// turns it into a traceback entry and a NULL return. No C++ exception leaves the frame.
#pragma once

#include "frame/refs.hpp"

#include <cstddef>
#include <new>
#include <vector>

namespace quillbrax::frame {

struct Failure {
    int line;  // source line reported in the traceback entry
};

// Unwinds with the pending Python exception.
[[noreturn]] void fail(int line);

// Sets an exception formatted as PyErr_Format does, then unwinds.
[[noreturn]] void raise(PyObject* type, int line, const char* format, ...);

// Wraps the result of an API call that returns a new reference or NULL with an exception set.
inline Ref checked(PyObject* new_reference, int line) {
    if (new_reference == nullptr) fail(line);
    return Ref::steal(new_reference);
}

[[noreturn]] void raise_unaddressable(Py_ssize_t count, size_t item_size, int line);

// Storage of `count` elements for one call (released with the vector): a size no pointer can
// address is ValueError, one the allocator refuses MemoryError, both at `line`.
template <class T>
std::vector<T> scratch(Py_ssize_t count, int line) {
    if (count < 0 || static_cast<size_t>(count) > PY_SSIZE_T_MAX / sizeof(T)) {
        raise_unaddressable(count, sizeof(T), line);
    }
    try {
        return std::vector<T>(static_cast<size_t>(count));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    fail(line);
}

// Sets the Python exception for a C++ exception that reached the frame (to be called in a catch
// block): MemoryError for an allocation refused, ValueError for a size no container can hold.
void set_native_exception();

// Extends the pending exception's traceback by a frame whose file name is the current module's
// source path, whose function name is `qualified_name` and whose line is `line`; the frame's
// globals are the module's globals. Keeps the pending exception whatever happens.
void add_traceback_entry(const char* qualified_name, int line);

// Same, for a frame that stands for code outside the module (file name given).
void add_traceback_entry(const char* file_name, const char* qualified_name, int line);

}  // namespace quillbrax::frame
