// VectorStoreRetriever: one query to the vector collection per retrieval,
// choosing among hybrid, dense, sparse and text queries, each in a
// single-question and a multi-question form.
#include "common.hpp"

#include <string>

namespace qor {

// `a, b = item`, with the interpreter's messages.
std::pair<py::object, py::object> unpack_pair(py::handle item) {
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2)
        return {bind::borrow(PyTuple_GET_ITEM(item.ptr(), 0)), bind::borrow(PyTuple_GET_ITEM(item.ptr(), 1))};
    PyObject* it = PyObject_GetIter(item.ptr());
    if (it == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    py::object iter = bind::steal(it);
    py::object values[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* v = PyIter_Next(iter.ptr());
        if (v == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw py::error_already_set();
        }
        values[i] = bind::steal(v);
    }
    PyObject* extra = PyIter_Next(iter.ptr());
    if (extra != nullptr) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {std::move(values[0]), std::move(values[1])};
}

namespace {

// table[rank], raising KeyError(rank) for a rank beyond the table.
py::object rank_entry(py::handle table, Py_ssize_t rank) {
    py::object key = bind::steal(PyLong_FromSsize_t(rank));
    if (PyDict_CheckExact(table.ptr())) {
        PyObject* v = PyDict_GetItemWithError(table.ptr(), key.ptr());
        if (v != nullptr) return bind::borrow(v);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw py::error_already_set();
    }
    return bind::getitem(table, key);
}

}  // namespace

// The scoring loop shared by the vector retrievers. `self` supplies
// search_kwargs["k"]; `weight` scales each score unless it is null. k and the
// weight are read once, when the first pair has been unpacked, which is where
// a per-document loop would first need them.
py::object rank_documents(py::handle self, py::handle docs_and_similarities, py::handle weight_source,
                          bool weighted) {
    Module& M = module();
    const Names& n = M.n;
    const Py_ssize_t count = PyObject_Length(docs_and_similarities.ptr());
    if (count < 0) throw py::error_already_set();
    py::object docs = bind::new_list();
    if (count == 0) return docs;

    py::object iter = bind::steal(PyObject_GetIter(docs_and_similarities.ptr()));
    py::object table, weight;
    bool unit_weight = false;
    Py_ssize_t i = 0;
    for (; py::object item = bind::next_item(iter); ++i) {
        auto [doc, similarity] = unpack_pair(item);
        (void)similarity;  // the store's own score is replaced by the rank score
        if (!table) {
            py::object k = bind::getitem(bind::getattr(self, n.search_kwargs), bind::borrow(n.k));
            table = bind::call(global(n.get_rrf_dict), k);
        }
        py::object value = rank_entry(table, i + 1);
        py::object metadata = bind::getattr(doc, n.metadata);
        bind::setitem(metadata, bind::borrow(n.score), value);
        if (weighted) {
            if (!weight) {
                weight = weight_source ? bind::borrow(weight_source.ptr())
                                       : bind::mapping_get(bind::getattr(self, n.post_process_kwargs), n.weight,
                                                           bind::real(1.0));
                unit_weight = PyFloat_CheckExact(weight.ptr()) && PyFloat_AS_DOUBLE(weight.ptr()) == 1.0;
            }
            // x * 1.0 is x for every float: skip the second store then.
            if (!unit_weight || !PyFloat_CheckExact(value.ptr()))
                bind::setitem(metadata, bind::borrow(n.score), bind::steal(PyNumber_Multiply(value.ptr(), weight.ptr())));
        }
        bind::list_append(docs, doc);
    }
    return docs;
}

py::object dispatch_post_process(py::handle self, py::handle docs_and_similarities, PyObject* own,
                                 py::handle weight, bool weighted) {
    const Names& n = module().n;
    py::object cls_attr = bind::getattr(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())), n.post_process);
    if (cls_attr.ptr() == own) return rank_documents(self, docs_and_similarities, weight, weighted);
    return bind::call_method(self, n.post_process, docs_and_similarities);
}

