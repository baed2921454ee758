// Module state: one instance per process (each module carries its own copy of the frame), valid
// while the module lives and empty otherwise.
#pragma once

#include "frame/table.hpp"

#include <cstdint>

namespace quillbrax::frame {

struct ModuleState {
    const ModuleSpec* spec = nullptr;
    int64_t interpreter_id = -1;
    PyObject* module = nullptr;
    PyObject* globals = nullptr;  // borrowed from `module`
    PyObject* builtins = nullptr;
    PyTypeObject* ndarray = nullptr;
};

extern ModuleState module_state;

inline PyObject* module_globals() { return module_state.globals; }
inline PyObject* module_builtins() { return module_state.builtins; }
inline PyTypeObject* ndarray_type() { return module_state.ndarray; }
inline const char* module_source_path() {
    return module_state.spec != nullptr ? module_state.spec->source_path : "?";
}

}  // namespace quillbrax::frame
