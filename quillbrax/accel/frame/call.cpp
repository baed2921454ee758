#include "frame/call.hpp"

#include "frame/arguments.hpp"
#include "frame/numpy_interface.hpp"
#include "frame/state.hpp"

#include "view_chain.hpp"

#include <string>
#include <utility>

namespace quillbrax::frame {

namespace {
constexpr const char* kNoneArgumentMessage = "Argument '%s' must be a numpy.ndarray, not None";
constexpr const char* kCannotConvertMessage = "Cannot convert %.200s to %.200s";
constexpr const char* kShapeMessage = "np.%s gave an array that is not of shape %s";
constexpr const char* kSharesArgumentMessage = "%s shares memory with argument '%s'";
constexpr const char* kSharesArrayMessage = "%s shares memory with another array of this call";
constexpr const char* kTooManyBuffersMessage = "too many arrays for one call";
constexpr const char* kTooManyNumpyArgumentsMessage = "too many arguments for np.%s";

std::string numpy_origin(const InternedName& function) {
    return std::string("np.") + function.text() + " gave an array that";
}

// Whether asking an object of `type` for its buffer, and releasing it, runs no Python code: the
// methods that do it are a type's C functions (the classes' dictionaries hold slot wrappers for
// them), as array.array's, bytearray's and memoryview's are, not a class's __buffer__ or
// __release_buffer__. The first class along the MRO that names a method decides it.
bool exports_natively(PyTypeObject* type) {
    PyObject* const mro = type->tp_mro;
    if (type->tp_as_buffer == nullptr || type->tp_as_buffer->bf_getbuffer == nullptr ||
        mro == nullptr || !PyTuple_Check(mro)) {
        return false;
    }
    std::pair<const char*, bool> methods[] = {{"__buffer__", false}, {"__release_buffer__", false}};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* const base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) return false;
        const Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        for (auto& [name, found] : methods) {
            PyObject* const method = found || !dict ? nullptr : exact_entry(dict.get(), name);
            if (method == nullptr) continue;
            if (!Py_IS_TYPE(method, &PyWrapperDescr_Type)) return false;
            found = true;
        }
    }
    return methods[0].second;
}

// The bytes of an argument's memory: an array's, or the buffer that another object exports where
// that runs no Python code. False where there is none to know.
bool argument_span(PyObject* value, MemorySpan* span) {
    if (PyObject_TypeCheck(value, ndarray_type())) {
        auto* array = reinterpret_cast<PyArrayObject*>(value);
        *span = memory_span(PyArray_BYTES(array), PyArray_NDIM(array), PyArray_DIMS(array),
                            PyArray_STRIDES(array), PyArray_ITEMSIZE(array));
        return true;
    }
    if (!exports_natively(Py_TYPE(value))) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(value, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return false;
    }
    *span = memory_span(static_cast<const char*>(view.buf), view.ndim, view.shape, view.strides,
                        view.itemsize);
    PyBuffer_Release(&view);
    return true;
}
}  // namespace

Call::Call(const FunctionSpec& spec, PyObject* const* values) : spec_(spec) {
    for (size_t p = 0; p < spec.parameters.size(); ++p) values_[p] = values[p];
}

void Call::prepare_arguments() {
    const auto& parameters = spec_.parameters;
    // Integer conversion runs Python code (an argument's __int__), which must not free the
    // memory of an array argument acquired after it: each array argument's buffer takes its pins
    // first.
    ArrayBuffer* slots[kMaxParameters] = {};
    for (size_t p = 0; p < parameters.size(); ++p) {
        if (parameters[p].kind != Parameter::Kind::array) continue;
        slots[p] = &next_buffer(definition_line());
        if (!pin_arrays(values_[p], slots[p])) fail(definition_line());
    }
    for (size_t p = 0; p < parameters.size(); ++p) {
        if (parameters[p].kind == Parameter::Kind::integer &&
            !convert_int_argument(values_[p], IntWidth::bits32, &integers_[p])) {
            fail(definition_line());
        }
    }
    for (size_t p = 0; p < parameters.size(); ++p) {
        if (parameters[p].kind == Parameter::Kind::array &&
            !check_array_type(values_[p], parameters[p].name, ndarray_type())) {
            fail(0);  // the type test adds no traceback entry
        }
    }
    for (size_t p = 0; p < parameters.size(); ++p) {
        if (parameters[p].kind != Parameter::Kind::array) continue;
        if (values_[p] == Py_None) {
            raise(PyExc_TypeError, definition_line(), kNoneArgumentMessage, parameters[p].name);
        }
        ArrayBuffer& buffer = *slots[p];
        if (!acquire_array_buffer(values_[p], parameters[p].element, parameters[p].ndim, Use::read,
                                  &buffer)) {
            fail(definition_line());
        }
        hold(buffer, Use::read);
        arguments_[p] = &buffer;
    }
}

