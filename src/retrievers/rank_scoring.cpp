// The scoring loop of the vector retrievers: the store's hits, in order,
// each stamped with the rank score of its place in the result.
#include "qor.hpp"

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

}  // namespace qor
