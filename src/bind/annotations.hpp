// Type annotations of compiled functions, written as the text a stub file
// uses ("List[Document]", "Mapping[str, Any]"), so that `inspect.signature`
// of a module's functions and the module's .pyi stub say the same thing in
// the same words.
#pragma once

#include "function.hpp"

#include <initializer_list>
#include <utility>

namespace bind {

// The names annotation text may use: those of `typing` and the builtins,
// plus each (module, name) import given here. Built once per module.
py::object annotation_names(std::initializer_list<std::pair<const char*, const char*>> imports);

// The object that `expression` denotes among `names`. A bad expression
// fails the module's import, as a bad annotation fails a Python module's.
py::object annotation(py::handle names, const char* expression);

// A positional-or-keyword parameter with an annotation and no default.
inline Param typed(const char* name, py::object annotation) {
    return Param{name, ParamKind::PositionalOrKeyword, py::object(), std::move(annotation)};
}

}  // namespace bind
