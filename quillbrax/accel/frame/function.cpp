#include "frame/function.hpp"

#include "frame/arguments.hpp"
#include "frame/call.hpp"
#include "frame/state.hpp"

#include <structmember.h>
#include <string>

namespace quillbrax::frame {

namespace {
constexpr const char* kNotInitialisedMessage = "module '%s' is not initialised";
InternedName name_replace{"replace"};
InternedName name_co_argcount{"co_argcount"};
InternedName name_co_nlocals{"co_nlocals"};
InternedName name_co_varnames{"co_varnames"};
InternedName name_co_flags{"co_flags"};

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* parameter_names;  // tuple of interned str
    PyObject* defaults;         // tuple or None
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* code;
    PyObject* dict;
    std::string* traceback_name;  // "quillbrax.accel._pairmetric.pairwise_distances"
};

PyObject* invoke(FunctionObject* function, PyObject* const* arguments, Py_ssize_t positional_count,
                 PyObject* keyword_names, PyObject* keyword_dict) {
    const FunctionSpec& spec = *function->spec;
    const char* traceback_name = function->traceback_name->c_str();
    const auto parameter_count = static_cast<Py_ssize_t>(spec.parameters.size());
    Py_ssize_t required = 0;
    while (required < parameter_count && !spec.parameters[required].has_default) ++required;

    if (module_state.module == nullptr) {
        PyErr_Format(PyExc_RuntimeError, kNotInitialisedMessage, module_state.spec->full_name);
        return nullptr;
    }
    PyObject* values[kMaxParameters];
    PyObject* const* defaults =
        function->defaults != Py_None ? &PyTuple_GET_ITEM(function->defaults, 0) : nullptr;
    if (!bind_arguments(
            spec.name,
            {&PyTuple_GET_ITEM(function->parameter_names, 0), static_cast<size_t>(parameter_count)},
            required, defaults, arguments, positional_count, keyword_names, keyword_dict, values)) {
        add_traceback_entry(traceback_name, spec.definition_line);
        return nullptr;
    }

    Call call(spec, values);
    int failure_line;
    try {
        call.prepare_arguments();
        Ref result = spec.body(call);
        call.release_all();
        return result.release();
    } catch (const Failure& failure) {
        failure_line = failure.line;
    } catch (...) {
        set_native_exception();
        failure_line = spec.definition_line;
    }
    {
        PendingException pending;
        call.release_all();
    }
    if (failure_line > 0) add_traceback_entry(traceback_name, failure_line);
    return nullptr;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* arguments, size_t nargsf,
                              PyObject* keyword_names) {
    return invoke(reinterpret_cast<FunctionObject*>(self), arguments, PyVectorcall_NARGS(nargsf),
                  keyword_names, nullptr);
}

PyObject* function_call(PyObject* self, PyObject* arguments, PyObject* keywords) {
    return invoke(reinterpret_cast<FunctionObject*>(self), &PyTuple_GET_ITEM(arguments, 0),
                  PyTuple_GET_SIZE(arguments), nullptr, keywords);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* function = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->dict);
    Py_VISIT(function->defaults);
    Py_VISIT(function->code);
    return 0;
}

int function_clear(PyObject* self) {
    auto* function = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(function->parameter_names);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->module_name);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->code);
    Py_CLEAR(function->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    delete reinterpret_cast<FunctionObject*>(self)->traceback_name;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    auto* function = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", function->qualname, self);
}

// Bound like a Python function when looked up through an instance.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

// Pickled by reference, as builtin functions are: the qualified name, which pickle resolves
// through __module__. copy.copy and copy.deepcopy return the object itself for the same reason.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_empty_dict(PyObject*, void*) { return PyDict_New(); }

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module_name), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_empty_dict, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_type_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "quillbrax_kernel_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_type_slots,
};

PyTypeObject* function_type = nullptr;  // created once per process, kept across re-initialisation

}  // namespace

