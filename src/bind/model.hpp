// Defining subclasses of Python classes (pydantic models among them) from C++.
//
// The class is created the way a `class` statement creates it: the base's
// metaclass is called with the name, the single base and a namespace that
// holds `__module__`, `__qualname__`, `__doc__`, `__annotations__` (real
// type objects, `typing.ClassVar[...]` for class constants), the defaults and
// the methods, in declaration order. Methods are `bind::Function` objects; for
// pydantic models their type is added to `model_config["ignored_types"]`, so
// pydantic neither turns a one-underscore method into a private attribute nor
// rejects a public one as a non-annotated attribute. `__init_subclass__` hooks
// of the base (LangChain reads the signature of the retriever hooks there) run
// with the methods already in place.
#pragma once

#include "function.hpp"

#include <vector>

namespace bind {

struct Member {
    enum class Kind {
        Field,     // annotated; `value` is the default, empty when required
        ClassVar,  // annotated ClassVar[annotation]; `value` is the constant
        Attribute  // plain namespace entry: a method, a validator, a constant
    };
    Kind kind;
    const char* name;
    py::object value{};
    py::object annotation{};

    static Member field(const char* name, py::object annotation, py::object default_value = {}) {
        return {Kind::Field, name, std::move(default_value), std::move(annotation)};
    }
    static Member class_var(const char* name, py::object annotation, py::object value) {
        return {Kind::ClassVar, name, std::move(value), std::move(annotation)};
    }
    static Member attribute(const char* name, py::object value) {
        return {Kind::Attribute, name, std::move(value), {}};
    }
};

struct ClassDef {
    const char* name;
    const char* doc = nullptr;  // null: no docstring
    std::vector<Member> members{};
};

// Creates the class `module_name.name` deriving from `base`.
py::object make_class(py::handle base, const ClassDef& def, py::handle module_name);

}  // namespace bind
