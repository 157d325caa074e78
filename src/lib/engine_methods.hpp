// The five methods of KestEngine, each defined in the file of the room it drives.
#pragma once

#include <Python.h>

namespace kestrin::py {

#define KESTRIN_FASTCALL_METHOD(name) \
    PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

KESTRIN_FASTCALL_METHOD(engine_probe);
KESTRIN_FASTCALL_METHOD(engine_get_blackbar_coords);
KESTRIN_FASTCALL_METHOD(engine_transform);
KESTRIN_FASTCALL_METHOD(engine_remux);
KESTRIN_FASTCALL_METHOD(engine_batch);

}  // namespace kestrin::py
