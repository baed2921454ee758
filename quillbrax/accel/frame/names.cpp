#include "frame/names.hpp"

namespace quillbrax::frame {

namespace {
constinit InternedName* name_registry = nullptr;
constinit ModuleConstant* constant_registry = nullptr;
}  // namespace

InternedName::InternedName(const char* text) noexcept : text_(text), next_(name_registry) {
    name_registry = this;
}

ModuleConstant::ModuleConstant(Make make) noexcept : make_(make), next_(constant_registry) {
    constant_registry = this;
}

bool NameTable::build() {
    for (InternedName* name = name_registry; name != nullptr; name = name->next_) {
        if (name->object_ != nullptr) continue;
        PyObject* object = PyUnicode_InternFromString(name->text_);
        if (object == nullptr || PyObject_Hash(object) == -1) {
            Py_XDECREF(object);
            return false;
        }
        name->object_ = object;
    }
    for (ModuleConstant* constant = constant_registry; constant != nullptr;
         constant = constant->next_) {
        if (constant->object_ != nullptr) continue;
        constant->object_ = constant->make_();
        if (constant->object_ == nullptr) return false;
    }
    return true;
}

void NameTable::clear() {
    for (InternedName* name = name_registry; name != nullptr; name = name->next_) {
        Py_CLEAR(name->object_);
    }
    for (ModuleConstant* constant = constant_registry; constant != nullptr;
         constant = constant->next_) {
        Py_CLEAR(constant->object_);
    }
}

namespace numpy_names {
InternedName np{"np"}, numpy{"numpy"}, ndarray{"ndarray"};
InternedName empty{"empty"}, zeros{"zeros"}, unique{"unique"}, argsort{"argsort"}, pad{"pad"},
    ascontiguousarray{"ascontiguousarray"};
InternedName float64{"float64"}, intp{"intp"};
InternedName dtype{"dtype"}, mode{"mode"}, constant{"constant"};
InternedName fromnumeric{"numpy._core.fromnumeric"}, fromnumeric_1x{"numpy.core.fromnumeric"};
InternedName arraysetops{"numpy.lib._arraysetops_impl"}, arraysetops_1x{"numpy.lib.arraysetops"};
}  // namespace numpy_names

}  // namespace quillbrax::frame
