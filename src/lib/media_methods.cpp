// probe and get_blackbar_coords: convert the path, run the inspection, hand back its result.
#include <array>

#include "lib/binding.hpp"
#include "lib/engine_methods.hpp"

namespace kestrin::py {
namespace {

constexpr std::array<const char*, 1> path_parameter{"path"};

// Binds and converts the one `path` argument; false with the exception set on failure.
bool path_argument(const char* function, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, Text& path) {
    std::array<PyObject*, 1> bound{};
    return bind_arguments({function, path_parameter}, args, nargs, kwnames, bound) &&
           convert_text(bound[0], "path", path);
}

}  // namespace

KESTRIN_FASTCALL_METHOD(engine_probe) {
    (void)self;
    return guarded([&]() -> PyObject* {
        Text path;
        if (!path_argument("KestEngine.probe()", args, nargs, kwnames, path)) return nullptr;
        PyErr_SetString(PyExc_NotImplementedError, "probe is not built yet");
        return nullptr;
    });
}

KESTRIN_FASTCALL_METHOD(engine_get_blackbar_coords) {
    (void)self;
    return guarded([&]() -> PyObject* {
        Text path;
        if (!path_argument("KestEngine.get_blackbar_coords()", args, nargs, kwnames, path))
            return nullptr;
        PyErr_SetString(PyExc_NotImplementedError, "get_blackbar_coords is not built yet");
        return nullptr;
    });
}

}  // namespace kestrin::py
