// A test-only extension module: drives the binding layer's fault boundary with faults that no
// input of the shipped module can cause.
#include <Python.h>

#include <stdexcept>

#include "lib/binding.hpp"

namespace {

PyObject* throw_standard_exception(PyObject*, PyObject*) {
    return kestrin::py::guarded([]() -> PyObject* { throw std::runtime_error("broken invariant"); });
}

PyObject* throw_other(PyObject*, PyObject*) {
    return kestrin::py::guarded([]() -> PyObject* { throw 42; });
}

PyObject* raise_internal_failure(PyObject*, PyObject*) {
    return kestrin::py::raise_failure({kestrin::FailureKind::internal, "from the core"});
}

PyMethodDef methods[] = {
    {"throw_standard_exception", throw_standard_exception, METH_NOARGS, nullptr},
    {"throw_other", throw_other, METH_NOARGS, nullptr},
    {"raise_internal_failure", raise_internal_failure, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "kestrin_fault_hooks", "", 0, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_kestrin_fault_hooks() { return PyModule_Create(&definition); }
