#include "coro.hpp"

#include <structmember.h>

#include <string>

namespace bind {

// ---------------------------------------------------------------------------
// What the collector sees of a frame

namespace {

// The frame allocated last on this thread: its promise, constructed right
// after the allocation, takes it as the frame's memory.
thread_local std::uintptr_t t_allocated_begin = 0;
thread_local std::uintptr_t t_allocated_end = 0;

// The frame being resumed on this thread, if any: `Local`s constructed in
// its memory register with it.
thread_local FrameRoots* t_resuming = nullptr;

}  // namespace

FrameRoots::FrameRoots() noexcept {
    const auto self = reinterpret_cast<std::uintptr_t>(this);
    if (self >= t_allocated_begin && self < t_allocated_end) {
        begin_ = t_allocated_begin;
        end_ = t_allocated_end;
    }
    t_allocated_begin = t_allocated_end = 0;
}

void FrameRoots::add(py::object& parameter) noexcept {
    if (holds(&parameter) && parameter_count_ < max_parameters) parameters_[parameter_count_++] = &parameter;
}

int FrameRoots::visit(visitproc visit, void* arg) const {
    for (int i = 0; i < parameter_count_; ++i) Py_VISIT(parameters_[i]->ptr());
    for (const Local* local = locals_; local != nullptr; local = local->next_) Py_VISIT(local->ptr());
    return 0;
}

void Local::link() noexcept {
    FrameRoots* roots = t_resuming;
    if (roots == nullptr || !roots->holds(this)) return;
    next_ = roots->locals_;
    if (next_ != nullptr) next_->prev_ = &next_;
    prev_ = &roots->locals_;
    roots->locals_ = this;
}

void* PromiseBase::operator new(std::size_t size) {
    void* frame = ::operator new(size);
    t_allocated_begin = reinterpret_cast<std::uintptr_t>(frame);
    t_allocated_end = t_allocated_begin + size;
    return frame;
}

void PromiseBase::operator delete(void* frame, std::size_t size) noexcept { ::operator delete(frame, size); }

// ---------------------------------------------------------------------------
// Promise side

PromiseBase::~PromiseBase() {
    Py_XDECREF(inner);
    Py_XDECREF(transfer);
    Py_XDECREF(error);
}

void PromiseBase::unhandled_exception() noexcept {
    // The calls into Python park their thread on a forced unwind before it
    // reaches a frame; one that got here anyway must not be stored and
    // rethrown (the unwind cannot be caught for good).
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        park_thread_at_exit();
    } catch (...) {
    }
    set_error_from(std::current_exception());
    Py_XDECREF(error);
    error = fetch_exception();
}

py::object PromiseBase::take_result() {
    if (error != nullptr) {
        PyObject* e = error;
        error = nullptr;
        restore_exception(e);
        throw py::error_already_set();
    }
    PyObject* v = transfer;
    transfer = nullptr;
    if (v == nullptr) return none();
    return steal(v);
}

bool AwaitPython::await_suspend(std::coroutine_handle<>) noexcept {
    PyObject* it = awaitable_iter(awaitable.ptr());
    // The frame keeps the iterator only (the promise's, which the collector
    // sees), as `await` does.
    awaitable = py::object();
    if (it == nullptr) {
        // Not awaitable: resume at once and raise the TypeError there.
        Py_XDECREF(promise->error);
        promise->error = fetch_exception();
        return false;
    }
    promise->inner = it;
    promise->stop = PromiseBase::Stop::Awaiting;
    return true;
}

YieldPython GeneratorPromise::yield_value(py::object value) noexcept {
    Py_XDECREF(transfer);
    transfer = value.release().ptr();
    stop = Stop::Yielded;
    return {this};
}

YieldPython AsyncGeneratorPromise::yield_value(py::object value) noexcept {
    Py_XDECREF(transfer);
    transfer = value.release().ptr();
    stop = Stop::Yielded;
    return {this};
}

PyObject* awaitable_iter(PyObject* obj) noexcept {
    if (PyCoro_CheckExact(obj)) {
        Py_INCREF(obj);
        return obj;
    }
    if (PyGen_CheckExact(obj)) {
        // A generator-based coroutine (types.coroutine) is its own iterator.
        PyObject* code = PyObject_GetAttrString(obj, "gi_code");
        if (code == nullptr) return nullptr;
        const int flags = reinterpret_cast<PyCodeObject*>(code)->co_flags;
        Py_DECREF(code);
        if (flags & CO_ITERABLE_COROUTINE) {
            Py_INCREF(obj);
            return obj;
        }
    }
    PyTypeObject* tp = Py_TYPE(obj);
    unaryfunc getter = tp->tp_as_async != nullptr ? tp->tp_as_async->am_await : nullptr;
    if (getter == nullptr) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", tp->tp_name);
        return nullptr;
    }
    PyObject* it = entering_python([&] { return getter(obj); });
    if (it == nullptr) return nullptr;
    if (PyCoro_CheckExact(it)) {
        Py_DECREF(it);
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it)->tp_name);
        Py_DECREF(it);
        return nullptr;
    }
    return it;
}

