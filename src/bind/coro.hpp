// C++20 coroutines that the interpreter drives as Python coroutines,
// generators and asynchronous generators.
//
// A body is an ordinary C++ coroutine returning `Task` (a Python coroutine),
// `Generator` or `AsyncGenerator`:
//
//     bind::Task fetch(py::object self, py::object inputs) {
//         bind::Local query = make_query(inputs);          // lives across the co_await
//         py::object hits = co_await call(aquery, query);  // any Python awaitable
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
// - The garbage collector sees what a suspended frame holds in its
//   parameters and in its `bind::Local` variables (and `bind::Local`
//   members of its locals), and nothing else: a `py::object` local is
//   invisible to it, so a reference cycle through that object and the driver
//   is never collected. Declare every Python reference that lives across a
//   `co_await` or `co_yield` as `bind::Local`; a `py::object` local that
//   does is harmless for memory, only the cycles through it leak.
// - Closing or abandoning a driver destroys the frame: destructors of the
//   locals run, `catch` blocks do not. The collector does the same to a
//   frame in a cycle of garbage (before it clears any of the cycle's
//   objects), never to a running one.
#pragma once

#include "function.hpp"

#include <coroutine>

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace bind {

class Local;

// The Python references of a suspended frame that the collector visits: the
// parameters and the `Local` variables that lie in the frame's own memory.
// Anything outside it (a `Local` on the stack of a function the body calls,
// or on the heap, a reference parameter) is never visited, so nothing is
// counted as the frame's that the frame does not own.
class FrameRoots {
public:
    FrameRoots() noexcept;
    FrameRoots(const FrameRoots&) = delete;
    FrameRoots& operator=(const FrameRoots&) = delete;

    // Registers a parameter (or a part of one) of the frame.
    void add(py::object& parameter) noexcept;
    int visit(visitproc visit, void* arg) const;

private:
    friend class Local;
    bool holds(const void* p) const noexcept {
        const auto at = reinterpret_cast<std::uintptr_t>(p);
        return at >= begin_ && at < end_;
    }

    static constexpr int max_parameters = 8;
    std::uintptr_t begin_ = 0;  // the frame's memory; empty when unknown
    std::uintptr_t end_ = 0;
    py::object* parameters_[max_parameters];
    int parameter_count_ = 0;
    Local* locals_ = nullptr;  // most recently constructed first
};

// A `py::object` local of a coroutine body that the collector sees while
// the frame is suspended. It registers with the frame being resumed on this
// thread when it is constructed inside that frame's memory (a local of the
// body, or a member of one); constructed anywhere else it is a plain
// `py::object`. It never moves: its value does.
class Local : public py::object {
public:
    Local() noexcept { link(); }
    Local(py::object value) noexcept : py::object(std::move(value)) { link(); }
    Local(const Local& other) noexcept : py::object(other) { link(); }
    Local(Local&& other) noexcept : py::object(std::move(other)) { link(); }
    ~Local() { unlink(); }
    Local& operator=(py::object value) noexcept {
        py::object::operator=(std::move(value));
        return *this;
    }
    Local& operator=(const Local& other) noexcept { return *this = py::object(other); }

private:
    friend class FrameRoots;
    void link() noexcept;
    void unlink() noexcept {
        if (prev_ == nullptr) return;
        *prev_ = next_;
        if (next_ != nullptr) next_->prev_ = prev_;
    }

    Local** prev_ = nullptr;  // the link pointing here, null when not registered
    Local* next_ = nullptr;
};

// How the frame registers a parameter of type T. `py::object` parameters
// register themselves; a parameter of another type that owns Python
// references declares them with a function found by argument-dependent
// lookup, `void frame_references(T&, bind::FrameRoots&)`.
template <class T>
void add_parameter(FrameRoots& roots, T& parameter) noexcept {
    if constexpr (std::is_base_of_v<py::object, T>) {
        roots.add(parameter);
    } else if constexpr (requires { frame_references(parameter, roots); }) {
        frame_references(parameter, roots);
    } else {
        static_assert(!std::is_base_of_v<py::handle, T>, "coroutine parameters must own their references");
        static_assert(std::is_trivially_destructible_v<T>,
                      "a parameter type that may own Python references needs frame_references()");
    }
}

class PromiseBase {
public:
    enum class Stop { NotStarted, Running, Awaiting, Yielded, Done };

    // Called with the frame's copies of the body's parameters.
    template <class... A>
    explicit PromiseBase(A&... parameters) noexcept {
        static_assert(sizeof...(A) <= 8, "more parameters than the frame registers");
        (add_parameter(roots, parameters), ...);
    }
    PromiseBase(const PromiseBase&) = delete;
    PromiseBase& operator=(const PromiseBase&) = delete;
    ~PromiseBase();

    // Frames are allocated here, so the promise knows the frame's memory.
    static void* operator new(std::size_t size);
    static void operator delete(void* frame, std::size_t size) noexcept;

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
    FrameRoots roots;

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
    using PromiseBase::PromiseBase;
    Task get_return_object() noexcept { return Task(std::coroutine_handle<TaskPromise>::from_promise(*this)); }
    AwaitPython await_transform(py::object awaitable) noexcept { return {this, std::move(awaitable)}; }
    void return_value(py::object value) noexcept {
        Py_XDECREF(transfer);
        transfer = value.release().ptr();
    }
};

struct GeneratorPromise : PromiseBase {
    using PromiseBase::PromiseBase;
    Generator get_return_object() noexcept {
        return Generator(std::coroutine_handle<GeneratorPromise>::from_promise(*this));
    }
    YieldPython yield_value(py::object value) noexcept;
    void return_void() noexcept {}
};

struct AsyncGeneratorPromise : PromiseBase {
    using PromiseBase::PromiseBase;
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
