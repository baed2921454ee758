// Kernel modules: the declarative tables a module fills in (its functions, their parameters and
// source lines), the per-call context a kernel body works with, and module initialisation.
//
// A module file declares its functions as a table of FunctionSpec and its module as a ModuleSpec,
// and its entry point returns module_definition(spec). The frame binds and checks every call's
// arguments against the table before the body runs; the body works through its Call.
#pragma once

#include "frame/arguments.hpp"
#include "frame/buffers.hpp"
#include "frame/errors.hpp"
#include "frame/refs.hpp"

#include <initializer_list>
#include <span>
#include <utility>

namespace quillbrax::frame {

inline constexpr int kMaxParameters = 8;

// A Python-level name the module uses: interned once at initialisation (the name table) and
// compared by identity first. Declare as a static object; get() is valid once the module lives.
class InternedName {
public:
    explicit InternedName(const char* text) noexcept;
    InternedName(const InternedName&) = delete;
    InternedName& operator=(const InternedName&) = delete;
    PyObject* get() const { return object_; }
    const char* text() const { return text_; }

private:
    friend struct NameTable;
    const char* text_;
    PyObject* object_ = nullptr;
    InternedName* next_;
};

// An object the module makes once at initialisation, with the name table, and shares between
// calls (an immutable result, say). Declare as a static object; get() is valid once the module
// lives.
class ModuleConstant {
public:
    using Make = PyObject* (*)();  // a new reference, or null with an exception set
    explicit ModuleConstant(Make make) noexcept;
    ModuleConstant(const ModuleConstant&) = delete;
    ModuleConstant& operator=(const ModuleConstant&) = delete;
    PyObject* get() const { return object_; }

private:
    friend struct NameTable;
    Make make_;
    PyObject* object_ = nullptr;
    ModuleConstant* next_;
};

struct Parameter {
    enum class Kind { array, integer, object };
    Kind kind;
    const char* name;
    ElementType element{DTYPE_t};  // arrays: element type and number of dimensions
    int ndim = 0;
    bool has_default = false;       // integers: a default value
    long default_value = 0;
    int line = 0;                   // source line of the declaration; 0: the definition line
};

constexpr Parameter array_parameter(const char* name, const ElementType& element, int ndim) {
    return {Parameter::Kind::array, name, element, ndim};
}
constexpr Parameter int_parameter(const char* name) {
    return {Parameter::Kind::integer, name};
}
constexpr Parameter int_parameter(const char* name, long default_value) {
    return {Parameter::Kind::integer, name, DTYPE_t, 0, true, default_value};
}
constexpr Parameter object_parameter(const char* name) {
    return {Parameter::Kind::object, name};
}

class Call;
using Body = Ref (*)(Call&);

struct FunctionSpec {
    const char* name;
    std::span<const Parameter> parameters;  // required ones first
    std::span<const char* const> locals;    // local names of the code object after the parameters
    const char* doc;                        // nullptr: no docstring
    int definition_line;
    Body body;
};

enum class NativeInterfaceImport {
    during_initialisation,  // before the module body runs; failure discards the cause
    module_body_statement,  // a statement of the body; the cause stays as the ImportError's context
};

struct ModuleSpec {
    const char* name;         // short name, "_pairmetric"
    const char* full_name;    // "quillbrax.accel._pairmetric"
    const char* source_path;  // file name of traceback entries
    const char* doc;
    std::span<const FunctionSpec> functions;
    NativeInterfaceImport native_interface;
    int native_interface_line;  // source line of the body statement
};

// The module definition for multi-phase initialisation; the entry point returns it.
PyObject* module_definition(const ModuleSpec& spec);

// Module state, valid while the module lives (null otherwise).
PyObject* module_globals();
PyObject* module_builtins();
const char* module_source_path();
PyTypeObject* ndarray_type();

struct FunctionObject;

// One call of a kernel function: its bound and checked arguments, and every array buffer and
// typed view acquired for it, released in acquisition order when the call ends either way.
class Call {
public:
    Call(const FunctionObject& function, PyObject* const* values);
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    ~Call() { release_all(); }

    const FunctionSpec& spec() const;
    int definition_line() const { return spec().definition_line; }

    // Argument p as bound (borrowed), as a converted integer, or as its acquired array buffer.
    PyObject* argument(int p) const { return values_[p]; }
    long integer(int p) const { return integers_[p]; }
    const ArrayBuffer& array(int p) const { return *arguments_[p]; }

    // np.<attribute>, with `np` looked up in the module globals now.
    Ref numpy_attribute(const InternedName& attribute, int line);
    // np.<function>(*positional, **keywords).
    Ref call_numpy(const InternedName& function, int line, std::initializer_list<PyObject*> positional,
                   std::initializer_list<std::pair<const InternedName*, PyObject*>> keywords = {});

    // np.<function>(*positional, dtype=np.<dtype>): how a body makes or converts an array.
    // The element type is looked up first, then the function.
    Ref call_numpy_with_dtype(const InternedName& function, const InternedName& dtype, int line,
                              std::initializer_list<PyObject*> positional);

    // A value assigned to an array variable: None or an ndarray, else TypeError "Cannot convert";
    // then its buffer (or typed view) is acquired. Failures unwind at `line`.
    const ArrayBuffer& acquire_array_variable(PyObject* value, const ElementType& type, int ndim,
                                              Access mode, int line);
    const TypedView& acquire_typed_view(PyObject* value, const ElementType& type, int ndim,
                                        int line);
    // A new value for an array variable that already holds one (`variable`, as its previous
    // acquisition gave it; null for its first value): the old buffer is released and the new one
    // takes its place, so a variable assigned in a loop holds one buffer, not one per pass.
    const ArrayBuffer& reassign_array_variable(const ArrayBuffer* variable, PyObject* value,
                                               const ElementType& type, int ndim, Access mode,
                                               int line);

    // An integer that the body reads from a Python object (a shape item, say): 64-bit
    // conversion of the frame. `item(object, index)` is object[index] as Python indexes it.
    long convert_int64(PyObject* value, int line);
    Ref item(PyObject* object, Py_ssize_t index, int line);

    // Runs the checks of the parameter table and acquires the array arguments (read mode).
    void prepare_arguments();
    void release_all();

private:
    ArrayBuffer& next_buffer(int line);
    TypedView& next_view(int line);

    static constexpr int kMaxBuffers = 12;
    const FunctionObject& function_;
    PyObject* values_[kMaxParameters];
    long integers_[kMaxParameters] = {};
    const ArrayBuffer* arguments_[kMaxParameters] = {};
    // Acquisition order over both kinds; `order_[i]` says which pool slot came i-th.
    ArrayBuffer buffers_[kMaxBuffers];
    TypedView views_[kMaxBuffers];
    StridedBuffer* order_[2 * kMaxBuffers] = {};
    int buffer_count_ = 0;
    int view_count_ = 0;
    int acquired_ = 0;
};

// Builds a tuple of the given (borrowed) objects.
Ref make_tuple(std::initializer_list<PyObject*> items, int line);

}  // namespace quillbrax::frame
