#include "frame/errors.hpp"

#include "frame/state.hpp"

#include <cstdarg>
#include <stdexcept>

namespace quillbrax::frame {

void fail(int line) { throw Failure{line}; }

void raise(PyObject* type, int line, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    fail(line);
}

namespace {
constexpr const char* kUnaddressableMessage =
    "cannot address %zd elements of %zu bytes: the size exceeds the address space";
constexpr const char* kContainerTooLargeMessage =
    "a working array of the kernel would exceed the address space";
constexpr const char* kUnexpectedMessage = "unexpected C++ exception in a kernel";
}  // namespace

void raise_unaddressable(Py_ssize_t count, size_t item_size, int line) {
    raise(PyExc_ValueError, line, kUnaddressableMessage, count, item_size);
}

void set_native_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_SetString(PyExc_ValueError, kContainerTooLargeMessage);
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, kUnexpectedMessage);
    }
}

void add_traceback_entry(const char* file_name, const char* qualified_name, int line) {
    PyObject* globals = module_globals();
    if (globals == nullptr) return;
    PyFrameObject* frame = nullptr;
    {
        PendingException pending;
        // An empty code object's only instruction maps to its first line, so a fresh frame
        // over it reports `line` without touching the frame's internals.
        PyCodeObject* code = PyCode_NewEmpty(file_name, qualified_name, line);
        if (code != nullptr) {
            frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
            Py_DECREF(code);
        }
        PyErr_Clear();  // a failure to build the entry must not replace the real exception
    }
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

void add_traceback_entry(const char* qualified_name, int line) {
    add_traceback_entry(module_source_path(), qualified_name, line);
}

}  // namespace quillbrax::frame
