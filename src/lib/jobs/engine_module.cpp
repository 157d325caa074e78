// kestrin_jobs._engine: the encode of kestrin's core for the companion package, without the lock.
// KestEngine keeps the interpreter lock while ffmpeg runs (no two of its calls ever overlap);
// here it is released for the whole encode and taken back only to hand a record to Python and to
// check for signals, so the companions can run encodes on threads and stop them.
#include <Python.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <new>
#include <optional>

#include "batch/processors.hpp"
#include "encode/encode.hpp"
#include "lib/binding.hpp"
#include "lib/py_ref.hpp"
#include "tools/cancellation.hpp"

namespace kestrin::py {
namespace {

// --- Cancellation: the handle another thread trips -------------------------------------------

struct CancellationObject {
    PyObject_HEAD
    alignas(Cancellation) unsigned char storage[sizeof(Cancellation)];
    Cancellation& handle() { return *std::launder(reinterpret_cast<Cancellation*>(storage)); }
};

PyObject* cancellation_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Cancellation() takes no arguments");
        return nullptr;
    }
    auto* self = reinterpret_cast<CancellationObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    new (self->storage) Cancellation();
    return reinterpret_cast<PyObject*>(self);
}

void cancellation_dealloc(PyObject* object) {
    auto* self = reinterpret_cast<CancellationObject*>(object);
    PyTypeObject* type = Py_TYPE(object);
    self->handle().~Cancellation();
    type->tp_free(object);
    Py_DECREF(type);
}

PyObject* cancellation_trip(PyObject* object, PyObject*) {
    reinterpret_cast<CancellationObject*>(object)->handle().trip();
    Py_RETURN_NONE;
}

PyObject* cancellation_tripped(PyObject* object, void*) {
    return PyBool_FromLong(reinterpret_cast<CancellationObject*>(object)->handle().tripped());
}

PyMethodDef cancellation_methods[] = {
    {"trip", cancellation_trip, METH_NOARGS,
     "Stops the encode that holds this handle: from any thread, at any time, at once."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef cancellation_members[] = {
    {"tripped", cancellation_tripped, nullptr, "Whether trip() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot cancellation_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(cancellation_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(cancellation_dealloc)},
    {Py_tp_methods, cancellation_methods},
    {Py_tp_getset, cancellation_members},
    {0, nullptr},
};

PyType_Spec cancellation_spec = {
    "kestrin_jobs._engine.Cancellation",
    sizeof(CancellationObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    cancellation_slots,
};

struct ModuleState {
    PyObject* cancellation_type;
};

ModuleState& state_of(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

// --- values handed to Python ---------------------------------------------------------------

PyObject* optional_float(const std::optional<double>& value) {
    if (!value) Py_RETURN_NONE;
    return PyFloat_FromDouble(*value);
}

PyObject* optional_int(const std::optional<std::int64_t>& value) {
    if (!value) Py_RETURN_NONE;
    return PyLong_FromLongLong(*value);
}

PyObject* lossy_text(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// (frame, fps, time, speed, size, dup, drop, line)
PyObject* record_tuple(const StatisticsRecord& record) {
    return Py_BuildValue("(LddNNNNN)", static_cast<long long>(record.frame), record.fps,
                         record.time, optional_float(record.speed), optional_int(record.size),
                         optional_int(record.dup), optional_int(record.drop),
                         lossy_text(record.line));
}

PyObject* outcome_tuple(const EncodeOutcome& outcome) {
    Ref messages = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(outcome.messages.size())));
    if (!messages) return nullptr;
    for (std::size_t i = 0; i < outcome.messages.size(); ++i) {
        PyObject* text = lossy_text(outcome.messages[i]);
        if (text == nullptr) return nullptr;
        PyTuple_SET_ITEM(messages.get(), static_cast<Py_ssize_t>(i), text);
    }
    Ref arguments = Ref::steal(PyList_New(0));
    if (!arguments) return nullptr;
    for (const Text& argument : outcome.arguments) {
        Ref text = Ref::steal(lossy_text(argument));
        if (!text || PyList_Append(arguments.get(), text.get()) < 0) return nullptr;
    }
    Ref last;
    if (outcome.last_record) {
        last = Ref::steal(record_tuple(*outcome.last_record));
        if (!last) return nullptr;
    } else {
        last = Ref::steal(Py_NewRef(Py_None));
    }
    return Py_BuildValue("(NNOnOO)", PyBool_FromLong(outcome.succeeded),
                         PyBool_FromLong(outcome.cancelled), messages.get(),
                         static_cast<Py_ssize_t>(outcome.more_messages), last.get(),
                         arguments.get());
}

// The failure as Python's subprocess raises it: the OSError subclass that errno selects, with
// errno set and the program in the message ("[Errno 2] No such file or directory: 'ffmpeg'").
PyObject* raise_encode_failure(const Failure& failure) {
    if (failure.kind == FailureKind::os_error && failure.error_number != 0) {
        errno = failure.error_number;
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, "ffmpeg");
    }
    return raise_failure(failure);
}

// --- the encode ----------------------------------------------------------------------------

// The interpreter lock released for a scope, taken back for inner scopes with Held.
class Released {
public:
    Released() : state_(PyEval_SaveThread()) {}
    ~Released() { PyEval_RestoreThread(state_); }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

    class Held {
    public:
        explicit Held(Released& outer) : outer_(outer) { PyEval_RestoreThread(outer_.state_); }
        ~Held() { outer_.state_ = PyEval_SaveThread(); }
        Held(const Held&) = delete;
        Held& operator=(const Held&) = delete;

    private:
        Released& outer_;
    };

private:
    PyThreadState* state_;
};

// The exception that ended an encode early (Ctrl-C, a callback's), kept until the lock is held
// for good.
class PendingError {
public:
    bool set() const { return static_cast<bool>(value_); }
    void take() {
#if PY_VERSION_HEX >= 0x030C0000
        value_ = Ref::steal(PyErr_GetRaisedException());
#else
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        value_ = Ref::steal(value);
#endif
    }
    PyObject* raise() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(value_.release());
#else
        PyObject* value = value_.release();
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value)), value);
        Py_DECREF(value);
#endif
        return nullptr;
    }