// ---------------------------------------------------------------------------
// Driver side

namespace {

enum class Kind { Coroutine, Generator, AsyncGenerator };

// What one step of a frame ended with.
enum class Step {
    Suspended,  // the awaited iterator yielded `out`: hand it to the event loop
    Yielded,    // the body did co_yield `out`
    Returned,   // the body finished with `out`
    Error,      // the body (or the step) raised: the error indicator is set
};

struct DriverObject {
    PyObject_HEAD
    std::coroutine_handle<> frame;  // null once finished, closed or cleared
    PromiseBase* promise;
    Kind kind;
    bool running;        // a step is under way (re-entry guard)
    bool anext_running;  // an asynchronous-generator step awaitable is in flight
};

PyTypeObject* g_coroutine_type = nullptr;
PyTypeObject* g_generator_type = nullptr;
PyTypeObject* g_async_generator_type = nullptr;
PyTypeObject* g_step_type = nullptr;
std::string g_names[4];

PyObject* new_ref(PyObject* o) {
    Py_INCREF(o);
    return o;
}

PyObject* take(PyObject*& slot) {
    PyObject* v = slot;
    slot = nullptr;
    return v != nullptr ? v : new_ref(Py_None);
}

// The locals' destructors may run Python code that calls back into the
// driver: it is finished for them, as a Python frame being cleared is.
void destroy_frame(DriverObject* d) noexcept {
    if (d->frame) {
        auto frame = d->frame;
        d->frame = {};
        d->promise = nullptr;
        frame.destroy();
    }
}

void set_already_executing(Kind kind) {
    PyErr_SetString(PyExc_ValueError, kind == Kind::Coroutine   ? "coroutine already executing"
                                      : kind == Kind::Generator ? "generator already executing"
                                                                : "async generator already executing");
}

// Raises StopIteration carrying `value` (stolen), also when the value is a
// tuple or an exception, which the plain constructor call would unpack.
void set_stop_iteration(PyObject* value) {
    if (value == Py_None) {
        Py_DECREF(value);
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    Py_DECREF(value);
    if (exc == nullptr) return;
    PyErr_SetObject(PyExc_StopIteration, exc);
    Py_DECREF(exc);
}

// A StopIteration escaping a body would look like a normal return to the
// caller; the interpreter turns it into RuntimeError, and so do we.
void guard_stop_iteration(Kind kind) {
    PyObject* stop = kind == Kind::AsyncGenerator && PyErr_ExceptionMatches(PyExc_StopAsyncIteration)
                         ? PyExc_StopAsyncIteration
                         : PyErr_ExceptionMatches(PyExc_StopIteration) ? PyExc_StopIteration : nullptr;
    if (stop == nullptr) return;
    PyObject* original = fetch_exception();
    const char* who = kind == Kind::Coroutine ? "coroutine" : kind == Kind::Generator ? "generator" : "async generator";
    const char* what = stop == PyExc_StopIteration ? "StopIteration" : "StopAsyncIteration";
    PyErr_Format(PyExc_RuntimeError, "%s raised %s", who, what);
    PyObject* replacement = fetch_exception();
    Py_INCREF(original);
    PyException_SetCause(replacement, original);
    PyException_SetContext(replacement, original);
    restore_exception(replacement);
}

// Takes the pending StopIteration: 0 with `*out` set to its value, or -1
// with an error set.
int take_stop_value(PyObject** out) {
    PyObject* stop = fetch_exception();
    PyObject* value = PyObject_GetAttrString(stop, "value");
    Py_DECREF(stop);
    if (value == nullptr) return -1;
    *out = value;
    return 0;
}

// Sends `exc` into `it` through its `throw` method. Returns 1 with `*out` set
// when the iterator yielded, 0 with `*out` set when it returned, -1 with an
// error set when it raised, and 2 when it has no `throw` method (the
// exception is then raised in the awaiting frame itself, as `await` does).
int throw_into(PyObject* it, PyObject* exc, PyObject** out) {
    PyObject* meth = PyObject_GetAttrString(it, "throw");
    if (meth == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 2;
    }
    PyObject* res = entering_python([&] { return PyObject_CallOneArg(meth, exc); });
    Py_DECREF(meth);
    if (res != nullptr) {
        *out = res;
        return 1;
    }
    return PyErr_ExceptionMatches(PyExc_StopIteration) ? take_stop_value(out) : -1;
}

// Calls `it.close()` when it has one, as the interpreter does for an
// awaited iterator. Returns 0, or -1 with the close error set.
int close_iterator(PyObject* it) {
    PyObject* meth = PyObject_GetAttrString(it, "close");
    if (meth == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    PyObject* r = entering_python([&] { return PyObject_CallNoArgs(meth); });
    Py_DECREF(meth);
    if (r == nullptr) return -1;
    Py_DECREF(r);
    return 0;
}

// After the awaited iterator's close raised (the error is set): -1 to raise
// that error in the frame. From 3.12 the interpreter's `await` takes a
// StopIteration coming out of the close as the awaited result, so that one
// gives 0 with `*out` its value.
int stopped_by_close([[maybe_unused]] PyObject** out) {
#if PY_VERSION_HEX >= 0x030C0000
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) return take_stop_value(out);
#endif
    return -1;
}

// While the frame awaits: hands `value` (or the exception `exc`) to the
// awaited iterator. Returns true when the iterator yielded `*out`, which goes
// to the event loop while the frame stays suspended; otherwise the awaited
// result or exception is left in the promise for the frame to resume with.
// `close_on_exit`: a GeneratorExit thrown in closes the awaited iterator
// instead of being thrown into it, as the interpreter's throw() does (its
// athrow() does not).
bool pass_to_awaited(PromiseBase& p, PyObject* value, PyObject* exc, PyObject** out, bool close_on_exit) {
    PyObject* res = nullptr;
    int status;  // 1 yielded, 0 returned, -1 raised, 2 raise in the frame
    if (exc != nullptr && close_on_exit && PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
        // Closed in place of the throw: the GeneratorExit is then raised in
        // the awaiting frame, or the close error instead.
        status = close_iterator(p.inner) < 0 ? stopped_by_close(&res) : 2;
    } else if (exc != nullptr) {
        status = throw_into(p.inner, exc, &res);
    } else {
        switch (entering_python([&] { return PyIter_Send(p.inner, value, &res); })) {
            case PYGEN_NEXT: status = 1; break;
            case PYGEN_RETURN: status = 0; break;
            default: status = -1; break;
        }
    }
    if (status == 1) {
        *out = res;
        return true;
    }
    Py_CLEAR(p.inner);
    if (status == 0) p.transfer = res;
    else if (status == -1) p.error = fetch_exception();
    else p.error = new_ref(exc);
    return false;
}

// A frame at its start or at a `co_yield`: leaves the exception thrown in
// (if any) in the promise for the frame to raise. Returns false with an
// error set when the step ends before the frame runs: a throw into a frame
// that never ran. (A first send of a value other than None is refused
// before the step, by `step`, so that the frame stays unstarted.)
bool prepare_resume(DriverObject* d, PyObject* exc) {
    PromiseBase& p = *d->promise;
    if (exc != nullptr) {
        if (p.stop == PromiseBase::Stop::NotStarted) {
            // Like a Python coroutine: throwing into one that never ran
            // raises at once and finishes it (up to 3.11 from its frame, so
            // a StopIteration becomes a RuntimeError).
            restore_exception(new_ref(exc));
#if PY_VERSION_HEX < 0x030C0000
            guard_stop_iteration(d->kind);  // (from 3.12 it leaves as it is)
#endif
            return false;
        }
        p.error = new_ref(exc);
    }
    return true;
}

// Runs the frame up to its next suspension point; the `Local`s it
// constructs meanwhile register with it.
void resume_frame(DriverObject* d) {
    PromiseBase& p = *d->promise;
    p.stop = PromiseBase::Stop::Running;
    FrameRoots*& resuming = t_resuming;  // one look-up of this thread's slot
    FrameRoots* outer = resuming;
    resuming = &p.roots;
    d->frame.resume();
    resuming = outer;
}

// What a frame that stopped other than at a `co_await` ended the step with.
Step stopped_at(DriverObject* d, PyObject** out) {
    PromiseBase& p = *d->promise;
    switch (p.stop) {
        case PromiseBase::Stop::Yielded:
            *out = take(p.transfer);
            return Step::Yielded;
        case PromiseBase::Stop::Done:
            if (p.error != nullptr) {
                PyObject* e = p.error;
                p.error = nullptr;
                restore_exception(e);
                guard_stop_iteration(d->kind);
                return Step::Error;
            }
            *out = take(p.transfer);
            return Step::Returned;
        default:
            PyErr_SetString(PyExc_SystemError, "compiled coroutine suspended without a reason");
            return Step::Error;
    }
}

Step step_frame(DriverObject* d, PyObject* value, PyObject* exc, PyObject** out, bool close_on_exit) {
    PromiseBase& p = *d->promise;
    for (;;) {
        if (p.stop == PromiseBase::Stop::Awaiting) {
            if (pass_to_awaited(p, value, exc, out, close_on_exit)) return Step::Suspended;
        } else if (!prepare_resume(d, exc)) {
            return Step::Error;
        }
        exc = nullptr;
        resume_frame(d);
        if (p.stop != PromiseBase::Stop::Awaiting) return stopped_at(d, out);
        value = Py_None;  // start the new awaitable
    }
}

// One step with the re-entry guard; a finished frame is destroyed at once,
// so its locals are released as soon as the body is done. Callers check
// that the frame exists.
Step step(DriverObject* d, PyObject* value, PyObject* exc, PyObject** out, bool close_on_exit = true) {
    if (d->running) {
        set_already_executing(d->kind);
        return Step::Error;
    }
    if (exc == nullptr && value != Py_None && d->promise->stop == PromiseBase::Stop::NotStarted) {
        // Refused before the frame runs: it stays unstarted and usable, as
        // the interpreter's own objects do.
        PyErr_Format(PyExc_TypeError, "can't send non-None value to a just-started %s",
                     d->kind == Kind::Coroutine ? "coroutine"
                     : d->kind == Kind::Generator ? "generator"
                                                  : "async generator");
        return Step::Error;
    }
    d->running = true;
    Step r = step_frame(d, value, exc, out, close_on_exit);
    d->running = false;
    if (r == Step::Returned || r == Step::Error) destroy_frame(d);
    return r;
}

#if PY_VERSION_HEX >= 0x030C0000
// From 3.12 a frame whose awaited iterator's close raised StopIteration goes
// on with its value as the awaited result, as the interpreter's close does:
// its return ends the close (3.13 hands the value back in `*returned`), its
// error is the close's error, and a frame that suspends again ignored the
// close.
int resume_after_close(DriverObject* d, PyObject* value, [[maybe_unused]] PyObject** returned) {
    d->promise->transfer = value;
    d->promise->stop = PromiseBase::Stop::Running;  // resumed with `transfer`, not through an awaited iterator
    PyObject* out = nullptr;
    switch (step(d, Py_None, nullptr, &out)) {
        case Step::Returned:
#if PY_VERSION_HEX >= 0x030D0000
            if (returned != nullptr) {
                *returned = out;
                return 0;
            }
#endif
            Py_DECREF(out);
            return 0;
        case Step::Error:
            if (!PyErr_ExceptionMatches(PyExc_GeneratorExit) && !PyErr_ExceptionMatches(PyExc_StopIteration))
                return -1;
            PyErr_Clear();
            return 0;
        case Step::Suspended:
        case Step::Yielded: break;
    }
    Py_DECREF(out);
    PyErr_SetString(PyExc_RuntimeError, d->kind == Kind::Coroutine ? "coroutine ignored GeneratorExit"
                                                                   : "async generator ignored GeneratorExit");
    return -1;
}
#endif

// Closes the frame: closes the awaitable it waits on (if any), then destroys
// the frame. Returns -1 with an error set when that close failed or the frame
// is running. `returned`: where the value a frame returns while closing goes
// (3.13's close() hands it back), when the caller wants it.
int close_frame(DriverObject* d, [[maybe_unused]] PyObject** returned = nullptr) {
    if (d->running) {
        set_already_executing(d->kind);
        return -1;
    }
    if (!d->frame) return 0;
    int status = 0;
    if (d->promise->stop == PromiseBase::Stop::Awaiting && d->promise->inner != nullptr) {
        // The awaited iterator's close may call back into this driver: it
        // is running meanwhile, so that call is refused instead of resuming
        // a frame whose awaitable is gone.
        d->running = true;
        PyObject* inner = d->promise->inner;
        d->promise->inner = nullptr;
        status = close_iterator(inner);
        Py_DECREF(inner);
        d->running = false;
#if PY_VERSION_HEX >= 0x030C0000
        PyObject* value = nullptr;
        if (status < 0 && stopped_by_close(&value) == 0) return resume_after_close(d, value, returned);
#endif
    }
    if (status < 0 && PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        // The interpreter raises the close error in the frame, and a
        // GeneratorExit leaving it is a clean close.
        PyErr_Clear();
        status = 0;
    }
    if (status < 0) {
        guard_stop_iteration(d->kind);
        // Keep the close error while the frame's locals are released.
        PyObject* e = fetch_exception();
        destroy_frame(d);
        restore_exception(e);
        return -1;
    }
    destroy_frame(d);
    return 0;
}

// throw(value) / throw(type[, value[, traceback]]): the exception instance to
// raise (new reference), or null with an error set. From 3.12 the
// three-argument form warns, as the interpreter's `method` does.
PyObject* exception_from_args(PyObject* const* args, Py_ssize_t nargs,
                              [[maybe_unused]] const char* method = "throw") {
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "throw expected 1 to 3 arguments");
        return nullptr;
    }
#if PY_VERSION_HEX >= 0x030C0000
    if (nargs > 1 && PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                                      "the (type, exc, tb) signature of %s() is deprecated, use the single-arg "
                                      "signature instead.",
                                      method) < 0)
        return nullptr;
