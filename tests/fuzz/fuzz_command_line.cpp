// The encode command line for arbitrary task texts: its fixed shape never changes, the output is
// last, and no flag token is empty or holds white space.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "encode/command_line.hpp"
#include "tools/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Six texts separated by 0xFF, a byte that never occurs in UTF-8.
    std::string texts[6];
    std::size_t field = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF && field < 5) {
            ++field;
        } else {
            texts[field] += static_cast<char>(data[i]);
        }
    }
    const kestrin::EncodeTask task{texts[0], texts[1], texts[2], texts[3], texts[4], texts[5]};
    const auto arguments = kestrin::encode_arguments(task, {});
    const auto tokens = kestrin::split_at_white_space(task.flags);
    if (arguments.size() < 26 + tokens.size() || arguments.back() != task.output) std::abort();
    if (arguments[0] != "ffmpeg" || arguments[7] != task.input || arguments[10] != "-dn")
        std::abort();
    const std::string& filter = arguments[16];
    if (filter != kestrin::video_filter_text(task.crop, task.res) || filter.rfind("crop=", 0) != 0)
        std::abort();
    // The flag tokens come just before the output, in order.
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::string& token = arguments[arguments.size() - 1 - tokens.size() + i];
        if (token != tokens[i] || token.empty() || kestrin::split_at_white_space(token).size() != 1)
            std::abort();
    }
    return 0;
}
