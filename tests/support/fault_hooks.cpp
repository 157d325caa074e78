// A test-only extension module: drives the binding layer's fault boundary with faults that no
// input of the shipped module can cause.
#include <Python.h>

#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>

#include "lib/binding.hpp"

namespace {

PyObject* throw_standard_exception(PyObject*, PyObject*) {
    return kestrin::py::guarded([]() -> PyObject* { throw std::runtime_error("broken invariant"); });
}

PyObject* throw_other(PyObject*, PyObject*) {
    return kestrin::py::guarded([]() -> PyObject* { throw 42; });
}

PyObject* throw_bad_alloc(PyObject*, PyObject*) {
    return kestrin::py::guarded([]() -> PyObject* { throw std::bad_alloc(); });
}

// Blocks taken from the C heap until it gives no more, held while the boundary handles a fault
// with a description too long for std::string to keep in place. Only ever called under an
// address-space limit.
void* hoard[1 << 20];
std::size_t hoarded = 0;

void hoard_blocks_of(std::size_t size) {
    while (hoarded < std::size(hoard)) {
        void* block = std::malloc(size);
        if (block == nullptr) return;
        hoard[hoarded++] = block;
    }
}

void exhaust_heap() {
    for (std::size_t size = 1 << 20; size > 1024; size /= 2) hoard_blocks_of(size);
    // Small free blocks wait in lists of one size each: every size takes its own.
    for (std::size_t size = 1024; size > 0; size -= 8) hoard_blocks_of(size);
}

PyObject* throw_with_heap_exhausted(PyObject*, PyObject*) {
    PyObject* result = kestrin::py::guarded([]() -> PyObject* {
        std::runtime_error fault(std::string(200, 'x'));
        // The first throw of a thread makes the C++ runtime's thread-local data, which the
        // dynamic loader can't make on an exhausted heap: that is not the boundary's to handle.
        try {
            throw 0;
        } catch (int) {
        }
        exhaust_heap();
        throw fault;
    });
    while (hoarded > 0) std::free(hoard[--hoarded]);
    return result;
}

PyObject* raise_internal_failure(PyObject*, PyObject*) {
    return kestrin::py::raise_failure({kestrin::FailureKind::internal, "from the core"});
}

PyObject* raise_memory_failure(PyObject*, PyObject*) {
    return kestrin::py::raise_failure({kestrin::FailureKind::out_of_memory, ""});
}

PyMethodDef methods[] = {
    {"throw_standard_exception", throw_standard_exception, METH_NOARGS, nullptr},
    {"throw_other", throw_other, METH_NOARGS, nullptr},
    {"throw_bad_alloc", throw_bad_alloc, METH_NOARGS, nullptr},
    {"throw_with_heap_exhausted", throw_with_heap_exhausted, METH_NOARGS, nullptr},
    {"raise_internal_failure", raise_internal_failure, METH_NOARGS, nullptr},
    {"raise_memory_failure", raise_memory_failure, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "kestrin_fault_hooks", "", 0, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_kestrin_fault_hooks() { return PyModule_Create(&definition); }
