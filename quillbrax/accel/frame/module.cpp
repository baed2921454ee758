#include "frame/module.hpp"

#include "frame/numpy_interface.hpp"

#include <new>
#include <string>
#include <structmember.h>
#include <vector>

namespace quillbrax::frame {

// ---------------------------------------------------------------------------------------------
// Module state: one instance per process (each module carries its own copy of the frame).

namespace {

constinit InternedName* name_registry = nullptr;
constinit ModuleConstant* constant_registry = nullptr;

struct ModuleState {
    const ModuleSpec* spec = nullptr;
    int64_t interpreter_id = -1;
    PyObject* module = nullptr;
    PyObject* globals = nullptr;   // borrowed from `module`
    PyObject* builtins = nullptr;
    PyTypeObject* ndarray = nullptr;
    bool names_interned = false;
};

ModuleState state;
PyModuleDef definition;
PyModuleDef_Slot slots[3];

InternedName name_np{"np"};
InternedName name_numpy{"numpy"};
InternedName name_ndarray{"ndarray"};
InternedName name_test{"__test__"};
InternedName name_builtins{"__builtins__"};
InternedName name_replace{"replace"};
InternedName name_co_argcount{"co_argcount"};
InternedName name_co_nlocals{"co_nlocals"};
InternedName name_co_varnames{"co_varnames"};
InternedName name_co_flags{"co_flags"};
InternedName name_dtype{"dtype"};

constexpr const char* kInterpreterChangeMessage =
    "Interpreter change detected - this module can only be loaded into one interpreter per "
    "process.";
constexpr const char* kReinitialisationMessage =
    "Module '%s' has already been imported. Re-initialisation is not supported.";
constexpr const char* kVersionMismatchMessage =
    "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d";
constexpr const char* kNativeInterfaceImportMessage =
    "numpy.core.multiarray failed to import (NumPy's native array interface could not be loaded; "
    "this module needs NumPy 1.25 or later, built for this interpreter)";
constexpr const char* kNativeInterfaceStatementMessage = "numpy._core.multiarray failed to import";
constexpr const char* kNumpyImportFile = "numpy/__init__";
constexpr const char* kNumpyImportFunction = "numpy.import_array";
constexpr const char* kNotInitialisedMessage = "module '%s' is not initialised";
constexpr const char* kNdarrayNotATypeMessage = "numpy.ndarray is not a type object";
constexpr const char* kNoneArgumentMessage = "Argument '%s' must be a numpy.ndarray, not None";
constexpr const char* kCannotConvertMessage = "Cannot convert %.200s to %.200s";

// The line of a module-body statement reported for failures of the frame's own steps.
constexpr int kModuleLine = 1;
constexpr int kImportNumpyLine = 4;

}  // namespace

InternedName::InternedName(const char* text) noexcept : text_(text), next_(name_registry) {
    name_registry = this;
}

ModuleConstant::ModuleConstant(Make make) noexcept : make_(make), next_(constant_registry) {
    constant_registry = this;
}

struct NameTable {
    static bool intern_all() {
        for (InternedName* name = name_registry; name != nullptr; name = name->next_) {
            if (name->object_ != nullptr) continue;
            PyObject* object = PyUnicode_InternFromString(name->text_);
            if (object == nullptr || PyObject_Hash(object) == -1) {
                Py_XDECREF(object);
                return false;
            }
            name->object_ = object;
        }
        for (ModuleConstant* constant = constant_registry; constant != nullptr;
             constant = constant->next_) {
            if (constant->object_ != nullptr) continue;
            constant->object_ = constant->make_();
            if (constant->object_ == nullptr) return false;
        }
        return true;
    }
    static void clear_all() {
        for (InternedName* name = name_registry; name != nullptr; name = name->next_) {
            Py_CLEAR(name->object_);
        }
        for (ModuleConstant* constant = constant_registry; constant != nullptr;
             constant = constant->next_) {
            Py_CLEAR(constant->object_);
        }
    }
};

PyObject* module_globals() { return state.globals; }
PyObject* module_builtins() { return state.builtins; }
const char* module_source_path() { return state.spec != nullptr ? state.spec->source_path : "?"; }
PyTypeObject* ndarray_type() { return state.ndarray; }

// ---------------------------------------------------------------------------------------------
// Function objects: what the module body binds to each function's name. They carry what
// inspect and help() read (__name__, __qualname__, __module__, __doc__, __defaults__, __code__)
// and call the kernel body through the frame.

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
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

namespace {

PyObject* invoke(FunctionObject* function, PyObject* const* arguments, Py_ssize_t positional_count,
                 PyObject* keyword_names, PyObject* keyword_dict) {
    const FunctionSpec& spec = *function->spec;
    const char* traceback_name = function->traceback_name->c_str();
    const auto parameter_count = static_cast<Py_ssize_t>(spec.parameters.size());
    Py_ssize_t required = 0;
    while (required < parameter_count && !spec.parameters[required].has_default) ++required;

    if (state.module == nullptr) {
        PyErr_Format(PyExc_RuntimeError, kNotInitialisedMessage, state.spec->full_name);
        return nullptr;
    }
    PyObject* values[kMaxParameters];
    PyObject* const* defaults =
        function->defaults != Py_None ? &PyTuple_GET_ITEM(function->defaults, 0) : nullptr;
    if (!bind_arguments(spec.name,
                        {&PyTuple_GET_ITEM(function->parameter_names, 0),
                         static_cast<size_t>(parameter_count)},
                        required, defaults, arguments, positional_count, keyword_names,
                        keyword_dict, values)) {
        add_traceback_entry(traceback_name, spec.definition_line);
        return nullptr;
    }

    Call call(*function, values);
    int failure_line;
    try {
        call.prepare_arguments();
        Ref result = spec.body(call);
        call.release_all();
        return result.release();
    } catch (const Failure& failure) {
        failure_line = failure.line;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        failure_line = spec.definition_line;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in a kernel");
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

// The code object: parameter names and local names as co_varnames, the definition line as first
// line and the module's source path as file name.
Ref make_code_object(const FunctionSpec& spec, PyObject* parameter_names) {
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(state.spec->source_path, spec.name, spec.definition_line)));
    if (!empty) return Ref();
    const auto parameter_count = PyTuple_GET_SIZE(parameter_names);
    const auto local_count = static_cast<Py_ssize_t>(spec.locals.size());
    Ref varnames = Ref::steal(PyTuple_New(parameter_count + local_count));
    if (!varnames) return Ref();
    for (Py_ssize_t p = 0; p < parameter_count; ++p) {
        PyTuple_SET_ITEM(varnames.get(), p, Py_NewRef(PyTuple_GET_ITEM(parameter_names, p)));
    }
    for (Py_ssize_t i = 0; i < local_count; ++i) {
        PyObject* local = PyUnicode_InternFromString(spec.locals[i]);
        if (local == nullptr) return Ref();
        PyTuple_SET_ITEM(varnames.get(), parameter_count + i, local);
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
    Ref module_name = Ref::steal(PyUnicode_FromString(state.spec->full_name));
    Ref doc = spec.doc != nullptr ? Ref::steal(PyUnicode_FromString(spec.doc))
                                  : Ref::borrow(Py_None);
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
            new std::string(std::string(state.spec->full_name) + "." + spec.name);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return Ref();
    }
    return object;
}

// ---------------------------------------------------------------------------------------------
// Initialisation.

PyObject* module_create(PyObject* module_spec, PyModuleDef*) {
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return nullptr;
    if (state.interpreter_id == -1) {
        state.interpreter_id = interpreter;
    } else if (state.interpreter_id != interpreter) {
        PyErr_SetString(PyExc_ImportError, kInterpreterChangeMessage);
        return nullptr;
    }
    if (state.module != nullptr) return Py_NewRef(state.module);

    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* globals = PyModule_GetDict(module.get());

    struct Copy {
        const char* from;
        const char* to;
        bool none_too;
    };
    static constexpr Copy copies[] = {{"loader", "__loader__", true},
                                      {"origin", "__file__", true},
                                      {"parent", "__package__", true},
                                      {"submodule_search_locations", "__path__", false}};
    for (const Copy& copy : copies) {
        Ref value = Ref::steal(PyObject_GetAttrString(module_spec, copy.from));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if ((copy.none_too || value.get() != Py_None) &&
            PyDict_SetItemString(globals, copy.to, value.get()) < 0) {
            return nullptr;
        }
    }
    return module.release();
}

void clear_module_state() {
    Py_CLEAR(state.module);
    state.globals = nullptr;
    Py_CLEAR(state.builtins);
    Py_CLEAR(state.ndarray);
    NameTable::clear_all();
}

// `init quillbrax.accel._pairmetric` entry at `line`.
void add_init_traceback_entry(int line) {
    const std::string name = std::string("init ") + state.spec->full_name;
    add_traceback_entry(name.c_str(), line);
}

bool import_native_interface_during_initialisation() {
    if (import_native_interface()) return true;
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, kNativeInterfaceImportMessage);
    }
    return false;
}

