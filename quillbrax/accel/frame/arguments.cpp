#include "frame/arguments.hpp"

#include <climits>

namespace quillbrax::frame {

namespace {

constexpr const char* kArgumentCountMessage =
    "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
constexpr const char* kMultipleValuesMessage = "%s() got multiple values for keyword argument '%U'";
constexpr const char* kUnexpectedKeywordMessage = "%s() got an unexpected keyword argument '%U'";
constexpr const char* kKeywordsMustBeStringsMessage = "%.200s() keywords must be strings";

constexpr const char* kIntOverflowMessage = "value too large to convert to int";
constexpr const char* kIntegerRequiredMessage = "an integer is required";
constexpr const char* kIntReturnedNonIntMessage = "__int__ returned non-int (type %.200s)";
constexpr const char* kIntReturnedIntSubclassMessage =
    "__int__ returned non-int (type %.200s).  The ability to return an instance of a strict "
    "subclass of int is deprecated, and may be removed in a future version of Python.";

constexpr const char* kIncorrectTypeMessage =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";

void raise_argument_count(const char* function_name, const char* qualifier, Py_ssize_t expected,
                          Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, kArgumentCountMessage, function_name, qualifier, expected,
                 expected == 1 ? "" : "s", given);
}

// Matches one keyword against the parameters from `first_free` on: by identity, then (for a
// string) by equal characters. Returns the parameter index, -1 when nothing matches, -2 when the
// keyword is no string (TypeError set).
Py_ssize_t match_keyword(const char* function_name, std::span<PyObject* const> names,
                         Py_ssize_t first_free, PyObject* keyword) {
    const auto count = static_cast<Py_ssize_t>(names.size());
    for (Py_ssize_t p = first_free; p < count; ++p) {
        if (names[p] == keyword) return p;
    }
    if (!PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, kKeywordsMustBeStringsMessage, function_name);
        return -2;
    }
    for (Py_ssize_t p = first_free; p < count; ++p) {
        // Interned names and keywords differ in length or kind more often than in characters.
        if (PyUnicode_GET_LENGTH(names[p]) == PyUnicode_GET_LENGTH(keyword) &&
            PyUnicode_KIND(names[p]) == PyUnicode_KIND(keyword) &&
            PyUnicode_Compare(names[p], keyword) == 0) {
            return p;
        }
    }
    return -1;
}

bool bind_keyword(const char* function_name, std::span<PyObject* const> names,
                  Py_ssize_t positional_count, PyObject* keyword, PyObject* value,
                  PyObject** values) {
    const Py_ssize_t p = match_keyword(function_name, names, positional_count, keyword);
    if (p == -2) return false;
    if (p >= 0 && values[p] == nullptr) {
        values[p] = value;
        return true;
    }
    // Either it names a parameter that already has a value or none at all.
    const bool names_a_parameter =
        p >= 0 || match_keyword(function_name, names.first(positional_count), 0, keyword) >= 0;
    PyErr_Format(PyExc_TypeError,
                 names_a_parameter ? kMultipleValuesMessage : kUnexpectedKeywordMessage,
                 function_name, keyword);
    return false;
}

}  // namespace

bool bind_arguments(const char* function_name, std::span<PyObject* const> parameter_names,
                    Py_ssize_t required, PyObject* const* defaults, PyObject* const* arguments,
                    Py_ssize_t positional_count, PyObject* keyword_names, PyObject* keyword_dict,
                    PyObject** values) {
    const auto parameter_count = static_cast<Py_ssize_t>(parameter_names.size());
    const bool has_defaults = required != parameter_count;
    const Py_ssize_t keyword_count = keyword_names != nullptr  ? PyTuple_GET_SIZE(keyword_names)
                                     : keyword_dict != nullptr ? PyDict_GET_SIZE(keyword_dict)
                                                               : 0;

    if (keyword_count == 0 && positional_count < required) {
        raise_argument_count(function_name, has_defaults ? "at least" : "exactly", required,
                             positional_count);
        return false;
    }
    if (positional_count > parameter_count) {
        raise_argument_count(function_name, has_defaults ? "at most" : "exactly", parameter_count,
                             positional_count);
        return false;
    }

    for (Py_ssize_t p = 0; p < parameter_count; ++p) {
        values[p] = p < positional_count ? arguments[p] : nullptr;
    }
    if (keyword_names != nullptr) {
        for (Py_ssize_t i = 0; i < keyword_count; ++i) {
            if (!bind_keyword(function_name, parameter_names, positional_count,
                              PyTuple_GET_ITEM(keyword_names, i), arguments[positional_count + i],
                              values)) {
                return false;
            }
        }
    } else if (keyword_dict != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword;
        PyObject* value;
        while (PyDict_Next(keyword_dict, &position, &keyword, &value)) {
            if (!bind_keyword(function_name, parameter_names, positional_count, keyword, value,
                              values)) {
                return false;
            }
        }
    }

    for (Py_ssize_t p = 0; p < parameter_count; ++p) {
        if (values[p] != nullptr) continue;
        if (p < required) {
            raise_argument_count(function_name, has_defaults ? "at least" : "exactly", required, p);
            return false;
        }
        values[p] = defaults[p - required];
    }
    return true;
}

bool convert_int_argument(PyObject* value, IntWidth width, long* result) {
    PyObject* number;
    if (PyLong_Check(value)) {
        number = Py_NewRef(value);
    } else {
        PyNumberMethods* methods = Py_TYPE(value)->tp_as_number;
        if (methods == nullptr || methods->nb_int == nullptr) {
            PyErr_SetString(PyExc_TypeError, kIntegerRequiredMessage);
            return false;
        }
        number = methods->nb_int(value);
        if (number == nullptr) return false;
        if (!PyLong_CheckExact(number)) {
            const bool is_int_subclass = PyLong_Check(number);
            if (!is_int_subclass) {
                PyErr_Format(PyExc_TypeError, kIntReturnedNonIntMessage, Py_TYPE(number)->tp_name);
            }
            if (!is_int_subclass ||
                PyErr_WarnFormat(PyExc_DeprecationWarning, 1, kIntReturnedIntSubclassMessage,
                                 Py_TYPE(number)->tp_name) < 0) {
                Py_DECREF(number);
                return false;
            }
        }
    }
    const long converted = PyLong_AsLong(number);
    Py_DECREF(number);
    if (converted == -1 && PyErr_Occurred()) {
        if (width == IntWidth::bits32 && PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_SetString(PyExc_OverflowError, kIntOverflowMessage);
        }
        return false;
    }
    if (width == IntWidth::bits32 && (converted < INT_MIN || converted > INT_MAX)) {
        PyErr_SetString(PyExc_OverflowError, kIntOverflowMessage);
        return false;
    }
    *result = converted;
    return true;
}

bool check_array_type(PyObject* value, const char* parameter_name, PyTypeObject* ndarray_type) {
    if (value == Py_None || PyObject_TypeCheck(value, ndarray_type)) return true;
    PyErr_Format(PyExc_TypeError, kIncorrectTypeMessage, parameter_name, ndarray_type->tp_name,
                 Py_TYPE(value)->tp_name);
    return false;
}

}  // namespace quillbrax::frame