#endif
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject* exc = nullptr;
    if (PyExceptionClass_Check(typ)) {
        if (val != Py_None && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ))) {
            exc = new_ref(val);
        } else if (val == Py_None) {
            exc = PyObject_CallNoArgs(typ);
        } else if (PyTuple_Check(val)) {
            exc = PyObject_Call(typ, val, nullptr);
        } else {
            exc = PyObject_CallOneArg(typ, val);
        }
        if (exc == nullptr) return nullptr;
        if (!PyExceptionInstance_Check(exc)) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException", typ);
            Py_DECREF(exc);
            return nullptr;
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = new_ref(typ);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb != Py_None) PyException_SetTraceback(exc, tb);
    return exc;
}

DriverObject* new_driver(PyTypeObject* tp, std::coroutine_handle<> frame, PromiseBase* promise, Kind kind) {
    auto* d = PyObject_GC_New(DriverObject, tp);
    if (d == nullptr) {
        frame.destroy();
        throw py::error_already_set();
    }
    d->frame = frame;
    d->promise = promise;
    d->kind = kind;
    d->running = false;
    d->anext_running = false;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(d));
    return d;
}

int driver_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* d = reinterpret_cast<DriverObject*>(self);
    Py_VISIT(Py_TYPE(self));
    if (d->frame && d->promise != nullptr) {
        Py_VISIT(d->promise->inner);
        Py_VISIT(d->promise->transfer);
        Py_VISIT(d->promise->error);
        // A running frame's locals change under the collector's feet; like
        // the interpreter with its own running frames, it counts them as
        // references from outside.
        if (!d->running) return d->promise->roots.visit(visit, arg);
    }
    return 0;
}

