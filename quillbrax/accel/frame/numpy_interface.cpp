#define QUILLBRAX_FRAME_DEFINES_ARRAY_API
#include "frame/numpy_interface.hpp"

#include "frame/state.hpp"

namespace quillbrax::frame {

namespace {
constexpr const char* kNameErrorMessage = "name '%U' is not defined";
}

bool import_native_interface() { return _import_array() == 0; }

Ref lookup_global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(module_globals(), name);
    if (value != nullptr) return Ref::borrow(value);
    if (PyErr_Occurred()) return Ref();
    Ref found = Ref::steal(PyObject_GetAttr(module_builtins(), name));
    if (!found && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, kNameErrorMessage, name);
    }
    return found;
}

}  // namespace quillbrax::frame
