// The parser's own LangChain run around its streams (qorCogsift.transform
// and atransform), in place of the stream helpers of LangChain's Runnable:
// - the run records its input and its output as the sums of their chunks,
//   as LangChain's records do, but adds them up once, at the end, in groups
//   (LangChain's own addition of a list of chunks, then of the group sums),
//   so a stream costs the same per chunk however long it gets; the helpers
//   add every chunk to the sum of the ones before it;
// - a stream closed or collected before its end reads nothing more from its
//   source: the source is released as a Python generator releases the
//   iterator it was reading, and the run is reported ended with what it had;
//   the helpers first read the source to its end, forever for an endless one.
// The rest is as the helpers do it: the first chunk is read before the run
// starts, the run starts with the same arguments, the synchronous split runs
// in the child configuration's context, stream handlers (astream_events,
// astream_log) tap the items, and an error ends the run with
// on_chain_error before it propagates.
#include "reasoning.hpp"

#include <algorithm>

namespace cogsift {
namespace {

#define RUN_NAMES(X)                                                                                        \
    X(ensure_config) X(patch_config) X(set_config_context) X(on_chain_start) X(on_chain_end)               \
    X(on_chain_error) X(get_child) X(handlers) X(run_id) X(run_name) X(get_name) X(pop) X(get_sync)        \
    X(tap_output_iter) X(tap_output_aiter) X(create_task) X(enter, "__enter__") X(exit, "__exit__")        \
    X(kw_start, bind::keywords, "run_type", "name", "run_id", "defers_inputs")                             \
    X(kw_inputs, bind::keywords, "inputs") X(kw_callbacks, bind::keywords, "callbacks") X(parser)
BIND_PART_NAMES(RunNames, RUN_NAMES, names);

// LangChain's pieces of the run, imported when the first stream starts.
struct Host {
    py::object callbacks_for_config = import("get_callback_manager_for_config");
    py::object async_callbacks_for_config = import("get_async_callback_manager_for_config");
    py::object ensure_config = import("ensure_config");
    py::object patch_config = import("patch_config");
    py::object set_config_context = import("set_config_context");
    py::object streaming_handler = bind::import_from("langchain_core.tracers._streaming", "_StreamingCallbackHandler");
    py::object message_chunk = bind::import_from("langchain_core.messages", "AIMessageChunk");
    py::object get_running_loop = bind::import_from("asyncio", "get_running_loop");

    static py::object import(const char* name) { return bind::import_from("langchain_core.runnables.config", name); }
};

const Host& host() {
    static const Host* h = new Host();  // kept for the life of the process
    return *h;
}

// Chunks are added up in groups of this many: each text is copied once per
// level, a handful of times however long the stream.
constexpr Py_ssize_t kGroup = 32;

// `value + item` as LangChain's record adds a chunk: a sum that cannot take
// it is replaced by it, and from then on every later chunk replaces it too.
void add_one(py::object& value, bool& addable, py::handle item) {
    if (value.ptr() == Py_None || !addable) {
        value = bind::borrow(item.ptr());
        return;
    }
    PyObject* sum = PyNumber_Add(value.ptr(), item.ptr());
    if (sum == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        value = bind::borrow(item.ptr());
        addable = false;
        return;
    }
    value = bind::steal(sum);
}

// The sum of message chunks, in groups; empty when an addition refused them.
py::object grouped_sum(py::object chunks) {
    while (PyList_GET_SIZE(chunks.ptr()) > 1) {
        const Py_ssize_t n = PyList_GET_SIZE(chunks.ptr());
        py::object sums = bind::new_list();
        for (Py_ssize_t i = 0; i < n; i += kGroup) {
            py::handle head = PyList_GET_ITEM(chunks.ptr(), i);
            py::object rest = bind::steal(PyList_GetSlice(chunks.ptr(), i + 1, std::min(n, i + kGroup)));
            if (PyList_GET_SIZE(rest.ptr()) == 0) {
                bind::list_append(sums, head);
                continue;
            }
            PyObject* sum = PyNumber_Add(head.ptr(), rest.ptr());
            if (sum == nullptr) {
                if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
                PyErr_Clear();
                return {};
            }
            bind::list_append(sums, bind::steal(sum));
        }
        chunks = std::move(sums);
    }
    return bind::borrow(PyList_GET_ITEM(chunks.ptr(), 0));
}

// What LangChain's run records for a stream of `items` (a list): the
// leading AIMessageChunks added up together, each later item added to that
// sum; None for no items.
py::object summed(py::handle items) {
    const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    Py_ssize_t leading = 0;
    while (leading < n &&
           bind::check(PyObject_IsInstance(PyList_GET_ITEM(items.ptr(), leading), host().message_chunk.ptr())))
        ++leading;
    py::object value = py::none();
    bool addable = true;
    if (leading > 0) {
        value = grouped_sum(bind::steal(PyList_GetSlice(items.ptr(), 0, leading)));
        if (!value) {  // refused together: one at a time, as LangChain falls back
            value = py::none();
            for (Py_ssize_t i = 0; i < leading; ++i) add_one(value, addable, PyList_GET_ITEM(items.ptr(), i));
        }
    }
    for (Py_ssize_t i = leading; i < n; ++i) add_one(value, addable, PyList_GET_ITEM(items.ptr(), i));
    return value;
}

// The run of one stream. Lives in the stream's frame, so the collector sees
// its references; the frame's destruction before the run ended (the stream
// was closed or collected) reports the early end.
struct StreamRun {
    bind::Local manager;   // the run manager, once started
    bind::Local context;   // synchronous streams: the context the split runs in
    bind::Local context_manager;
    bind::Local inputs{bind::new_list()};
    bind::Local outputs{bind::new_list()};
    bool is_async = false;
    bool ended = false;

