#include "frame/module.hpp"

#include "frame/function.hpp"
#include "frame/numpy_interface.hpp"
#include "frame/state.hpp"

#include <string>
#include <vector>

namespace quillbrax::frame {

ModuleState module_state;

namespace {

PyModuleDef definition;
PyModuleDef_Slot slots[3];

InternedName name_test{"__test__"};

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
constexpr const char* kNdarrayNotATypeMessage = "numpy.ndarray is not a type object";

// Source lines of the module body: failures of the frame's own steps report its first line.
constexpr int kModuleLine = 1;
constexpr int kImportNumpyLine = 4;

PyObject* module_create(PyObject* module_spec, PyModuleDef*) {
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return nullptr;
    if (module_state.interpreter_id == -1) {
        module_state.interpreter_id = interpreter;
    } else if (module_state.interpreter_id != interpreter) {
        PyErr_SetString(PyExc_ImportError, kInterpreterChangeMessage);
        return nullptr;
    }
    if (module_state.module != nullptr) return Py_NewRef(module_state.module);

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
    Py_CLEAR(module_state.module);
    module_state.globals = nullptr;
    Py_CLEAR(module_state.builtins);
    Py_CLEAR(module_state.ndarray);
    NameTable::clear();
}

// `init quillbrax.accel._pairmetric` entry at `line`.
void add_init_traceback_entry(int line) {
    const std::string name = std::string("init ") + module_state.spec->full_name;
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
    const ModuleSpec& spec = *module_state.spec;
    if (module_state.module != nullptr) {
        if (module_state.module == module) return 0;
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
        module_state.module = Py_NewRef(module);
        module_state.globals = PyModule_GetDict(module);
        module_state.builtins = PyImport_ImportModule("builtins");
        if (module_state.builtins == nullptr ||
            PyObject_SetAttrString(module, "__builtins__", module_state.builtins) < 0) {
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
        if (!NameTable::build()) return false;

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

        std::vector<Ref> codes;
        for (const FunctionSpec& function_spec : spec.functions) {
            codes.push_back(make_code_object(function_spec));
            if (!codes.back()) return failed(kModuleLine);
        }

        Ref numpy = Ref::steal(PyImport_Import(numpy_names::numpy.get()));
        if (!numpy) return failed(kModuleLine);
        Ref ndarray = Ref::steal(PyObject_GetAttr(numpy.get(), numpy_names::ndarray.get()));
        if (!ndarray) return failed(kModuleLine);
        if (!PyType_Check(ndarray.get())) {
            PyErr_SetString(PyExc_TypeError, kNdarrayNotATypeMessage);
            return failed(kModuleLine);
        }
        module_state.ndarray = reinterpret_cast<PyTypeObject*>(ndarray.release());

        // The module body.
        Ref np = Ref::steal(PyImport_ImportModuleLevelObject(
            numpy_names::numpy.get(), module_state.globals, nullptr, nullptr, 0));
        if (!np || PyDict_SetItem(module_state.globals, numpy_names::np.get(), np.get()) < 0) {
            return failed(kImportNumpyLine);
        }
        if (spec.native_interface == NativeInterfaceImport::module_body_statement &&
            !import_native_interface_statement()) {
            return failed(spec.native_interface_line);
        }
        for (size_t f = 0; f < spec.functions.size(); ++f) {
            const FunctionSpec& function_spec = spec.functions[f];
            Ref function = make_function_object(function_spec, std::move(codes[f]));
            if (!function || PyDict_SetItemString(module_state.globals, function_spec.name,
                                                  function.get()) < 0) {
                return failed(function_spec.definition_line);
            }
        }
        Ref test = Ref::steal(PyDict_New());
        if (!test || PyDict_SetItem(module_state.globals, name_test.get(), test.get()) < 0) {
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
    module_state.spec = &spec;
    slots[0] = {Py_mod_create, reinterpret_cast<void*>(module_create)};
    slots[1] = {Py_mod_exec, reinterpret_cast<void*>(module_exec)};
    slots[2] = {0, nullptr};
    definition = {
        PyModuleDef_HEAD_INIT, spec.name, spec.doc, 0, nullptr, slots, nullptr, nullptr, nullptr,
    };
    return PyModuleDef_Init(&definition);
}

}  // namespace quillbrax::frame
