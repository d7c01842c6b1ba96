// The bounded HTTP exchange of the external retriever (see http_exchange.hpp).
//
// The HTTP client applies its timeout to each socket operation, so a server
// that trickles its answer a byte at a time is never cut off by it. The
// deadline of a whole exchange is kept by one watchdog thread: when it
// expires, the watchdog shuts down the exchange's sockets, which ends any
// read or connect the client is blocked in, and the client's failure is
// reported as a timeout. The sockets are found without reaching into the
// client: an audit hook records every socket created on a thread while that
// thread is making an exchange.
#include "http_exchange.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace qor {

py::object handled_exception() {
    bind::set_error_from(std::current_exception());
    py::object exc = bind::steal(bind::fetch_exception());
    if (!PyErr_GivenExceptionMatches(exc.ptr(), PyExc_Exception)) bind::throw_exception(exc.ptr());
    return exc;
}

namespace {

// Names and imports of the exchange, made when the module is imported.
#define EXCHANGE_NAMES(X)                                                                              \
    X(sockets) X(deadline) X(timed_out) X(done) X(acquire) X(release) X(wait) X(notify) X(start)        \
    X(close) X(join) X(iter_content) X(headers) X(content_length, "Content-Length") X(content, "_content") \
    X(shutdown) X(pool_prefix, "qor-external") X(watchdog_name, "qor-external-watchdog")                \
    X(exchange_kwnames, bind::keywords, "sockets", "deadline", "timed_out", "done")                     \
    X(post_kwnames, bind::keywords, "json", "headers", "timeout", "verify", "stream", "allow_redirects") \
    X(thread_kwnames, bind::keywords, "target", "args", "name", "daemon")                              \
    X(pool_kwnames, bind::keywords, "max_workers", "thread_name_prefix")
BIND_NAMES(ExchangeNames, EXCHANGE_NAMES);

#define EXCHANGE_IMPORTS(FROM, MODULE, OPTIONAL, TYPE, HOST)                                          \
    HOST(namespace_cls, "types", "SimpleNamespace")                                                 \
    HOST(condition_cls, "threading", "Condition")                                                   \
    HOST(thread_cls, "threading", "Thread")                                                         \
    HOST(pool_cls, "concurrent.futures", "ThreadPoolExecutor")                                      \
    HOST(heappush, "heapq", "heappush")                                                             \
    HOST(heappop, "heapq", "heappop")                                                               \
    HOST(socket_cls, "_socket", "socket")                                                           \
    HOST(timeout_cls, "requests.exceptions", "Timeout")                                             \
    HOST(read_timeout_cls, "urllib3.exceptions", "ReadTimeoutError")                                \
    HOST(shut_rdwr, "_socket", "SHUT_RDWR")
BIND_IMPORTS(ExchangeImports, EXCHANGE_IMPORTS);

struct Exchange : ExchangeNames, ExchangeImports {
    PyObject* socket_shutdown = nullptr;  // socket.shutdown
    PyObject* timeout_kinds = nullptr;    // what counts as running out of time
    PyObject* join_bytes = nullptr;       // b"".join
    PyObject* watchdog_loop = nullptr;
    PyObject* stop_watchdog = nullptr;
};

Exchange g_names;  // lives as long as the process, like the module state
const Exchange& names() { return g_names; }

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// The result of a call whose failure does not matter: released, or its
// error cleared.
void discard(PyObject* result) {
    if (result == nullptr) PyErr_Clear();
    Py_XDECREF(result);
}

// ---------------------------------------------------------------------------
// The sockets of an exchange

// The socket list of the exchange this thread is making, or null.
thread_local PyObject* t_capture = nullptr;

int capture_sockets(const char* event, PyObject* args, void*) {
    if (t_capture == nullptr || std::strcmp(event, "socket.__new__") != 0) return 0;
    if (!PyTuple_Check(args) || PyTuple_GET_SIZE(args) < 1) return 0;
    return PyList_Append(t_capture, PyTuple_GET_ITEM(args, 0));
}

class SocketCapture {
public:
    explicit SocketCapture(PyObject* sockets) : previous_(t_capture) { t_capture = sockets; }
    SocketCapture(const SocketCapture&) = delete;
    SocketCapture& operator=(const SocketCapture&) = delete;
    ~SocketCapture() { t_capture = previous_; }

private:
    PyObject* previous_;
};

// Shuts down both directions of every socket of the exchange. The base
// class's shutdown is called, so a TLS socket is cut at the socket level too;
// a socket already closed or detached (a TLS wrapper takes over the plain
// socket's descriptor) only refuses.
void shut_down_sockets(py::handle exchange) {
    const Exchange& x = names();
    py::object sockets = bind::getattr(exchange, x.sockets);
    // By index: the thread making the exchange may add a socket meanwhile.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sockets.ptr()); ++i) {
        py::object sock = bind::borrow(PyList_GET_ITEM(sockets.ptr(), i));
        discard(PyObject_CallFunctionObjArgs(x.socket_shutdown, sock.ptr(), x.shut_rdwr, nullptr));
    }
}

