#include "annotations.hpp"

namespace bind {

py::object annotation_names(std::initializer_list<std::pair<const char*, const char*>> imports) {
    py::object names = steal(PyDict_Copy(import("typing").attr("__dict__").ptr()));
    check(PyDict_SetItemString(names.ptr(), "__builtins__", import("builtins").ptr()));
    for (const auto& [module, name] : imports)
        check(PyDict_SetItemString(names.ptr(), name, import_from(module, name).ptr()));
    return names;
}

py::object annotation(py::handle names, const char* expression) {
    py::object code = steal(Py_CompileString(expression, "<annotation>", Py_eval_input));
    return steal(PyEval_EvalCode(code.ptr(), names.ptr(), names.ptr()));
}

}  // namespace bind
