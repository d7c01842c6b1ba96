#include "model.hpp"

namespace bind {

py::object make_class(py::handle base, const ClassDef& def, py::handle module_name) {
    py::object typing = import("typing");
    py::object pydantic_base = import_from("pydantic", "BaseModel");
    const bool is_model = check(PyObject_IsSubclass(base.ptr(), pydantic_base.ptr())) != 0;

    py::dict ns;
    py::dict annotations;
    ns["__module__"] = module_name;
    ns["__qualname__"] = def.name;
    ns["__doc__"] = def.doc != nullptr ? str(def.doc) : none();
    ns["__annotations__"] = annotations;
    for (const Member& m : def.members) {
        switch (m.kind) {
            case Member::Kind::Field:
                annotations[m.name] = m.annotation;
                if (m.value) ns[m.name] = m.value;
                break;
            case Member::Kind::ClassVar:
                annotations[m.name] = typing.attr("ClassVar")[m.annotation];
                ns[m.name] = m.value;
                break;
            case Member::Kind::Attribute: ns[m.name] = m.value; break;
        }
    }

    py::dict kwargs;
    if (is_model) {
        // Merged by pydantic with the configuration inherited from the base.
        py::object inherited = base.attr("model_config").attr("get")("ignored_types", py::tuple());
        py::tuple ignored = py::tuple(inherited) + py::make_tuple(borrow(reinterpret_cast<PyObject*>(function_type())));
        py::dict config;
        config["ignored_types"] = ignored;
        ns["model_config"] = config;
        // Without this pydantic records the namespace of whichever Python
        // frame happens to be calling as the class's parent namespace.
        kwargs["__pydantic_reset_parent_namespace__"] = false;
    }

    py::object metaclass = borrow(reinterpret_cast<PyObject*>(Py_TYPE(base.ptr())));
    return metaclass(def.name, py::make_tuple(base), ns, **kwargs);
}

}  // namespace bind
