// The module's entry point and exec step: registers the two classes and nothing else. No thread,
// child or file is started by an import.
#include <Python.h>

#include "lib/binding.hpp"
#include "lib/py_ref.hpp"
#include "lib/types.hpp"

namespace kestrin::py {
namespace {

// Appends `name` to the module's __all__ (made when absent) and sets the attribute.
int register_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) return -1;
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        raise_cast_error(all.get(), "list");
        return -1;
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
    return PyObject_SetAttr(module, text.get(), reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "kestrin's exec step needs a module object");
        return -1;
    }
    // The classes are process-wide; an interpreter other than the main one would get another
    // interpreter's type objects, so only the main one may import the module.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "kestrin can only be imported in the main interpreter");
        return -1;
    }
    if (register_class(module, "KestEngine", engine_type()) < 0) return -1;
    if (register_class(module, "VideoMetadata", video_metadata_type()) < 0) return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kestrin",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kestrin::py

PyMODINIT_FUNC PyInit_kestrin() { return PyModuleDef_Init(&kestrin::py::module_definition); }