// A frame in a cycle of garbage is destroyed while all the cycle's objects
// are still intact (the collector finalises all of them before it clears
// any), so its locals' destructors never meet a cleared object. A running
// frame is left alone: the caller driving it holds the driver.
void driver_finalize(PyObject* self) {
    auto* d = reinterpret_cast<DriverObject*>(self);
    if (d->running) return;
    PyObject* pending = PyErr_Occurred() != nullptr ? fetch_exception() : nullptr;
    destroy_frame(d);
    if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(self);
    if (pending != nullptr) restore_exception(pending);
}

int driver_clear(PyObject* self) {
    auto* d = reinterpret_cast<DriverObject*>(self);
    if (!d->running) destroy_frame(d);
    return 0;
}

void driver_dealloc(PyObject* self) {
    auto* d = reinterpret_cast<DriverObject*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    destroy_frame(d);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// ----- coroutine -----------------------------------------------------------

PySendResult coroutine_send_impl(DriverObject* d, PyObject* value, PyObject* exc, PyObject** result) {
    if (!d->frame) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    PyObject* out = nullptr;
    switch (step(d, value, exc, &out)) {
        case Step::Suspended: *result = out; return PYGEN_NEXT;
        case Step::Returned: *result = out; return PYGEN_RETURN;
        case Step::Yielded:
            Py_DECREF(out);
            PyErr_SetString(PyExc_SystemError, "coroutine yielded a value");
            return PYGEN_ERROR;
        case Step::Error: break;
    }
    *result = nullptr;
    return PYGEN_ERROR;
}

PyObject* send_result_to_call(PySendResult r, PyObject* result) {
    if (r == PYGEN_NEXT) return result;
    if (r == PYGEN_RETURN) set_stop_iteration(result);
    return nullptr;
}

PySendResult coroutine_am_send(PyObject* self, PyObject* arg, PyObject** result) {
    return coroutine_send_impl(reinterpret_cast<DriverObject*>(self), arg, nullptr, result);
}

PyObject* coroutine_send(PyObject* self, PyObject* arg) {
    PyObject* result = nullptr;
    PySendResult r = coroutine_send_impl(reinterpret_cast<DriverObject*>(self), arg, nullptr, &result);
    return send_result_to_call(r, result);
}

PyObject* coroutine_iternext(PyObject* self) { return coroutine_send(self, Py_None); }

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* exc = exception_from_args(args, nargs);
    if (exc == nullptr) return nullptr;
    auto* d = reinterpret_cast<DriverObject*>(self);
    PyObject* result = nullptr;
    // A finished coroutine refuses what is thrown into it, as it refuses a
    // send (a finished generator re-raises it instead).
    PySendResult r = coroutine_send_impl(d, nullptr, exc, &result);
    Py_DECREF(exc);
    return send_result_to_call(r, result);
}

