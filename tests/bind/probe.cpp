// A test-only extension module over the shared binding layer: each function
// exercises one mechanism, so the tests can check it from Python.
#include "bind/coro.hpp"
#include "bind/module.hpp"
#include "bind/model.hpp"

#include <stdexcept>

namespace {

PyObject* g_module_name = nullptr;  // kept for the life of the process

py::object echo(py::object a, py::object b, py::object c, py::object rest) {
    return py::make_tuple(a, b, c, rest);
}

py::object raise_cpp(py::object kind) {
    const std::string k = kind.cast<std::string>();
    if (k == "runtime") throw std::runtime_error("boom");
    if (k == "range") throw std::out_of_range("out of range");
    if (k == "value") throw py::value_error("bad value");
    if (k == "alloc") throw std::bad_alloc();
    if (k == "python") {
        PyErr_SetString(PyExc_KeyError, "missing");
        throw py::error_already_set();
    }
    throw 42;  // not an exception class at all
}

py::object method_self(py::object self, py::object x) { return py::make_tuple(self, x); }

// Awaits each awaitable of `awaitables` in turn and returns their results.
bind::Task gather_in_order(py::object awaitables) {
    py::list results;
    for (py::handle a : awaitables) {
        py::object r = co_await bind::borrow(a.ptr());
        results.append(r);
    }
    co_return results;
}

// Awaits `awaitable`; an exception it raises is caught in C++ and returned.
bind::Task catch_from(py::object awaitable) {
    try {
        py::object r = co_await std::move(awaitable);
        co_return py::make_tuple("value", r);
    } catch (py::error_already_set& e) {
        co_return py::make_tuple("caught", e.value());
    }
}

// Awaits `awaitable` and then fails in C++ after it.
bind::Task await_then_fail(py::object awaitable, py::object kind) {
    co_await std::move(awaitable);
    raise_cpp(kind);
    co_return py::none();
}

bind::Task raise_stop_iteration(py::object) {
    PyErr_SetString(PyExc_StopIteration, "leaked");
    throw py::error_already_set();
    co_return py::none();
}

// Holds `resource` in its frame while awaiting `awaitable` (lets tests see
// that closing or abandoning the coroutine releases the frame's locals).
bind::Task hold_and_await(py::object resource, py::object awaitable) {
    bind::Local keep = resource;
    py::object r = co_await std::move(awaitable);
    co_return py::make_tuple(keep, r);
}

// Iterates as a Python for loop does: one __next__ per item and one for the
// end (pybind11's range-for asks an exhausted iterator once more).
bind::Generator yield_each(py::object iterable) {
    bind::Local iterator = bind::steal(PyObject_GetIter(iterable.ptr()));
    while (bind::Local item = bind::next_item(iterator)) co_yield item;
}

bind::Generator yield_then_fail(py::object iterable, py::object kind) {
    for (py::handle item : iterable) co_yield bind::borrow(item.ptr());
    raise_cpp(kind);
}

// Awaits `source.__anext__()` until StopAsyncIteration, yielding each item.
bind::AsyncGenerator relay(py::object source) {
    static PyObject* anext = bind::intern("__anext__");
    bind::Local it = bind::steal(PyObject_GetAttrString(source.ptr(), "__aiter__"));
    it = bind::call(it);
    for (;;) {
        bind::Local item;
        try {
            item = co_await bind::call_method(it, anext);
        } catch (py::error_already_set& e) {
            if (e.matches(PyExc_StopAsyncIteration)) break;
            throw;
        }
        co_yield item;
    }
}

// Awaits each awaitable of `awaitables`, catching what derives from
// Exception around each `co_await`; returns ("value", r) / ("caught", e) pairs.
bind::Task catch_each(py::object awaitables) {
    py::list results;
    for (py::handle a : awaitables) {
        try {
            py::object r = co_await bind::borrow(a.ptr());
            results.append(py::make_tuple("value", r));
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            results.append(py::make_tuple("caught", e.value()));
        }
    }
    co_return results;
}

// Yields each item; an Exception thrown in at a `co_yield` is yielded back
// as ("caught", e) and the iteration goes on.
bind::Generator yield_catching(py::object iterable) {
    py::object it = bind::steal(PyObject_GetIter(iterable.ptr()));
    while (py::object item = bind::next_item(it)) {
        py::object caught;
        try {
            co_yield item;
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            caught = e.value();
        }
        if (caught) co_yield py::make_tuple("caught", caught);
    }
}

// Awaits each awaitable and yields its result, or ("caught", e) for an
// Exception it raised.
bind::AsyncGenerator await_and_yield(py::object awaitables) {
    for (py::handle a : awaitables) {
        py::object r;
        try {
            r = co_await bind::borrow(a.ptr());
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            r = py::make_tuple("caught", e.value());
        }
        co_yield r;
    }
}

py::object make_model(py::object base) {
    py::object typing = py::module_::import("typing");
    py::object builtins = py::module_::import("builtins");
    auto method = [](const char* name, const char* qualname, std::vector<bind::Param> params, bind::Impl impl,
                     bind::Flavor flavor = bind::Flavor::Plain) {
        return bind::make_function(
            {.name = name, .qualname = qualname, .params = std::move(params), .impl = impl, .flavor = flavor},
            bind::borrow(g_module_name));
    };
    using bind::Member;
    return bind::make_class(
        base,
        {
            .name = "Probe",
            .doc = "A probe model.",
            .members =
                {
                    Member::field("required", builtins.attr("int")),
                    Member::field("optional", builtins.attr("str"), bind::str("default")),
                    Member::class_var("CONSTANT", builtins.attr("tuple"), py::make_tuple("a", "b")),
                    Member::attribute("public_method",
                                      method("public_method", "Probe.public_method", {{"self"}, {"x"}},
                                             bind::wrap<method_self>)),
                    Member::attribute("_private_method",
                                      method("_private_method", "Probe._private_method", {{"self"}, {"x"}},
                                             bind::wrap<method_self>)),
                    Member::attribute("gather", method("gather", "Probe.gather", {{"awaitables"}},
                                                       bind::wrap<gather_in_order>, bind::Flavor::Coroutine)),
                },
        },
        bind::borrow(g_module_name));
}

}  // namespace

