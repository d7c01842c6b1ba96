// The bounded HTTP exchange of the external retriever (see http_exchange.hpp).
//
// The HTTP client applies its timeout to each socket operation, so a server
// that trickles its answer a byte at a time is never cut off by it. The
// deadline of a whole exchange is kept by the coroutine waiting for it: the
// wait ends at the deadline, whatever the exchange is doing (waiting for a
// worker, resolving the name, reading), and the exchange is then aborted:
// its sockets are shut down, which ends any read the client is blocked in.
// The sockets are the exchange's own: each exchange is made on a session
// whose connection pools make connections of a class that records the
// socket of every connection it opens with the exchange of its thread.
#include "http_exchange.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>

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
    X(sockets) X(deadline) X(done) X(post) X(mount) X(poolmanager)                         \
    X(close) X(join) X(iter_content) X(headers) X(content_length, "Content-Length") X(content, "_content") \
    X(shutdown) X(pool_prefix, "qor-external") X(new_conn, "_new_conn") X(connection_cls, "ConnectionCls") \
    X(pool_classes, "pool_classes_by_scheme") X(http, "http") X(https, "https") X(http_prefix, "http://") \
    X(https_prefix, "https://") X(module_key, "__module__")                                           \
    X(exchange_kwnames, bind::keywords, "sockets", "deadline", "done")                     \
    X(post_kwnames, bind::keywords, "json", "headers", "timeout", "verify", "stream", "allow_redirects") \
    X(pool_kwnames, bind::keywords, "max_workers", "thread_name_prefix")
BIND_NAMES(ExchangeNames, EXCHANGE_NAMES);

#define EXCHANGE_IMPORTS(FROM, MODULE, OPTIONAL, TYPE, HOST)                                          \
    HOST(namespace_cls, "types", "SimpleNamespace")                                                 \
    HOST(pool_cls, "concurrent.futures", "ThreadPoolExecutor")                                      \
    HOST(register_atexit, "threading", "_register_atexit")                                          \
    HOST(wait_for, "asyncio", "wait_for")                                                           \
    HOST(wait_timeout_cls, "asyncio", "TimeoutError")                                               \
    HOST(adapter_cls, "requests.adapters", "HTTPAdapter")                                           \
    HOST(plain_connection, "urllib3.connection", "HTTPConnection")                                  \
    HOST(tls_connection, "urllib3.connection", "HTTPSConnection")                                   \
    HOST(plain_pool, "urllib3.connectionpool", "HTTPConnectionPool")                                \
    HOST(tls_pool, "urllib3.connectionpool", "HTTPSConnectionPool")                                 \
    HOST(socket_cls, "_socket", "socket")                                                           \
    HOST(timeout_cls, "requests.exceptions", "Timeout")                                             \
    HOST(read_timeout_cls, "urllib3.exceptions", "ReadTimeoutError")                                \
    HOST(shut_rdwr, "_socket", "SHUT_RDWR")
BIND_IMPORTS(ExchangeImports, EXCHANGE_IMPORTS);

