// Shared state and helpers of the retrievers module.
#pragma once

#include "bind/annotations.hpp"
#include "bind/coro.hpp"
#include "bind/model.hpp"
#include "bind/module.hpp"

namespace qor {

// Interned names used on the retrieval paths.
struct Names {
    PyObject *aquery, *get_collection, *get_configs, *get_rrf_dict, *logger, *custom_tokenizer;
    PyObject *search_kwargs, *search_type, *post_process_kwargs, *vectorstore, *collection_name, *vector_name,
        *embeddings, *embed_query, *post_process, *aget_relevant_documents, *metadata;
    PyObject *filter, *k, *score_threshold, *query, *embedding, *bm25, *negative_embedding, *user_dict;
    PyObject *config, *params, *sparse_vectors, *prefetch, *using_, *limit, *fusion, *rrf, *weight, *score,
        *recommend, *positive, *negative, *strategy, *best_score;
    PyObject *json, *dict, *info, *error, *get, *replace, *append, *must;
};

// Process-wide state of the module: the interned names and the host
// facilities it calls (bound once at import). The service functions are
// module globals, looked up on every call with `global`.
struct Module {
    Names n;
    py::object module_name;  // "community.retrievers.qor"
    py::object asyncio_run, deepcopy, json_loads;
    py::object document_cls;
    py::object type_names;  // the names annotation text may use (bind::annotation_names)
};

Module& module();

// The annotation that `expression` (the text of the module's stub) denotes.
inline py::object type(const char* expression) { return bind::annotation(module().type_names, expression); }

using bind::global;

// search_kwargs["filter"].json() with "except_" turned into "except", parsed
// back into a plain mapping.
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

// _get_relevant_documents of every retriever: runs the asynchronous entry of
// `self` on a new event loop.
py::object run_async_entry(py::handle self, py::handle inputs);

using bind::Definition;

}  // namespace qor
