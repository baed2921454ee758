// Function objects: what a module body binds to each function's name. They carry what inspect and
// help() read (__name__, __qualname__, __module__, __doc__, __defaults__, __code__), pickle by
// reference, and call the kernel body through the frame: binding, the table's checks, the body,
// and on failure the release of every acquired array and a traceback entry.
#pragma once

#include "frame/refs.hpp"
#include "frame/table.hpp"

namespace quillbrax::frame {

// The code object: parameter and local names as co_varnames, the definition line as first line
// and the module's source path as file name. Empty Ref with an exception set on failure.
Ref make_code_object(const FunctionSpec& spec);

// The function object for `spec`, taking over `code`.
Ref make_function_object(const FunctionSpec& spec, Ref code);

}  // namespace quillbrax::frame
