// Attribute access on message objects, the per-chunk cost of streaming.
//
// LangChain messages are pydantic models that accept extra attributes. A
// plain `setattr` of an attribute that is not a declared field runs
// pydantic's `__setattr__` in Python (about 2 us), and `hasattr` of a missing
// one raises and catches inside its `__getattr__` (about 2 us as well); a
// declared field costs a tenth of that. For the model classes whose
// attribute hooks are pydantic's own, these functions write and read the
// very storage pydantic's hooks would (the instance `__dict__`,
// `__pydantic_extra__`, `__pydantic_fields_set__`), so `getattr`, `hasattr`,
// `model_dump`, copies and `==` see exactly what a plain `setattr` gives.
// Every other object (not pydantic, extra attributes forbidden, frozen,
// validated assignment, overridden hooks, slotted classes, ...) goes through
// the interpreter's `setattr` / `getattr`, with their results and errors.
//
// What pydantic's hooks write is not assumed: it is observed once, at import,
// on a real message, and a fast path is used only when it matches.
#pragma once

#include "bind/core.hpp"

namespace cogsift::attrs {

// Observes the installed pydantic on `probe_cls` (a model class that allows
// extra attributes). Must run once before the functions below; without it
// (or when the observation does not match) everything takes the generic
// path.
void init(py::handle probe_cls);

// getattr(obj, name), or an empty object when that raises AttributeError
// (hasattr false). Other errors propagate.
py::object lookup(py::handle obj, PyObject* name);

// getattr(obj, name), raising what getattr raises.
py::object get(py::handle obj, PyObject* name);

// setattr(obj, name, value), with setattr's effects and errors.
void set(py::handle obj, PyObject* name, py::handle value);

#ifdef COMMUNITY_TEST_HOOKS
// Test builds only (the test hooks): whether the fast paths are active.
struct Status {
    bool extra_fast;  // extra attributes written straight into __pydantic_extra__
    bool field_fast;  // declared fields written straight into __dict__
};
Status status();
// Switches the fast paths off (true) or back on (false): lets the tests and
// the benchmark compare against the plain interpreter path.
void force_generic(bool on);
#endif

}  // namespace cogsift::attrs
