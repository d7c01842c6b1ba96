// C++20 coroutines that the interpreter drives as Python coroutines,
// generators and asynchronous generators.
//
// A body is an ordinary C++ coroutine returning `Task` (a Python coroutine),
// `Generator` or `AsyncGenerator`:
//
//     bind::Task fetch(py::object self, py::object inputs) {
//         py::object hits = co_await call(aquery, ...);   // any Python awaitable
//         co_return post_process(self, hits);
//     }
//
// `co_await` takes any Python awaitable; while it is pending, whatever the
// awaitable's iterator yields (asyncio futures) is handed up to whoever
// drives the Python-visible object (an asyncio task), and what is sent or
// thrown back goes down to it, exactly as `await` does in a Python coroutine.
// The awaited result comes back as the value of `co_await`; an exception
// raised by the awaitable is thrown at the `co_await` as
// `py::error_already_set` holding the very same exception object, so C++
// `try`/`catch` works across it and, if not caught, the caller sees the
// original exception.
//
// Rules for bodies (each one matters for memory safety):
// - Parameters must be owning handles (`py::object`), never references or
//   borrowed handles: the frame outlives the call that created it.
// - Lambdas that are coroutines must capture nothing, for the same reason.
// - Frames are created, resumed and destroyed with the GIL held; never
//   release the GIL across `co_await` or `co_yield`.
// - The garbage collector cannot see references held in a C++ frame: never
//   let the driver object be reachable from its own frame.
// - Closing or abandoning a driver destroys the frame: destructors of the
//   locals run, `catch` blocks do not.
#pragma once

#include "function.hpp"

#include <coroutine>

namespace bind {

class PromiseBase {
public:
    enum class Stop { NotStarted, Running, Awaiting, Yielded, Done };

    PromiseBase() = default;
    PromiseBase(const PromiseBase&) = delete;
    PromiseBase& operator=(const PromiseBase&) = delete;
    ~PromiseBase();

    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept {
        stop = Stop::Done;
        return {};
    }
    void unhandled_exception() noexcept;

    // State shared with the driver (coro.cpp). All references are owned.
    Stop stop = Stop::NotStarted;
    PyObject* inner = nullptr;     // iterator of the awaitable being awaited
    PyObject* transfer = nullptr;  // value crossing a suspension point
    PyObject* error = nullptr;     // exception to raise in the frame, or the one it ended with

    // The value to resume a `co_await` with: the awaited result, or the
    // pending exception thrown as `py::error_already_set`.
    py::object take_result();
};

// co_await <python awaitable>
struct AwaitPython {
    PromiseBase* promise;
    py::object awaitable;

    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<>) noexcept;
    py::object await_resume() { return promise->take_result(); }
};

// co_yield <python object>
struct YieldPython {
    PromiseBase* promise;

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    void await_resume() { promise->take_result(); }
};

template <class Promise>
class CoroutineHandle {
public:
    using promise_type = Promise;

    explicit CoroutineHandle(std::coroutine_handle<Promise> h) noexcept : h_(h) {}
    CoroutineHandle(CoroutineHandle&& other) noexcept : h_(other.h_) { other.h_ = {}; }
    CoroutineHandle& operator=(CoroutineHandle&&) = delete;
    ~CoroutineHandle() {
        if (h_) h_.destroy();
    }

    std::coroutine_handle<Promise> release() noexcept {
        auto h = h_;
        h_ = {};
        return h;
    }

private:
    std::coroutine_handle<Promise> h_;
};

struct TaskPromise;
struct GeneratorPromise;
struct AsyncGeneratorPromise;

// The result types of coroutine bodies. A function returning one of them,
// wrapped with `bind::wrap`, returns the matching Python object.
struct Task : CoroutineHandle<TaskPromise> {
    using CoroutineHandle::CoroutineHandle;
};
struct Generator : CoroutineHandle<GeneratorPromise> {
    using CoroutineHandle::CoroutineHandle;
};
struct AsyncGenerator : CoroutineHandle<AsyncGeneratorPromise> {
    using CoroutineHandle::CoroutineHandle;
};

struct TaskPromise : PromiseBase {
    Task get_return_object() noexcept { return Task(std::coroutine_handle<TaskPromise>::from_promise(*this)); }
    AwaitPython await_transform(py::object awaitable) noexcept { return {this, std::move(awaitable)}; }
    void return_value(py::object value) noexcept {
        Py_XDECREF(transfer);
        transfer = value.release().ptr();
    }
};

struct GeneratorPromise : PromiseBase {
    Generator get_return_object() noexcept {
        return Generator(std::coroutine_handle<GeneratorPromise>::from_promise(*this));
    }
    YieldPython yield_value(py::object value) noexcept;
    void return_void() noexcept {}
};

struct AsyncGeneratorPromise : PromiseBase {
    AsyncGenerator get_return_object() noexcept {
        return AsyncGenerator(std::coroutine_handle<AsyncGeneratorPromise>::from_promise(*this));
    }
    AwaitPython await_transform(py::object awaitable) noexcept { return {this, std::move(awaitable)}; }
    YieldPython yield_value(py::object value) noexcept;
    void return_void() noexcept {}
};

// The Python objects that drive a frame. Each takes ownership of the frame.
py::object make_coroutine(std::coroutine_handle<TaskPromise> h);
py::object make_generator(std::coroutine_handle<GeneratorPromise> h);
py::object make_async_generator(std::coroutine_handle<AsyncGeneratorPromise> h);

template <>
struct ResultAdapter<Task> {
    static py::object adapt(Task&& t) { return make_coroutine(t.release()); }
};
template <>
struct ResultAdapter<Generator> {
    static py::object adapt(Generator&& g) { return make_generator(g.release()); }
};
template <>
struct ResultAdapter<AsyncGenerator> {
    static py::object adapt(AsyncGenerator&& g) { return make_async_generator(g.release()); }
};

// The iterator that `await obj` would drive (new reference), or null with a
// TypeError set, as the interpreter's own `await` does.
PyObject* awaitable_iter(PyObject* obj) noexcept;

}  // namespace bind
