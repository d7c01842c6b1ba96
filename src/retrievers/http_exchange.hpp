// The HTTP exchange of the external retriever with its limits: one deadline
// for the whole exchange, from the moment it is started to the last byte of
// the response, a cap on the response body, no redirects followed, and a
// bounded pool of worker threads for the asynchronous entry.
#pragma once

#include "common.hpp"

namespace qor {

// The exception a failure in a guarded block stands for, taken from the C++
// exception being handled. Only `Exception` is handled there: anything else
// (task cancellation, interpreter exit, keyboard interrupt) is raised again.
py::object handled_exception();

// The state of one exchange, shared by the thread making it, the watchdog
// that enforces its deadline and the coroutine waiting for it: the sockets
// the HTTP client opened for it, whether the deadline expired, and whether it
// is over. `api_timeout` is the value the HTTP client is given; a positive
// finite number of seconds also sets the deadline, counted from now.
py::object new_exchange(py::handle api_timeout);

// requests.post(url, json=..., headers=..., timeout=..., verify=...) made
// without following redirects, with the body read (at most `max_bytes` of
// it, or the call fails) and the response closed; the body is then served by
// the response's `text` and `json()`. Every way of running out of time
// (the client's own timeouts, a read timeout while the body arrives, the
// deadline of the exchange) is raised as the client's `Timeout`.
py::object bounded_post(py::handle post, py::handle url, py::handle json, py::handle headers,
                        py::handle timeout, py::handle verify, Py_ssize_t max_bytes, py::handle exchange);

// Ends an exchange that is still running because its caller went away (a
// cancelled retrieval): its connections are shut down, so the thread making
// it returns at once.
void abort_exchange(py::handle exchange);

// The process-wide pool of `workers` threads the asynchronous entry runs its
// exchanges on (made again when the configured size changes).
py::object request_pool(Py_ssize_t workers);

}  // namespace qor
