// The init function of an extension module.
//
//     BIND_MODULE(qor, m) { ...define the module's names on m... }
//
// The module uses multi-phase initialisation; its body runs when the module
// is executed. Unlike pybind11's own macro, which replaces any failure with
// "ImportError: initialization failed", an exception raised by the body (a
// missing service module, a missing name) reaches the importer unchanged, as
// it would from the body of a Python module.
#pragma once

#include "core.hpp"

namespace bind {

// Runs `body` on the module object; returns -1 with the error set when it
// raised. The module's dict becomes the one `global` reads.
int run_module_body(PyObject* module, void (*body)(py::module_&)) noexcept;

// A module-level name by name, read from the module's dict on every call as
// the code of a Python module reads its globals (so a name replaced on the
// module is seen); NameError like the interpreter's when it is missing.
py::object global(PyObject* name);

// A module's parts are defined by its init body, in order, in one place (the
// module file); each part's own interned names (BIND_PART_NAMES, a static
// `PartNames` object) are filled by fill_part_names(), which the body calls
// once it has bound the module's own names and before it defines the parts.
struct PartNames {
    explicit PartNames(void (*fill)());
};
void fill_part_names();

}  // namespace bind

#if PY_VERSION_HEX >= 0x030D0000
#define BIND_MODULE_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define BIND_MODULE_GIL_SLOT
#endif
#if PY_VERSION_HEX >= 0x030C0000
// Module state is process-wide: one interpreter per process.
#define BIND_MODULE_INTERPRETERS_SLOT \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define BIND_MODULE_INTERPRETERS_SLOT
#endif

#define BIND_MODULE(name, variable)                                                                      \
    static void bind_module_body_##name(py::module_&);                                                   \
    static int bind_module_exec_##name(PyObject* module) {                                               \
        return ::bind::run_module_body(module, bind_module_body_##name);                                  \
    }                                                                                                    \
    static PyModuleDef_Slot bind_module_slots_##name[] = {                                               \
        {Py_mod_exec, reinterpret_cast<void*>(bind_module_exec_##name)},                                  \
        BIND_MODULE_INTERPRETERS_SLOT BIND_MODULE_GIL_SLOT{0, nullptr}};                                   \
    static PyModuleDef bind_module_def_##name = {                                                        \
        PyModuleDef_HEAD_INIT, #name, nullptr, 0, nullptr, bind_module_slots_##name, nullptr, nullptr, nullptr}; \
    extern "C" PYBIND11_EXPORT PyObject* PyInit_##name() { return PyModuleDef_Init(&bind_module_def_##name); } \
    static void bind_module_body_##name(py::module_& variable)