// The code object: parameter names and local names as co_varnames, the definition line as first
// line and the module's source path as file name.
Ref make_code_object(const FunctionSpec& spec) {
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(module_state.spec->source_path, spec.name, spec.definition_line)));
    if (!empty) return Ref();
    const auto parameter_count = static_cast<Py_ssize_t>(spec.parameters.size());
    const auto local_count = static_cast<Py_ssize_t>(spec.locals.size());
    Ref varnames = Ref::steal(PyTuple_New(parameter_count + local_count));
    if (!varnames) return Ref();
    for (Py_ssize_t i = 0; i < parameter_count + local_count; ++i) {
        PyObject* name = PyUnicode_InternFromString(
            i < parameter_count ? spec.parameters[i].name : spec.locals[i - parameter_count]);
        if (name == nullptr) return Ref();
        PyTuple_SET_ITEM(varnames.get(), i, name);
    }
    Ref argcount = Ref::steal(PyLong_FromSsize_t(parameter_count));
    Ref nlocals = Ref::steal(PyLong_FromSsize_t(parameter_count + local_count));
    Ref flags = Ref::steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
    Ref keyword_names = Ref::steal(PyTuple_Pack(4, name_co_argcount.get(), name_co_nlocals.get(),
                                                name_co_varnames.get(), name_co_flags.get()));
    if (!argcount || !nlocals || !flags || !keyword_names) return Ref();
    PyObject* arguments[] = {empty.get(), argcount.get(), nlocals.get(), varnames.get(),
                             flags.get()};
    return Ref::steal(
        PyObject_VectorcallMethod(name_replace.get(), arguments, 1, keyword_names.get()));
}

Ref make_function_object(const FunctionSpec& spec, Ref code) {
    if (function_type == nullptr) {
        function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_type_spec));
        if (function_type == nullptr) return Ref();
    }
    const auto parameter_count = static_cast<Py_ssize_t>(spec.parameters.size());
    Ref names = Ref::steal(PyTuple_New(parameter_count));
    if (!names) return Ref();
    Py_ssize_t default_count = 0;
    for (Py_ssize_t p = 0; p < parameter_count; ++p) {
        PyObject* name = PyUnicode_InternFromString(spec.parameters[p].name);
        if (name == nullptr) return Ref();
        PyTuple_SET_ITEM(names.get(), p, name);
        default_count += spec.parameters[p].has_default ? 1 : 0;
    }
    Ref defaults = Ref::borrow(Py_None);
    if (default_count > 0) {
        defaults = Ref::steal(PyTuple_New(default_count));
        if (!defaults) return Ref();
        for (Py_ssize_t p = parameter_count - default_count, i = 0; p < parameter_count; ++p, ++i) {
            PyObject* value = PyLong_FromLong(spec.parameters[p].default_value);
            if (value == nullptr) return Ref();
            PyTuple_SET_ITEM(defaults.get(), i, value);
        }
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref module_name = Ref::steal(PyUnicode_FromString(module_state.spec->full_name));
    Ref doc =
        spec.doc != nullptr ? Ref::steal(PyUnicode_FromString(spec.doc)) : Ref::borrow(Py_None);
    if (!name || !module_name || !doc) return Ref();

    auto* function = PyObject_GC_New(FunctionObject, function_type);
    if (function == nullptr) return Ref();
    function->vectorcall = function_vectorcall;
    function->spec = &spec;
    function->parameter_names = names.release();
    function->defaults = defaults.release();
    function->qualname = Py_NewRef(name.get());
    function->name = name.release();
    function->module_name = module_name.release();
    function->doc = doc.release();
    function->code = code.release();
    function->dict = nullptr;
    function->traceback_name = nullptr;
    Ref object = Ref::steal(reinterpret_cast<PyObject*>(function));
    PyObject_GC_Track(function);
    try {
        function->traceback_name =
            new std::string(std::string(module_state.spec->full_name) + "." + spec.name);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return Ref();
    }
    return object;
}

}  // namespace quillbrax::frame
