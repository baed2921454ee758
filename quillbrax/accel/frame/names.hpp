// Names and objects a module makes once, at initialisation, and keeps while it lives: every
// Python-level name the frame and the module bodies use, interned once (compared by identity
// first), and module constants such as a shared immutable result.
#pragma once

#include "frame/python.hpp"

namespace quillbrax::frame {

// Declare as a static object; get() is valid once the module lives.
class InternedName {
public:
    explicit InternedName(const char* text) noexcept;
    InternedName(const InternedName&) = delete;
    InternedName& operator=(const InternedName&) = delete;
    PyObject* get() const { return object_; }
    const char* text() const { return text_; }

private:
    friend struct NameTable;
    const char* text_;
    PyObject* object_ = nullptr;
    InternedName* next_;
};

// Declare as a static object; get() is valid once the module lives.
class ModuleConstant {
public:
    using Make = PyObject* (*)();  // a new reference, or null with an exception set
    explicit ModuleConstant(Make make) noexcept;
    ModuleConstant(const ModuleConstant&) = delete;
    ModuleConstant& operator=(const ModuleConstant&) = delete;
    PyObject* get() const { return object_; }

private:
    friend struct NameTable;
    Make make_;
    PyObject* object_ = nullptr;
    ModuleConstant* next_;
};

// Every InternedName and ModuleConstant of the module (frame and bodies alike).
struct NameTable {
    static bool build();  // false with the exception set
    static void clear();
};

// The names through which the bodies reach NumPy: np.<function>, np.<type>, keyword names.
namespace numpy_names {
extern InternedName np, numpy, ndarray;
extern InternedName empty, zeros, unique, argsort, pad, ascontiguousarray;
extern InternedName float64, intp;
extern InternedName dtype, mode, constant;
extern InternedName fromnumeric, fromnumeric_1x;  // the modules that define argsort
extern InternedName arraysetops, arraysetops_1x;  // the modules that define unique
}  // namespace numpy_names

}  // namespace quillbrax::frame
