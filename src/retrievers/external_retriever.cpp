// ExternalRetriever: answers a question from the external knowledge-base
// service over HTTP and returns its hits as scored documents. Every failure
// around the outside calls becomes an error log line and an empty result.
#include "qor.hpp"
#include "http_exchange.hpp"

#include <optional>

namespace qor {

namespace {

// Names and imports of this retriever, made when the class is defined.
#define EXTERNAL_NAMES(X)                                                                               \
    X(kb_id) X(api_timeout) X(service) X(qor_service) X(qor_host) X(external_retrieve_url)              \
    X(default_token) X(verify_tls) X(max_response_bytes) X(max_log_chars) X(request_workers)            \
    X(retrieval_strategy, "retrievalStrategy") X(top_k, "topK") X(score_threshold_wire, "scoreThreshold") \
    X(content_type, "Content-Type") X(api_key_header, "qor-api-key") X(application_json, "application/json") \
    X(code) X(message) X(data) X(chunk) X(content) X(id) X(document) X(name) X(title)                   \
    X(source_type) X(external) X(external_score) X(chunk_id) X(data_type) X(external_src)               \
    X(call_external_api, "_call_external_api") X(parse_external_response, "_parse_external_response")   \
    X(init, "__init__") X(format) X(session, "Session") X(exceptions) X(timeout_cls, "Timeout") X(status_code)        \
    X(headers) X(text) X(json_method, "json") X(run) X(run_in_executor) X(strip) X(splitlines)          \
    X(empty, "") X(two_hundred, "200") X(unknown_error, "Unknown error") X(masked, "***")               \
    X(document_kwnames, bind::keywords, "page_content", "metadata")                                    \
    X(sorted_kwnames, bind::keywords, "key", "reverse") X(safe_kwnames, bind::keywords, "safe")         \
    X(status_ok, 200) X(default_k, 5) X(default_threshold, 0.03) X(default_timeout, 30)
BIND_NAMES(ExternalNames, EXTERNAL_NAMES);

#define EXTERNAL_IMPORTS(FROM, MODULE, OPTIONAL, TYPE, HOST)                                          \
    HOST(urljoin, "urllib.parse", "urljoin")                                                        \
    HOST(quote, "urllib.parse", "quote")                                                            \
    HOST(get_running_loop, "asyncio", "get_running_loop")                                           \
    HOST(json_dumps, "json", "dumps")                                                               \
    HOST(sorted_fn, "builtins", "sorted")                                                           \
    HOST(len_fn, "builtins", "len")
BIND_IMPORTS(ExternalImports, EXTERNAL_IMPORTS);

struct External : ExternalNames, ExternalImports {
    PyObject* respond_fn = nullptr;   // ExternalRetriever._respond, run on a worker
    PyObject* empty_tuple = nullptr;
};

External g_names;  // lives as long as the process, like the module state
PyObject* g_class = nullptr;        // ExternalRetriever itself, for super()
// Context variable: how the log lines of the retrieval in progress are shown,
// a tuple (texts of the API key, longest line); unset outside a retrieval.
PyObject* g_redaction = nullptr;

// Defaults of the limits in the "qor_service" configuration.
constexpr Py_ssize_t default_max_response_bytes = 1024 * 1024;
constexpr Py_ssize_t default_max_log_chars = 64 * 1024;
constexpr Py_ssize_t default_request_workers = 128;

const External& names() { return g_names; }

// The interpreter's ordinary string conversion of `value`, in a log line.
py::object line(const char* format, py::handle a) {
    return bind::steal(PyUnicode_FromFormat(format, a.ptr()));
}
py::object line(const char* format, py::handle a, py::handle b) {
    return bind::steal(PyUnicode_FromFormat(format, a.ptr(), b.ptr()));
}

// A log line as it is written: every text of the API key replaced by "***",
// then the line cut to its longest length with a marker. Masking comes
// first, so a cut never leaves part of the key.
py::object redacted(py::handle text) {
    PyObject* value = nullptr;
    bind::check(PyContextVar_Get(g_redaction, nullptr, &value));
    py::object redaction = py::reinterpret_steal<py::object>(value);
    py::object shown = bind::borrow(text.ptr());
    Py_ssize_t longest = default_max_log_chars;
    if (redaction) {
        py::handle secrets = PyTuple_GET_ITEM(redaction.ptr(), 0);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(secrets.ptr()); ++i)
            shown = bind::steal(PyUnicode_Replace(shown.ptr(), PyTuple_GET_ITEM(secrets.ptr(), i), names().masked, -1));
        longest = PyLong_AsSsize_t(PyTuple_GET_ITEM(redaction.ptr(), 1));
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(shown.ptr());
    if (length <= longest) return shown;
    py::object head = bind::steal(PyUnicode_Substring(shown.ptr(), 0, longest));
    return bind::steal(PyUnicode_FromFormat("%U... [cut, %zd characters in all]", head.ptr(), length));
}

// logger.info(text) / logger.error(text); the logger is looked up on every
// call, as module code looks up its globals.
void log(PyObject* level, py::handle text) {
    py::object logger = global(module().n.logger);
    bind::call_method(logger, level, redacted(text));
}
void log_info(py::handle text) { log(module().n.info, text); }
void log_error(py::handle text) { log(module().n.error, text); }

py::object get(py::handle mapping, PyObject* key, py::handle fallback) {
    return bind::mapping_get(mapping, key, fallback);
}
py::object get(py::handle mapping, PyObject* key) { return bind::mapping_get(mapping, key, py::none()); }

// Both entries return a list of documents; any other result is refused.
py::object checked_list(py::object result) {
    if (!PyList_Check(result.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected list, got %.200s", Py_TYPE(result.ptr())->tp_name);
        throw py::error_already_set();
    }
    return result;
}

// The knowledge-base id as one path segment: its text percent-encoded with
// no character kept safe (urllib.parse.quote), so "/", "?", "#", "%" and the
// like cannot leave the segment. The HTTP client decodes encoded unreserved
// characters again before sending, so encoding dots would not help: an id of
// "." or "..", which would resolve to another endpoint, is refused instead.
py::object path_segment(py::handle kb_id) {
    py::object text = bind::steal(PyObject_Str(kb_id.ptr()));
    if (PyUnicode_CompareWithASCIIString(text.ptr(), ".") == 0 ||
        PyUnicode_CompareWithASCIIString(text.ptr(), "..") == 0) {
        PyErr_Format(PyExc_ValueError, "kb_id %R cannot be used as a URL path segment", text.ptr());
        throw py::error_already_set();
    }
    return bind::call_kw(names().quote, names().safe_kwnames, text, names().empty);
}

// The "verify" argument of the request: certificate verification stays off
// unless "verify_tls" is set, to true (the client's CA bundle) or to the path
// of a CA bundle.
py::object tls_verification(py::handle api_configs) {
    const External& e = names();
    py::object setting = get(api_configs, e.verify_tls);
    if (PyUnicode_Check(setting.ptr()) && PyUnicode_GET_LENGTH(setting.ptr()) > 0) return setting;
    return bind::borrow(bind::truthy(setting) ? Py_True : Py_False);
}

// The request headers as they go to the log: the API key's value masked.
py::object logged_headers(py::handle headers, py::handle api_token) {
    const External& e = names();
    py::object shown = bind::steal(PyDict_Copy(headers.ptr()));
    if (!api_token.is_none()) bind::dict_set(shown, e.api_key_header, bind::borrow(e.masked));
    return shown;
}

// The texts under which the API key can show up in a log line: the value as
// text, its printed form (what an error message of the HTTP client quotes),
// its JSON form, the value without surrounding whitespace (what an echoing
// server sends back) and each of its lines; for a list or mapping from the
// configuration the same for every item. Longest first, so that a text is
// masked whole before any part of it.
void add_secret_text(py::handle out, py::object text) {
    py::object stripped = bind::call_method(text, names().strip);
    if (PyUnicode_GET_LENGTH(stripped.ptr()) == 0) return;  // blanks are no secret, masking them garbles lines
    if (bind::check(PySequence_Contains(out.ptr(), text.ptr())) == 0) bind::list_append(out, text);
}

py::object inner(py::object quoted) {
    return bind::steal(PyUnicode_Substring(quoted.ptr(), 1, PyUnicode_GET_LENGTH(quoted.ptr()) - 1));
}

void add_secret_forms(py::handle out, py::handle value, int depth) {
    const External& e = names();
    if (value.is_none() || depth > 4) return;
    if (PyBytes_Check(value.ptr())) {
        add_secret_forms(out, bind::steal(PyUnicode_DecodeLatin1(PyBytes_AS_STRING(value.ptr()),
                                                                  PyBytes_GET_SIZE(value.ptr()), nullptr)),
                         depth + 1);
    }
    if (PyUnicode_Check(value.ptr())) {
        add_secret_text(out, bind::borrow(value.ptr()));
        add_secret_text(out, bind::call_method(value, e.strip));
        add_secret_text(out, inner(bind::steal(PyObject_Repr(value.ptr()))));
        add_secret_text(out, inner(bind::call(e.json_dumps, value)));
        py::object lines = bind::call_method(value, e.splitlines);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.ptr()); ++i)
            add_secret_text(out, bind::call_method(bind::borrow(PyList_GET_ITEM(lines.ptr(), i)), e.strip));
        return;
    }
    add_secret_text(out, bind::steal(PyObject_Str(value.ptr())));
    add_secret_text(out, bind::steal(PyObject_Repr(value.ptr())));
    py::object items;
    if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
        items = bind::borrow(value.ptr());
    } else if (PyDict_Check(value.ptr())) {
        items = bind::steal(PyDict_Items(value.ptr()));
    } else {
        return;
    }
    py::object iter = bind::steal(PyObject_GetIter(items.ptr()));
    while (py::object item = bind::next_item(iter)) add_secret_forms(out, item, depth + 1);
}