// As NumPy's own import function does it: the failure is caught there and replaced by an
// ImportError raised while handling it, both passing through that function's frame.
bool import_native_interface_statement() {
    if (import_native_interface()) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    add_traceback_entry(kNumpyImportFile, kNumpyImportFunction, 1);
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ImportError, kNativeInterfaceStatementMessage);
    PyObject* import_error = PyErr_GetRaisedException();
    PyException_SetContext(import_error, cause);
    PyErr_SetRaisedException(import_error);
    add_traceback_entry(kNumpyImportFile, kNumpyImportFunction, 1);
    return false;
}

int module_exec(PyObject* module) {
    const ModuleSpec& spec = *state.spec;
    if (state.module != nullptr) {
        if (state.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError, kReinitialisationMessage, spec.name);
        return -1;
    }

    // Steps that fail before the name table exists add no traceback entry; later ones do.
    int failure_line = 0;
    auto failed = [&](int line) {
        failure_line = line;
        return false;
    };
    auto run = [&]() -> bool {
        state.module = Py_NewRef(module);
        state.globals = PyModule_GetDict(module);
        state.builtins = PyImport_ImportModule("builtins");
        if (state.builtins == nullptr ||
            PyObject_SetAttrString(module, "__builtins__", state.builtins) < 0) {
            return false;
        }
        const int running_major = static_cast<int>((Py_Version >> 24) & 0xff);
        const int running_minor = static_cast<int>((Py_Version >> 16) & 0xff);
        if ((running_major != PY_MAJOR_VERSION || running_minor != PY_MINOR_VERSION) &&
            PyErr_WarnFormat(PyExc_RuntimeWarning, 1, kVersionMismatchMessage, PY_MAJOR_VERSION,
                             PY_MINOR_VERSION, spec.full_name, "does not match", running_major,
                             running_minor) < 0) {
            return false;
        }
        if (!NameTable::intern_all()) return false;

        if (spec.native_interface == NativeInterfaceImport::during_initialisation &&
            !import_native_interface_during_initialisation()) {
            return failed(kModuleLine);
        }

        PyObject* registry = PyImport_GetModuleDict();
        Ref full_name = Ref::steal(PyUnicode_FromString(spec.full_name));
        if (!full_name) return failed(kModuleLine);
        PyObject* registered = PyDict_GetItemWithError(registry, full_name.get());
        if (registered == nullptr &&
            (PyErr_Occurred() || PyDict_SetItem(registry, full_name.get(), module) < 0)) {
            return failed(kModuleLine);
        }

        if (function_type == nullptr) {
            function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_type_spec));
            if (function_type == nullptr) return failed(kModuleLine);
        }
        std::vector<Ref> codes;
        for (const FunctionSpec& function_spec : spec.functions) {
            Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(function_spec.parameters.size())));
            if (!names) return failed(kModuleLine);
            for (size_t p = 0; p < function_spec.parameters.size(); ++p) {
                PyObject* name = PyUnicode_InternFromString(function_spec.parameters[p].name);
                if (name == nullptr) return failed(kModuleLine);
                PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(p), name);
            }
            codes.push_back(make_code_object(function_spec, names.get()));
            if (!codes.back()) return failed(kModuleLine);
        }

        Ref numpy = Ref::steal(PyImport_Import(name_numpy.get()));
        if (!numpy) return failed(kModuleLine);
        Ref ndarray = Ref::steal(PyObject_GetAttr(numpy.get(), name_ndarray.get()));
        if (!ndarray) return failed(kModuleLine);
        if (!PyType_Check(ndarray.get())) {
            PyErr_SetString(PyExc_TypeError, kNdarrayNotATypeMessage);
            return failed(kModuleLine);
        }
        state.ndarray = reinterpret_cast<PyTypeObject*>(ndarray.release());

        // The module body.
        Ref np = Ref::steal(
            PyImport_ImportModuleLevelObject(name_numpy.get(), state.globals, nullptr, nullptr, 0));
        if (!np || PyDict_SetItem(state.globals, name_np.get(), np.get()) < 0) {
            return failed(kImportNumpyLine);
        }
        if (spec.native_interface == NativeInterfaceImport::module_body_statement &&
            !import_native_interface_statement()) {
            return failed(spec.native_interface_line);
        }
        for (size_t f = 0; f < spec.functions.size(); ++f) {
            const FunctionSpec& function_spec = spec.functions[f];
            Ref function = make_function_object(function_spec, std::move(codes[f]));
            if (!function || PyDict_SetItemString(state.globals, function_spec.name,
                                                  function.get()) < 0) {
                return failed(function_spec.definition_line);
            }
        }
        Ref test = Ref::steal(PyDict_New());
        if (!test || PyDict_SetItem(state.globals, name_test.get(), test.get()) < 0) {
            return failed(kModuleLine);
        }
        return true;
    };

    if (run()) return 0;
    if (failure_line > 0 && PyErr_Occurred()) add_init_traceback_entry(failure_line);
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ImportError, "init %s", spec.full_name);
    }
    clear_module_state();
    return -1;
}

}  // namespace

