// The synchronous retrieval entries called from a thread whose event loop is
// running (a notebook cell, an async handler calling synchronous code): the
// retrieval runs on a new event loop (asyncio.run) on a helper thread, in a
// copy of the caller's context, while the caller waits. A signal handler
// that raises in the waiting caller (Ctrl-C) cancels the helper's run.
#include "qor.hpp"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace qor {

namespace {

#define SYNC_ENTRY_NAMES(X)                                                  \
    X(start) X(join) X(cancel) X(close) X(run) X(ident) X(call_soon_threadsafe) \
    X(thread_name, "qor-sync-entry") X(thread_kwnames, bind::keywords, "target", "args", "name")
BIND_NAMES(SyncEntryNames, SYNC_ENTRY_NAMES);

#define SYNC_ENTRY_IMPORTS(FROM, MODULE, OPTIONAL, TYPE, HOST)        \
    HOST(running_loop, "asyncio", "_get_running_loop")                \
    HOST(get_running_loop, "asyncio", "get_running_loop")             \
    HOST(current_task, "asyncio", "current_task")                     \
    HOST(thread_cls, "threading", "Thread")
BIND_IMPORTS(SyncEntryImports, SYNC_ENTRY_IMPORTS);

struct SyncEntry : SyncEntryNames, SyncEntryImports {
    PyObject* helper_fn = nullptr;  // the helper thread's body, run in the caller's context
};

SyncEntry g_names;  // lives as long as the process, like the module state

// How often the waiting caller looks for a signal, and how long it gives a
// cancelled run to end before the interruption is raised anyway.
constexpr auto signal_poll = std::chrono::milliseconds(50);
constexpr auto cancel_grace = std::chrono::milliseconds(200);

// One call handed to a helper thread. `finished` is guarded by `mutex`;
// everything else is read and written with the GIL held, and the last
// reference is always dropped with the GIL held.
struct HelperRun {
    std::mutex mutex;
    std::condition_variable changed;
    bool finished = false;

    bool cancel_requested = false;
    py::object loop;  // the helper's loop and main task while the retrieval runs
    py::object task;
    py::object result;
    py::object error;

