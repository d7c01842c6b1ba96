// VectorStoreRetriever: one query to the vector collection per retrieval,
// choosing among hybrid, dense, sparse and text queries, each in a
// single-question and a multi-question form.
#include "qor.hpp"

#include <string>

namespace qor {

namespace {

// Names of this retriever's own paths.
#define VECTOR_RETRIEVER_NAMES(X)                                                                  \
    X(qor_search) X(allowed_search_types) X(default_metric_lib) X(page_content) X(key) X(match)    \
    X(text) X(split) X(comma, ",") X(empty, "") X(thousand, 1000) X(last, -1) X(unit_weight, 1.0)
BIND_PART_NAMES(VectorRetrieverNames, VECTOR_RETRIEVER_NAMES, names);

PyObject* g_post_process = nullptr;  // the class's own post_process function

py::object post_process(py::object self, py::object docs_and_similarities) {
    return rank_documents(self, docs_and_similarities, py::handle(), true);
}

py::object post_process_with(py::handle self, py::handle docs, py::handle weight) {
    return dispatch_post_process(self, docs, g_post_process, weight, true);
}

bool given(py::handle inputs, PyObject* key) { return bind::truthy(bind::mapping_get(inputs, key, py::none())); }

py::object get(py::handle inputs, PyObject* key) { return bind::mapping_get(inputs, key, py::none()); }

py::object item(py::handle mapping, PyObject* key) { return bind::getitem(mapping, bind::borrow(key)); }

py::object embed(py::handle vectorstore, py::handle text) {
    const Names& n = module().n;
    return bind::call_method(bind::getattr(vectorstore, n.embeddings), n.embed_query, text);
}

py::object fusion_query() {
    const Names& n = module().n;
    return bind::dict_of({{n.fusion, bind::borrow(n.rrf)}});
}

// {"query", "using", "limit", "score_threshold", "filter"}
py::object dense_entry(py::handle query, py::handle using_, py::handle limit, py::handle threshold,
                       py::handle filter) {
    const Names& n = module().n;
    return bind::dict_of({{n.query, query},
                          {n.using_, using_},
                          {n.limit, limit},
                          {n.score_threshold, threshold},
                          {n.filter, filter}});
}

// The sparse sub-search of a hybrid query: its candidates come from a
// nested dense search of 1000 hits under the filter.
py::object hybrid_sparse_entry(py::handle dense_vector, py::handle sparse_vector, py::handle vector_name,
                               py::handle limit, py::handle filter) {
    const Names& n = module().n;
    py::object nested = bind::dict_of({{n.query, dense_vector},
                                       {n.using_, vector_name},
                                       {n.limit, bind::borrow(names.thousand)},
                                       {n.filter, filter}});
    return bind::dict_of(
        {{n.prefetch, nested}, {n.query, sparse_vector}, {n.using_, bind::borrow(n.bm25)}, {n.limit, limit}});
}

bool is_multi_question(py::handle inputs) {
    return PyList_CheckExact(item(inputs, module().n.query).ptr());
}

// Does the collection have a sparse vector named "bm25"?
bool has_bm25(py::handle collection) {
    const Names& n = module().n;
    py::object params = item(item(collection, n.config), n.params);
    py::object sparse = bind::mapping_get(params, n.sparse_vectors, py::none());
    if (!bind::truthy(sparse)) return false;
    return bind::check(PySequence_Contains(item(params, n.sparse_vectors).ptr(), n.bm25)) != 0;
}

// The store query of one retrieval, after the collection name:
// aquery(collection_name, prefetch, query, using, limit, score_threshold, filter).
struct StoreQuery {
    bind::Local prefetch, query, using_, limit, score_threshold, filter;
};

// What every query shape reads from the retrieval: the input, this call's
// copy of search_kwargs, its filter and the retriever's vector store.
struct Retrieval {
    py::handle inputs, search_kwargs, filter, vectorstore;
};

// A query of the store itself (not the hybrid fusion): k and the score
// threshold of search_kwargs and the filter, read after the shape is built.
StoreQuery limited(const Retrieval& r, py::object prefetch, py::object query, py::object using_) {
    const Names& n = module().n;
    py::object k = item(r.search_kwargs, n.k);
    py::object threshold = item(r.search_kwargs, n.score_threshold);
    return {std::move(prefetch), std::move(query), std::move(using_), k, threshold, bind::borrow(r.filter.ptr())};
}

// Hybrid: sparse and dense sub-searches fused by reciprocal rank in the
// store; the dense side gets the extra hit of an odd k.
StoreQuery hybrid_query(const Retrieval& r) {
    const Names& n = module().n;
    py::handle inputs = r.inputs, search_kwargs = r.search_kwargs, filter = r.filter;
    py::object k = item(search_kwargs, n.k);
    py::object keyword_num = bind::steal(PyNumber_FloorDivide(k.ptr(), bind::integer(2).ptr()));
    py::object vector_num = bind::steal(PyNumber_Subtract(k.ptr(), keyword_num.ptr()));
    py::object vector_name = bind::getattr(r.vectorstore, n.vector_name);
    py::object prefetch = bind::new_list();
    if (is_multi_question(inputs)) {
        py::object threshold = item(search_kwargs, n.score_threshold);
        for (py::handle vector : py::iter(item(inputs, n.embedding)))
            bind::list_append(prefetch, dense_entry(vector, vector_name, vector_num, threshold, filter));
        for (py::handle sparse : py::iter(item(inputs, n.bm25))) {
            py::object last_dense = bind::getitem(item(inputs, n.embedding), names.last);
            bind::list_append(prefetch, hybrid_sparse_entry(last_dense, sparse, vector_name, keyword_num, filter));
        }
    } else {
        py::object dense = get(inputs, n.embedding);
        py::object sparse = get(inputs, n.bm25);
        bind::list_append(prefetch, hybrid_sparse_entry(dense, sparse, vector_name, keyword_num, filter));
        py::object threshold = item(search_kwargs, n.score_threshold);
        bind::list_append(prefetch, dense_entry(get(inputs, n.embedding), vector_name, vector_num, threshold, filter));
    }
    return {prefetch, fusion_query(), py::none(), k, py::none(), py::none()};
}

// Dense: the given vector, or the given vectors fused.
StoreQuery dense_query(const Retrieval& r) {
    const Names& n = module().n;
    py::object prefetch = bind::new_list();
    if (!is_multi_question(r.inputs)) {
        py::object using_ = bind::getattr(r.vectorstore, n.vector_name);
        return limited(r, prefetch, get(r.inputs, n.embedding), using_);
    }
    py::object vector_name = bind::getattr(r.vectorstore, n.vector_name);
    py::object k = item(r.search_kwargs, n.k);
    py::object threshold = item(r.search_kwargs, n.score_threshold);
    for (py::handle vector : py::iter(item(r.inputs, n.embedding)))
        bind::list_append(prefetch, dense_entry(vector, vector_name, k, threshold, r.filter));
    return limited(r, prefetch, fusion_query(), py::none());
}

// Sparse: the given "bm25" vector, or the given ones fused.
StoreQuery sparse_query(const Retrieval& r) {
    const Names& n = module().n;
    py::object prefetch = bind::new_list();
    if (!is_multi_question(r.inputs)) {
        py::object query = item(r.inputs, n.bm25);
        return limited(r, prefetch, query, bind::borrow(n.bm25));
    }
    py::object k = item(r.search_kwargs, n.k);
    for (py::handle sparse : py::iter(item(r.inputs, n.bm25)))
        bind::list_append(prefetch, bind::dict_of({{n.query, sparse},
                                                   {n.using_, bind::borrow(n.bm25)},
                                                   {n.limit, k},
                                                   {n.filter, r.filter}}));
    return limited(r, prefetch, fusion_query(), py::none());
}

// Text: neither vector given, or both while the collection has no "bm25"
// sparse vector; the question itself is embedded, or each question.
StoreQuery text_query(const Retrieval& r) {
    const Names& n = module().n;
    py::object prefetch = bind::new_list();
    py::object questions = item(r.inputs, n.query);
    if (!PyList_CheckExact(questions.ptr())) {
        py::object using_ = bind::getattr(r.vectorstore, n.vector_name);
        return limited(r, prefetch, embed(r.vectorstore, questions), using_);
    }
    py::object vector_name = bind::getattr(r.vectorstore, n.vector_name);
    for (py::handle question : py::iter(questions)) {
        py::object vector = embed(r.vectorstore, question);
        py::object k = item(r.search_kwargs, n.k);
        py::object threshold = item(r.search_kwargs, n.score_threshold);
        bind::list_append(prefetch, dense_entry(vector, vector_name, k, threshold, r.filter));
    }
    return limited(r, prefetch, fusion_query(), py::none());
}

void check_search_type(py::handle self) {
    py::object search_type = bind::getattr(self, module().n.search_type);
    if (bind::check(PyObject_RichCompareBool(search_type.ptr(), names.qor_search, Py_NE))) {
        py::object text = bind::steal(PyObject_Str(search_type.ptr()));
        PyErr_Format(PyExc_ValueError, "search_type of %U not allowed.", text.ptr());
        throw py::error_already_set();
    }
}

bind::Task aget_relevant_documents(py::object self, py::object inputs) {
    Module& M = module();
    const Names& n = M.n;
    check_search_type(self);

    bind::Local search_kwargs = bind::call(M.deepcopy, bind::getattr(self, n.search_kwargs));
    bind::Local filter = filter_mapping(search_kwargs);
    bind::Local vectorstore = bind::getattr(self, n.vectorstore);
    bind::Local collection_name = bind::getattr(vectorstore, n.collection_name);
    bind::Local collection = bind::call(global(n.get_collection), collection_name);
    bind::Local aquery = global(n.aquery);

    const bool has_embedding = given(inputs, n.embedding);
    const bool has_bm25_vector = given(inputs, n.bm25);
    const bool hybrid = has_embedding && has_bm25_vector && has_bm25(collection);
    const Retrieval r{inputs, search_kwargs, filter, vectorstore};
    StoreQuery q = hybrid                                ? hybrid_query(r)
                   : has_embedding && !has_bm25_vector  ? dense_query(r)
                   : has_bm25_vector && !has_embedding  ? sparse_query(r)
                                                        : text_query(r);
    py::object docs_and_similarities = co_await bind::call(aquery, collection_name, q.prefetch, q.query, q.using_,
                                                           q.limit, q.score_threshold, q.filter);
    // The hybrid result is scored with weight 1.0; the retriever's own
    // post_process_kwargs stay as configured for later retrievals.
    co_return post_process_with(self, docs_and_similarities, hybrid ? py::handle(names.unit_weight) : py::handle());
}

py::object get_relevant_documents(py::object self, py::object inputs) { return run_async_entry(self, inputs); }

py::object add_keywords_to_filter(py::object self, py::object inputs, py::object search_kwargs) {
    Module& M = module();
    const Names& n = M.n;
    py::object collection_name = bind::getattr(bind::getattr(self, n.vectorstore), n.collection_name);
    if (bind::check(PyObject_RichCompareBool(collection_name.ptr(), names.default_metric_lib, Py_EQ)))
        return bind::new_dict();

    py::object question = bind::mapping_get(inputs, n.query, names.empty);
    py::object user_dict_text = bind::mapping_get(inputs, n.user_dict, names.empty);
    py::object user_dict = bind::steal(PySet_New(bind::call_method(user_dict_text, names.split, names.comma).ptr()));
    py::object keywords = bind::call(global(n.custom_tokenizer), question, user_dict);
    py::object filter = bind::call_method(bind::mapping_get(search_kwargs, n.filter, py::none()), n.dict);

    if (!keywords.is_none()) {
        py::object no_keywords = bind::new_list();
        py::object minus_one = bind::new_list();
        bind::list_append(minus_one, bind::integer(-1));
        bind::list_append(no_keywords, minus_one);
        if (bind::check(PyObject_RichCompareBool(keywords.ptr(), no_keywords.ptr(), Py_NE))) {
            for (py::handle keyword : py::iter(keywords)) {
                py::object condition = bind::dict_of(
                    {{names.key, bind::borrow(names.page_content)}, {names.match, bind::dict_of({{names.text, keyword}})}});
                py::object must = bind::getitem(filter, bind::borrow(n.must));
                if (PyList_CheckExact(must.ptr())) bind::list_append(must, condition);
                else bind::call_method(must, n.append, condition);
            }
        }
    }

    auto text_of = [](py::handle o) { return bind::steal(PyObject_Str(o.ptr())); };
    py::object line = bind::steal(PyUnicode_FromFormat("keywords: %U question: %U %U filter: %U",
                                                       text_of(keywords).ptr(), text_of(question).ptr(),
                                                       text_of(inputs).ptr(), text_of(filter).ptr()));
    bind::call_method(global(n.logger), n.info, line);
    return filter;
}

// Current LangChain reads a missing search_type as "similarity" before the
// field default applies, which would refuse every retriever built without
// one. This replaces the base's check under the same name with one whose
// default is this class's own.
py::object validate_search_type(py::object cls, py::object values) {
    if (!PyDict_Check(values.ptr())) return values;
    py::object search_type = bind::mapping_get(values, module().n.search_type, names.qor_search);
    py::object allowed = bind::getattr(cls, names.allowed_search_types);
    if (!bind::check(PySequence_Contains(allowed.ptr(), search_type.ptr()))) {
        PyErr_Format(PyExc_ValueError, "search_type of %S not allowed. Valid values are: %S", search_type.ptr(),
                     allowed.ptr());
        throw py::error_already_set();
    }
    return values;
}

py::object vector_method(bind::FunctionDef def) {
    return bind::make_method("VectorStoreRetriever", std::move(def), module().module_name);
}

const char* const POST_PROCESS_DOC = R"doc(Score the store's hits by rank.

Args:
    docs_and_similarities: (document, similarity) pairs, best first.

Returns:
    The same documents in the same order, each with ``metadata["score"]``
    set to ``get_rrf_dict(search_kwargs["k"])[rank]`` times the "weight" of
    ``post_process_kwargs`` (default 1.0).

Raises:
    KeyError: More pairs than ``search_kwargs["k"]``.)doc";

py::object add_keywords_method() {
    return vector_method({
        .name = "add_keywords_to_filter",
        .doc = R"doc(Extend a search filter with the question's keywords.

Args:
    inputs: The retrieval input; "query" is tokenized with the per-request
        "user_dict" (comma-separated words).
    search_kwargs: Search options whose "filter" is extended.

Returns:
    ``search_kwargs["filter"].dict()`` with one text-match condition on
    "page_content" per keyword appended to its "must" list; an empty
    mapping for the collection "default_metric_lib". Neither argument is
    changed.

Example:
    .. code-block:: python

        search_kwargs["filter"] = retriever.add_keywords_to_filter(
            {"query": "hybrid search", "user_dict": ""}, retriever.search_kwargs)
)doc",
        .params = {{"self"},
                   bind::typed("inputs", type("Mapping[str, Any]")),
                   bind::typed("search_kwargs", type("Mapping[str, Any]"))},
        .impl = bind::wrap<add_keywords_to_filter>,
        .return_annotation = type("Dict[str, Any]"),
    });
}

