// Kernel modules. A module file declares its functions as a table of FunctionSpec (parameters from
// the handles of frame/table.hpp) and its module as a ModuleSpec, and its entry point returns
// module_definition(spec). The frame binds and checks every call's arguments against the table
// before the body runs; the body works through its Call (frame/call.hpp).
//
// Where each thing lives:
//   table.hpp      parameters and their handles, function and module tables, capacities
//   call.hpp       one call: arguments, np calls and the checks of what np gave, acquisitions
//   values.hpp     building ints, floats, tuples and slices
//   names.hpp      interned names (NumPy's among them) and module constants
//   function.hpp   function objects and their code objects
//   module.cpp     module creation, execution and definition (initialisation)
//   state.hpp      the module state: globals, builtins, numpy.ndarray
//   buffers.hpp    array buffers, typed views, the element-type check, strided element access
//   arguments.hpp  argument binding, integer conversion, the array type test
//   errors.hpp     Failure, traceback entries, scratch storage
//   numpy_interface.hpp  NumPy's native interface and the `np` lookup
#pragma once

#include "frame/call.hpp"
#include "frame/errors.hpp"
#include "frame/names.hpp"
#include "frame/state.hpp"
#include "frame/table.hpp"
#include "frame/values.hpp"

namespace quillbrax::frame {

// The module definition for multi-phase initialisation; the entry point returns it.
PyObject* module_definition(const ModuleSpec& spec);

}  // namespace quillbrax::frame