void finish(py::handle exchange) {
    const Exchange& x = names();
    bind::setattr(exchange, x.done, py::handle(Py_True));
    py::object sockets = bind::getattr(exchange, x.sockets);
    bind::check(PyList_SetSlice(sockets.ptr(), 0, PyList_GET_SIZE(sockets.ptr()), nullptr));
}

// ---------------------------------------------------------------------------
// The watchdog: one daemon thread waiting for the earliest deadline of a heap
// of (deadline, sequence number, exchange). An exchange that ends in time
// stays in the heap, marked done, until its deadline comes.

struct Watchdog {
    PyObject* cond = nullptr;
    PyObject* heap = nullptr;
    PyObject* thread = nullptr;
    pid_t pid = 0;  // a child process after fork has no watchdog thread
    long long sequence = 0;
    bool stopping = false;         // set at interpreter exit, under `cond`
    bool stop_registered = false;  // inherited through fork, like atexit's list
};
Watchdog g_watchdog;

// Longest single wait, so that a very distant deadline stays a valid timeout.
constexpr double max_wait = 3600.0;

py::object watchdog_loop(py::object cond, py::object heap) {
    const Exchange& x = names();
    bind::call_method(cond, x.acquire);
    try {
        for (;;) {
            if (g_watchdog.stopping && g_watchdog.cond == cond.ptr()) break;
            if (PyList_GET_SIZE(heap.ptr()) == 0) {
                bind::call_method(cond, x.wait);
                continue;
            }
            PyObject* first = PyList_GET_ITEM(heap.ptr(), 0);
            const double left = PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(first, 0)) - now();
            if (left > 0) {
                bind::call_method(cond, x.wait, bind::real(std::min(left, max_wait)));
                continue;
            }
            py::object entry = bind::call(x.heappop, heap);
            py::handle exchange = PyTuple_GET_ITEM(entry.ptr(), 2);
            if (bind::truthy(bind::getattr(exchange, x.done))) continue;
            bind::setattr(exchange, x.timed_out, py::handle(Py_True));
            shut_down_sockets(exchange);
        }
    } catch (...) {
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        discard(PyObject_CallMethodNoArgs(cond.ptr(), x.release));
        PyErr_Restore(type, value, trace);
        throw;
    }
    bind::call_method(cond, x.release);
    return py::none();
}

// Ends the watchdog while the interpreter still runs its exit handlers. A
// daemon thread that wakes once the interpreter is finalizing is ended by
// the interpreter from inside whatever call wanted the lock back, here from
// inside the watchdog's frames, whose handlers must not run then.
py::object stop_watchdog() {
    const Exchange& x = names();
    Watchdog& w = g_watchdog;
    if (w.cond == nullptr || w.pid != getpid()) return py::none();
    py::object cond = bind::borrow(w.cond);
    bind::call_method(cond, x.acquire);
    w.stopping = true;
    PyObject* notified = PyObject_CallMethodNoArgs(cond.ptr(), x.notify);
    discard(PyObject_CallMethodNoArgs(cond.ptr(), x.release));
    if (notified == nullptr) throw py::error_already_set();
    Py_DECREF(notified);
    bind::call_method(bind::borrow(w.thread), x.join, bind::real(5.0));
    return py::none();
}

void start_watchdog() {
    const Exchange& x = names();
    Watchdog& w = g_watchdog;
    // The objects of a parent process are left alone in a child: their locks
    // may have been held by threads the child does not have.
    py::object cond = bind::call(x.condition_cls);
    py::object heap = bind::new_list();
    py::object thread = bind::call_kw(x.thread_cls, x.thread_kwnames, x.watchdog_loop, py::make_tuple(cond, heap),
                                      x.watchdog_name, py::handle(Py_True));
    if (!w.stop_registered) {
        bind::call(bind::import_from("atexit", "register"), bind::borrow(x.stop_watchdog));
        w.stop_registered = true;
    }
    w.cond = bind::keep(cond);
    w.heap = bind::keep(heap);
    w.thread = bind::keep(thread);
    w.pid = getpid();
    w.stopping = false;
    bind::call_method(thread, x.start);
}

