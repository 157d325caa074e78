#include "tools/film_windows.hpp"

#include <array>
#include <charconv>
#include <limits>
#include <string>

namespace kestrin {
namespace {

constexpr int windows = 8;
constexpr std::string_view window_seconds = "0.5";

// Seconds in plain decimal, as -ss reads them (no exponent), the same in every locale.
Text seconds_text(double seconds) {
    std::array<char, std::numeric_limits<double>::max_exponent10 + 8> digits;
    const auto written = std::to_chars(digits.data(), digits.data() + digits.size(), seconds,
                                       std::chars_format::fixed, 3);
    return Text(digits.data(), written.ptr);
}

}  // namespace

ArgumentList film_windows_arguments(const Text& path, double duration,
                                    std::initializer_list<std::string_view> input_options,
                                    std::string_view filter) {
    ArgumentList arguments{"ffmpeg", "-hide_banner", "-loglevel", "info"};
    Text inputs;
    for (int window = 0; window < windows; ++window) {
        const double start = duration * (window + 1) / 10;
        for (std::string_view option : input_options) arguments.emplace_back(option);
        arguments.insert(arguments.end(), {"-ss", seconds_text(start), "-t",
                                           Text(window_seconds), "-i", path});
        inputs += "[" + std::to_string(window) + ":V:0]";
    }
    const Text graph = inputs + "concat=n=" + std::to_string(windows) + ":v=1:a=0," +
                       Text(filter);
    arguments.insert(arguments.end(),
                     {"-filter_complex", graph, "-map", "[windows]", "-f", "null", "-"});
    return arguments;
}

}  // namespace kestrin
