#include "frame/buffers.hpp"

#include "frame/state.hpp"

#include "view_chain.hpp"

#include <cctype>
#include <new>

namespace quillbrax::frame {

namespace {

constexpr const char* kWrongDimensionsMessage =
    "Buffer has wrong number of dimensions (expected %d, got %d)";
constexpr const char* kDtypeMismatchMessage = "Buffer dtype mismatch, expected %s%s%s but got %s";
constexpr const char* kBigEndianMessage =
    "Big-endian buffer not supported on little-endian compiler";
constexpr const char* kBufferItemSizeMessage =
    "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)";
constexpr const char* kViewItemSizeMessage =
    "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)";
constexpr const char* kIndirectDimensionMessage =
    "Buffer not compatible with direct access in dimension %d.";
constexpr const char* kSuboffsetsWithoutStridesMessage = "Buffer exposes suboffsets but no strides";
constexpr const char* kReallocatedMessage =
    "an array lies outside the memory of the array it views (reallocated, or strided past it)";

constexpr const char* kUnexpectedCharacterMessage = "Unexpected format string character: '%c'";
constexpr const char* kUnknownCharacterMessage =
    "Does not understand character buffer dtype format string ('%c')";
constexpr const char* kExpectedCommaMessage = "Expected a comma in format string, got '%c'";
constexpr const char* kUnexpectedEndMessage = "Unexpected end of format string, expected ')'";
constexpr const char* kExpectedBraceMessage = "Buffer acquisition: Expected '{' after 'T'";
constexpr const char* kDimensionCountMessage = "Expected %d dimension(s), got %d";
constexpr const char* kLongDoubleStandardMessage =
    "Python does not define a standard format string size for long double ('g')..";

enum class Sizes { native, standard };

// What one type character of a format string stands for.
struct Element {
    enum Kind {
        signed_integer,
        unsigned_integer,
        real,
        object,
        pointer,
        character,
        structure,
        unparsable
    } kind;
    Py_ssize_t size;
    const char* description;
};

Element describe(char code, bool complex, Sizes sizes) {
    const bool standard = sizes == Sizes::standard;
    switch (code) {
        case '?': return {Element::unsigned_integer, 1, "'bool'"};
        case 'b': return {Element::signed_integer, 1, "'signed char'"};
        case 'B': return {Element::unsigned_integer, 1, "'unsigned char'"};
        case 'c': return {Element::character, 1, "'char'"};
        case 'h': return {Element::signed_integer, 2, "'short'"};
        case 'H': return {Element::unsigned_integer, 2, "'unsigned short'"};
        case 'i': return {Element::signed_integer, 4, "'int'"};
        case 'I': return {Element::unsigned_integer, 4, "'unsigned int'"};
        case 'l': return {Element::signed_integer, standard ? 4 : 8, "'long'"};
        case 'L': return {Element::unsigned_integer, standard ? 4 : 8, "'unsigned long'"};
        case 'q': return {Element::signed_integer, 8, "'long long'"};
        case 'Q': return {Element::unsigned_integer, 8, "'unsigned long long'"};
        case 'f': return {Element::real, complex ? 8 : 4, complex ? "'complex float'" : "'float'"};
        case 'd':
            return {Element::real, complex ? 16 : 8, complex ? "'complex double'" : "'double'"};
        case 'g':
            return {Element::real, complex ? 32 : 16,
                    complex ? "'complex long double'" : "'long double'"};
        case 'O': return {Element::object, 8, "Python object"};
        case 'P': return {Element::pointer, 8, "a pointer"};
        case 'T': return {Element::structure, 0, "a struct"};
        case 's':
        case 'p': return {Element::signed_integer, 1, "a string"};
        default: return {Element::unparsable, 0, "unparsable format string"};
    }
}

bool is_type_code(char c) {
    switch (c) {
        case '?':
        case 'b':
        case 'B':
        case 'c':
        case 'h':
        case 'H':
        case 'i':
        case 'I':
        case 'l':
        case 'L':
        case 'q':
        case 'Q':
        case 'f':
        case 'd':
        case 'g':
        case 'O':
        case 'P':
        case 's':
        case 'p': return true;
        default: return false;
    }
}

bool mismatch(const ElementType& type, const char* found) {
    PyErr_Format(PyExc_ValueError, kDtypeMismatchMessage, "'", type.name, "'", found);
    return false;
}

bool value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return false;
}

// Reads "(d0,d1,…)" starting at the '(' and leaves `position` after the ')'; gives the number
// of extents read, or -1 with ValueError set.
int parse_array_dimensions(const char*& position) {
    ++position;  // '('
    int count = 0;
    for (;;) {
        while (*position == ' ') ++position;
        if (*position == '\0') return value_error(kUnexpectedEndMessage), -1;
        if (!std::isdigit(static_cast<unsigned char>(*position))) {
            PyErr_Format(PyExc_ValueError, kExpectedCommaMessage, *position);
            return -1;
        }
        while (std::isdigit(static_cast<unsigned char>(*position))) ++position;
        ++count;
        while (*position == ' ') ++position;
        if (*position == ')') {
            ++position;
            return count;
        }
        if (*position == '\0') return value_error(kUnexpectedEndMessage), -1;
        if (*position != ',') {
            PyErr_Format(PyExc_ValueError, kExpectedCommaMessage, *position);
            return -1;
        }
        ++position;
    }
}

}  // namespace