void arm(py::handle exchange, double deadline) {
    const Exchange& x = names();
    Watchdog& w = g_watchdog;
    if (w.cond == nullptr || w.pid != getpid()) start_watchdog();
    py::object cond = bind::borrow(w.cond);
    py::object heap = bind::borrow(w.heap);
    bind::call_method(cond, x.acquire);
    try {
        py::object entry = py::make_tuple(bind::real(deadline), bind::integer(w.sequence++), exchange);
        bind::call(x.heappush, heap, entry);
        if (PyList_GET_ITEM(heap.ptr(), 0) == entry.ptr()) bind::call_method(cond, x.notify);
    } catch (...) {
        bind::call_method(cond, x.release);
        throw;
    }
    bind::call_method(cond, x.release);
}

// ---------------------------------------------------------------------------
// The exchange

[[noreturn]] void raise_timeout(py::handle cause) {
    py::object exc = bind::call(names().timeout_cls, bind::str("the exchange did not end within api_timeout"));
    if (cause) PyException_SetCause(exc.ptr(), cause.inc_ref().ptr());
    bind::throw_exception(exc.ptr());
}

// A timeout anywhere in the exception's chain: the client reports a read
// timeout while the body arrives as a connection error caused by it. (Not
// urllib3's TimeoutError as a whole: a refused connection is one of those.)
bool is_timeout(py::handle exc) {
    py::object e = bind::borrow(exc.ptr());
    for (int depth = 0; depth < 8 && e; ++depth) {
        if (bind::check(PyObject_IsInstance(e.ptr(), names().timeout_kinds))) return true;
        PyObject* next = PyException_GetCause(e.ptr());
        if (next == nullptr) next = PyException_GetContext(e.ptr());
        e = py::reinterpret_steal<py::object>(next);
    }
    return false;
}

[[noreturn]] void body_too_large(Py_ssize_t max_bytes) {
    PyErr_Format(PyExc_ValueError, "response body larger than max_response_bytes (%zd bytes)", max_bytes);
    throw py::error_already_set();
}

// The body, read through the client's iter_content (so a compressed body is
// counted as it is decoded), no further than one chunk past the cap.
py::object read_body(py::handle response, Py_ssize_t max_bytes) {
    const Exchange& x = names();
    py::object declared = bind::mapping_get(bind::getattr(response, x.headers), x.content_length, py::none());
    if (PyUnicode_Check(declared.ptr())) {
        PyObject* length = PyLong_FromUnicodeObject(declared.ptr(), 10);
        if (length == nullptr) {
            PyErr_Clear();  // a malformed length is the client's to deal with
        } else {
            py::object owned = bind::steal(length);
            py::object cap = bind::integer(max_bytes);
            if (bind::check(PyObject_RichCompareBool(owned.ptr(), cap.ptr(), Py_GT))) body_too_large(max_bytes);
        }
    }
    const Py_ssize_t chunk = std::min<Py_ssize_t>(64 * 1024, max_bytes + 1);
    py::object pieces = bind::call_method(response, x.iter_content, bind::integer(chunk));
    py::object iter = bind::steal(PyObject_GetIter(pieces.ptr()));
    py::object chunks = bind::new_list();
    Py_ssize_t total = 0;
    while (py::object piece = bind::next_item(iter)) {
        const Py_ssize_t size = PyObject_Length(piece.ptr());
        if (size < 0) throw py::error_already_set();
        total += size;
        if (total > max_bytes) body_too_large(max_bytes);
        bind::list_append(chunks, piece);
    }
    return bind::call(x.join_bytes, chunks);
}

void close_quietly(py::handle response) { discard(PyObject_CallMethodNoArgs(response.ptr(), names().close)); }

struct Pool {
    PyObject* executor = nullptr;
    Py_ssize_t workers = 0;
    pid_t pid = 0;
};
Pool g_pool;

}  // namespace