BIND_MODULE(bindprobe, m) {
    bind::init(m);
    g_module_name = bind::keep(m.attr("__name__"));
    auto def = [&](bind::FunctionDef d) {
        const char* name = d.name;
        m.attr(name) = bind::make_function(std::move(d), bind::borrow(g_module_name));
    };
    using bind::Param;
    using bind::ParamKind;
    def({.name = "echo",
         .doc = "Returns its arguments.",
         .params = {{"a"},
                    {"b", ParamKind::PositionalOrKeyword, bind::str("b-default")},
                    {"c", ParamKind::KeywordOnly, py::none()},
                    {"rest", ParamKind::VarKeyword}},
         .impl = bind::wrap<echo>});
    def({.name = "raise_cpp", .params = {{"kind"}}, .impl = bind::wrap<raise_cpp>});
    def({.name = "method_self", .params = {{"self"}, {"x"}}, .impl = bind::wrap<method_self>});
    def({.name = "gather_in_order",
         .params = {{"awaitables"}},
         .impl = bind::wrap<gather_in_order>,
         .flavor = bind::Flavor::Coroutine});
    def({.name = "catch_from", .params = {{"awaitable"}}, .impl = bind::wrap<catch_from>, .flavor = bind::Flavor::Coroutine});
    def({.name = "await_then_fail",
         .params = {{"awaitable"}, {"kind"}},
         .impl = bind::wrap<await_then_fail>,
         .flavor = bind::Flavor::Coroutine});
    def({.name = "raise_stop_iteration",
         .params = {{"x"}},
         .impl = bind::wrap<raise_stop_iteration>,
         .flavor = bind::Flavor::Coroutine});
    def({.name = "hold_and_await",
         .params = {{"resource"}, {"awaitable"}},
         .impl = bind::wrap<hold_and_await>,
         .flavor = bind::Flavor::Coroutine});
    def({.name = "yield_each", .params = {{"iterable"}}, .impl = bind::wrap<yield_each>, .flavor = bind::Flavor::Generator});
    def({.name = "yield_then_fail",
         .params = {{"iterable"}, {"kind"}},
         .impl = bind::wrap<yield_then_fail>,
         .flavor = bind::Flavor::Generator});
    def({.name = "relay", .params = {{"source"}}, .impl = bind::wrap<relay>, .flavor = bind::Flavor::AsyncGenerator});
    def({.name = "catch_each", .params = {{"awaitables"}}, .impl = bind::wrap<catch_each>, .flavor = bind::Flavor::Coroutine});
    def({.name = "yield_catching",
         .params = {{"iterable"}},
         .impl = bind::wrap<yield_catching>,
         .flavor = bind::Flavor::Generator});
    def({.name = "await_and_yield",
         .params = {{"awaitables"}},
         .impl = bind::wrap<await_and_yield>,
         .flavor = bind::Flavor::AsyncGenerator});
    def({.name = "make_model", .params = {{"base"}}, .impl = bind::wrap<make_model>});
}