namespace {

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
    static PyObject* thousand = bind::keep(bind::integer(1000));
    py::object nested = bind::dict_of(
        {{n.query, dense_vector}, {n.using_, vector_name}, {n.limit, bind::borrow(thousand)}, {n.filter, filter}});
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

bind::Task aget_relevant_documents(py::object self, py::object inputs) {
    Module& M = module();
    const Names& n = M.n;

    bind::Local search_type = bind::getattr(self, n.search_type);
    static PyObject* qor_search = bind::intern("qor_search");
    if (bind::check(PyObject_RichCompareBool(search_type.ptr(), qor_search, Py_NE))) {
        py::object text = bind::steal(PyObject_Str(search_type.ptr()));
        PyErr_Format(PyExc_ValueError, "search_type of %U not allowed.", text.ptr());
        throw py::error_already_set();
    }

    bind::Local search_kwargs = bind::call(M.deepcopy, bind::getattr(self, n.search_kwargs));
    bind::Local filter = filter_mapping(search_kwargs);
    bind::Local vectorstore = bind::getattr(self, n.vectorstore);
    bind::Local collection_name = bind::getattr(vectorstore, n.collection_name);
    bind::Local collection = bind::call(global(n.get_collection), collection_name);
    bind::Local aquery = global(n.aquery);

    const bool has_embedding = given(inputs, n.embedding);
    const bool has_bm25_vector = given(inputs, n.bm25);
    bind::Local docs_and_similarities;

    if (has_embedding && has_bm25_vector && has_bm25(collection)) {
        // Hybrid: sparse and dense sub-searches fused by reciprocal rank in
        // the store; the dense side gets the extra hit of an odd k.
        bind::Local k = item(search_kwargs, n.k);
        bind::Local keyword_num = bind::steal(PyNumber_FloorDivide(k.ptr(), bind::integer(2).ptr()));
        bind::Local vector_num = bind::steal(PyNumber_Subtract(k.ptr(), keyword_num.ptr()));
        bind::Local vector_name = bind::getattr(vectorstore, n.vector_name);
        bind::Local prefetch = bind::new_list();
        if (is_multi_question(inputs)) {
            py::object threshold = item(search_kwargs, n.score_threshold);
            for (py::handle vector : py::iter(item(inputs, n.embedding)))
                bind::list_append(prefetch, dense_entry(vector, vector_name, vector_num, threshold, filter));
            static PyObject* last = bind::keep(bind::integer(-1));
            for (py::handle sparse : py::iter(item(inputs, n.bm25))) {
                py::object last_dense = bind::getitem(item(inputs, n.embedding), last);
                bind::list_append(prefetch, hybrid_sparse_entry(last_dense, sparse, vector_name, keyword_num, filter));
            }
        } else {
            py::object dense = get(inputs, n.embedding);
            py::object sparse = get(inputs, n.bm25);
            bind::list_append(prefetch, hybrid_sparse_entry(dense, sparse, vector_name, keyword_num, filter));
            py::object threshold = item(search_kwargs, n.score_threshold);
            bind::list_append(prefetch, dense_entry(get(inputs, n.embedding), vector_name, vector_num, threshold,
                                                    filter));
        }
        docs_and_similarities =
            co_await bind::call(aquery, collection_name, prefetch, fusion_query(), py::none(), k, py::none(), py::none());
        // The hybrid result is scored with weight 1.0; the retriever's own
        // post_process_kwargs stay as configured for later retrievals.
        static PyObject* unit = bind::keep(bind::real(1.0));
        co_return post_process_with(self, docs_and_similarities, unit);
    }

    bind::Local prefetch = bind::new_list();
    bind::Local query, using_;
    if (has_embedding && !has_bm25_vector) {
        if (is_multi_question(inputs)) {
            py::object vector_name = bind::getattr(vectorstore, n.vector_name);
            py::object k = item(search_kwargs, n.k);
            py::object threshold = item(search_kwargs, n.score_threshold);
            for (py::handle vector : py::iter(item(inputs, n.embedding)))
                bind::list_append(prefetch, dense_entry(vector, vector_name, k, threshold, filter));
            using_ = py::none();
            query = fusion_query();
        } else {
            using_ = bind::getattr(vectorstore, n.vector_name);
            query = get(inputs, n.embedding);
        }
    } else if (has_bm25_vector && !has_embedding) {
        if (is_multi_question(inputs)) {
            py::object k = item(search_kwargs, n.k);
            for (py::handle sparse : py::iter(item(inputs, n.bm25)))
                bind::list_append(prefetch, bind::dict_of({{n.query, sparse},
                                                           {n.using_, bind::borrow(n.bm25)},
                                                           {n.limit, k},
                                                           {n.filter, filter}}));
            using_ = py::none();
            query = fusion_query();
        } else {
            using_ = bind::borrow(n.bm25);
            query = item(inputs, n.bm25);
        }
    } else {
        // Text: neither vector given, or both while the collection has no
        // "bm25" sparse vector; the question itself is embedded.
        py::object questions = item(inputs, n.query);
        if (PyList_CheckExact(questions.ptr())) {
            py::object vector_name = bind::getattr(vectorstore, n.vector_name);
            for (py::handle question : py::iter(questions)) {
                py::object vector = embed(vectorstore, question);
                py::object k = item(search_kwargs, n.k);
                py::object threshold = item(search_kwargs, n.score_threshold);
                bind::list_append(prefetch, dense_entry(vector, vector_name, k, threshold, filter));
            }
            using_ = py::none();
            query = fusion_query();
        } else {
            using_ = bind::getattr(vectorstore, n.vector_name);
            query = embed(vectorstore, questions);
        }
    }
    bind::Local k = item(search_kwargs, n.k);
    bind::Local threshold = item(search_kwargs, n.score_threshold);
    docs_and_similarities = co_await bind::call(aquery, collection_name, prefetch, query, using_, k, threshold, filter);
    co_return post_process_with(self, docs_and_similarities, py::handle());
}

py::object get_relevant_documents(py::object self, py::object inputs) { return run_async_entry(self, inputs); }

py::object add_keywords_to_filter(py::object self, py::object inputs, py::object search_kwargs) {
    Module& M = module();
    const Names& n = M.n;
    static PyObject* disabled_collection = bind::intern("default_metric_lib");
    py::object collection_name = bind::getattr(bind::getattr(self, n.vectorstore), n.collection_name);
    if (bind::check(PyObject_RichCompareBool(collection_name.ptr(), disabled_collection, Py_EQ)))
        return bind::new_dict();

    static PyObject* empty = bind::intern("");
    static PyObject* comma = bind::intern(",");
    static PyObject* split = bind::intern("split");
    py::object question = bind::mapping_get(inputs, n.query, empty);
    py::object user_dict_text = bind::mapping_get(inputs, n.user_dict, empty);
    py::object user_dict = bind::steal(PySet_New(bind::call_method(user_dict_text, split, comma).ptr()));
    py::object keywords = bind::call(global(n.custom_tokenizer), question, user_dict);
    py::object filter = bind::call_method(bind::mapping_get(search_kwargs, n.filter, py::none()), n.dict);

    static PyObject* key = bind::intern("key");
    static PyObject* match = bind::intern("match");
    static PyObject* text = bind::intern("text");
    static PyObject* page_content = bind::intern("page_content");
    if (!keywords.is_none()) {
        py::object no_keywords = bind::new_list();
        py::object minus_one = bind::new_list();
        bind::list_append(minus_one, bind::integer(-1));
        bind::list_append(no_keywords, minus_one);
        if (bind::check(PyObject_RichCompareBool(keywords.ptr(), no_keywords.ptr(), Py_NE))) {
            for (py::handle keyword : py::iter(keywords)) {
                py::object condition = bind::dict_of(
                    {{key, bind::borrow(page_content)}, {match, bind::dict_of({{text, keyword}})}});
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
    static PyObject* allowed_name = bind::intern("allowed_search_types");
    static PyObject* default_type = bind::intern("qor_search");
    if (!PyDict_Check(values.ptr())) return values;
    py::object search_type = bind::mapping_get(values, module().n.search_type, default_type);
    py::object allowed = bind::getattr(cls, allowed_name);
    if (!bind::check(PySequence_Contains(allowed.ptr(), search_type.ptr()))) {
        PyErr_Format(PyExc_ValueError, "search_type of %S not allowed. Valid values are: %S", search_type.ptr(),
                     allowed.ptr());
        throw py::error_already_set();
    }
    return values;
}

}  // namespace

namespace {
void define_vector_retriever(py::module_& m) {
    Module& M = module();
    py::object base = m.attr("VectorStoreRetriever");  // LangChain's, until replaced below
    py::object typing = py::module_::import("typing");
    const char* qualname = "VectorStoreRetriever";

    auto method = [&](bind::FunctionDef def) { return bind::make_method(qualname, std::move(def), M.module_name); };

    py::object own_post_process = method({
        .name = "post_process",
        .doc = R"doc(Score the store's hits by rank.

Args:
    docs_and_similarities: (document, similarity) pairs, best first.

Returns:
    The same documents in the same order, each with ``metadata["score"]``
    set to ``get_rrf_dict(search_kwargs["k"])[rank]`` times the "weight" of
    ``post_process_kwargs`` (default 1.0).

Raises:
    KeyError: More pairs than ``search_kwargs["k"]``.)doc",
        .params = {{"self"}, bind::typed("docs_and_similarities", type("List[Tuple[Document, float]]"))},
        .impl = bind::wrap<post_process>,
        .return_annotation = type("List[Document]"),
    });
    g_post_process = bind::keep(own_post_process);
    py::object add_keywords = method({
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
    auto [get_docs, aget_docs] = retrieval_entries(qualname, bind::wrap<get_relevant_documents>,
                                                   bind::wrap<aget_relevant_documents>);
    py::object validator = method({
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
    validator = model_validator(py::arg("mode") = "before")(classmethod(validator));

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
        M.module_name);
}


const Definition registered(20, define_vector_retriever);
}  // namespace
}  // namespace qor
