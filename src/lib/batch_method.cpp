// batch: convert the task list, run it on the worker pool, hand back the flags in task order.
#include <array>

#include "lib/binding.hpp"
#include "lib/engine_methods.hpp"

namespace kestrin::py {
namespace {

constexpr std::array<const char*, 1> batch_parameters{"tasks"};

}  // namespace

KESTRIN_FASTCALL_METHOD(engine_batch) {
    (void)self;
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind_arguments({"KestEngine.batch()", batch_parameters}, args, nargs, kwnames,
                            bound))
            return nullptr;
        PyErr_SetString(PyExc_NotImplementedError, "batch is not built yet");
        return nullptr;
    });
}

}  // namespace kestrin::py
