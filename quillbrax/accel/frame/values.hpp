// The one way a body builds the Python values it hands to NumPy or returns: each a new reference,
// or a Failure at `line` (the statement that builds it) with the exception set.
#pragma once

#include "frame/errors.hpp"

#include <initializer_list>

namespace quillbrax::frame {

inline Ref make_int(long long value, int line) { return checked(PyLong_FromLongLong(value), line); }

inline Ref make_float(double value, int line) { return checked(PyFloat_FromDouble(value), line); }

// A tuple of the given (borrowed) objects.
inline Ref make_tuple(std::initializer_list<PyObject*> items, int line) {
    Ref tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())), line);
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item));
    return tuple;
}

// A tuple of ints: the shape argument of np.empty and np.zeros.
inline Ref make_shape(std::initializer_list<Py_ssize_t> extents, int line) {
    Ref tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(extents.size())), line);
    Py_ssize_t i = 0;
    for (Py_ssize_t extent : extents) {
        PyTuple_SET_ITEM(tuple.get(), i++, make_int(extent, line).release());
    }
    return tuple;
}

// The slice start:stop (either may be null, for an open end).
inline Ref make_slice(PyObject* start, PyObject* stop, int line) {
    return checked(PySlice_New(start, stop, nullptr), line);
}

}  // namespace quillbrax::frame