void Call::release_all() {
    for (int i = 0; i < acquired_; ++i) held_[i].buffer->release();
    acquired_ = 0;
}

ArrayBuffer& Call::next_buffer(int line) {
    if (buffer_count_ == kMaxBuffers) raise(PyExc_SystemError, line, kTooManyBuffersMessage);
    return buffers_[buffer_count_++];
}

TypedView& Call::next_view(int line) {
    if (view_count_ == kMaxBuffers) raise(PyExc_SystemError, line, kTooManyBuffersMessage);
    return views_[view_count_++];
}

Ref Call::numpy_attribute(const InternedName& attribute, int line) {
    Ref np = lookup_global(numpy_names::np.get());
    if (!np) fail(line);
    return checked(PyObject_GetAttr(np.get(), attribute.get()), line);
}

Ref Call::call_numpy(const InternedName& function, int line,
                     std::initializer_list<PyObject*> positional,
                     std::initializer_list<std::pair<const InternedName*, PyObject*>> keywords) {
    Ref callable = numpy_attribute(function, line);
    PyObject* arguments[kMaxParameters + 1];
    if (positional.size() + keywords.size() > kMaxParameters) {
        raise(PyExc_SystemError, line, kTooManyNumpyArgumentsMessage, function.text());
    }
    size_t count = 0;
    arguments[count++] = nullptr;  // room for PY_VECTORCALL_ARGUMENTS_OFFSET
    for (PyObject* item : positional) arguments[count++] = item;
    Ref keyword_names;
    if (keywords.size() > 0) {
        keyword_names = checked(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())), line);
        Py_ssize_t k = 0;
        for (const auto& [name, value] : keywords) {
            PyTuple_SET_ITEM(keyword_names.get(), k++, Py_NewRef(name->get()));
            arguments[count++] = value;
        }
    }
    return checked(PyObject_Vectorcall(callable.get(), arguments + 1,
                                       positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       keyword_names.get()),
                   line);
}

Ref Call::call_numpy_with_dtype(const InternedName& function, const InternedName& dtype, int line,
                                std::initializer_list<PyObject*> positional) {
    Ref element_type = numpy_attribute(dtype, line);
    return call_numpy(function, line, positional, {{&numpy_names::dtype, element_type.get()}});
}

void Call::check_object(PyObject* value, int line) const {
    if (value != Py_None && !PyObject_TypeCheck(value, ndarray_type())) {
        raise(PyExc_TypeError, line, kCannotConvertMessage, Py_TYPE(value)->tp_name,
              ndarray_type()->tp_name);
    }
}

void Call::check_shape(const StridedBuffer& buffer, const InternedName& function,
                       std::initializer_list<Py_ssize_t> shape, int line) const {
    bool matches = !buffer.is_none();
    int k = 0;
    for (Py_ssize_t extent : shape) matches = matches && buffer.shape(k++) == extent;
    if (matches) return;
    std::string text = "(";
    k = 0;
    for (Py_ssize_t extent : shape) text += (k++ > 0 ? ", " : "") + std::to_string(extent);
    raise(PyExc_ValueError, line, kShapeMessage, function.text(), (text + ")").c_str());
}

