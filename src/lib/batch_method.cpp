// batch: convert the task list, run it on the worker pool, hand back the flags in task order.
// The whole list is converted before anything starts, so a bad last item runs no task, and the
// workers never see a Python object.
#include <algorithm>
#include <array>
#include <vector>

#include "batch/batch.hpp"
#include "encode/encode.hpp"
#include "lib/binding.hpp"
#include "lib/engine_methods.hpp"
#include "lib/py_ref.hpp"

namespace kestrin::py {
namespace {

constexpr std::array<const char*, 1> batch_parameters{"tasks"};

// Sets the pending TypeError's argument prefix and reports the failure.
bool fail_with_prefix() {
    add_argument_prefix("tasks");
    return false;
}

bool convert_task(PyObject* item, std::vector<EncodeTask>& tasks) {
    if (!PyTuple_Check(item)) {
        raise_cast_error(item, "tuple");
        return fail_with_prefix();
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(item);
    if (size != 6) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 6, but got tuple of length %zd",
                     size);
        return false;
    }
    EncodeTask task;
    const auto members = task_texts(task);
    for (std::size_t i = 0; i < members.size(); ++i) {
        PyObject* member = PyTuple_GET_ITEM(item, static_cast<Py_ssize_t>(i));
        if (!convert_text(member, "tasks", *members[i])) return false;
    }
    tasks.push_back(std::move(task));
    return true;
}

bool convert_tasks(PyObject* value, std::vector<EncodeTask>& tasks) {
    if (PyUnicode_Check(value)) {
        // A str is a sequence, of one-character strs: read as tasks it would fail on its first
        // character with a message about tuples. This text is the one batch has always given,
        // and scripts that catch the mistake compare it, so it stays word for word.
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return fail_with_prefix();
    }
    if (!PySequence_Check(value)) {
        raise_cast_error(value, "Sequence");
        return fail_with_prefix();
    }
    // The length only sizes the array, and a sequence may lie about it: one that can't give a
    // length is read all the same, and an absurd one reserves no more than a sane amount. An
    // interrupt or exit raised meanwhile is no error of the length and goes on up.
    const Py_ssize_t length = PyObject_Size(value);
    if (length < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
    } else tasks.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(length, 4096)));

    Ref iterator = Ref::steal(PyObject_GetIter(value));
    if (!iterator) return fail_with_prefix();
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) return PyErr_Occurred() ? fail_with_prefix() : true;
        if (!convert_task(item.get(), tasks)) return false;
    }
}

PyObject* new_flag_list(const std::vector<bool>& flags) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(flags.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < flags.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), PyBool_FromLong(flags[i]));
    return list.release();
}

// A batch task's ffmpeg gets the null device as standard input: parallel children on one
// terminal would each put it into raw mode and "restore" each other's settings, leaving it
// without echo, and keystrokes would reach a random child.
EncodeResult run_batch_task(const EncodeTask& task) {
    return run_encode(task, EncodeCaller::batch_task);
}

}  // namespace

KESTRIN_FASTCALL_METHOD(engine_batch) {
    (void)self;
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind_arguments({"KestEngine.batch()", batch_parameters}, args, nargs, kwnames,
                            bound))
            return nullptr;
        std::vector<EncodeTask> tasks;
        if (!convert_tasks(bound[0], tasks)) return nullptr;
        // The interpreter lock stays held while the workers run, as through every call of the
        // module: with a global lock no other Python thread runs until the batch returns, so two
        // batches, or a batch and another call, never overlap. (The workers themselves could do
        // without it: they never touch Python.)
        auto flags = run_batch(tasks, run_batch_task);
        if (!flags) return raise_failure(flags.failure());
        return new_flag_list(flags.value());
    });
}

}  // namespace kestrin::py
