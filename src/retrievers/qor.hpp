// Shared state and helpers of the retrievers module.
#pragma once

#include "bind/annotations.hpp"
#include "bind/coro.hpp"
#include "bind/model.hpp"
#include "bind/module.hpp"
#include "bind/names.hpp"

namespace qor {

// Interned names used on the retrieval paths.
#define QOR_NAMES(X)                                                                                   \
    X(get_rrf_dict) X(search_kwargs) X(search_type) X(post_process_kwargs) X(vectorstore)              \
    X(collection_name) X(vector_name) X(embeddings) X(embed_query) X(post_process)                     \
    X(aget_relevant_documents, "_aget_relevant_documents") X(metadata)                                 \
    X(filter) X(k) X(score_threshold) X(query) X(embedding) X(bm25) X(negative_embedding) X(user_dict) \
    X(config) X(params) X(sparse_vectors) X(prefetch) X(using_, "using") X(limit) X(fusion) X(rrf)     \
    X(weight) X(score) X(recommend) X(positive) X(negative) X(strategy) X(best_score)                  \
    X(json) X(dict) X(info) X(error) X(append) X(must) X(except_) X(except)

// What the module imports, in this order, when it is imported; the names
// bound from the service and LangChain are its globals, a missing service
// module or name makes the import fail.
#define QOR_IMPORTS(FROM, MODULE, OPTIONAL, TYPE, HOST)                                              \
    HOST(asyncio_run, "asyncio", "run")                                                             \
    HOST(deepcopy, "copy", "deepcopy")                                                              \
    HOST(json_loads, "json", "loads")                                                               \
    FROM(BaseRetriever, "langchain_core.retrievers")                                                \
    HOST(document_cls, "langchain_core.documents", "Document")                                      \
    FROM(VectorStoreRetriever, "langchain_core.vectorstores")                                       \
    TYPE(Document, "langchain_core.documents")                                                      \
    FROM(get_configs, "configs")                                                                    \
    FROM(aquery, "utils.dbs")                                                                       \
    FROM(get_collection, "utils.dbs")                                                               \
    FROM(logger, "utils.logger")                                                                    \
    FROM(custom_tokenizer, "utils.tokenizer")

BIND_MODULE_NAMES(Names, QOR_NAMES, QOR_IMPORTS);
BIND_IMPORTS(Imports, QOR_IMPORTS);

// Process-wide state of the module: the interned names and the host
// facilities it calls (bound once at import). The service functions are
// module globals, looked up on every call with `global`.
struct Module : Imports {
    Names n;
    py::object module_name;  // "community.retrievers.qor"
};

Module& module();

// The annotation that `expression` (the text of the module's stub) denotes.
inline py::object type(const char* expression) { return bind::annotation(module().type_names, expression); }

using bind::global;

// search_kwargs["filter"].json() parsed back into a plain mapping, with every
// key "except_" renamed to "except" (values untouched).
py::object filter_mapping(py::handle search_kwargs);

// `a, b = item`, with the interpreter's messages for anything that is not a
// pair.
std::pair<py::object, py::object> unpack_pair(py::handle item);

// Stamps the rank score of each (document, similarity) pair into the
// document's metadata ("score") and returns the documents in order. The table
// is get_rrf_dict(self.search_kwargs["k"]). When `weighted`, each score is
// multiplied by `weight`, or, when that is null, by the "weight" entry of
// self.post_process_kwargs (default 1.0).
py::object rank_documents(py::handle self, py::handle docs_and_similarities, py::handle weight, bool weighted);

// self.post_process(docs_and_similarities) for a class whose own post_process
// is `own`: when the object's class still has it, the scoring runs directly
// (with `weight` and `weighted` as for rank_documents); an override in a
// subclass is called as a method.
py::object dispatch_post_process(py::handle self, py::handle docs_and_similarities, PyObject* own,
                                 py::handle weight, bool weighted);

// The two retrieval entries of a retriever class, both taking (self, inputs)
// and declared to return List[Document]: `_get_relevant_documents` (`get`)
// and the coroutine `_aget_relevant_documents` (`aget`).
std::pair<py::object, py::object> retrieval_entries(const char* class_name, bind::Impl get, bind::Impl aget);

// The `post_process` method of a retriever class: (document, score) pairs in,
// declared to return List[Document].
py::object post_process_method(const char* class_name, const char* doc, bind::Impl impl);

// _get_relevant_documents of every retriever: runs the asynchronous entry of
// `self` on a new event loop; on a helper thread when this thread's loop is
// running (run_beside_running_loop).
py::object run_async_entry(py::handle self, py::handle inputs);

// Whether an event loop is running in this thread.
bool loop_running();

// Runs `coro` with asyncio.run on a helper thread, in a copy of this thread's
// context, and returns its result or raises its exception once it is done. A
// signal handler raising meanwhile (Ctrl-C) cancels the run; its exception is
// raised after the run has ended or, at the latest, after a short grace time.
py::object run_beside_running_loop(py::object coro);

// The module's parts, defined in this order by its init body (qor_module.cpp).
void define_sync_entry(py::module_& m);          // sync_entry.cpp
void define_rank_table(py::module_& m);          // rank_table.cpp
void define_vector_retriever(py::module_& m);    // vector_retriever.cpp
void define_recommender(py::module_& m);         // recommender.cpp
void define_http_exchange(py::module_& m);       // http_exchange.cpp
void define_external_retriever(py::module_& m);  // external_retriever.cpp

}  // namespace qor