bool check_element_format(const char* format, const ElementType& type) {
    const char* position = format != nullptr ? format : "B";
    Sizes sizes = Sizes::native;
    bool found_element = false;

    while (*position != '\0') {
        const char c = *position;
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++position;
            continue;
        }
        if (c == ':') {  // a field name runs to the next colon
            ++position;
            while (*position != '\0' && *position != ':') ++position;
            if (*position == ':') ++position;
            continue;
        }
        if (c == '@' || c == '^') {
            sizes = Sizes::native;
            ++position;
            continue;
        }
        if (c == '=' || c == '<') {
            sizes = Sizes::standard;
            ++position;
            continue;
        }
        if (c == '>' || c == '!') return value_error(kBigEndianMessage);
        if (c == 'x') {  // pad byte
            ++position;
            continue;
        }
        if (c == '(') {
            // The declared element types are scalars: any array of them has too many dimensions.
            const int dimensions = parse_array_dimensions(position);
            if (dimensions < 0) return false;
            PyErr_Format(PyExc_ValueError, kDimensionCountMessage, 0, dimensions);
            return false;
        }

        long repeat = 1;
        if (std::isdigit(static_cast<unsigned char>(c))) {
            repeat = 0;
            while (std::isdigit(static_cast<unsigned char>(*position))) {
                if (repeat < 1000000000L) repeat = repeat * 10 + (*position - '0');
                ++position;
            }
        }
        bool complex = false;
        if (*position == 'Z') {
            complex = true;
            ++position;
            if (*position != 'f' && *position != 'd' && *position != 'g') {
                PyErr_Format(PyExc_ValueError, kUnexpectedCharacterMessage, 'Z');
                return false;
            }
        }
        const char code = *position;
        if (code == '\0') break;
        if (code == 'T' && position[1] != '{') return value_error(kExpectedBraceMessage);
        if (code == ')' || code == '}' || code == '{' || code == ',') {
            PyErr_Format(PyExc_ValueError, kUnexpectedCharacterMessage, code);
            return false;
        }
        if (!is_type_code(code) && code != 'T' && !std::isalpha(static_cast<unsigned char>(code))) {
            PyErr_Format(PyExc_ValueError, kUnknownCharacterMessage, code);
            return false;
        }
        if (code == 'g' && sizes == Sizes::standard) return value_error(kLongDoubleStandardMessage);

        const Element element = describe(code, complex, sizes);
        const bool wanted_kind =
            (type.kind == ElementKind::real && element.kind == Element::real && !complex) ||
            (type.kind == ElementKind::signed_integer && element.kind == Element::signed_integer &&
             code != 's' && code != 'p');
        if (found_element || repeat != 1 || !wanted_kind || element.size != type.size) {
            return mismatch(type, element.description);
        }
        found_element = true;
        ++position;
    }
    if (!found_element) return mismatch(type, "end");
    return true;
}

namespace {

// The next object of a chain of views: an array's base, or what view_chain.hpp finds past an
// object that is not an array. Null at the end.
PyObject* next_in_chain(PyObject* link, PyTypeObject* ndarray) {
    if (PyObject_TypeCheck(link, ndarray)) {
        return PyArray_BASE(reinterpret_cast<PyArrayObject*>(link));
    }
    return next_past_non_array(link,
                               [ndarray](PyObject* o) { return PyObject_TypeCheck(o, ndarray); });
}

// Whether the elements of array `view` lie within those of array `base`, as a view's do until
// Python code reallocates the base (ndarray.resize with refcheck=False leaves its views
// pointing at freed memory). An array without elements lies within anything; one whose extent
// overflows lies nowhere.
bool lies_within(PyObject* view, PyObject* base) {
    const auto span = [](PyObject* object, MemorySpan* result) {
        auto* array = reinterpret_cast<PyArrayObject*>(object);
        return element_span(PyArray_DATA(array), PyArray_NDIM(array), PyArray_DIMS(array),
                            PyArray_STRIDES(array), PyArray_ITEMSIZE(array), &result->first,
                            &result->last);
    };
    MemorySpan inner;
    MemorySpan outer;
    if (!span(view, &inner)) return false;
    if (inner.first == inner.last) return true;
    return span(base, &outer) && outer.first <= inner.first && inner.last <= outer.last;
}

}  // namespace

