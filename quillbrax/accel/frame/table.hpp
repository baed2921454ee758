// The declarative tables a module fills in: its functions, their parameters (each also the typed
// handle through which the body reaches that argument), and the module itself. Parameter tables
// are checked at compile time against the frame's capacities.
#pragma once

#include "frame/buffers.hpp"
#include "frame/refs.hpp"

#include <array>
#include <span>

namespace quillbrax::frame {

inline constexpr int kMaxParameters = 8;
inline constexpr int kMaxBuffers = 12;  // array buffers held by one call, and typed views

struct Parameter {
    enum class Kind { array, integer, object };
    Kind kind;
    const char* name;
    ElementType element{DTYPE_t};  // arrays: element type and number of dimensions
    int ndim = 0;
    bool has_default = false;  // integers: a default value
    long default_value = 0;
};

// Handles: a body names an argument by the handle its table declared, call[X], call[kh].
// `index` is the parameter's position, checked against the table by parameter_table.
struct ArrayParameter {
    int index;
    const char* name;
    ElementType element;
    int ndim;
    constexpr Parameter declaration() const {
        return {Parameter::Kind::array, name, element, ndim};
    }
};

struct IntParameter {
    int index;
    const char* name;
    bool has_default = false;
    long default_value = 0;
    constexpr IntParameter(int index_, const char* name_) : index(index_), name(name_) {}
    constexpr IntParameter(int index_, const char* name_, long default_)
        : index(index_), name(name_), has_default(true), default_value(default_) {}
    constexpr Parameter declaration() const {
        return {Parameter::Kind::integer, name, DTYPE_t, 0, has_default, default_value};
    }
};

struct ObjectParameter {
    int index;
    const char* name;
    constexpr Parameter declaration() const { return {Parameter::Kind::object, name}; }
};

namespace table_checks {
constexpr bool same_text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}
}  // namespace table_checks

// The parameter table of a function, from its handles in order. A table that does not fit the
// frame fails to compile.
template <class... Handles>
consteval std::array<Parameter, sizeof...(Handles)> parameter_table(const Handles&... handles) {
    static_assert(sizeof...(Handles) <= kMaxParameters, "more parameters than a call can bind");
    const int indices[] = {handles.index...};
    std::array<Parameter, sizeof...(Handles)> table{handles.declaration()...};
    int arrays = 0;
    bool defaults = false;
    for (size_t p = 0; p < table.size(); ++p) {
        if (indices[p] != static_cast<int>(p)) throw "a handle's index is not its position";
        for (size_t q = 0; q < p; ++q) {
            if (table_checks::same_text(table[p].name, table[q].name)) throw "a repeated name";
        }
        if (table[p].kind == Parameter::Kind::array) {
            ++arrays;
            if (table[p].ndim < 1 || table[p].ndim > kMaxDimensions) throw "unsupported ndim";
        }
        if (defaults && !table[p].has_default) throw "a parameter without default after defaults";
        defaults = defaults || table[p].has_default;
    }
    if (arrays > kMaxBuffers) throw "more array parameters than a call can hold buffers";
    return table;
}

class Call;
using Body = Ref (*)(Call&);

struct FunctionSpec {
    const char* name;
    std::span<const Parameter> parameters;
    std::span<const char* const> locals;  // local names of the code object after the parameters
    const char* doc;                      // nullptr: no docstring
    int definition_line;
    Body body;
};

enum class NativeInterfaceImport {
    during_initialisation,  // before the module body runs; failure discards the cause
    module_body_statement,  // a statement of the body; the cause stays as the ImportError's context
};

struct ModuleSpec {
    const char* name;         // short name, "_pairmetric"
    const char* full_name;    // "quillbrax.accel._pairmetric"
    const char* source_path;  // file name of traceback entries
    const char* doc;
    std::span<const FunctionSpec> functions;
    NativeInterfaceImport native_interface;
    int native_interface_line;  // source line of the body statement
};

}  // namespace quillbrax::frame
