// What the frame's buffers and the pybind11 modules' held arrays share to keep a call's arrays
// in place: the bytes an array's elements span, and the way from a view to the array that owns
// its memory. Python code run inside a call can reallocate an array (ndarray.resize with
// refcheck=False) even while views of it exist, unless it has a weak reference; both layers give
// one to each array of a view's chain and check that each lies within the next.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

namespace quillbrax {

// Links of a chain followed at most: chains through objects with a "base" can be made circular.
inline constexpr int kMostViewLinks = 1024;

// The bytes [first, last) that the elements of a strided array span (first == last when it has
// none), or false where that overflows, as only an array that points outside any memory can.
inline bool element_span(const void* data, int ndim, const Py_ssize_t* shape,
                         const Py_ssize_t* strides, Py_ssize_t item_size, std::uintptr_t* first,
                         std::uintptr_t* last) {
    *first = *last = reinterpret_cast<std::uintptr_t>(data);
    if (data == nullptr) return true;
    for (int k = 0; k < ndim; ++k) {
        if (shape[k] <= 0) return true;
    }
    for (int k = 0; k < ndim; ++k) {
        Py_ssize_t reach = 0;
        if (__builtin_mul_overflow(shape[k] - 1, strides[k], &reach)) return false;
        const std::uintptr_t magnitude =
            reach < 0 ? std::uintptr_t{0} - static_cast<std::uintptr_t>(reach)
                      : static_cast<std::uintptr_t>(reach);
        if (reach < 0 ? __builtin_sub_overflow(*first, magnitude, first)
                      : __builtin_add_overflow(*last, magnitude, last)) {
            return false;
        }
    }
    return !__builtin_add_overflow(*last, static_cast<std::uintptr_t>(item_size), last);
}

// The value under `name` in `dict` (borrowed), or null: keys are compared as exact strings, never
// by a key's __eq__, so that reading the dictionary runs no Python code.
inline PyObject* exact_entry(PyObject* dict, const char* name) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (PyUnicode_CheckExact(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) {
            return value;
        }
    }
    return nullptr;
}

// The memoryview that a class's __buffer__ returned, where `link` is the object Python puts
// between the buffer it exports and that memoryview (the exporter a memoryview of such an object
// names). The wrapper's type has no attribute to read it by, but its traversal visits it.
inline PyObject* memoryview_behind_wrapper(PyObject* link) {
    PyTypeObject* const type = Py_TYPE(link);
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || type->tp_traverse == nullptr ||
        std::strcmp(type->tp_name, "_buffer_wrapper") != 0) {
        return nullptr;
    }
    PyObject* found = nullptr;
    type->tp_traverse(
        link,
        [](PyObject* referent, void* result) {
            if (referent == nullptr || !PyMemoryView_Check(referent)) return 0;
            *static_cast<PyObject**>(result) = referent;
            return 1;
        },
        &found);
    return found;
}

// The next object of a chain of views after `link`, which is not an array: the exporter behind
// a memoryview (as np.asarray(memoryview(a)) and np.ctypeslib's arrays have), the memoryview
// behind the wrapper of a buffer that __buffer__ exported, or, for an object
// that holds an array interface for NumPy in its instance dictionary (the base of the arrays of
// np.lib.stride_tricks.as_strided and sliding_window_view), the array there under "base"
// (`is_array` tells). Null at the end. Reads no attribute through Python code (see exact_entry).
template <class IsArray>
PyObject* next_past_non_array(PyObject* link, IsArray is_array) {
    if (PyMemoryView_Check(link)) return PyMemoryView_GET_BUFFER(link)->obj;
    if (PyObject* exported = memoryview_behind_wrapper(link)) return exported;
    PyTypeObject* const type = Py_TYPE(link);
    if (type->tp_dictoffset == 0 && !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) {
        return nullptr;
    }
    PyObject* dict = PyObject_GenericGetDict(link, nullptr);
    if (dict == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* base = exact_entry(dict, "base");  // borrowed: the object's dictionary holds it
    const bool interface = exact_entry(dict, "__array_interface__") != nullptr;
    Py_DECREF(dict);
    return interface && base != nullptr && is_array(base) ? base : nullptr;
}

}  // namespace quillbrax
