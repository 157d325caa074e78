// Argument errors are formed here rather than by the interpreter's own parser so that their
// texts stay the same on every supported Python version.
#include "lib/binding.hpp"

#include <atomic>
#include <cstring>
#include <string>

#include "lib/py_ref.hpp"

namespace kestrin::py {
namespace {

Py_ssize_t parameter_index(const Signature& signature, PyObject* keyword) {
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[i]) == 0)
            return static_cast<Py_ssize_t>(i);
    }
    PyErr_Clear();  // a comparison with a non-str cannot fail here, but never leave it set
    return -1;
}

void raise_missing(const Signature& signature, std::span<PyObject*> bound) {
    std::string names;
    std::size_t missing = 0;
    for (PyObject* value : bound) missing += value == nullptr;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < bound.size(); ++i) {
        if (bound[i] != nullptr) continue;
        ++listed;
        if (listed > 1) {
            if (missing > 2) names += ",";
            if (listed == missing) names += " and";
            names += " ";
        }
        names += "'";
        names += signature.parameters[i];
        names += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s",
                 signature.function, missing, missing == 1 ? "" : "s", names.c_str());
}

std::atomic<PyObject*> panic_type{nullptr};

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound) {
    const auto count = static_cast<Py_ssize_t>(signature.parameters.size());
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                     signature.function, count, nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (PyObject*& value : bound) value = nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = parameter_index(signature, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                         signature.function, keyword);
            return false;
        }
        PyObject*& slot = bound[static_cast<std::size_t>(index)];
        if (slot != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                         signature.function, signature.parameters[static_cast<std::size_t>(index)]);
            return false;
        }
        slot = args[nargs + k];
    }
    for (PyObject* value : bound) {
        if (value == nullptr) {
            raise_missing(signature, bound);
            return false;
        }
    }
    return true;
}

bool bind_tuple_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                          std::span<PyObject*> bound) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<PyObject*> values(&PyTuple_GET_ITEM(args, 0), &PyTuple_GET_ITEM(args, 0) + nargs);
    Ref kwnames;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = Ref::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        if (!kwnames) return false;
        PyObject *key, *value;
        Py_ssize_t position = 0, k = 0;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames.get(), k++, key);
            values.push_back(value);
        }
    }
    return bind_arguments(signature, values.data(), nargs, kwnames.get(), bound);
}

void raise_cast_error(PyObject* value, const char* expected_type) {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected_type);
        return;
    }
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(value)));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(),
                 expected_type);
}

void add_argument_prefix(const char* parameter) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
#if PY_VERSION_HEX >= 0x030C0000
    Ref error = Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *raw_value, *traceback;
    PyErr_Fetch(&type, &raw_value, &traceback);
    PyErr_NormalizeException(&type, &raw_value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    Ref error = Ref::steal(raw_value);
#endif
    Ref message = Ref::steal(PyObject_Str(error.get()));
    if (!message) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", parameter, message.get());
}

bool convert_text(PyObject* value, const char* parameter, Text& out) {
    if (!PyUnicode_Check(value)) {
        raise_cast_error(value, "str");
        add_argument_prefix(parameter);
        return false;
    }
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(value, &size);
    if (bytes == nullptr) return false;  // a lone surrogate: the interpreter's own error
    out.assign(bytes, static_cast<std::size_t>(size));
    return true;
}

PyObject* panic_exception_type() {
    PyObject* existing = panic_type.load(std::memory_order_acquire);
    if (existing != nullptr) return existing;
    PyObject* made = PyErr_NewExceptionWithDoc(
        "kestrin.PanicException",
        "An internal fault of kestrin: a broken invariant, never a crash.", PyExc_BaseException,
        nullptr);
    if (made == nullptr) return nullptr;
    // Two threads of a free-threaded interpreter may both get here: one class wins for good.
    if (!panic_type.compare_exchange_strong(existing, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return existing;
    }
    return made;
}

PyObject* raise_failure(const Failure& failure) {
    PyObject* type = nullptr;
    switch (failure.kind) {
        case FailureKind::os_error: type = PyExc_IOError; break;
        case FailureKind::value_error: type = PyExc_ValueError; break;
        case FailureKind::runtime_error: type = PyExc_RuntimeError; break;
        // Without a message, as the interpreter's own: making one may need the memory that ran out.
        case FailureKind::out_of_memory: return PyErr_NoMemory();
        case FailureKind::internal: type = panic_exception_type(); break;
    }
    if (type == nullptr) return nullptr;
    Ref message = Ref::steal(new_text(failure.message));
    if (!message) return nullptr;
    PyErr_SetObject(type, message.get());
    return nullptr;
}

PyObject* raise_internal_fault(const char* description) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return nullptr;
    // A description from the C library may be in the locale's encoding rather than UTF-8.
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(
        description, static_cast<Py_ssize_t>(std::strlen(description)), "replace"));
    if (!message) return nullptr;
    PyErr_SetObject(type, message.get());
    return nullptr;
}

PyObject* new_text(const Text& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

}  // namespace kestrin::py