    // Waits without the GIL until the run has finished or `period` has passed.
    bool wait_finished(std::chrono::milliseconds period) {
        bool done = false;
        Py_BEGIN_ALLOW_THREADS {
            std::unique_lock<std::mutex> lock(mutex);
            done = changed.wait_for(lock, period, [this] { return finished; });
        }
        Py_END_ALLOW_THREADS
        return done;
    }
    void finish() {
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
        changed.notify_all();
    }
};

using RunRef = std::shared_ptr<HelperRun>;

constexpr const char* capsule_name = "qor-helper-run";

HelperRun& run_of(py::handle capsule) {
    void* p = PyCapsule_GetPointer(capsule.ptr(), capsule_name);
    if (p == nullptr) throw py::error_already_set();
    return **static_cast<RunRef*>(p);
}

py::object capsule_for(const RunRef& run) {
    auto* ref = new RunRef(run);
    PyObject* capsule = PyCapsule_New(ref, capsule_name, [](PyObject* c) {
        delete static_cast<RunRef*>(PyCapsule_GetPointer(c, capsule_name));
    });
    if (capsule == nullptr) delete ref;
    return bind::steal(capsule);
}

// The exception being handled, taken out of its C++ carrier.
py::object caught_exception() {
    bind::set_error_from(std::current_exception());
    return bind::steal(bind::fetch_exception());
}

// Forgets the helper's loop and task when the retrieval's frame ends, however
// it ends: they refer back to the run through this frame.
class Running {
public:
    explicit Running(HelperRun& run) : run_(run) {
        run_.loop = bind::call(g_names.get_running_loop);
        run_.task = bind::call(g_names.current_task);
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    ~Running() {
        run_.loop = py::object();
        run_.task = py::object();
    }

private:
    HelperRun& run_;
};

// The main task of the helper's loop: the retrieval, its result or exception
// kept in the run. It ends with None either way, so the helper thread ends
// quietly.
bind::Task helper_main(py::object capsule, py::object coro) {
    HelperRun& run = run_of(capsule);
    if (run.cancel_requested) {  // interrupted before the loop started
        bind::call_method(coro, g_names.close);
        co_return py::none();
    }
    Running running(run);
    try {
        run.result = co_await std::move(coro);
    } catch (...) {
        run.error = caught_exception();
    }
    co_return py::none();
}

// The helper thread's body: asyncio.run of the retrieval, then the caller is
// told. A failure of asyncio.run itself is the call's failure.
py::object helper_thread(py::object capsule, py::object coro) {
    HelperRun& run = run_of(capsule);
    try {
        bind::call(module().asyncio_run, bind::make_coroutine(helper_main(capsule, std::move(coro)).release()));
    } catch (...) {
        run.error = caught_exception();
    }
    run.finish();
    return py::none();
}

// Asks the helper's loop to cancel its main task; a loop that has already
// closed has nothing left to cancel.
void cancel(HelperRun& run) {
    run.cancel_requested = true;
    if (!run.loop || !run.task) return;
    try {
        bind::call_method(run.loop, g_names.call_soon_threadsafe, bind::getattr(run.task, g_names.cancel));
    } catch (py::error_already_set&) {
        PyErr_Clear();
    }
}

// The caller was interrupted (a signal handler raised `interruption`) while
// the run was under way: it is cancelled, given a short time to end, and the
// interruption is raised; a run still inside a blocking call then ends on its
// own.
[[noreturn]] void interrupted(HelperRun& run, py::handle thread, py::object interruption) {
    cancel(run);
    if (run.wait_finished(cancel_grace)) bind::call_method(thread, g_names.join);
    bind::throw_exception(interruption.ptr());
}

// Waits for the run, looking for signals between waits (a signal that another
// thread received wakes no wait).
void wait_for(HelperRun& run, py::handle thread) {
    while (!run.wait_finished(signal_poll)) {
        if (PyErr_CheckSignals() < 0) interrupted(run, thread, bind::steal(bind::fetch_exception()));
    }
    bind::call_method(thread, g_names.join);
}

// thread.start(), which waits for the thread to begin: a signal handler may
// raise there while the run is already under way.
void start(HelperRun& run, py::handle thread, py::handle coro) {
    try {
        bind::call_method(thread, g_names.start);
    } catch (...) {
        py::object error = caught_exception();
        if (!bind::getattr(thread, g_names.ident).is_none()) interrupted(run, thread, std::move(error));
        bind::call_method(coro, g_names.close);  // never started: not left unawaited
        bind::throw_exception(error.ptr());
    }
}

}  // namespace

void define_sync_entry(py::module_& m) {
    g_names.fill();
    g_names.resolve(m);
    g_names.helper_fn = bind::keep(bind::make_function(
        {
            .name = "_run_on_helper",
            .doc = "Runs one synchronous retrieval on a new event loop of this thread and records its outcome.",
            .params = {{"run"}, {"coro"}},
            .impl = bind::wrap<helper_thread>,
        },
        m.attr("__name__")));
}

bool loop_running() {
    return !bind::call(g_names.running_loop).is_none();
}

py::object run_beside_running_loop(py::object coro) {
    const SyncEntry& s = g_names;
    RunRef run = std::make_shared<HelperRun>();
    py::object capsule = capsule_for(run);
    py::object context = bind::steal(PyContext_CopyCurrent());
    py::object args = py::make_tuple(bind::borrow(s.helper_fn), capsule, coro);
    py::object thread =
        bind::call_kw(s.thread_cls, s.thread_kwnames, bind::getattr(context, s.run), args, s.thread_name);
    start(*run, thread, coro);
    wait_for(*run, thread);
    if (run->error) bind::throw_exception(run->error.ptr());
    return run->result;
}

}  // namespace qor