void define_http_exchange(py::module_& m) {
    Exchange& x = g_names;
    x.fill();
    x.resolve(m);
    x.socket_shutdown = bind::keep(bind::getattr(x.socket_cls, x.shutdown));
    x.timeout_kinds = bind::keep(py::make_tuple(x.timeout_cls, x.read_timeout_cls, bind::borrow(PyExc_TimeoutError)));
    x.join_bytes = bind::keep(bind::getattr(bind::steal(PyBytes_FromStringAndSize("", 0)), x.join));
    x.watchdog_loop = bind::keep(bind::make_function(
        {
            .name = "_external_watchdog",
            .doc = "Shuts down the sockets of every external exchange whose deadline has passed.",
            .params = {{"cond"}, {"heap"}},
            .impl = bind::wrap<watchdog_loop>,
        },
        m.attr("__name__")));
    x.stop_watchdog = bind::keep(bind::make_function(
        {
            .name = "_stop_external_watchdog",
            .doc = "Ends the external exchanges' watchdog thread; registered to run at interpreter exit.",
            .params = {},
            .impl = bind::wrap<stop_watchdog>,
        },
        m.attr("__name__")));
    // Hooks stay installed for the life of the process; this one only looks
    // at "socket.__new__" events of threads that are making an exchange.
    bind::check(PySys_AddAuditHook(capture_sockets, nullptr));
}

py::object new_exchange(py::handle api_timeout) {
    const Exchange& x = names();
    py::object deadline = py::none();
    PyObject* t = api_timeout.ptr();
    if ((PyFloat_Check(t) || PyLong_Check(t)) && !PyBool_Check(t)) {
        const double seconds = PyFloat_AsDouble(api_timeout.ptr());
        if (seconds == -1.0 && PyErr_Occurred()) PyErr_Clear();  // too large for a deadline: none
        else if (std::isfinite(seconds) && seconds > 0) deadline = bind::real(now() + seconds);
    }
    return bind::call_kw(x.namespace_cls, x.exchange_kwnames, bind::new_list(), deadline, py::handle(Py_False),
                         py::handle(Py_False));
}

py::object bounded_post(py::handle post, py::handle url, py::handle json, py::handle headers,
                        py::handle timeout, py::handle verify, Py_ssize_t max_bytes, py::handle exchange) {
    const Exchange& x = names();
    py::object deadline = bind::getattr(exchange, x.deadline);
    if (!deadline.is_none()) {
        const double at = PyFloat_AsDouble(deadline.ptr());
        // Waited for a worker until no time was left: nothing is sent.
        if (at <= now()) {
            finish(exchange);
            raise_timeout(py::handle());
        }
        arm(exchange, at);
    }
    py::object response;
    try {
        py::object sockets = bind::getattr(exchange, x.sockets);
        {
            SocketCapture capture(sockets.ptr());
            response = bind::call_kw(post, x.post_kwnames, url, json, headers, timeout, verify,
                                     py::handle(Py_True), py::handle(Py_False));
        }
        py::object body = read_body(response, max_bytes);
        // Cut off by the watchdog, the client may still see a response: the
        // headers up to the cut, or a body ended early.
        if (bind::truthy(bind::getattr(exchange, x.timed_out))) raise_timeout(py::handle());
        // What the response's `content`, and so `text` and `json()`, serve.
        bind::setattr(response, x.content, body);
        finish(exchange);
        close_quietly(response);
        return response;
    } catch (...) {
        py::object exc = handled_exception();
        const bool expired = bind::truthy(bind::getattr(exchange, x.timed_out));
        finish(exchange);
        if (response) close_quietly(response);
        if (expired || is_timeout(exc)) raise_timeout(exc);
        bind::throw_exception(exc.ptr());
    }
}

void abort_exchange(py::handle exchange) {
    if (bind::truthy(bind::getattr(exchange, names().done))) return;
    bind::setattr(exchange, names().done, py::handle(Py_True));
    shut_down_sockets(exchange);
}

py::object request_pool(Py_ssize_t workers) {
    const Exchange& x = names();
    Pool& p = g_pool;
    const pid_t pid = getpid();
    if (p.executor != nullptr && p.workers == workers && p.pid == pid) return bind::borrow(p.executor);
    py::object fresh = bind::call_kw(x.pool_cls, x.pool_kwnames, bind::integer(workers), x.pool_prefix);
    PyObject* old = p.executor;
    const pid_t old_pid = p.pid;
    p = {bind::keep(fresh), workers, pid};
    // A pool of another size: its running exchanges finish on their threads.
    // A pool inherited through fork is left alone (its threads are gone).
    if (old != nullptr && old_pid == pid) {
        discard(PyObject_CallMethodOneArg(old, x.shutdown, Py_False));
        Py_DECREF(old);
    }
    return bind::borrow(p.executor);
}

}  // namespace qor
