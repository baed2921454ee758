// Array buffers and typed views: the two forms in which a kernel sees a NumPy array, acquired
// through the buffer protocol with an exact element type and number of dimensions.
#pragma once

#include "frame/python.hpp"
#include "frame/refs.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillbrax::frame {

enum class ElementKind : char { real, signed_integer };

struct ElementType {
    const char* name;  // printed by the validation messages
    ElementKind kind;
    Py_ssize_t size;
};

inline constexpr ElementType DTYPE_t{"DTYPE_t", ElementKind::real, 8};
inline constexpr ElementType INT_t{"INT_t", ElementKind::signed_integer, 8};
inline constexpr ElementType ITYPE_t{"ITYPE_t", ElementKind::signed_integer, 8};

using DTYPE = double;
using INT = long long;
using ITYPE = Py_ssize_t;
static_assert(sizeof(ITYPE) == 8 && sizeof(INT) == 8 && sizeof(DTYPE) == 8);

// What a body does with an array it acquires: an array it writes is acquired writable.
enum class Use { read, written };

inline constexpr int kMaxDimensions = 4;

// Element (i0, i1, …) of an N-dimensional strided array of T: data + Σ i_k · strides[k] bytes.
template <class T, int N>
struct Strided {
    // NumPy arrays need not be aligned (a view at an odd byte offset is valid): elements are
    // accessed as a type of alignment 1, which compiles to the same loads and stores on x86-64.
    typedef T Element __attribute__((aligned(1)));

    char* data;
    Py_ssize_t shape[N];
    Py_ssize_t strides[N];

    template <class... Index>
    Element& operator()(Index... index) const {
        static_assert(sizeof...(Index) == N);
        const Py_ssize_t indices[N] = {static_cast<Py_ssize_t>(index)...};
        Py_ssize_t offset = 0;
        for (int k = 0; k < N; ++k) offset += indices[k] * strides[k];
        return *reinterpret_cast<Element*>(data + offset);
    }
    Element& operator[](Py_ssize_t i) const
        requires(N == 1)
    {
        return *reinterpret_cast<Element*>(data + i * strides[0]);
    }
};

// What acquisition gives: the exporter's data address, extents and byte strides, held (with the
// exporting object) until released. An object given as None yields an empty buffer: no data and
// every extent and stride 0.
class StridedBuffer {
public:
    StridedBuffer() = default;
    StridedBuffer(const StridedBuffer&) = delete;
    StridedBuffer& operator=(const StridedBuffer&) = delete;
    ~StridedBuffer() { release(); }

    void release() {
        if (held_) {
            held_ = false;
            PyBuffer_Release(&view_);
        }
        while (pin_count_ > 0) pins_[--pin_count_] = Ref();
        more_pins_.clear();
    }

    char* data() const { return data_; }
    int ndim() const { return ndim_; }
    Py_ssize_t shape(int k) const { return shape_[k]; }
    Py_ssize_t stride(int k) const { return strides_[k]; }
    Py_ssize_t item_size() const { return held_ ? view_.itemsize : 0; }
    bool is_none() const { return !held_; }

    template <class T, int N>
    Strided<T, N> as() const {
        Strided<T, N> strided{data_, {}, {}};
        for (int k = 0; k < N; ++k) {
            strided.shape[k] = shape_[k];
            strided.strides[k] = strides_[k];
        }
        return strided;
    }

protected:
    friend struct BufferAcquisition;  // buffers.cpp: fills the fields below

    // NumPy reallocates an array's memory in place (ndarray.resize with refcheck=False) even
    // while a buffer of it is exported, but never that of an array with a weak reference. So
    // while the buffer is held, each array whose memory it may read (the object acquired, the
    // exporter, and the arrays they are views of) has one from here: Python code that runs later
    // in the call (an argument's __buffer__, an np function, a __del__, another thread) cannot
    // free that memory under the kernel. A chain of views has no length limit (NumPy collapses
    // one only while its types stay the same), and the array that owns the memory is its last:
    // pins past the first few go to a vector. The chain is followed through the objects NumPy
    // puts between an array and the one whose memory it views (see pin_arrays).
    static constexpr int kMaxPins = 8;
    Ref pins_[kMaxPins];
    int pin_count_ = 0;
    std::vector<Ref> more_pins_;

    Py_buffer view_{};
    bool held_ = false;
    char* data_ = nullptr;
    int ndim_ = 0;
    Py_ssize_t shape_[kMaxDimensions] = {};
    Py_ssize_t strides_[kMaxDimensions] = {};
};

class ArrayBuffer : public StridedBuffer {};
class TypedView : public StridedBuffer {};

// The bytes [first, last) that a strided array of these extents and strides spans (first == last
// when it has no element); two arrays that share no byte of their spans share no memory.
struct MemorySpan {
    uintptr_t first = 0;
    uintptr_t last = 0;
    bool overlaps(const MemorySpan& other) const {
        return first < last && other.first < other.last && first < other.last && other.first < last;
    }
};
MemorySpan memory_span(const char* data, int ndim, const Py_ssize_t* shape,
                       const Py_ssize_t* strides, Py_ssize_t item_size);
inline MemorySpan memory_span(const StridedBuffer& buffer) {
    Py_ssize_t shape[kMaxDimensions];
    Py_ssize_t strides[kMaxDimensions];
    for (int k = 0; k < buffer.ndim(); ++k) {
        shape[k] = buffer.shape(k);
        strides[k] = buffer.stride(k);
    }
    return memory_span(buffer.data(), buffer.ndim(), shape, strides, buffer.item_size());
}

// Requests strides and format, and writability for an array the body writes. Returns false with an
// exception set (ValueError, or the exporter's own) and nothing held.
bool acquire_array_buffer(PyObject* object, const ElementType& type, int ndim, Use use,
                          ArrayBuffer* buffer);

// Always write mode; every dimension must be directly addressed.
bool acquire_typed_view(PyObject* object, const ElementType& type, int ndim, TypedView* view);

// Pins (see StridedBuffer::pins_) the arrays whose memory `object` may view into `buffer`, ahead
// of its acquisition, which then takes them for its own: for an argument that Python code run
// before it is acquired (an integer argument's __int__) must not free. False with an exception
// set where a check fails or a weak reference cannot be made.
bool pin_arrays(PyObject* object, StridedBuffer* buffer);

// Checks that a buffer format string describes exactly one element of `type`.
bool check_element_format(const char* format, const ElementType& type);

}  // namespace quillbrax::frame
