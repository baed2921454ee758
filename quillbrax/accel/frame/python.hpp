// The one include of the interpreter's and NumPy's headers for the frame and the modules built on
// it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

// Every translation unit of a module sees the same NumPy interface table; frame/numpy_interface.cpp
// defines it, everybody else only declares it.
#define PY_ARRAY_UNIQUE_SYMBOL quillbrax_frame_ARRAY_API
#ifndef QUILLBRAX_FRAME_DEFINES_ARRAY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
