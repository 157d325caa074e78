// transform and remux: convert the texts, run the encode or the copy, hand back the flag.
#include <array>

#include "encode/encode.hpp"
#include "encode/remux.hpp"
#include "lib/binding.hpp"
#include "lib/engine_methods.hpp"

namespace kestrin::py {
namespace {

constexpr std::array<const char*, 6> transform_parameters{"input", "output", "codec",
                                                          "res",   "crop",   "flags"};
constexpr std::array<const char*, 2> remux_parameters{"input", "output"};

PyObject* flag(const Result<bool>& result) {
    if (!result) return raise_failure(result.failure());
    return PyBool_FromLong(result.value());
}

}  // namespace

KESTRIN_FASTCALL_METHOD(engine_transform) {
    (void)self;
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 6> bound{};
        if (!bind_arguments({"KestEngine.transform()", transform_parameters}, args, nargs,
                            kwnames, bound))
            return nullptr;
        EncodeTask task;
        const auto texts = task_texts(task);
        for (std::size_t i = 0; i < bound.size(); ++i) {
            if (!convert_text(bound[i], transform_parameters[i], *texts[i])) return nullptr;
        }
        // The caller's standard input goes to ffmpeg, so "q" on the terminal still stops it.
        return flag(run_encode(task, EncodeCaller::transform));
    });
}

KESTRIN_FASTCALL_METHOD(engine_remux) {
    (void)self;
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 2> bound{};
        if (!bind_arguments({"KestEngine.remux()", remux_parameters}, args, nargs, kwnames,
                            bound))
            return nullptr;
        Text input, output;
        if (!convert_text(bound[0], "input", input) || !convert_text(bound[1], "output", output))
            return nullptr;
        return flag(remux(input, output));
    });
}

}  // namespace kestrin::py