PyObject* driver_close(PyObject* self, PyObject*) {
    PyObject* returned = nullptr;
    if (close_frame(reinterpret_cast<DriverObject*>(self), &returned) < 0) return nullptr;
    return returned != nullptr ? returned : new_ref(Py_None);
}

PyObject* self_await(PyObject* self) { return new_ref(self); }

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)), METH_FASTCALL,
     nullptr},
    {"close", driver_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(self_await)},
    {Py_am_send, reinterpret_cast<void*>(coroutine_am_send)},
    {Py_tp_iternext, reinterpret_cast<void*>(coroutine_iternext)},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(driver_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(driver_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(driver_finalize)},
    {Py_tp_dealloc, reinterpret_cast<void*>(driver_dealloc)},
    {0, nullptr},
};

// ----- generator -----------------------------------------------------------

PyObject* generator_send_impl(DriverObject* d, PyObject* value, PyObject* exc, bool stop_with_error) {
    if (!d->frame) {
        if (exc != nullptr) {
            restore_exception(new_ref(exc));
            return nullptr;
        }
        if (stop_with_error) PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    PyObject* out = nullptr;
    switch (step(d, value, exc, &out)) {
        case Step::Yielded: return out;
        case Step::Returned:
            if (stop_with_error || out != Py_None) set_stop_iteration(out);
            else Py_DECREF(out);
            return nullptr;
        case Step::Suspended:
            Py_DECREF(out);
            PyErr_SetString(PyExc_SystemError, "generator awaited");
            return nullptr;
        case Step::Error: break;
    }
    return nullptr;
}

PyObject* generator_iternext(PyObject* self) {
    return generator_send_impl(reinterpret_cast<DriverObject*>(self), Py_None, nullptr, false);
}

PyObject* generator_send(PyObject* self, PyObject* arg) {
    return generator_send_impl(reinterpret_cast<DriverObject*>(self), arg, nullptr, true);
}

PyObject* generator_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* exc = exception_from_args(args, nargs);
    if (exc == nullptr) return nullptr;
    PyObject* r = generator_send_impl(reinterpret_cast<DriverObject*>(self), nullptr, exc, true);
    Py_DECREF(exc);
    return r;
}

