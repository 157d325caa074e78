// The cropdetect log scan: any standard error gives valid UTF-8 with no line break inside and no
// White_Space at its ends; without "crop=" in the log, exactly the fallback rectangle.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "media/black_bars.hpp"
#include "tools/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view log(reinterpret_cast<const char*>(data), size);
    kestrin::VideoMetadata probed;
    probed.width = 1920;
    probed.height = -1080;
    const auto crop = kestrin::crop_rectangle(log, probed);
    if (!kestrin::is_valid_utf8(crop) || crop.find('\n') != std::string_view::npos ||
        kestrin::trim_white_space(crop) != crop)
        std::abort();
    if (log.find("crop=") == std::string_view::npos && crop != "1920:-1080:0:0") std::abort();
    return 0;
}
