// Placeholder module body; the retrievers are registered here as they land.
#include <pybind11/pybind11.h>

PYBIND11_MODULE(qor, m) {
    m.doc() = "Retrievers of the community package.";
}