py::object secret_texts(py::handle api_token) {
    const External& e = names();
    py::object texts = bind::new_list();
    add_secret_forms(texts, api_token, 0);
    py::object longest_first = bind::call_kw(e.sorted_fn, e.sorted_kwnames, texts, e.len_fn, py::handle(Py_True));
    return bind::steal(PyList_AsTuple(longest_first.ptr()));
}

// A limit from the "qor_service" configuration: absent or null gives the
// default; anything but a positive integer fails the call before the request.
Py_ssize_t positive_setting(py::handle api_configs, PyObject* key, Py_ssize_t fallback) {
    py::object value = get(api_configs, key);
    if (value.is_none()) return fallback;
    Py_ssize_t n = 0;
    if (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) {
        n = PyLong_AsSsize_t(value.ptr());
        if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    if (n < 1) {
        PyErr_Format(PyExc_ValueError, "qor_service entry '%U' must be a positive integer, got %R", key, value.ptr());
        throw py::error_already_set();
    }
    return n;
}

// Masks the log lines of the retrieval from the moment the API key is known
// to the end of the call, including the lines of a failure.
class RedactionScope {
public:
    RedactionScope() = default;
    RedactionScope(const RedactionScope&) = delete;
    RedactionScope& operator=(const RedactionScope&) = delete;
    void set(py::handle secrets, Py_ssize_t longest) {
        py::object value = py::make_tuple(secrets, bind::steal(PyLong_FromSsize_t(longest)));
        py::object token = bind::steal(PyContextVar_Set(g_redaction, value.ptr()));
        if (!token_) token_ = std::move(token);
    }
    ~RedactionScope() {
        if (!token_) return;
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        // A failing reset could only mean a frame closed in a foreign context.
        if (PyContextVar_Reset(g_redaction, token_.ptr()) < 0) PyErr_Clear();
        PyErr_Restore(type, value, trace);
    }

private:
    bind::Local token_;  // a local of the retrieval's frame
};

// Shuts down the exchange when the retrieval ends while it is still running
// (its deadline passed, the task was cancelled, or the coroutine closed), so
// its worker is free again at once instead of waiting for the service.
class ExchangeGuard {
public:
    ExchangeGuard() = default;
    ExchangeGuard(const ExchangeGuard&) = delete;
    ExchangeGuard& operator=(const ExchangeGuard&) = delete;
    void watch(py::object exchange) { exchange_ = std::move(exchange); }
    bool out_of_time(py::handle exc) const { return exchange_ && qor::out_of_time(exchange_, exc); }
    ~ExchangeGuard() {
        if (!exchange_) return;
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        try {
            abort_exchange(exchange_);
        } catch (...) {
            bind::set_error_from(std::current_exception());
            PyErr_Clear();
        }
        PyErr_Restore(type, value, trace);
    }

private:
    bind::Local exchange_;  // a local of the retrieval's frame
};

// Steps 14 to 18 of the call: the request, the response's log lines and its
// documents. Both entries run it on a worker of the request pool (in a copy
// of the retrieval's context, so its log lines are masked alike); `call` is
// (Session, url, body, headers, timeout, verify, max_response_bytes).
py::object respond(py::object self, py::object call, py::object exchange) {
    const External& e = names();
    auto item = [&](Py_ssize_t i) { return py::handle(PyTuple_GET_ITEM(call.ptr(), i)); };
    const Py_ssize_t max_bytes = PyLong_AsSsize_t(item(6).ptr());
    py::object response = bounded_post(item(0), item(1), item(2), item(3), item(4), item(5), max_bytes, exchange);

    py::object status = bind::getattr(response, e.status_code);
    log_info(line("External API response status: %S", status));
    py::object response_headers = bind::call(reinterpret_cast<PyObject*>(&PyDict_Type), bind::getattr(response, e.headers));
    log_info(line("External API response headers: %S", response_headers));

    if (bind::truthy(bind::steal(PyObject_RichCompare(status.ptr(), e.status_ok, Py_EQ)))) {
        py::object result = bind::call_method(response, e.json_method);
        log_info(line("External API response data: %S", result));
        return bind::call_method(self, e.parse_external_response, result);
    }
    py::object body = bind::getattr(response, e.text);
    log_error(line("External API call failed with status %S, response: %S", status, body));
    return bind::new_list();
}

// ---------------------------------------------------------------------------
// Methods

py::object init(py::object self, py::object kwargs) {
    const External& e = names();
    py::object parent = bind::call(reinterpret_cast<PyObject*>(&PySuper_Type), g_class, self);
    bind::steal(PyObject_Call(bind::getattr(parent, e.init).ptr(), e.empty_tuple, kwargs.ptr()));
    // The caller's own mapping, not the copy validation made of it.
    PyObject* given = PyDict_GetItemWithError(kwargs.ptr(), module().n.search_kwargs);
    if (given == nullptr && PyErr_Occurred()) throw py::error_already_set();
    bind::setattr(self, module().n.search_kwargs, given != nullptr ? bind::borrow(given) : bind::new_dict());
    return py::none();
}

py::object post_process(py::object, py::object docs_and_similarities) {
    const External& e = names();
    const Names& n = module().n;
    py::object docs = bind::new_list();
    if (!bind::truthy(docs_and_similarities)) return docs;
    py::object iter = bind::steal(PyObject_GetIter(docs_and_similarities.ptr()));
    while (py::object item = bind::next_item(iter)) {
        auto [doc, score] = unpack_pair(item);
        py::object metadata = bind::getattr(doc, n.metadata);
        bind::setitem(metadata, bind::borrow(n.score), score);
        bind::setitem(metadata, bind::borrow(e.source_type), bind::borrow(e.external));
        bind::list_append(docs, doc);
    }
    return docs;
}

// {**metadata} merged into `target`, with the interpreter's message for a
// value that is not a mapping.
void merge_mapping(py::handle target, py::handle metadata) {
    if (PyDict_Update(target.ptr(), metadata.ptr()) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "'%.200s' object is not a mapping", Py_TYPE(metadata.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
}

py::object parse_external_response(py::object, py::object api_response) {
    const External& e = names();
    Module& M = module();
    py::object docs_and_similarities = bind::new_list();
    try {
        py::object code = get(api_response, e.code);
        if (bind::truthy(bind::steal(PyObject_RichCompare(code.ptr(), e.two_hundred, Py_NE)))) {
            py::object message = get(api_response, e.message, e.unknown_error);
            log_error(line("External API returned error: %S", message));
            return bind::new_list();
        }
        py::object data_list = get(api_response, e.data, bind::new_list());
        py::object iter = bind::steal(PyObject_GetIter(data_list.ptr()));
        while (py::object item = bind::next_item(iter)) {
            py::object score = get(item, M.n.score, bind::real(0.0));
            py::object chunk = get(item, e.chunk, bind::new_dict());
            py::object content = get(chunk, e.content, bind::borrow(e.empty));
            py::object metadata = get(chunk, M.n.metadata, bind::new_dict());
            py::object chunk_id = get(chunk, e.id, bind::borrow(e.empty));
            py::object title = get(get(chunk, e.document, bind::new_dict()), e.name);
            py::object doc_metadata = bind::dict_of({{e.source_type, bind::borrow(e.external)},
                                                     {e.external_score, score},
                                                     {e.chunk_id, chunk_id},
                                                     {e.data_type, bind::borrow(e.external_src)},
                                                     {e.title, title}});
            merge_mapping(doc_metadata, metadata);
            py::object doc = bind::call_kw(M.document_cls, e.document_kwnames, content, doc_metadata);
            bind::list_append(docs_and_similarities, py::make_tuple(doc, score));
        }
    } catch (...) {
        py::object exc = handled_exception();
        log_error(line("Error parsing external API response: %S", exc));
    }
    return docs_and_similarities;
}

// The request body: {"query": ..., "retrievalStrategy": {"config": {"topK": k,
// "scoreThreshold": threshold}}}, with this call's options or their defaults.
py::object request_body(py::handle inputs, py::handle search_kwargs) {
    const External& e = names();
    const Names& n = module().n;
    py::object query = get(inputs, n.query, bind::borrow(e.empty));
    py::object strategy_config = bind::dict_of({
        {e.top_k, get(search_kwargs, n.k, e.default_k)},
        {e.score_threshold_wire, get(search_kwargs, n.score_threshold, e.default_threshold)},
    });
    return bind::dict_of({
        {n.query, query},
        {e.retrieval_strategy, bind::dict_of({{n.config, strategy_config}})},
    });
}

struct Limits {
    Py_ssize_t max_bytes;
    Py_ssize_t workers;
};

// The limits of the "qor_service" configuration. The log lines are masked
// from the moment the API key is known, even when a limit is refused.
Limits read_limits(py::handle api_configs, py::handle api_token, RedactionScope& redaction) {
    const External& e = names();
    py::object secrets = secret_texts(api_token);
    redaction.set(secrets, default_max_log_chars);
    const Py_ssize_t max_log_chars = positive_setting(api_configs, e.max_log_chars, default_max_log_chars);
    if (max_log_chars != default_max_log_chars) redaction.set(secrets, max_log_chars);
    const Py_ssize_t max_bytes = positive_setting(api_configs, e.max_response_bytes, default_max_response_bytes);
    const Py_ssize_t workers = positive_setting(api_configs, e.request_workers, default_request_workers);
    return {max_bytes, workers};
}

// One request to the service: `call` is what `respond` makes of it.
struct Request {
    bind::Local call;  // (Session, url, body, headers, timeout, verify, max_response_bytes)
    bind::Local api_timeout;
    Py_ssize_t workers = 0;
};

// The request of one retrieval, from its input, this call's options, the
// retriever's knowledge base and the "qor_service" configuration, with its
// log lines; none, after an error log line, when the knowledge base or the
// service is not configured.
std::optional<Request> build_request(py::handle self, py::handle inputs, py::handle search_kwargs,
                                     py::handle requests, RedactionScope& redaction) {
    const External& e = names();
    const Names& n = module().n;
    py::object api_params = request_body(inputs, search_kwargs);
    py::object kb_id = get(bind::getattr(self, n.search_kwargs), e.kb_id);
    py::object api_timeout = get(bind::getattr(self, n.search_kwargs), e.api_timeout, e.default_timeout);
    log_info(line("External API config - kb_id: %S, timeout: %S", kb_id, api_timeout));
    log_info(line("External API request params: %S", api_params));
    if (!bind::truthy(kb_id)) {
        log_error(bind::str("External API kb_id not configured"));
        return std::nullopt;
    }

    py::object api_configs = get(bind::call(global(n.get_configs), e.service), e.qor_service);
    py::object qor_host = get(api_configs, e.qor_host);
    py::object external_retrieve_url = get(api_configs, e.external_retrieve_url);
    if (!bind::truthy(qor_host) || !bind::truthy(external_retrieve_url)) {
        log_error(bind::str("QOR service config not found: qor_host or external_retrieve_url"));
        return std::nullopt;
    }
    py::object api_token = get(api_configs, e.default_token);
    const Limits limits = read_limits(api_configs, api_token, redaction);
    py::object verify = tls_verification(api_configs);

    py::object path = bind::call_method(external_retrieve_url, e.format, path_segment(kb_id));
    py::object api_url = bind::call(e.urljoin, qor_host, path);
    log_info(line("External API URL: %S", api_url));

    py::object headers =
        bind::dict_of({{e.content_type, bind::borrow(e.application_json)}, {e.api_key_header, api_token}});
    log_info(line("External API headers: %S", logged_headers(headers, api_token)));
    log_info(line("Starting external API call to: %S", api_url));

    py::object call = py::make_tuple(bind::getattr(requests, e.session), api_url, api_params, headers, api_timeout,
                                     verify, bind::steal(PyLong_FromSsize_t(limits.max_bytes)));
    return Request{std::move(call), std::move(api_timeout), limits.workers};
}

// The exchange on a worker of the request pool, in a copy of the
// retrieval's context (so its log lines are masked alike): the awaitable of
// the response's documents, given up at the exchange's deadline.
py::object exchange_on_worker(py::handle self, const Request& request, py::handle exchange) {
    const External& e = names();
    py::object loop = bind::call(e.get_running_loop);
    py::object context = bind::steal(PyContext_CopyCurrent());
    return bounded_wait(bind::call_method(loop, e.run_in_executor, request_pool(request.workers),
                                          bind::getattr(context, e.run), e.respond_fn, self, request.call, exchange),
                        exchange);
}

// The error log line of a failed call: a timeout, or the failure itself.
void log_failure(py::handle requests, py::handle caught, bool out_of_time) {
    const External& e = names();
    py::object timeout_cls = bind::getattr(bind::getattr(requests, e.exceptions), e.timeout_cls);
    if (out_of_time || PyErr_GivenExceptionMatches(caught.ptr(), timeout_cls.ptr()))
        log_error(bind::str("External API call timeout"));
    else
        log_error(line("External API call error: %S", caught));
}

// The HTTP exchange with the knowledge-base service. The request and the
// handling of its response run on a worker of the retriever's own pool, so a
// slow service holds neither the event loop nor the loop's default executor,
// and the retrieval ends at its deadline or when it is cancelled (Ctrl-C in
// the synchronous entry cancels the private loop's task) whatever the
// exchange is doing.
bind::Task call_external_api(py::object self, py::object inputs, py::object search_kwargs) {
    bind::Local requests = bind::import("requests");
    bind::Local caught;
    // Outside the guarded block: the lines of a failure are masked too, and an
    // exchange left behind by a cancelled retrieval is shut down.
    RedactionScope redaction;
    ExchangeGuard running;
    try {
        std::optional<Request> request = build_request(self, inputs, search_kwargs, requests, redaction);
        if (!request) co_return bind::new_list();
        // The deadline counts from here, so time spent waiting for a worker
        // is part of it.
        bind::Local exchange = new_exchange(request->api_timeout);
        running.watch(exchange);
        co_return co_await exchange_on_worker(self, *request, exchange);
    } catch (...) {
        caught = handled_exception();
    }
    log_failure(requests, caught, running.out_of_time(caught));
    co_return bind::new_list();
}

bind::Task aget_relevant_documents(py::object self, py::object inputs) {
    const External& e = names();
    Module& M = module();
    bind::Local search_kwargs = bind::call(M.deepcopy, bind::getattr(self, M.n.search_kwargs));
    bind::Local docs_and_similarities = co_await bind::call_method(self, e.call_external_api, inputs, search_kwargs);
    co_return checked_list(bind::call_method(self, M.n.post_process, docs_and_similarities));
}

py::object get_relevant_documents(py::object self, py::object inputs) {
    return checked_list(run_async_entry(self, inputs));
}

py::object external_method(bind::FunctionDef def) {
    return bind::make_method("ExternalRetriever", std::move(def), module().module_name);
}

// The part's names, the redaction context variable and the response step of
// a retrieval, made before the class.
void init_external_state(py::module_& m) {
    g_names.fill();
    g_names.resolve(m);
    g_names.empty_tuple = bind::keep(bind::steal(PyTuple_New(0)));
    g_redaction = bind::keep(bind::steal(PyContextVar_New("qor_external_redaction", nullptr)));
    g_names.respond_fn = bind::keep(external_method({
        .name = "_respond",
        .doc = "The request of one retrieval, its response's log lines and its documents.",
        .params = {{"self"}, {"call"}, {"exchange"}},
        .impl = bind::wrap<respond>,
    }));
}

py::object init_method() {
    return external_method({
        .name = "__init__",
        .doc = R"doc(Create the retriever.

Args:
    **kwargs: LangChain retriever fields; ``search_kwargs`` (kept as the
        caller's own mapping) names the knowledge base ("kb_id") and may set
        "k" (default 5), "score_threshold" (0.03) and "api_timeout" (30 s).

Example:
    .. code-block:: python

        retriever = ExternalRetriever(search_kwargs={"kb_id": "kb-1", "k": 3})
        docs = retriever.invoke({"query": "What is RRF?"})
        docs[0].metadata["score"], docs[0].metadata["source_type"]  # (0.87, "external"))doc",
        .params = {{"self"}, {"kwargs", bind::ParamKind::VarKeyword, {}, type("Any")}},
        .impl = bind::wrap<init>,
        .return_annotation = type("None"),
    });
}

const char* const POST_PROCESS_DOC = R"doc(Stamp the service's scores into the documents.

Args:
    docs_and_similarities: (document, score) pairs in the service's order.

Returns:
    The same documents, in order, each with ``metadata["score"]`` and the
    source marker ``metadata["source_type"] == "external"`` set.)doc";

py::object call_external_api_method() {
    return external_method({
        .name = "_call_external_api",
        .doc = R"doc(Post the question to the external knowledge-base service.

The endpoint is ``qor_host`` joined with ``external_retrieve_url`` of the
"qor_service" configuration, the knowledge-base id filled into the
template's positional placeholder.

Args:
    inputs: The retrieval input; its "query" is sent.
    search_kwargs: This call's copy of the options ("k" as "topK",
        "score_threshold" as "scoreThreshold").

Returns:
    The hits as (document, score) pairs; an empty list after logging any
    failure (missing configuration, timeout, a status other than 200, a
    body that is not JSON). Nothing is raised.)doc",
        .params = {{"self"},
                   bind::typed("inputs", type("Mapping[str, Any]")),
                   bind::typed("search_kwargs", type("Mapping[str, Any]"))},
        .impl = bind::wrap<call_external_api>,
        .flavor = bind::Flavor::Coroutine,
        .return_annotation = type("List[Tuple[Document, float]]"),
    });
}

py::object parse_external_response_method() {
    return external_method({
        .name = "_parse_external_response",
        .doc = R"doc(Turn a decoded response body into (document, score) pairs.

Args:
    api_response: The JSON body of a 200 response.

Returns:
    The hits in the service's order; an empty list, after an error log
    line, when the body reports a failure or is malformed.)doc",
        .params = {{"self"}, bind::typed("api_response", type("Any"))},
        .impl = bind::wrap<parse_external_response>,
        .return_annotation = type("List[Tuple[Document, float]]"),
    });
}

}  // namespace

void define_external_retriever(py::module_& m) {
    init_external_state(m);
    const char* qualname = "ExternalRetriever";
    auto [get_docs, aget_docs] =
        retrieval_entries(qualname, bind::wrap<get_relevant_documents>, bind::wrap<aget_relevant_documents>);
    using bind::Member;
    py::object cls = bind::make_class(
        m.attr("BaseRetriever"),
        {
            .name = qualname,
            .doc = "外部数据源检索器，用于调用外部知识库API进行检索",
            .members =
                {
                    Member::field("search_kwargs", py::module_::import("builtins").attr("dict"), bind::new_dict()),
                    Member::attribute("__init__", init_method()),
                    Member::attribute(
                        "post_process", post_process_method(qualname, POST_PROCESS_DOC, bind::wrap<post_process>)),
                    Member::attribute("_get_relevant_documents", get_docs),
                    Member::attribute("_aget_relevant_documents", aget_docs),
                    Member::attribute("_call_external_api", call_external_api_method()),
                    Member::attribute("_parse_external_response", parse_external_response_method()),
                },
        },
        module().module_name);
    g_class = bind::keep(cls);
    m.attr("ExternalRetriever") = cls;
}
}  // namespace qor
