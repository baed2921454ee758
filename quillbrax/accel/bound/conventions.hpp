// Binding conventions of the pybind11 modules (_nearix, _warpalign): how an array argument is
// declared and then read, how results are created, and how a refused argument surfaces.
//
// Arguments are declared as float64 arrays with forced casting and no parameter names, so the
// binding layer converts them and answers a keyword, an unconvertible object or an out-of-range
// integer with its own TypeError. What the binding layer does not check (number of dimensions,
// extents that must fit the int32 indices, contiguity) is checked here, before any kernel runs.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "view_chain.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pybind11::detail {

// The conversion of a float64 array argument, as the binding layer's own (NumPy's PyArray_FromAny
// with forced casting), except for how a failure surfaces. The binding layer answers every
// failed conversion with its TypeError listing the signatures, as if the argument's type were
// wrong; a conversion that ran out of memory (or was interrupted) raises what NumPy raised.
template <>
struct pyobject_caster<array_t<double, array::forcecast>> {
    using type = array_t<double, array::forcecast>;

    bool load(handle src, bool convert) {
        if (!convert && !type::check_(src)) {
            return false;
        }
        PyObject* converted = npy_api::get().PyArray_FromAny_(
            src.ptr(), dtype::of<double>().release().ptr(), 0, 0,
            npy_api::NPY_ARRAY_ENSUREARRAY_ | npy_api::NPY_ARRAY_FORCECAST_, nullptr);
        if (converted == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError) ||
                !PyErr_ExceptionMatches(PyExc_Exception)) {
                throw error_already_set();
            }
            PyErr_Clear();
            return false;
        }
        value = reinterpret_steal<type>(converted);
        return true;
    }

    static handle cast(const handle& src, return_value_policy /* policy */, handle /* parent */) {
        return src.inc_ref();
    }
    PYBIND11_TYPE_CASTER(type, handle_type_name<type>::name);
};

}  // namespace pybind11::detail

namespace quillbrax::bound {

namespace py = pybind11;

// An array parameter: anything NumPy can convert, cast to float64; a float64 array passes as is.
using FloatArray = py::array_t<double, py::array::forcecast>;

inline constexpr std::int64_t max_int32_extent = std::numeric_limits<std::int32_t>::max();

inline constexpr const char* message_wrong_ndim = "{} must be a {}-D array, got a {}-D array";
inline constexpr const char* message_extent_too_large =
    "{} has {} {}; at most 2147483647 are supported";

// Replaces each "{}" of a message template by the next value, in order.
inline std::string format_message(std::string_view message,
                                  std::initializer_list<std::string> values) {
    std::string text;
    auto value = values.begin();
    for (std::size_t pos = 0; pos < message.size(); ++pos) {
        if (message.compare(pos, 2, "{}") == 0 && value != values.end()) {
            text += *value++;
            ++pos;
        } else {
            text += message[pos];
        }
    }
    return text;
}

template <typename... Values>
[[noreturn]] void raise_value_error(std::string_view message, const Values&... values) {
    throw py::value_error(format_message(message, {std::string(values)...}));
}

inline std::string text(std::int64_t value) { return std::to_string(value); }

// Refuses an array whose number of dimensions is not `ndim`.
inline void require_ndim(const py::array& array, py::ssize_t ndim, const char* name) {
    if (array.ndim() != ndim) {
        raise_value_error(message_wrong_ndim, name, text(ndim), text(array.ndim()));
    }
}

// Axis `axis` of `array` as an int32 extent; `what` names the axis in the message ("rows").
inline std::int32_t int32_extent(const py::array& array, py::ssize_t axis, const char* name,
                                 const char* what) {
    const std::int64_t extent = array.shape(axis);
    if (extent > max_int32_extent) {
        raise_value_error(message_extent_too_large, name, text(extent), what);
    }
    return static_cast<std::int32_t>(extent);
}

// The elements of an array of T (a converted argument, or an array checked to hold T) as dense,
// aligned, row-major data. The view keeps the array it reads alive; that is the array itself when
// it already has this layout, else a C-contiguous copy made by NumPy (transposed, strided,
// reversed or unaligned input).
template <class T>
class DenseArray {
public:
    explicit DenseArray(const py::array& array) {
        const auto& api = py::detail::npy_api::get();
        const int flags =
            py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_ | py::detail::npy_api::NPY_ARRAY_ALIGNED_ |
            py::detail::npy_api::NPY_ARRAY_ENSUREARRAY_ | py::detail::npy_api::NPY_ARRAY_FORCECAST_;
        // PyArray_FromAny steals the reference to the dtype.
        PyObject* dense = api.PyArray_FromAny_(array.ptr(), py::dtype::of<T>().release().ptr(), 0,
                                               0, flags, nullptr);
        if (dense == nullptr) {
            throw py::error_already_set();
        }
        holder_ = py::reinterpret_steal<py::array>(dense);
    }

