// Argument binding, text conversion and failure mapping: the one place where C++ values and
// failures turn into Python objects and exceptions.
#pragma once

#include <Python.h>

#include <array>
#include <exception>
#include <initializer_list>
#include <new>
#include <span>
#include <vector>

#include "kestrin.hpp"

namespace kestrin::py {

// A method's parameters as the error messages name them.
struct Signature {
    const char* function;  // "KestEngine.probe()"
    std::span<const char* const> parameters;
};

// Binds a fast call's arguments to the parameters (positional first, then keywords, then the
// check for unfilled ones), filling `bound` with borrowed references. On failure a TypeError is
// set and false returned.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound);

// The same for a classic (tuple, dict) call, as tp_new receives it.
bool bind_tuple_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                          std::span<PyObject*> bound);

// Sets TypeError with "'int' object is not an instance of 'str'" (or the None form).
void raise_cast_error(PyObject* value, const char* expected_type);

// After a failed conversion of `parameter`: a pending TypeError gets the argument prefix; any
// other exception stays as it is.
void add_argument_prefix(const char* parameter);

// Converts a str (or subclass) into its UTF-8 bytes. On failure the exception is set, with the
// argument prefix where it applies, and false returned.
bool convert_text(PyObject* value, const char* parameter, Text& out);

// Sets the exception that `failure` maps to; returns nullptr for the caller to hand back.
PyObject* raise_failure(const Failure& failure);

// The internal-fault class, derived directly from BaseException; created once per process.
PyObject* panic_exception_type();

PyObject* new_text(const Text& text);

// Sets PanicException with `description`. Makes nothing on the C++ heap, so it works also when
// that heap is exhausted; when the interpreter can't allocate either, its MemoryError is set.
PyObject* raise_internal_fault(const char* description) noexcept;

// Runs a method body, turning std::bad_alloc that escapes it into MemoryError, as Python reports
// running out of memory, and any other C++ exception into PanicException: an internal fault must
// never unwind into the interpreter, and running out of memory must never end the process, so
// nothing here can throw again.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& fault) {
        return raise_internal_fault(fault.what());
    } catch (...) {
        return raise_internal_fault("unknown internal fault");
    }
}

}  // namespace kestrin::py
