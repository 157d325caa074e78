// The cropdetect log scan: any standard error gives either a rectangle as cropdetect writes it or
// nothing, the same however the log is cut into pieces; without "crop=" in the log, always
// nothing. The union of what it gives with a rectangle of the picture is a rectangle again.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "media/black_bars.hpp"
#include "tools/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view log(reinterpret_cast<const char*>(data), size);
    kestrin::CropScan whole;
    whole.feed(log);
    const auto crop = whole.finish();
    if (crop) {
        if (!kestrin::is_valid_utf8(*crop) || crop->find('\n') != std::string_view::npos ||
            kestrin::trim_white_space(*crop) != *crop || !kestrin::is_crop_rectangle(*crop))
            std::abort();
        if (!kestrin::is_crop_rectangle(kestrin::united_rectangle(*crop, "1920:800:0:140")))
            std::abort();
    }
    if (log.find("crop=") == std::string_view::npos && crop) std::abort();

    // The same log in three pieces, cut where its first two bytes say.
    const std::size_t first = size > 0 ? data[0] % (size + 1) : 0;
    const std::size_t second = size > 1 ? first + data[1] % (size - first + 1) : first;
    kestrin::CropScan scan;
    scan.feed(log.substr(0, first));
    scan.feed(log.substr(first, second - first));
    scan.feed(log.substr(second));
    if (scan.finish() != crop) std::abort();
    return 0;
}