    StreamRun() = default;
    StreamRun(const StreamRun&) = delete;
    StreamRun& operator=(const StreamRun&) = delete;
    ~StreamRun();

    // manager.on_chain_start(None, {"input": ""}, ...) as the helpers call it.
    py::object start_call(py::handle callback_manager, py::handle self, py::handle config) const {
        py::object name = bind::mapping_get(config, names.run_name, py::none());
        if (!bind::truthy(name)) name = bind::call_method(self, names.get_name);
        py::object run_id = bind::call_method(config, names.pop, bind::borrow(names.run_id), py::none());
        py::object inputs = bind::dict_of({{module().n.input, bind::borrow(module().n.empty)}});
        return bind::call_kw(bind::getattr(callback_manager, names.on_chain_start), bind::borrow(names.kw_start),
                             py::none(), inputs, bind::borrow(names.parser), name, run_id, bind::borrow(Py_False));
    }
    // on_chain_end(summed output, inputs=summed input)
    py::object end_call() {
        ended = true;
        py::object output = summed(outputs);
        return bind::call_kw(bind::getattr(manager, names.on_chain_end), bind::borrow(names.kw_inputs), output,
                             summed(inputs));
    }
    // on_chain_error(error, inputs=summed input, or None when that fails)
    py::object error_call(py::handle error) {
        ended = true;
        py::object recorded;
        try {
            recorded = summed(inputs);
        } catch (py::error_already_set&) {
            recorded = py::none();
        }
        return bind::call_kw(bind::getattr(manager, names.on_chain_error), bind::borrow(names.kw_inputs), error,
                             recorded);
    }
    // The items as stream handlers see them: tapped by the first one.
    py::object tapped(py::object items) const {
        py::object all = bind::getattr(manager, names.handlers);
        for (py::handle h : all) {
            if (!bind::check(PyObject_IsInstance(h.ptr(), host().streaming_handler.ptr()))) continue;
            PyObject* tap = is_async ? names.tap_output_aiter : names.tap_output_iter;
            return bind::call_method(h, tap, bind::getattr(manager, names.run_id), items);
        }
        return items;
    }
    void report_closed();
};

// A synchronous stream ends as the helper ends it on close: with the run's
// end. An asynchronous one as its helper does: with on_chain_error of a
// GeneratorExit, scheduled on the running event loop, or reported through
// the run's synchronous manager when none runs in this thread.
void StreamRun::report_closed() {
    if (!is_async) {
        (void)end_call();
        return;
    }
    py::object exit = bind::call(bind::borrow(PyExc_GeneratorExit));
    PyObject* loop = PyObject_CallNoArgs(host().get_running_loop.ptr());
    if (loop == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) throw py::error_already_set();
        PyErr_Clear();
        manager = bind::call_method(manager, names.get_sync);
        (void)error_call(exit);
        return;
    }
    (void)bind::call_method(bind::steal(loop), names.create_task, error_call(exit));
}

StreamRun::~StreamRun() {
    if (!manager || ended) return;
    PyObject* pending = bind::fetch_exception();
    try {
        report_closed();
    } catch (...) {
        bind::set_error_from(std::current_exception());
        PyErr_WriteUnraisable(manager.ptr());
    }
    if (pending != nullptr) bind::restore_exception(pending);
}

// The run's child configuration: its callbacks are the run's children.
py::object child_config(const StreamRun& run, py::handle config) {
    return bind::call_kw(host().patch_config, bind::borrow(names.kw_callbacks), config,
                         bind::call_method(run.manager, names.get_child));
}

void start_sync(StreamRun& run, py::handle self, py::handle given) {
    py::object config = bind::call(host().ensure_config, given);
    run.manager = run.start_call(bind::call(host().callbacks_for_config, config), self, config);
    run.context_manager = bind::call(host().set_config_context, child_config(run, config));
    run.context = bind::call_method(run.context_manager, names.enter);
}

// next(items) inside the run's context; empty at the end.
py::object next_in_context(py::handle context, py::handle items) {
    if (PyContext_Enter(context.ptr()) < 0) throw py::error_already_set();
    PyObject* item = PyIter_Next(items.ptr());
    PyObject* error = PyErr_Occurred() != nullptr ? bind::fetch_exception() : nullptr;
    if (PyContext_Exit(context.ptr()) < 0) {
        Py_XDECREF(error);
        throw py::error_already_set();
    }
    if (error != nullptr) {
        bind::restore_exception(error);
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(item);  // null at the end
}

// What next_or_end gives at the end of an asynchronous iterator.
PyObject* g_end = nullptr;

bind::Task anext_or_end(py::object iterator) {
    try {
        co_return co_await next_awaitable(iterator);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_StopAsyncIteration)) throw;
    }
    co_return bind::borrow(g_end);
}

