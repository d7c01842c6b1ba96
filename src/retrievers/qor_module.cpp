// community.retrievers.qor: retrievers over the service's vector collection
// and its external knowledge-base service.
#include "qor.hpp"
#include "bind/module.hpp"


namespace qor {

namespace {
Module* g_module = nullptr;
}  // namespace

Module& module() { return *g_module; }

namespace {

// Renames the mapping key "except_" to "except" wherever it occurs in the
// parsed filter (the client's models write the field under its Python name);
// values, and every other key, are left as they are. A mapping that holds the
// key keeps its key order.
void rename_except_keys(py::handle value) {
    const Names& n = module().n;
    if (PyList_Check(value.ptr())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value.ptr()); ++i)
            rename_except_keys(PyList_GET_ITEM(value.ptr(), i));
        return;
    }
    if (!PyDict_Check(value.ptr())) return;
    if (Py_EnterRecursiveCall(" while renaming the keys of a filter")) throw py::error_already_set();
    bool found = false;
    PyObject *key = nullptr, *item = nullptr;
    for (Py_ssize_t pos = 0; PyDict_Next(value.ptr(), &pos, &key, &item);) {
        rename_except_keys(item);
        found = found || (PyUnicode_CheckExact(key) && PyUnicode_Compare(key, n.except_) == 0);
    }
    Py_LeaveRecursiveCall();
    if (!found) return;
    py::object items = bind::steal(PyDict_Items(value.ptr()));
    PyDict_Clear(value.ptr());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.ptr(), i);
        PyObject* name = PyTuple_GET_ITEM(pair, 0);
        const bool renamed = PyUnicode_CheckExact(name) && PyUnicode_Compare(name, n.except_) == 0;
        bind::dict_set(value, renamed ? n.except : name, PyTuple_GET_ITEM(pair, 1));
    }
}

}  // namespace

py::object filter_mapping(py::handle search_kwargs) {
    Module& M = module();
    py::object filter = bind::getitem(search_kwargs, M.n.filter);
    py::object parsed = bind::call(M.json_loads, bind::call_method(filter, M.n.json));
    rename_except_keys(parsed);
    return parsed;
}

py::object post_process_method(const char* class_name, const char* doc, bind::Impl impl) {
    return bind::make_method(
        class_name,
        {.name = "post_process",
         .doc = doc,
         .params = {{"self"}, bind::typed("docs_and_similarities", type("List[Tuple[Document, float]]"))},
         .impl = impl,
         .return_annotation = type("List[Document]")},
        module().module_name);
}

std::pair<py::object, py::object> retrieval_entries(const char* class_name, bind::Impl get, bind::Impl aget) {
    Module& M = module();
    py::object list_of_documents = type("List[Document]");
    py::object sync_entry = bind::make_method(class_name,
                                              {.name = "_get_relevant_documents",
                                               .doc = R"doc(Retrieve the documents of one retrieval input.

Runs ``_aget_relevant_documents`` on a new event loop; where this thread's
event loop is running (a notebook cell, an async handler calling synchronous
code), on a helper thread while the caller waits.

Args:
    inputs: The retrieval input: "query" (a question, or a list of them)
        and, as the retriever reads them, "embedding", "bm25",
        "negative_embedding", "user_dict".

Returns:
    The documents, each with ``metadata["score"]``.

Example:
    .. code-block:: python

        docs = retriever.invoke({"query": "What is RRF?"})
        docs = await retriever.ainvoke({"query": ["q1", "q2"], "embedding": [v1, v2]}))doc",
                                               .params = {{"self"}, bind::typed("inputs", type("Mapping[str, Any]"))},
                                               .impl = get,
                                               .return_annotation = list_of_documents},
                                              M.module_name);
    py::object async_entry = bind::make_method(class_name,
                                               {.name = "_aget_relevant_documents",
                                                .doc = "The asynchronous retrieval that _get_relevant_documents runs.",
                                                .params = {{"self"}, bind::typed("inputs", type("Mapping[str, Any]"))},
                                                .impl = aget,
                                                .flavor = bind::Flavor::Coroutine,
                                                .return_annotation = list_of_documents},
                                               M.module_name);
    return {sync_entry, async_entry};
}

namespace {

// What asyncio.run drives for a synchronous call: the retrieval, whose result
// is put into `box` rather than returned. The run's main task then ends with
// None. When asyncio.run restores the SIGINT handler it reads the handler it
// installed back through the signal module, which formats it, and with it
// the main task and the task's result: with the documents as that result,
// every synchronous call paid for the repr of all its documents (about half
// a millisecond for three short passages).
bind::Task run_into(py::object coro, py::object box) {
    bind::list_append(box, co_await std::move(coro));
    co_return py::none();
}

}  // namespace

py::object run_async_entry(py::handle self, py::handle inputs) {
    Module& M = module();
    py::object coro = bind::call_method(self, M.n.aget_relevant_documents, inputs);
    if (loop_running()) return run_beside_running_loop(std::move(coro));
    py::object box = bind::new_list();
    bind::call(M.asyncio_run, bind::make_coroutine(run_into(std::move(coro), box).release()));
    return bind::borrow(PyList_GET_ITEM(box.ptr(), 0));
}

}  // namespace qor

BIND_MODULE(qor, m) {
    m.doc() = "Retrievers over the service's vector collection and its external knowledge-base service.";
    bind::init(m);

    // Lives as long as the process: the module's functions and classes refer
    // to it, and extension modules are never unloaded.
    auto* state = new qor::Module();
    qor::g_module = state;
    state->n.fill();
    state->module_name = m.attr("__name__");
    state->resolve(m);

    bind::fill_part_names();
    qor::define_sync_entry(m);
    qor::define_rank_table(m);
    qor::define_vector_retriever(m);
    qor::define_recommender(m);
    qor::define_http_exchange(m);
    qor::define_external_retriever(m);

    // The public names; the names the import table binds (from the service
    // and LangChain) are the module's own globals, not its interface.
    m.attr("__all__") = py::list(
        py::make_tuple("VectorStoreRetriever", "VectorStoreRecommender", "ExternalRetriever", "get_rrf_dict"));
}