// An array the body writes shares no byte with an argument (the caller's array itself, or the
// buffer it exported) nor with any other array of the call; an array it reads, none with an
// array it writes. Each pair is checked when the later of the two is acquired.
void Call::check_aliasing(const StridedBuffer& buffer, Use use, const char* origin,
                          int line) const {
    const MemorySpan span = memory_span(buffer);
    if (use == Use::written) {
        for (size_t p = 0; p < spec_.parameters.size(); ++p) {
            MemorySpan argument;
            if (argument_span(values_[p], &argument) && span.overlaps(argument)) {
                raise(PyExc_ValueError, line, kSharesArgumentMessage, origin,
                      spec_.parameters[p].name);
            }
        }
    }
    for (int i = 0; i < acquired_; ++i) {
        if (held_[i].buffer == &buffer || (use == Use::read && held_[i].use == Use::read)) continue;
        if (!span.overlaps(memory_span(*held_[i].buffer))) continue;
        for (size_t p = 0; p < spec_.parameters.size(); ++p) {
            if (arguments_[p] == held_[i].buffer) {
                raise(PyExc_ValueError, line, kSharesArgumentMessage, origin,
                      spec_.parameters[p].name);
            }
        }
        raise(PyExc_ValueError, line, kSharesArrayMessage, origin);
    }
}

const ArrayBuffer& Call::numpy_buffer(PyObject* value, const InternedName& function,
                                      const ElementType& type,
                                      std::initializer_list<Py_ssize_t> shape, Use use, int line) {
    check_object(value, line);
    ArrayBuffer& buffer = next_buffer(line);
    if (!acquire_array_buffer(value, type, static_cast<int>(shape.size()), use, &buffer)) {
        fail(line);
    }
    hold(buffer, use);
    check_shape(buffer, function, shape, line);
    check_aliasing(buffer, use, numpy_origin(function).c_str(), line);
    return buffer;
}

const TypedView& Call::numpy_view(PyObject* value, const InternedName& function,
                                  const ElementType& type, std::initializer_list<Py_ssize_t> shape,
                                  Use use, int line) {
    check_object(value, line);
    TypedView& view = next_view(line);
    if (!acquire_typed_view(value, type, static_cast<int>(shape.size()), &view)) fail(line);
    hold(view, use);
    check_shape(view, function, shape, line);
    check_aliasing(view, use, numpy_origin(function).c_str(), line);
    return view;
}

const ArrayBuffer& Call::numpy_buffer(PyObject* value, const InternedName& function,
                                      const ElementType& type, int ndim, int line) {
    return reassign_numpy_buffer(nullptr, value, function, type, ndim, line);
}

const ArrayBuffer& Call::reassign_numpy_buffer(const ArrayBuffer* variable, PyObject* value,
                                               const InternedName& function,
                                               const ElementType& type, int ndim, int line) {
    check_object(value, line);
    ArrayBuffer* buffer = nullptr;
    for (int i = 0; i < buffer_count_ && variable != nullptr; ++i) {
        if (&buffers_[i] == variable) buffer = &buffers_[i];
    }
    if (buffer != nullptr) {
        buffer->release();  // keeps its place in the acquisition order
    } else {
        buffer = &next_buffer(line);
        hold(*buffer, Use::read);
    }
    if (!acquire_array_buffer(value, type, ndim, Use::read, buffer)) fail(line);
    check_aliasing(*buffer, Use::read, numpy_origin(function).c_str(), line);
    return *buffer;
}

const TypedView& Call::argument_view(const ArrayParameter& p, int line) {
    TypedView& view = next_view(line);
    if (!acquire_typed_view(values_[p.index], p.element, p.ndim, &view)) fail(line);
    const std::string origin = std::string("argument '") + p.name + "'";
    hold(view, Use::read);
    check_aliasing(view, Use::read, origin.c_str(), line);
    return view;
}

long Call::read_int64(PyObject* object, Py_ssize_t index, int line) {
    Ref key = checked(PyLong_FromSsize_t(index), line);
    Ref item = checked(PyObject_GetItem(object, key.get()), line);
    long result = 0;
    if (!convert_int_argument(item.get(), IntWidth::bits64, &result)) fail(line);
    return result;
}

}  // namespace quillbrax::frame