struct BufferAcquisition {
    // A weak reference to each array of the chain of views from `object` (see
    // StridedBuffer::pins_), each array checked to lie within the next (ValueError where Python
    // code run earlier freed the memory it views). Returns false with the exception set where a
    // check fails or a reference cannot be made.
    static bool pin(StridedBuffer* buffer, PyObject* object) {
        PyTypeObject* const ndarray = ndarray_type();
        PyObject* view = nullptr;
        int links = 0;
        for (PyObject* array = object;
             ndarray != nullptr && array != nullptr && links < kMostViewLinks;
             array = next_in_chain(array, ndarray), ++links) {
            if (!PyObject_TypeCheck(array, ndarray)) continue;
            if (view != nullptr && !lies_within(view, array)) {
                PyErr_SetString(PyExc_ValueError, kReallocatedMessage);
                return false;
            }
            view = array;
            Ref pin = Ref::steal(PyWeakref_NewRef(array, nullptr));
            if (!pin) return false;
            if (buffer->pin_count_ < StridedBuffer::kMaxPins) {
                buffer->pins_[buffer->pin_count_++] = std::move(pin);
                continue;
            }
            try {
                buffer->more_pins_.push_back(std::move(pin));
            } catch (const std::bad_alloc&) {
                PyErr_NoMemory();
                return false;
            }
        }
        return true;
    }

    static bool fill(StridedBuffer* buffer, PyObject* object, const ElementType& type, int ndim,
                     int flags, const char* item_size_message, bool direct_access) {
        if (object == Py_None) return true;  // the empty buffer
        Py_buffer& view = buffer->view_;
        // Pinned first: the exporter's __buffer__ may run Python code. (A buffer that arrives with
        // pins holds those of the object's chain already: see pin_arrays.)
        const bool pinned = buffer->pin_count_ > 0;
        if ((!pinned && !pin(buffer, object)) || PyObject_GetBuffer(object, &view, flags) < 0) {
            buffer->release();
            return false;
        }
        buffer->held_ = true;
        if (view.ndim != ndim) {
            PyErr_Format(PyExc_ValueError, kWrongDimensionsMessage, ndim, view.ndim);
            buffer->release();
            return false;
        }
        if (!check_element_format(view.format, type)) {
            buffer->release();
            return false;
        }
        if (view.itemsize != type.size) {
            PyErr_Format(PyExc_ValueError, item_size_message, view.itemsize,
                         view.itemsize == 0 || view.itemsize == 1 ? "" : "s", type.name, type.size,
                         type.size == 0 || type.size == 1 ? "" : "s");
            buffer->release();
            return false;
        }
        if (direct_access && view.len != 0 && view.suboffsets != nullptr) {
            if (view.strides == nullptr) {
                PyErr_SetString(PyExc_ValueError, kSuboffsetsWithoutStridesMessage);
                buffer->release();
                return false;
            }
            for (int k = 0; k < ndim; ++k) {
                if (view.suboffsets[k] >= 0) {
                    PyErr_Format(PyExc_ValueError, kIndirectDimensionMessage, k);
                    buffer->release();
                    return false;
                }
            }
        }
        if (view.obj != object && !pin(buffer, view.obj)) {
            buffer->release();
            return false;
        }
        buffer->data_ = static_cast<char*>(view.buf);
        buffer->ndim_ = ndim;
        Py_ssize_t row_major_stride = view.itemsize;
        for (int k = ndim - 1; k >= 0; --k) {
            buffer->shape_[k] = view.shape != nullptr ? view.shape[k] : 0;
            buffer->strides_[k] = view.strides != nullptr ? view.strides[k] : row_major_stride;
            row_major_stride *= buffer->shape_[k];
        }
        return true;
    }
};

MemorySpan memory_span(const char* data, int ndim, const Py_ssize_t* shape,
                       const Py_ssize_t* strides, Py_ssize_t item_size) {
    MemorySpan span;
    // (An exporter's extents and strides describe memory it owns, so they do not overflow.)
    element_span(data, ndim, shape, strides, item_size, &span.first, &span.last);
    return span;
}

bool acquire_array_buffer(PyObject* object, const ElementType& type, int ndim, Use use,
                          ArrayBuffer* buffer) {
    const int flags = PyBUF_FORMAT | PyBUF_STRIDES | (use == Use::written ? PyBUF_WRITABLE : 0);
    return BufferAcquisition::fill(buffer, object, type, ndim, flags, kBufferItemSizeMessage,
                                   false);
}

bool pin_arrays(PyObject* object, StridedBuffer* buffer) {
    return BufferAcquisition::pin(buffer, object);
}

bool acquire_typed_view(PyObject* object, const ElementType& type, int ndim, TypedView* view) {
    return BufferAcquisition::fill(view, object, type, ndim,
                                   PyBUF_FORMAT | PyBUF_INDIRECT | PyBUF_WRITABLE,
                                   kViewItemSizeMessage, true);
}

}  // namespace quillbrax::frame