PyMethodDef generator_methods[] = {
    {"send", generator_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generator_throw)), METH_FASTCALL,
     nullptr},
    {"close", driver_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot generator_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(generator_iternext)},
    {Py_tp_methods, generator_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(driver_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(driver_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(driver_finalize)},
    {Py_tp_dealloc, reinterpret_cast<void*>(driver_dealloc)},
    {0, nullptr},
};

// ----- asynchronous generator ----------------------------------------------
//
// `__anext__`, `asend`, `athrow` and `aclose` return a step awaitable: an
// object that asyncio drives like a coroutine. Driving it resumes the
// generator's frame; the frame's own awaits pass through it to the event
// loop, and the next `co_yield` ends the awaitable with that value.

enum class StepMode { Next, Throw, Close };
enum class StepState { Init, Running, Done };

struct StepObject {
    PyObject_HEAD
    DriverObject* gen;  // owned
    PyObject* arg;      // owned: value to send first, or exception to throw
    StepMode mode;
    StepState state;
};

void step_finish(StepObject* s) {
    if (s->state == StepState::Running) s->gen->anext_running = false;
    s->state = StepState::Done;
}

// A first resume while another step of the generator runs: refused, as the
// interpreter refuses it.
PySendResult step_refuse_running(StepObject* s) {
    PyErr_SetString(PyExc_RuntimeError, s->mode == StepMode::Close   ? "aclose(): asynchronous generator is already running"
                                        : s->mode == StepMode::Throw ? "athrow(): asynchronous generator is already running"
                                                                     : "anext(): asynchronous generator is already running");
    s->state = StepState::Done;
    return PYGEN_ERROR;
}

// A first resume that ends without running the frame: aclose() closes it,
// and on a finished generator athrow() ends with None and the others raise
// StopAsyncIteration.
PySendResult step_end_at_once(StepObject* s, PyObject** result) {
    DriverObject* gen = s->gen;
    s->state = StepState::Done;
    if (s->mode == StepMode::Close) {
        gen->anext_running = true;
        const int closed = close_frame(gen);
        gen->anext_running = false;
        if (closed < 0) return PYGEN_ERROR;
        *result = new_ref(Py_None);
        return PYGEN_RETURN;
    }
    if (s->mode == StepMode::Throw) {
        // athrow() of a finished generator ends at once with None, as the
        // interpreter's does (it does not raise).
        *result = new_ref(Py_None);
        return PYGEN_RETURN;
    }
    PyErr_SetNone(PyExc_StopAsyncIteration);
    return PYGEN_ERROR;
}

// Resumes the generator's frame: its awaits pass through (PYGEN_NEXT), and
// its next yield, return or error ends the step.
inline PySendResult step_resume(StepObject* s, PyObject* value, PyObject* exc, bool close_on_exit,
                                PyObject** result) {
    PyObject* out = nullptr;
    switch (step(s->gen, value, exc, &out, close_on_exit)) {
        case Step::Suspended: *result = out; return PYGEN_NEXT;
        case Step::Yielded:
            step_finish(s);
            *result = out;
            return PYGEN_RETURN;
        case Step::Returned:
            Py_DECREF(out);
            step_finish(s);
            PyErr_SetNone(PyExc_StopAsyncIteration);
            return PYGEN_ERROR;
        case Step::Error: break;
    }
    step_finish(s);
    return PYGEN_ERROR;
}

PySendResult step_send_impl(StepObject* s, PyObject* value, PyObject* exc, PyObject** result) {
    *result = nullptr;
    if (s->state == StepState::Done) {
        PyErr_SetString(PyExc_RuntimeError, s->mode != StepMode::Next
                                                 ? "cannot reuse already awaited aclose()/athrow()"
                                                 : "cannot reuse already awaited __anext__()/asend()");
        return PYGEN_ERROR;
    }
    DriverObject* gen = s->gen;
    bool first_throw = false;  // athrow()'s own exception, thrown as is
    if (s->state == StepState::Init) {
        if (gen->anext_running) return step_refuse_running(s);
        if (s->mode == StepMode::Close || !gen->frame) return step_end_at_once(s, result);
        s->state = StepState::Running;
        gen->anext_running = true;
        if (s->mode != StepMode::Throw) {
            value = s->arg;
        } else if (exc == nullptr) {
            exc = s->arg;
            first_throw = true;
        }
    } else if (!gen->frame) {
        step_finish(s);
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return PYGEN_ERROR;
    }
    return step_resume(s, value, exc, !first_throw, result);
}

PySendResult step_am_send(PyObject* self, PyObject* arg, PyObject** result) {
    return step_send_impl(reinterpret_cast<StepObject*>(self), arg, nullptr, result);
}

PyObject* step_send(PyObject* self, PyObject* arg) {
    PyObject* result = nullptr;
    PySendResult r = step_send_impl(reinterpret_cast<StepObject*>(self), arg, nullptr, &result);
    return send_result_to_call(r, result);
}

PyObject* step_iternext(PyObject* self) { return step_send(self, Py_None); }

PyObject* step_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* exc = exception_from_args(args, nargs);
    if (exc == nullptr) return nullptr;
    auto* s = reinterpret_cast<StepObject*>(self);
    PyObject* result = nullptr;
    PySendResult r;
    if (s->state == StepState::Init && s->mode != StepMode::Close && s->gen->frame) {
        // Throwing into a step that has not started throws into the
        // generator, as the interpreter's own asend/athrow objects do (into
        // a finished one, the exception is raised as it is).
        r = step_send_impl(s, nullptr, exc, &result);
    } else if (s->state == StepState::Init && s->mode == StepMode::Close) {
        // An aclose() thrown into before it started: the interpreter throws
        // into the generator and ends the way aclose() ends.
        if (s->gen->anext_running) {
            r = step_send_impl(s, nullptr, exc, &result);  // refused in aclose()'s words
        } else if (s->gen->frame) {
            s->mode = StepMode::Throw;
            r = step_send_impl(s, nullptr, exc, &result);
        } else {
            s->state = StepState::Done;
            restore_exception(new_ref(exc));
            r = PYGEN_ERROR;
        }
        if (r == PYGEN_RETURN) {
            Py_CLEAR(result);
            PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
            r = PYGEN_ERROR;
        } else if (r == PYGEN_ERROR &&
                   (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit))) {
            PyErr_Clear();
            result = new_ref(Py_None);
            r = PYGEN_RETURN;
        }
    } else if (s->state == StepState::Running || s->state == StepState::Done) {
        // (a finished step refuses it as it refuses a send)
        r = step_send_impl(s, nullptr, exc, &result);
    } else {
        s->state = StepState::Done;
        restore_exception(new_ref(exc));
        r = PYGEN_ERROR;
    }
    Py_DECREF(exc);
    return send_result_to_call(r, result);
}

