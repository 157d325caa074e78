// The cropdetect log scan: any standard error gives either a rectangle as cropdetect writes it or
// exactly the fallback rectangle, the same however the log is cut into pieces; without "crop="
// in the log, always the fallback.
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
    if (crop != "1920:-1080:0:0" && !kestrin::is_crop_rectangle(crop)) std::abort();
    if (log.find("crop=") == std::string_view::npos && crop != "1920:-1080:0:0") std::abort();

    // The same log in three pieces, cut where its first two bytes say.
    const std::size_t first = size > 0 ? data[0] % (size + 1) : 0;
    const std::size_t second = size > 1 ? first + data[1] % (size - first + 1) : first;
    kestrin::CropScan scan;
    scan.feed(log.substr(0, first));
    scan.feed(log.substr(first, second - first));
    scan.feed(log.substr(second));
    if (scan.finish().value_or("1920:-1080:0:0") != crop) std::abort();
    return 0;
}