// An awaitable of the iterator's next item, or of g_end at its end.
py::object next_or_end(py::handle iterator) {
    return bind::make_coroutine(anext_or_end(bind::borrow(iterator.ptr())).release());
}

// The source as the split reads it: `first` (a list of the chunk read before
// the run started, if any), then the rest, each chunk recorded in `inputs`.
bind::Generator recorded(py::object first, py::object source, py::object inputs) {
    for (py::handle chunk : first) co_yield bind::borrow(chunk.ptr());
    bind::Local chunk;  // one for the whole stream, registered with the frame once
    while ((chunk = bind::next_item(source))) {
        bind::list_append(inputs, chunk);
        co_yield chunk;
    }
}

bind::AsyncGenerator arecorded(py::object first, py::object source, py::object inputs) {
    for (py::handle chunk : first) co_yield bind::borrow(chunk.ptr());
    bind::Local chunk;
    while ((chunk = co_await next_or_end(source)).ptr() != g_end) {
        bind::list_append(inputs, chunk);
        co_yield chunk;
    }
}

PyObject* g_recorded = nullptr;
PyObject* g_arecorded = nullptr;

}  // namespace

bind::Generator transform(py::object self, py::object chunks, py::object config) {
    check_call_config(self, config);
    bind::Local source = bind::steal(PyObject_GetIter(chunks.ptr()));
    StreamRun run;
    bind::Local first = bind::new_list();
    if (py::object chunk = bind::next_item(source)) bind::list_append(first, chunk);
    bind::check(PyList_SetSlice(run.inputs.ptr(), 0, 0, first.ptr()));
    start_sync(run, self, config);
    bind::Local items;
    bind::Local item;
    try {
        items = run.tapped(split_generator(bind::call(bind::borrow(g_recorded), first, source, run.inputs), self,
                                           config));
        while ((item = next_in_context(run.context, items))) {
            co_yield item;
            bind::list_append(run.outputs, item);
        }
        (void)bind::call_method(run.context_manager, names.exit, py::none(), py::none(), py::none());
    } catch (py::error_already_set& e) {
        (void)run.error_call(e.value());
        throw;
    }
    (void)run.end_call();
}

bind::AsyncGenerator atransform(py::object self, py::object chunks, py::object config) {
    check_call_config(self, config);
    bind::Local source = bind::steal(PyObject_GetAIter(chunks.ptr()));
    StreamRun run;
    run.is_async = true;
    bind::Local first = bind::new_list();
    bind::Local chunk = co_await next_or_end(source);
    if (chunk.ptr() != g_end) bind::list_append(first, chunk);
    bind::check(PyList_SetSlice(run.inputs.ptr(), 0, 0, first.ptr()));
    bind::Local ensured = bind::call(host().ensure_config, config);
    run.manager = co_await run.start_call(bind::call(host().async_callbacks_for_config, ensured), self, ensured);
    bind::Local items;
    bind::Local item;
    bind::Local failure;
    try {
        items = run.tapped(asplit_generator(bind::call(bind::borrow(g_arecorded), first, source, run.inputs), self,
                                            config));
    } catch (py::error_already_set& e) {
        failure = e.value();
    }
    while (!failure) {
        try {
            if ((item = co_await next_or_end(items)).ptr() == g_end) break;
        } catch (py::error_already_set& e) {
            failure = e.value();
            break;
        }
        co_yield item;
        bind::list_append(run.outputs, item);
    }
    if (failure) {
        co_await run.error_call(failure);
        bind::throw_exception(failure.ptr());
    }
    co_await run.end_call();
}

void define_stream_run(py::module_&) {
    Module& M = module();
    auto inner = [&](const char* name, bind::Impl impl, bind::Flavor flavor) {
        return bind::keep(bind::make_function(
            {.name = name, .qualname = name, .params = {{"first"}, {"source"}, {"inputs"}}, .impl = impl,
             .flavor = flavor},
            M.module_name));
    };
    g_end = bind::keep(bind::call(bind::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type))));
    g_recorded = inner("_recorded", bind::wrap<recorded>, bind::Flavor::Generator);
    g_arecorded = inner("_arecorded", bind::wrap<arecorded>, bind::Flavor::AsyncGenerator);
}

}  // namespace cogsift
