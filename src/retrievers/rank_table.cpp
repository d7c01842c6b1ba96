// get_rrf_dict: the reciprocal-rank score table, memoised by functools.lru_cache.
#include "qor.hpp"
#include "rank_table.hpp"

namespace qor {
namespace {

py::object build_rank_table(py::object k_arg) {
    // `range(k, 0, -1)` semantics: anything with __index__ is accepted,
    // anything else (a float) is a TypeError.
    py::object k_index = bind::steal(PyNumber_Index(k_arg.ptr()));
    int overflow = 0;
    const long long k = PyLong_AsLongLongAndOverflow(k_index.ptr(), &overflow);
    if (k == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow > 0) throw std::bad_alloc();  // a table that large cannot be built
    py::object table = bind::new_dict();
    if (overflow < 0 || k < 1) return table;
    const std::vector<double> scores = rank_scores(k);
    for (long long i = k; i >= 1; --i) {
        py::object key = bind::integer(i);
        py::object value = bind::real(scores[static_cast<std::size_t>(i - 1)]);
        bind::check(PyDict_SetItem(table.ptr(), key.ptr(), value.ptr()));
    }
    return table;
}

#define RANK_TABLE_NAMES(X) X(k_keyword, bind::keywords, "k")
BIND_PART_NAMES(RankTableNames, RANK_TABLE_NAMES, names);

PyObject* g_cached_build = nullptr;  // lru_cache(build_rank_table), kept for the process

// The cache is the host's lru_cache (128 entries, least recently used dropped
// first, a hit returns the very same mapping). It is called with k as a
// keyword so that its key is always a tuple: the C implementation keys a lone
// int argument by the int itself and anything else by a tuple, which would
// keep 5 and 5.0 (or 1 and True) in separate entries although they are equal
// arguments.
py::object get_rrf_dict(py::object k) {
    return bind::call_kw(bind::borrow(g_cached_build), bind::borrow(names.k_keyword), k);
}

}  // namespace

void define_rank_table(py::module_& m) {
    Module& M = module();
    py::object dict_of_scores = type("Dict[int, float]");
    const char* doc = R"doc(Reciprocal-rank score of every rank of a search for k results.

Rank r scores the sum of 1/(60 + j) for j from r to k, so rank k scores
1/(60 + k) and rank 1 the most. Memoised like ``functools.lru_cache()``
(128 arguments, least recently used dropped first; equal arguments share an
entry): treat the result as read-only.

Args:
    k: Number of results of the search.

Returns:
    Mapping of rank (k down to 1) to score; empty when k < 1.

Raises:
    TypeError: k is not an integer, or not hashable.

Example:
    >>> get_rrf_dict(2)
    {2: 0.016129032258064516, 1: 0.03252247488101534})doc";
    py::object build = bind::make_function(
        {.name = "get_rrf_dict", .doc = doc, .params = {bind::typed("k", type("int"))}, .impl = bind::wrap<build_rank_table>,
         .return_annotation = dict_of_scores},
        M.module_name);
    py::object cached = bind::import_from("functools", "lru_cache")(build);
    g_cached_build = bind::keep(cached);

    py::object front = bind::make_function(
        {.name = "get_rrf_dict", .doc = doc, .params = {bind::typed("k", type("int"))}, .impl = bind::wrap<get_rrf_dict>,
         .return_annotation = dict_of_scores},
        M.module_name);
    // The cache's own controls, as on any lru_cache-decorated function.
    front.attr("cache_info") = cached.attr("cache_info");
    front.attr("cache_clear") = cached.attr("cache_clear");
    front.attr("cache_parameters") = cached.attr("cache_parameters");
    front.attr("__wrapped__") = build;
    m.attr("get_rrf_dict") = front;
}

}  // namespace qor