PyObject* step_close(PyObject* self, PyObject*) {
#if PY_VERSION_HEX >= 0x030D0000
    // From 3.13 a step closed before its end throws GeneratorExit into the
    // generator through itself, and ends as a coroutine's close() does.
    if (reinterpret_cast<StepObject*>(self)->state != StepState::Done) {
        PyObject* exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
        if (exit == nullptr) return nullptr;
        PyObject* r = step_throw(self, &exit, 1);
        Py_DECREF(exit);
        step_finish(reinterpret_cast<StepObject*>(self));
        if (r != nullptr) {
            Py_DECREF(r);
            PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
            return nullptr;
        }
        if (!PyErr_ExceptionMatches(PyExc_StopIteration) && !PyErr_ExceptionMatches(PyExc_StopAsyncIteration) &&
            !PyErr_ExceptionMatches(PyExc_GeneratorExit))
            return nullptr;
        PyErr_Clear();
    }
#endif
    step_finish(reinterpret_cast<StepObject*>(self));
    Py_RETURN_NONE;
}

int step_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* s = reinterpret_cast<StepObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<PyObject*>(s->gen));
    Py_VISIT(s->arg);
    return 0;
}

int step_clear(PyObject* self) {
    auto* s = reinterpret_cast<StepObject*>(self);
    if (s->gen != nullptr && s->state == StepState::Running) s->gen->anext_running = false;
    s->state = StepState::Done;
    Py_CLEAR(s->gen);
    Py_CLEAR(s->arg);
    return 0;
}

