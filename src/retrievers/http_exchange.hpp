// The HTTP exchange of the external retriever with its limits: one deadline
// for the whole retrieval, from the moment the exchange is started (waiting
// for a worker and resolving the name included) to the last byte of the
// response, a cap on the response body, no redirects followed, and a pool
// of worker threads the exchanges are made on.
#pragma once

#include "qor.hpp"

namespace qor {

// The exception a failure in a guarded block stands for, taken from the C++
// exception being handled. Only `Exception` is handled there: anything else
// (task cancellation, interpreter exit, keyboard interrupt) is raised again.
py::object handled_exception();

// The state of one exchange, shared by the thread making it and the
// coroutine waiting for it: the sockets the HTTP client opened for it, its
// deadline, and whether it is over (finished, or cut off by its caller).
// `api_timeout` is the value the HTTP client is given; a positive finite
// number of seconds also sets the deadline, counted from now.
py::object new_exchange(py::handle api_timeout);

// session.post(url, json=..., headers=..., timeout=..., verify=...) on a new
// session of `session_cls` whose connections are the exchange's own, made
// without following redirects, with the body read (at most `max_bytes` of
// it, or the call fails) and the response closed; the body is then served by
// the response's `text` and `json()`. Every way of running out of time
// (the client's own timeouts, a read timeout while the body arrives, an
// exchange cut off at its deadline) is raised as the client's `Timeout`.
py::object bounded_post(py::handle session_cls, py::handle url, py::handle json, py::handle headers,
                        py::handle timeout, py::handle verify, Py_ssize_t max_bytes, py::handle exchange);

// `awaitable` (the exchange on a worker), given up at the exchange's
// deadline with asyncio's TimeoutError; unbounded without a deadline.
py::object bounded_wait(py::object awaitable, py::handle exchange);

// Whether `exc`, raised by bounded_wait, means the exchange ran out of time.
bool out_of_time(py::handle exchange, py::handle exc);

// Ends an exchange that is still running because its caller went away (a
// cancelled retrieval, or its deadline passed): its connections are shut
// down, so the thread making it returns at once, and a connection it opens
// later is shut down as soon as it exists.
void abort_exchange(py::handle exchange);

// The process-wide pool of at most `workers` threads the exchanges are made
// on (made again when the configured size changes). Threads are started as
// exchanges need them.
py::object request_pool(Py_ssize_t workers);

}  // namespace qor