PyObject* module_definition(const ModuleSpec& spec) {
    state.spec = &spec;
    slots[0] = {Py_mod_create, reinterpret_cast<void*>(module_create)};
    slots[1] = {Py_mod_exec, reinterpret_cast<void*>(module_exec)};
    slots[2] = {0, nullptr};
    definition = {
        PyModuleDef_HEAD_INIT,
        spec.name,
        spec.doc,
        0,
        nullptr,
        slots,
        nullptr,
        nullptr,
        nullptr,
    };
    return PyModuleDef_Init(&definition);
}

// ---------------------------------------------------------------------------------------------
// Calls.

Call::Call(const FunctionObject& function, PyObject* const* values) : function_(function) {
    for (size_t p = 0; p < function.spec->parameters.size(); ++p) values_[p] = values[p];
}

const FunctionSpec& Call::spec() const { return *function_.spec; }

void Call::prepare_arguments() {
    const auto& parameters = spec().parameters;
    for (size_t p = 0; p < parameters.size(); ++p) {
        if (parameters[p].kind == Parameter::Kind::integer &&
            !convert_int_argument(values_[p], IntWidth::bits32, &integers_[p])) {
            fail(parameters[p].line > 0 ? parameters[p].line : definition_line());
        }
    }
    for (size_t p = 0; p < parameters.size(); ++p) {
        if (parameters[p].kind == Parameter::Kind::array &&
            !check_array_type(values_[p], parameters[p].name, state.ndarray)) {
            fail(0);  // the type test adds no traceback entry
        }
    }
    for (size_t p = 0; p < parameters.size(); ++p) {
        if (parameters[p].kind != Parameter::Kind::array) continue;
        if (values_[p] == Py_None) {
            raise(PyExc_TypeError, definition_line(), kNoneArgumentMessage, parameters[p].name);
        }
        ArrayBuffer& buffer = next_buffer(definition_line());
        if (!acquire_array_buffer(values_[p], parameters[p].element, parameters[p].ndim,
                                  Access::read, &buffer)) {
            fail(definition_line());
        }
        order_[acquired_++] = &buffer;
        arguments_[p] = &buffer;
    }
}