// validate_search_type as pydantic's "before" model validator (a classmethod).
py::object search_type_validator() {
    py::object validator = vector_method({
        .name = "validate_search_type",
        .doc = R"doc(Check ``search_type`` before the model is built.

A missing ``search_type`` is read as this class's default, "qor_search"
(LangChain's own check reads it as "similarity").

Args:
    values: The raw constructor input.

Returns:
    ``values`` unchanged.

Raises:
    ValueError: ``search_type`` is not in ``allowed_search_types``.)doc",
        .params = {{"cls"}, bind::typed("values", type("Any"))},
        .impl = bind::wrap<validate_search_type>,
        .return_annotation = type("Any"),
    });
    py::object classmethod = py::module_::import("builtins").attr("classmethod");
    py::object model_validator = py::module_::import("pydantic").attr("model_validator");
    return model_validator(py::arg("mode") = "before")(classmethod(validator));
}

}  // namespace

void define_vector_retriever(py::module_& m) {
    py::object base = m.attr("VectorStoreRetriever");  // LangChain's, until replaced below
    const char* qualname = "VectorStoreRetriever";
    py::object own_post_process =
        post_process_method(qualname, POST_PROCESS_DOC, bind::wrap<post_process>);
    g_post_process = bind::keep(own_post_process);
    py::object add_keywords = add_keywords_method();
    auto [get_docs, aget_docs] = retrieval_entries(qualname, bind::wrap<get_relevant_documents>,
                                                   bind::wrap<aget_relevant_documents>);
    py::object validator = search_type_validator();

    py::object builtins = py::module_::import("builtins");
    py::object collection_of_str =
        py::module_::import("collections.abc").attr("Collection")[builtins.attr("str")];
    using bind::Member;
    m.attr("VectorStoreRetriever") = bind::make_class(
        base,
        {
            .name = qualname,
            .doc = "Base Retriever class for VectorStore.",
            .members =
                {
                    Member::field("post_process_kwargs", builtins.attr("dict")),
                    Member::field("search_type", builtins.attr("str"), bind::str("qor_search")),
                    Member::class_var("allowed_search_types", collection_of_str, py::make_tuple("qor_search")),
                    Member::attribute("validate_search_type", validator),
                    Member::attribute("post_process", own_post_process),
                    Member::attribute("add_keywords_to_filter", add_keywords),
                    Member::attribute("_get_relevant_documents", get_docs),
                    Member::attribute("_aget_relevant_documents", aget_docs),
                },
        },
        module().module_name);
}

}  // namespace qor