struct Exchange : ExchangeNames, ExchangeImports {
    PyObject* socket_shutdown = nullptr;  // socket.shutdown
    PyObject* timeout_kinds = nullptr;    // what counts as running out of time
    PyObject* join_bytes = nullptr;       // b"".join
    PyObject* plain_new_conn = nullptr;   // the client's own _new_conn of each connection class
    PyObject* tls_new_conn = nullptr;
    PyObject* exchange_pools = nullptr;   // {"http": ..., "https": ...}: the exchange's connection pools
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

// The exchange this thread is making, or null.
thread_local PyObject* t_exchange = nullptr;

class ExchangeThread {
public:
    explicit ExchangeThread(PyObject* exchange) : previous_(t_exchange) { t_exchange = exchange; }
    ExchangeThread(const ExchangeThread&) = delete;
    ExchangeThread& operator=(const ExchangeThread&) = delete;
    ~ExchangeThread() { t_exchange = previous_; }

private:
    PyObject* previous_;
};

void shut_down(py::handle sock) {
    discard(PyObject_CallFunctionObjArgs(names().socket_shutdown, sock.ptr(), names().shut_rdwr.ptr(), nullptr));
}

// Shuts down both directions of every socket of the exchange. The base
// class's shutdown is called, so a TLS socket is cut at the socket level too;
// a socket already closed or detached (a TLS wrapper takes over the plain
// socket's descriptor) only refuses.
void shut_down_sockets(py::handle exchange) {
    const Exchange& x = names();
    py::object sockets = bind::getattr(exchange, x.sockets);
    // By index: the thread making the exchange may add a socket meanwhile.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sockets.ptr()); ++i) shut_down(PyList_GET_ITEM(sockets.ptr(), i));
}

// _new_conn of the exchange's connections: the client's own, whose socket is
// then recorded with the exchange of this thread. An exchange that ended
// while the name was being resolved or the connection made has its socket
// shut down at once, so the request fails instead of being sent.
py::object new_connection(py::object self) {
    const Exchange& x = names();
    const bool tls = bind::check(PyObject_IsInstance(self.ptr(), x.tls_connection.ptr()));
    py::object sock = bind::call(tls ? x.tls_new_conn : x.plain_new_conn, self);
    if (t_exchange != nullptr) {
        py::handle exchange(t_exchange);
        bind::list_append(bind::getattr(exchange, x.sockets), sock);
        if (bind::truthy(bind::getattr(exchange, x.done))) shut_down(sock);
    }
    return sock;
}

// The exchanges being made, by address: the interpreter waits for the
// pool's threads when it exits, so those still running are cut off first.
PyObject* g_running = nullptr;

py::object running_key(py::handle exchange) { return bind::steal(PyLong_FromVoidPtr(exchange.ptr())); }

void finish(py::handle exchange) {
    const Exchange& x = names();
    bind::setattr(exchange, x.done, py::handle(Py_True));
    py::object sockets = bind::getattr(exchange, x.sockets);
    bind::check(PyList_SetSlice(sockets.ptr(), 0, PyList_GET_SIZE(sockets.ptr()), nullptr));
    if (PyDict_DelItem(g_running, running_key(exchange).ptr()) < 0) PyErr_Clear();  // never started
}

// Run by the interpreter at exit before it waits for the pool's threads.
py::object abort_running_exchanges() {
    py::object exchanges = bind::steal(PyDict_Values(g_running));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(exchanges.ptr()); ++i) abort_exchange(PyList_GET_ITEM(exchanges.ptr(), i));
    return py::none();
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

// class <name>(base): <key> = value, in this module.
py::object subclass(const char* name, py::handle base, PyObject* key, py::handle value) {
    py::object ns = bind::dict_of({{names().module_key, module().module_name}, {key, value}});
    return bind::steal(
        PyObject_CallFunction(reinterpret_cast<PyObject*>(Py_TYPE(base.ptr())), "s(O)O", name, base.ptr(), ns.ptr()));
}

py::object exchange_pool(const char* name, py::handle base, py::handle connection) {
    return subclass(name, base, names().connection_cls, connection);
}

// A session of the client whose connections are the exchange's own (see
// new_connection); the client's post function makes a session like it.
py::object exchange_session(py::handle session_cls) {
    const Exchange& x = names();
    py::object session = bind::call(session_cls);
    py::object adapter = bind::call(x.adapter_cls);
    bind::setattr(bind::getattr(adapter, x.poolmanager), x.pool_classes, bind::borrow(x.exchange_pools));
    bind::call_method(session, x.mount, x.http_prefix, adapter);
    bind::call_method(session, x.mount, x.https_prefix, adapter);
    return session;
}

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
    g_running = bind::keep(bind::new_dict());
    // Called before the interpreter joins the pools' threads at exit (the
    // hook concurrent.futures joins them from; the last registered runs first).
    bind::call(x.register_atexit, bind::make_function(
                                      {
                                          .name = "_abort_external_exchanges",
                                          .doc = "Cuts off the external exchanges still running at exit.",
                                          .params = {},
                                          .impl = bind::wrap<abort_running_exchanges>,
                                      },
                                      m.attr("__name__")));
    x.plain_new_conn = bind::keep(bind::getattr(x.plain_connection, x.new_conn));
    x.tls_new_conn = bind::keep(bind::getattr(x.tls_connection, x.new_conn));
    py::object new_conn = bind::make_method("ExchangeConnection",
                                            {
                                                .name = "_new_conn",
                                                .doc = "Opens the connection's socket for the exchange of this thread.",
                                                .params = {{"self"}},
                                                .impl = bind::wrap<new_connection>,
                                            },
                                            m.attr("__name__"));
    x.exchange_pools = bind::keep(bind::dict_of({
        {x.http, exchange_pool("ExchangeHTTPConnectionPool", x.plain_pool,
                               subclass("ExchangeHTTPConnection", x.plain_connection, x.new_conn, new_conn))},
        {x.https, exchange_pool("ExchangeHTTPSConnectionPool", x.tls_pool,
                                subclass("ExchangeHTTPSConnection", x.tls_connection, x.new_conn, new_conn))},
    }));
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
    return bind::call_kw(x.namespace_cls, x.exchange_kwnames, bind::new_list(), deadline, py::handle(Py_False));
}

