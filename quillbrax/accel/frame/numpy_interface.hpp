// NumPy as the frame reaches it: the native interface table imported at initialisation, and the
// module global `np` looked up at call time.
#pragma once

#include "frame/refs.hpp"

namespace quillbrax::frame {

// Imports NumPy's native interface (numpy._core._multiarray_umath, or numpy.core._multiarray_umath
// on NumPy 1.x) and checks its capsule, ABI version, feature level and byte order. Returns false
// with NumPy's RuntimeError (or the import's exception) set.
bool import_native_interface();

// The value of global `name` in the module's globals, else in builtins; NameError when neither
// holds it. Returns an empty Ref with the exception set.
Ref lookup_global(PyObject* name);

}  // namespace quillbrax::frame
