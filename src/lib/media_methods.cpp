// probe and get_blackbar_coords: convert the path, run the inspection, hand back its result.
#include <array>

#include "lib/binding.hpp"
#include "lib/engine_methods.hpp"
#include "lib/types.hpp"
#include "media/black_bars.hpp"
#include "media/probe.hpp"

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
        const auto record = probe_file(path);
        if (!record) return raise_failure(record.failure());
        return new_video_metadata(record.value());
    });
}

KESTRIN_FASTCALL_METHOD(engine_get_blackbar_coords) {
    (void)self;
    return guarded([&]() -> PyObject* {
        Text path;
        if (!path_argument("KestEngine.get_blackbar_coords()", args, nargs, kwnames, path))
            return nullptr;
        const auto rectangle = detect_black_bars(path);
        if (!rectangle) return raise_failure(rectangle.failure());
        return new_text(rectangle.value());
    });
}

}  // namespace kestrin::py