py::object bounded_post(py::handle session_cls, py::handle url, py::handle json, py::handle headers,
                        py::handle timeout, py::handle verify, Py_ssize_t max_bytes, py::handle exchange) {
    const Exchange& x = names();
    py::object deadline = bind::getattr(exchange, x.deadline);
    // Ended while it waited for a worker (no time left, or its caller went
    // away): nothing is sent.
    if (bind::truthy(bind::getattr(exchange, x.done)) ||
        (!deadline.is_none() && PyFloat_AsDouble(deadline.ptr()) <= now())) {
        finish(exchange);
        raise_timeout(py::handle());
    }
    py::object session = exchange_session(session_cls);
    bind::check(PyDict_SetItem(g_running, running_key(exchange).ptr(), exchange.ptr()));
    py::object response;
    try {
        ExchangeThread current(exchange.ptr());
        response = bind::call_kw(bind::getattr(session, x.post), x.post_kwnames, url, json, headers, timeout, verify,
                                 py::handle(Py_True), py::handle(Py_False));
        py::object body = read_body(response, max_bytes);
        // Cut off by its caller, the client may still see a response: the
        // headers up to the cut, or a body ended early.
        if (bind::truthy(bind::getattr(exchange, x.done))) raise_timeout(py::handle());
        // What the response's `content`, and so `text` and `json()`, serve.
        bind::setattr(response, x.content, body);
        finish(exchange);
        close_quietly(response);
        close_quietly(session);
        return response;
    } catch (...) {
        py::object exc = handled_exception();
        const bool cut_off = bind::truthy(bind::getattr(exchange, x.done));
        finish(exchange);
        if (response) close_quietly(response);
        close_quietly(session);
        if (cut_off || is_timeout(exc)) raise_timeout(exc);
        bind::throw_exception(exc.ptr());
    }
}

py::object bounded_wait(py::object awaitable, py::handle exchange) {
    py::object deadline = bind::getattr(exchange, names().deadline);
    if (deadline.is_none()) return awaitable;
    const double left = std::max(0.0, PyFloat_AsDouble(deadline.ptr()) - now());
    return bind::call(names().wait_for, awaitable, bind::real(left));
}

bool out_of_time(py::handle exchange, py::handle exc) {
    return PyErr_GivenExceptionMatches(exc.ptr(), names().wait_timeout_cls.ptr()) &&
           !bind::getattr(exchange, names().deadline).is_none();
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
