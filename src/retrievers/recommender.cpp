// VectorStoreRecommender: recommend-style search with positive and negative
// example vectors, scored by rank like the vector retriever.
#include "qor.hpp"

#include <string>

namespace qor {
namespace {

#define RECOMMENDER_NAMES(X) X(no_embedding, "embedding is required for recommend search")
BIND_PART_NAMES(RecommenderNames, RECOMMENDER_NAMES, names);

PyObject* g_own_post_process = nullptr;  // the class's own post_process function

py::object post_process(py::object self, py::object docs_and_similarities) {
    return rank_documents(self, docs_and_similarities, py::handle(), false);
}

bind::Task aget_relevant_documents(py::object self, py::object inputs) {
    Module& M = module();
    const Names& n = M.n;

    bind::Local search_kwargs = bind::call(M.deepcopy, bind::getattr(self, n.search_kwargs));
    bind::Local filter = filter_mapping(search_kwargs);

    bind::Local positive = bind::mapping_get(inputs, n.embedding, py::none());
    if (!bind::truthy(positive) || !bind::truthy(bind::mapping_get(inputs, n.negative_embedding, py::none()))) {
        bind::call_method(global(n.logger), n.error, names.no_embedding);
        co_return bind::new_list();
    }

    bind::Local limit = bind::getitem(search_kwargs, bind::borrow(n.k));
    bind::Local prefetch = bind::new_list();
    // One question: its vector is the single positive example. Several
    // questions: their vectors are the positive examples as they are.
    if (!PyList_CheckExact(bind::mapping_get(inputs, n.query, py::none()).ptr())) {
        py::object wrapped = bind::new_list();
        bind::list_append(wrapped, positive);
        positive = wrapped;
    }
    bind::Local recommend = bind::dict_of({{n.positive, positive},
                                          {n.negative, bind::mapping_get(inputs, n.negative_embedding, py::none())},
                                          {n.strategy, bind::borrow(n.best_score)}});
    bind::Local query = bind::dict_of({{n.recommend, recommend}});

    bind::Local vectorstore = bind::getattr(self, n.vectorstore);
    bind::Local collection_name = bind::getattr(vectorstore, n.collection_name);
    bind::Local vector_name = bind::getattr(vectorstore, n.vector_name);
    bind::Local docs_and_similarities = co_await bind::call(global(n.aquery), collection_name, prefetch, query,
                                                           vector_name, limit, py::none(), filter);

    co_return dispatch_post_process(self, docs_and_similarities, g_own_post_process, py::handle(), false);
}

py::object get_relevant_documents(py::object self, py::object inputs) { return run_async_entry(self, inputs); }

const char* const POST_PROCESS_DOC = R"doc(Score the store's hits by rank, without a weight.

Args:
    docs_and_similarities: (document, similarity) pairs, best first.

Returns:
    The same documents in the same order, each with ``metadata["score"]``
    set to ``get_rrf_dict(search_kwargs["k"])[rank]``.

Raises:
    KeyError: More pairs than ``search_kwargs["k"]``.)doc";

}  // namespace

void define_recommender(py::module_& m) {
    Module& M = module();
    py::object typing = py::module_::import("typing");
    py::object builtins = py::module_::import("builtins");
    const std::string qualname = "VectorStoreRecommender";

    py::object own_post_process = post_process_method(qualname.c_str(), POST_PROCESS_DOC, bind::wrap<post_process>);
    g_own_post_process = bind::keep(own_post_process);
    auto [get_docs, aget_docs] = retrieval_entries(qualname.c_str(), bind::wrap<get_relevant_documents>,
                                                   bind::wrap<aget_relevant_documents>);

    using bind::Member;
    m.attr("VectorStoreRecommender") = bind::make_class(
        m.attr("BaseRetriever"),
        {
            .name = qualname.c_str(),
            .members =
                {
                    Member::field("vectorstore", typing.attr("Any")),
                    Member::field("search_kwargs", builtins.attr("dict")),
                    Member::attribute("post_process", own_post_process),
                    Member::attribute("_get_relevant_documents", get_docs),
                    Member::attribute("_aget_relevant_documents", aget_docs),
                },
        },
        M.module_name);
}
}  // namespace qor
