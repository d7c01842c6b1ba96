// get_rrf_dict: the reciprocal-rank score table, memoised by functools.lru_cache.
#include "common.hpp"
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

}  // namespace

void define_rank_table(py::module_& m) {
    Module& M = module();
    py::object impl = bind::make_function(
        {
            .name = "get_rrf_dict",
            .doc = "Reciprocal-rank score of every rank position 1..k of a search for k results: rank r "
                   "scores the sum of 1/(60 + j) for j from r to k.",
            .params = {{"k"}},
            .impl = bind::wrap<build_rank_table>,
            .return_annotation = py::module_::import("typing").attr("Dict")[py::make_tuple(
                py::module_::import("builtins").attr("int"), py::module_::import("builtins").attr("float"))],
        },
        M.module_name);
    // The host's own least-recently-used cache: 128 entries, equal arguments
    // share an entry, a hit returns the very same mapping.
    py::object lru_cache = bind::import_from("functools", "lru_cache");
    m.attr("get_rrf_dict") = lru_cache(impl);
}

}  // namespace qor
