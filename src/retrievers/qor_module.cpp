// community.retrievers.qor: retrievers over the service's vector collection
// and its external knowledge-base service.
#include "common.hpp"
#include "bind/module.hpp"


namespace qor {

namespace {
Module* g_module = nullptr;
}  // namespace

Module& module() { return *g_module; }

py::object filter_mapping(py::handle search_kwargs) {
    Module& M = module();
    py::object filter = bind::getitem(search_kwargs, M.n.filter);
    py::object text = bind::call_method(filter, M.n.json);
    static PyObject* old_text = bind::intern("except_");
    static PyObject* new_text = bind::intern("except");
    py::object replaced = PyUnicode_CheckExact(text.ptr())
                              ? bind::steal(PyUnicode_Replace(text.ptr(), old_text, new_text, -1))
                              : bind::call_method(text, M.n.replace, old_text, new_text);
    return bind::call(M.json_loads, replaced);
}

std::pair<py::object, py::object> retrieval_entries(const char* class_name, bind::Impl get, bind::Impl aget) {
    Module& M = module();
    py::object list_of_documents = type("List[Document]");
    py::object sync_entry = bind::make_method(class_name,
                                              {.name = "_get_relevant_documents",
                                               .doc = R"doc(Retrieve the documents of one retrieval input.

Runs ``_aget_relevant_documents`` on a new event loop: call it where no
event loop is running.

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
    py::object box = bind::new_list();
    bind::call(M.asyncio_run, bind::make_coroutine(run_into(std::move(coro), box).release()));
    return bind::borrow(PyList_GET_ITEM(box.ptr(), 0));
}

namespace {

void init_names(Names& n) {
    using bind::intern;
    n.aquery = intern("aquery");
    n.get_collection = intern("get_collection");
    n.get_configs = intern("get_configs");
    n.get_rrf_dict = intern("get_rrf_dict");
    n.logger = intern("logger");
    n.custom_tokenizer = intern("custom_tokenizer");
    n.search_kwargs = intern("search_kwargs");
    n.search_type = intern("search_type");
    n.post_process_kwargs = intern("post_process_kwargs");
    n.vectorstore = intern("vectorstore");
    n.collection_name = intern("collection_name");
    n.vector_name = intern("vector_name");
    n.embeddings = intern("embeddings");
    n.embed_query = intern("embed_query");
    n.post_process = intern("post_process");
    n.aget_relevant_documents = intern("_aget_relevant_documents");
    n.metadata = intern("metadata");
    n.filter = intern("filter");
    n.k = intern("k");
    n.score_threshold = intern("score_threshold");
    n.query = intern("query");
    n.embedding = intern("embedding");
    n.bm25 = intern("bm25");
    n.negative_embedding = intern("negative_embedding");
    n.user_dict = intern("user_dict");
    n.config = intern("config");
    n.params = intern("params");
    n.sparse_vectors = intern("sparse_vectors");
    n.prefetch = intern("prefetch");
    n.using_ = intern("using");
    n.limit = intern("limit");
    n.fusion = intern("fusion");
    n.rrf = intern("rrf");
    n.weight = intern("weight");
    n.score = intern("score");
    n.recommend = intern("recommend");
    n.positive = intern("positive");
    n.negative = intern("negative");
    n.strategy = intern("strategy");
    n.best_score = intern("best_score");
    n.json = intern("json");
    n.dict = intern("dict");
    n.info = intern("info");
    n.error = intern("error");
    n.get = intern("get");
    n.replace = intern("replace");
    n.append = intern("append");
    n.must = intern("must");
}

}  // namespace
}  // namespace qor

BIND_MODULE(qor, m) {
    m.doc() = "Retrievers over the service's vector collection and its external knowledge-base service.";
    bind::init(m);

    // Lives as long as the process: the module's functions and classes refer
    // to it, and extension modules are never unloaded.
    auto* state = new qor::Module();
    qor::g_module = state;
    qor::init_names(state->n);
    state->module_name = m.attr("__name__");
    state->asyncio_run = bind::import_from("asyncio", "run");
    state->deepcopy = bind::import_from("copy", "deepcopy");
    state->json_loads = bind::import_from("json", "loads");

    // The names the module's code uses, bound at import as a Python module
    // binds them: a missing service module or name makes the import fail.
    m.attr("List") = bind::import_from("typing", "List");
    m.attr("BaseRetriever") = bind::import_from("langchain_core.retrievers", "BaseRetriever");
    m.attr("Document") = bind::import_from("langchain_core.documents", "Document");
    m.attr("VectorStoreRetriever") = bind::import_from("langchain_core.vectorstores", "VectorStoreRetriever");
    state->document_cls = m.attr("Document");
    state->type_names = bind::annotation_names({{"langchain_core.documents", "Document"}});
    m.attr("get_configs") = bind::import_from("configs", "get_configs");
    m.attr("aquery") = bind::import_from("utils.dbs", "aquery");
    m.attr("get_collection") = bind::import_from("utils.dbs", "get_collection");
    m.attr("logger") = bind::import_from("utils.logger", "logger");
    m.attr("custom_tokenizer") = bind::import_from("utils.tokenizer", "custom_tokenizer");

    bind::run_definitions(m);

    // The public names; the names bound from the service and LangChain above
    // are the module's own globals, not its interface.
    m.attr("__all__") = py::list(
        py::make_tuple("VectorStoreRetriever", "VectorStoreRecommender", "ExternalRetriever", "get_rrf_dict"));
}
