// One call of a kernel function: its bound and checked arguments, reached through the handles of
// its parameter table, and every array buffer and typed view acquired for it, released in
// acquisition order when the call ends either way.
//
// Every array a body reads or writes is acquired here, and each acquisition checks what it got
// after the last point where Python code could have run: element type and dimensions always,
// exact extents where the body knows them, and for an array the body writes, that it shares
// memory with no argument and no other array of the call.
#pragma once

#include "frame/buffers.hpp"
#include "frame/errors.hpp"
#include "frame/names.hpp"
#include "frame/table.hpp"

#include <initializer_list>
#include <utility>

namespace quillbrax::frame {

class Call {
public:
    Call(const FunctionSpec& spec, PyObject* const* values);
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    ~Call() { release_all(); }

    int definition_line() const { return spec_.definition_line; }

    // The arguments: an array parameter's buffer (read mode), an integer parameter's converted
    // value, any parameter's bound object.
    const ArrayBuffer& operator[](const ArrayParameter& p) const { return *arguments_[p.index]; }
    long operator[](const IntParameter& p) const { return integers_[p.index]; }
    PyObject* operator[](const ObjectParameter& p) const { return values_[p.index]; }
    PyObject* object(const ArrayParameter& p) const { return values_[p.index]; }

    // Runs the checks of the parameter table and acquires the array arguments.
    void prepare_arguments();
    void release_all();

    // np.<attribute>, with `np` looked up in the module globals (then builtins) now.
    Ref numpy_attribute(const InternedName& attribute, int line);
    // np.<function>(*positional, **keywords).
    Ref call_numpy(const InternedName& function, int line,
                   std::initializer_list<PyObject*> positional,
                   std::initializer_list<std::pair<const InternedName*, PyObject*>> keywords = {});
    // np.<function>(*positional, dtype=np.<dtype>); the type is looked up before the function.
    Ref call_numpy_with_dtype(const InternedName& function, const InternedName& dtype, int line,
                              std::initializer_list<PyObject*> positional);

    // What np.<function> gave, as an array buffer (write mode when written) or a typed view, of
    // `type` with exactly `shape`: anything else (None included) is ValueError "np.<function>
    // gave an array that is not of shape (…)"; a non-array is TypeError "Cannot convert".
    const ArrayBuffer& numpy_buffer(PyObject* value, const InternedName& function,
                                    const ElementType& type,
                                    std::initializer_list<Py_ssize_t> shape, Use use, int line);
    const TypedView& numpy_view(PyObject* value, const InternedName& function,
                                const ElementType& type, std::initializer_list<Py_ssize_t> shape,
                                Use use, int line);
    // Same without the extents check, for results whose length the body checks itself.
    const ArrayBuffer& numpy_buffer(PyObject* value, const InternedName& function,
                                    const ElementType& type, int ndim, int line);
    // A new value for an array variable (`variable` as its previous acquisition gave it, null
    // for its first): the old buffer is released and the new one takes its place, so a variable
    // assigned in a loop holds one buffer, not one per pass. Read only.
    const ArrayBuffer& reassign_numpy_buffer(const ArrayBuffer* variable, PyObject* value,
                                             const InternedName& function, const ElementType& type,
                                             int ndim, int line);
    // An argument acquired once more as a typed view, which (as every typed view) asks for a
    // writable buffer, so a read-only array is refused; the body only reads through it, and
    // checks its extents (it knows the message).
    const TypedView& argument_view(const ArrayParameter& p, int line);

    // An integer the body reads from a Python object (a shape item): object[index], converted
    // to 64 bits.
    long read_int64(PyObject* object, Py_ssize_t index, int line);

private:
    struct Held {
        StridedBuffer* buffer;
        Use use;
    };
    void check_object(PyObject* value, int line) const;
    void check_shape(const StridedBuffer& buffer, const InternedName& function,
                     std::initializer_list<Py_ssize_t> shape, int line) const;
    void check_aliasing(const StridedBuffer& buffer, Use use, const char* origin, int line) const;
    ArrayBuffer& next_buffer(int line);
    TypedView& next_view(int line);
    void hold(StridedBuffer& buffer, Use use) { held_[acquired_++] = {&buffer, use}; }

    const FunctionSpec& spec_;
    PyObject* values_[kMaxParameters];
    long integers_[kMaxParameters] = {};
    const ArrayBuffer* arguments_[kMaxParameters] = {};
    ArrayBuffer buffers_[kMaxBuffers];
    TypedView views_[kMaxBuffers];
    Held held_[2 * kMaxBuffers] = {};  // in acquisition order
    int buffer_count_ = 0;
    int view_count_ = 0;
    int acquired_ = 0;
};

}  // namespace quillbrax::frame