void Call::release_all() {
    for (int i = 0; i < acquired_; ++i) order_[i]->release();
    acquired_ = 0;
}

ArrayBuffer& Call::next_buffer(int line) {
    if (buffer_count_ == kMaxBuffers) raise(PyExc_SystemError, line, "too many array buffers");
    return buffers_[buffer_count_++];
}

TypedView& Call::next_view(int line) {
    if (view_count_ == kMaxBuffers) raise(PyExc_SystemError, line, "too many typed views");
    return views_[view_count_++];
}

Ref Call::numpy_attribute(const InternedName& attribute, int line) {
    Ref np = lookup_global(name_np.get());
    if (!np) fail(line);
    return checked(PyObject_GetAttr(np.get(), attribute.get()), line);
}

Ref Call::call_numpy(const InternedName& function, int line,
                     std::initializer_list<PyObject*> positional,
                     std::initializer_list<std::pair<const InternedName*, PyObject*>> keywords) {
    Ref callable = numpy_attribute(function, line);
    PyObject* arguments[kMaxParameters + 1];
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
                                       (positional.size()) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       keyword_names.get()),
                   line);
}

Ref Call::call_numpy_with_dtype(const InternedName& function, const InternedName& dtype,
                                int line, std::initializer_list<PyObject*> positional) {
    Ref element_type = numpy_attribute(dtype, line);
    return call_numpy(function, line, positional, {{&name_dtype, element_type.get()}});
}

