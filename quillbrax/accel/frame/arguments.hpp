// Binding of call arguments to parameters, integer conversion and the array type test.
#pragma once

#include "frame/python.hpp"

#include <span>

namespace quillbrax::frame {

// Fills values[0 … P-1] (borrowed references) from a call's positional and keyword arguments.
// `parameter_names` are the interned names in order; the first `required` parameters have no
// default, the others take defaults[p - required] when nothing is given for them. Keywords come
// either as vectorcall names (`keyword_names`, values after the positional ones in `arguments`)
// or as a dictionary (`keyword_dict`); either may be null. Returns false with TypeError set.
bool bind_arguments(const char* function_name, std::span<PyObject* const> parameter_names,
                    Py_ssize_t required, PyObject* const* defaults, PyObject* const* arguments,
                    Py_ssize_t positional_count, PyObject* keyword_names, PyObject* keyword_dict,
                    PyObject** values);

enum class IntWidth { bits32, bits64 };

// Converts `value` to a signed integer of the given width (ints as they are, anything else through
// its type's __int__). Returns false with OverflowError, TypeError or a DeprecationWarning turned
// error set.
bool convert_int_argument(PyObject* value, IntWidth width, long* result);

// None and instances of `ndarray_type` (or a subclass) pass; anything else sets TypeError.
bool check_array_type(PyObject* value, const char* parameter_name, PyTypeObject* ndarray_type);

}  // namespace quillbrax::frame