private:
    Ref value_;
};

constexpr std::array<const char*, 10> encode_parameters{
    "input", "output", "codec", "res", "crop", "flags", "on_record", "cancellation", "batch",
    "quiet"};

PyObject* encode(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 10> bound{};
        if (!bind_arguments({"encode()", encode_parameters}, args, nargs, kwnames, bound))
            return nullptr;
        EncodeTask task;
        const auto texts = task_texts(task);
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (!convert_text(bound[i], encode_parameters[i], *texts[i])) return nullptr;
        }
        PyObject* on_record = bound[6] == Py_None ? nullptr : bound[6];
        auto* type = reinterpret_cast<PyTypeObject*>(state_of(module).cancellation_type);
        if (!PyObject_TypeCheck(bound[7], type)) {
            raise_cast_error(bound[7], "Cancellation");
            add_argument_prefix("cancellation");
            return nullptr;
        }
        Cancellation& cancellation = reinterpret_cast<CancellationObject*>(bound[7])->handle();
        const int batch = PyObject_IsTrue(bound[8]);
        const int quiet = PyObject_IsTrue(bound[9]);
        if (batch < 0 || quiet < 0) return nullptr;

        EncodeOptions options;
        options.caller = batch ? EncodeCaller::batch_task : EncodeCaller::transform;
        options.null_input = true;
        options.die_with_caller = true;
        options.quiet = quiet;
        options.cancellation = &cancellation;
        PendingError error;
        std::optional<Result<EncodeOutcome>> outcome;
        {
            // The arguments stay alive: the caller holds them for the call.
            Released released;
            options.on_wake = [&] {
                Released::Held held(released);
                if (!error.set() && PyErr_CheckSignals() < 0) {
                    error.take();
                    cancellation.trip();
                }
            };
            if (on_record != nullptr) {
                options.on_record = [&](const StatisticsRecord& record) {
                    Released::Held held(released);
                    if (error.set()) return;
                    Ref value = Ref::steal(record_tuple(record));
                    Ref result;
                    if (value) result = Ref::steal(PyObject_CallOneArg(on_record, value.get()));
                    if (!result) {
                        error.take();
                        cancellation.trip();
                    }
                };
            }
            outcome.emplace(encode_with_messages(task, options));
        }
        if (error.set()) return error.raise();
        if (!*outcome) return raise_encode_failure(outcome->failure());
        return outcome_tuple(outcome->value());
    });
}

PyObject* processor_count(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* { return PyLong_FromUnsignedLong(processors_available()); });
}

PyMethodDef module_methods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode)),
     METH_FASTCALL | METH_KEYWORDS,
     "encode(input, output, codec, res, crop, flags, on_record, cancellation, batch, quiet)\n"
     "-> (ok, cancelled, messages, more_messages, last_record, arguments)"},
    {"processor_count", processor_count, METH_NOARGS,
     "The processors this process may use, as the engine's batch pool counts them."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &cancellation_spec, nullptr);
    if (type == nullptr) return -1;
    state_of(module).cancellation_type = type;
    return PyModule_AddObjectRef(module, "Cancellation", type);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(state_of(module).cancellation_type);
    return 0;
}

int clear_module(PyObject* module) {
    Py_CLEAR(state_of(module).cancellation_type);
    return 0;
}

void free_module(void* module) { (void)clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "kestrin_jobs._engine", "", sizeof(ModuleState), module_methods,
    module_slots,          traverse_module,        clear_module, free_module,
};

}  // namespace
}  // namespace kestrin::py

PyMODINIT_FUNC PyInit__engine() { return PyModuleDef_Init(&kestrin::py::module_definition); }