    const T* data() const { return static_cast<const T*>(holder_.data()); }

private:
    py::array holder_;
};
using DenseFloats = DenseArray<double>;

inline constexpr const char* message_argument_moved =
    "{} was reallocated while the call's arguments were converted";

// An array argument held in place for the rest of the call. NumPy reallocates an array in place
// (ndarray.resize with refcheck=False) even while a view of it exists, but never one with a weak
// reference. The binding layer takes an array subclass as a view of it, and converts the later
// arguments (running their __index__ or __array__) before the body runs: the view's memory is
// checked to lie within the current memory of each array it is a view of (else ValueError), and
// the view and those arrays then have a weak reference from here until the call ends, so that
// Python code run later (a __del__ when an allocation collects garbage) cannot free it. The
// chain is followed as the frame's buffers follow it: through array bases, the exporter behind
// a memoryview, and the "base" array of an object that carries an array interface for NumPy
// (as_strided, sliding_window_view).
class HeldArray {
public:
    HeldArray(const py::array& array, const char* name) {
        const auto& api = py::detail::npy_api::get();
        PyObject* view = array.ptr();
        int links = 0;
        for (PyObject* link = view; link != nullptr && links < kMostViewLinks;
             link = next_in_chain(link), ++links) {
            if (!api.PyArray_Check_(link)) continue;
            if (link != view && !within(view, link)) {
                raise_value_error(message_argument_moved, name);
            }
            PyObject* pin = PyWeakref_NewRef(link, nullptr);
            if (pin == nullptr) {
                throw py::error_already_set();
            }
            pins_.push_back(py::reinterpret_steal<py::object>(pin));
            view = link;
        }
    }

private:
    // The next object of the chain, or null.
    static PyObject* next_in_chain(PyObject* link) {
        const auto& api = py::detail::npy_api::get();
        if (api.PyArray_Check_(link)) return py::detail::array_proxy(link)->base;
        return next_past_non_array(link, [&api](PyObject* o) { return api.PyArray_Check_(o); });
    }

    static bool within(PyObject* view, PyObject* base) {
        const auto span = [](PyObject* object, std::uintptr_t* first, std::uintptr_t* last) {
            const auto array = py::reinterpret_borrow<py::array>(object);
            return element_span(array.data(), static_cast<int>(array.ndim()), array.shape(),
                                array.strides(), array.itemsize(), first, last);
        };
        std::uintptr_t inner_first = 0, inner_last = 0, outer_first = 0, outer_last = 0;
        if (!span(view, &inner_first, &inner_last)) return false;
        if (inner_first == inner_last) return true;
        return span(base, &outer_first, &outer_last) && outer_first <= inner_first &&
               inner_last <= outer_last;
    }

    std::vector<py::object> pins_;
};

// A new C-contiguous array of the given shape, uninitialised; the caller fills every element.
// NumPy refuses a negative extent (ValueError) and a size it cannot hold.
template <typename T>
py::array_t<T> new_result(std::initializer_list<py::ssize_t> shape) {
    return py::array_t<T>(std::vector<py::ssize_t>(shape));
}

}  // namespace quillbrax::bound