const ArrayBuffer& Call::acquire_array_variable(PyObject* value, const ElementType& type, int ndim,
                                                Access mode, int line) {
    if (value != Py_None && !PyObject_TypeCheck(value, state.ndarray)) {
        raise(PyExc_TypeError, line, kCannotConvertMessage, Py_TYPE(value)->tp_name,
              state.ndarray->tp_name);
    }
    ArrayBuffer& buffer = next_buffer(line);
    if (!acquire_array_buffer(value, type, ndim, mode, &buffer)) fail(line);
    order_[acquired_++] = &buffer;
    return buffer;
}

const ArrayBuffer& Call::reassign_array_variable(const ArrayBuffer* variable, PyObject* value,
                                                 const ElementType& type, int ndim, Access mode,
                                                 int line) {
    if (variable == nullptr) return acquire_array_variable(value, type, ndim, mode, line);
    if (value != Py_None && !PyObject_TypeCheck(value, state.ndarray)) {
        raise(PyExc_TypeError, line, kCannotConvertMessage, Py_TYPE(value)->tp_name,
              state.ndarray->tp_name);
    }
    ArrayBuffer* buffer = nullptr;
    for (int i = 0; i < buffer_count_; ++i) {
        if (&buffers_[i] == variable) buffer = &buffers_[i];
    }
    if (buffer == nullptr) raise(PyExc_SystemError, line, "not an array variable of this call");
    buffer->release();
    if (!acquire_array_buffer(value, type, ndim, mode, buffer)) fail(line);
    return *buffer;
}

const TypedView& Call::acquire_typed_view(PyObject* value, const ElementType& type, int ndim,
                                          int line) {
    if (value != Py_None && !PyObject_TypeCheck(value, state.ndarray)) {
        raise(PyExc_TypeError, line, kCannotConvertMessage, Py_TYPE(value)->tp_name,
              state.ndarray->tp_name);
    }
    TypedView& view = next_view(line);
    if (!frame::acquire_typed_view(value, type, ndim, &view)) fail(line);
    order_[acquired_++] = &view;
    return view;
}

long Call::convert_int64(PyObject* value, int line) {
    long result = 0;
    if (!convert_int_argument(value, IntWidth::bits64, &result)) fail(line);
    return result;
}

Ref Call::item(PyObject* object, Py_ssize_t index, int line) {
    Ref key = checked(PyLong_FromSsize_t(index), line);
    return checked(PyObject_GetItem(object, key.get()), line);
}

Ref make_tuple(std::initializer_list<PyObject*> items, int line) {
    Ref tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())), line);
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item));
    return tuple;
}

}  // namespace quillbrax::frame