void step_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    step_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef step_methods[] = {
    {"send", step_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(step_throw)), METH_FASTCALL, nullptr},
    {"close", step_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot step_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(self_await)},
    {Py_am_send, reinterpret_cast<void*>(step_am_send)},
    {Py_tp_iternext, reinterpret_cast<void*>(step_iternext)},
    {Py_tp_methods, step_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(step_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(step_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(step_dealloc)},
    {0, nullptr},
};

PyObject* new_step(PyObject* gen, StepMode mode, PyObject* arg) {
    auto* s = PyObject_GC_New(StepObject, g_step_type);
    if (s == nullptr) return nullptr;
    s->gen = reinterpret_cast<DriverObject*>(new_ref(gen));
    s->arg = new_ref(arg);
    s->mode = mode;
    s->state = StepState::Init;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(s));
    return reinterpret_cast<PyObject*>(s);
}

PyObject* async_generator_anext(PyObject* self) { return new_step(self, StepMode::Next, Py_None); }

PyObject* async_generator_asend(PyObject* self, PyObject* arg) { return new_step(self, StepMode::Next, arg); }

PyObject* async_generator_athrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* exc = exception_from_args(args, nargs, "athrow");
    if (exc == nullptr) return nullptr;
    PyObject* s = new_step(self, StepMode::Throw, exc);
    Py_DECREF(exc);
    return s;
}

PyObject* async_generator_aclose(PyObject* self, PyObject*) { return new_step(self, StepMode::Close, Py_None); }

PyMethodDef async_generator_methods[] = {
    {"asend", async_generator_asend, METH_O, nullptr},
    {"athrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(async_generator_athrow)),
     METH_FASTCALL, nullptr},
    {"aclose", async_generator_aclose, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot async_generator_slots[] = {
    {Py_am_aiter, reinterpret_cast<void*>(self_await)},
    {Py_am_anext, reinterpret_cast<void*>(async_generator_anext)},
    {Py_tp_methods, async_generator_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(driver_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(driver_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(driver_finalize)},
    {Py_tp_dealloc, reinterpret_cast<void*>(driver_dealloc)},
    {0, nullptr},
};

PyTypeObject* make_type(std::string& name_storage, const std::string& name, std::size_t size, PyType_Slot* slots) {
    name_storage = name;
    // The type description must outlive the type's creation only; the name must live as
    // long as the type (tp_name points into it).
    PyType_Spec description = {
        name_storage.c_str(),
        static_cast<int>(size),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(steal(PyType_FromSpec(&description)).release().ptr());
}

}  // namespace

void init_coroutine_types(py::module_& module) {
    const std::string prefix = module.attr("__name__").cast<std::string>() + ".";
    g_coroutine_type = make_type(g_names[0], prefix + "compiled_coroutine", sizeof(DriverObject), coroutine_slots);
    g_generator_type = make_type(g_names[1], prefix + "compiled_generator", sizeof(DriverObject), generator_slots);
    g_async_generator_type =
        make_type(g_names[2], prefix + "compiled_async_generator", sizeof(DriverObject), async_generator_slots);
    g_step_type = make_type(g_names[3], prefix + "compiled_async_generator_step", sizeof(StepObject), step_slots);
}

py::object make_coroutine(std::coroutine_handle<TaskPromise> h) {
    return steal(reinterpret_cast<PyObject*>(new_driver(g_coroutine_type, h, &h.promise(), Kind::Coroutine)));
}

py::object make_generator(std::coroutine_handle<GeneratorPromise> h) {
    return steal(reinterpret_cast<PyObject*>(new_driver(g_generator_type, h, &h.promise(), Kind::Generator)));
}

py::object make_async_generator(std::coroutine_handle<AsyncGeneratorPromise> h) {
    return steal(
        reinterpret_cast<PyObject*>(new_driver(g_async_generator_type, h, &h.promise(), Kind::AsyncGenerator)));
}

}  // namespace bind
