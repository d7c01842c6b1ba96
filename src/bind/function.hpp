// Functions and methods implemented in C++ that behave like Python functions.
//
// A `Function` object is callable through vectorcall, binds `self` when it is
// found on a class (it is a descriptor, and a method descriptor, so attribute
// calls on instances skip the bound-method allocation), and carries
// `__name__`, `__qualname__`, `__module__`, `__doc__`, a `__dict__` and a
// `__signature__` built once from its parameter list, so `inspect.signature`
// reports its real parameters.
//
// Arguments are parsed straight from the vectorcall array into one borrowed
// slot per declared parameter, with the interpreter's own error messages for
// missing, surplus, duplicated and unknown arguments.
#pragma once

#include "core.hpp"

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace bind {

enum class ParamKind {
    PositionalOrKeyword,
    KeywordOnly,
    VarKeyword,  // **kwargs: collects the keyword arguments no parameter takes
};

struct Param {
    const char* name;
    ParamKind kind = ParamKind::PositionalOrKeyword;
    py::object default_value{};  // empty: the parameter is required
    py::object annotation{};     // empty: not annotated
};

// The parsed arguments of one call, one slot per declared parameter. Slots
// are borrowed and valid for the duration of the call; a parameter with a
// default that was not passed holds the default; a **kwargs parameter holds a
// new dict of the keyword arguments no other parameter took.
struct Args {
    PyObject* const* slots;

    py::handle operator[](std::size_t i) const { return slots[i]; }
    py::object get(std::size_t i) const { return borrow(slots[i]); }
};

using Impl = py::object (*)(const Args&);

// What calling the function returns; recorded so that `asyncio` and
// `inspect` can tell a coroutine function from a plain one.
enum class Flavor { Plain, Coroutine, Generator, AsyncGenerator };

struct FunctionDef {
    const char* name;
    const char* qualname = nullptr;  // defaults to name
    const char* doc = nullptr;
    std::vector<Param> params{};
    Impl impl = nullptr;
    Flavor flavor = Flavor::Plain;
    py::object return_annotation{};
};

// Creates the function object. `module_name` becomes its `__module__`.
py::object make_function(FunctionDef def, py::handle module_name);

// A method of class `class_name`: its qualified name is "<class_name>.<name>".
py::object make_method(const char* class_name, FunctionDef def, py::handle module_name);

// The Python type of every function object made by this module; pydantic
// models must list it in `model_config["ignored_types"]`.
PyTypeObject* function_type();

// Must be called once from the module's init function before any other
// function of the layer. `module` is the extension module being initialised.
void init(py::module_& module);

// ---------------------------------------------------------------------------
// Adapters from typed C++ functions to `Impl`.
//
// `wrap<f>` turns `R f(py::object a0, py::object a1, ...)` into an `Impl`
// that passes each parsed argument as an owning handle (coroutine and
// generator bodies must own their parameters: their frames outlive the
// call). `R` is `py::object`, or one of the coroutine types of coro.hpp,
// which the adapter turns into its driver object.

template <class R>
struct ResultAdapter {
    static py::object adapt(R&& r) { return py::object(std::move(r)); }
};

namespace detail {
template <class F>
struct Arity;
template <class R, class... A>
struct Arity<R (*)(A...)> {
    static constexpr std::size_t value = sizeof...(A);
    using Result = R;
};

template <auto F, std::size_t... I>
py::object apply(const Args& a, std::index_sequence<I...>) {
    using R = typename Arity<decltype(F)>::Result;
    return ResultAdapter<R>::adapt(F(a.get(I)...));
}
}  // namespace detail

template <auto F>
py::object wrap(const Args& a) {
    return detail::apply<F>(a, std::make_index_sequence<detail::Arity<decltype(F)>::value>{});
}

}  // namespace bind
