// ffprobe's report to a record: any bytes give a record or one of the three failures, and every
// text of a record is valid UTF-8 (it becomes a Python str). The bytes also go through the
// duration number rules.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "media/number_text.hpp"
#include "media/probe.hpp"
#include "tools/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view report(reinterpret_cast<const char*>(data), size);
    // The same bytes as a duration text: a number has no white space and no other letters.
    if (kestrin::parse_number_text(report) &&
        report.find_first_of(" \t\n\r\v\f,_xXpP") != std::string_view::npos)
        std::abort();
    const auto record = kestrin::read_probe_report(report);
    if (!record) {
        const auto& failure = record.failure();
        const bool known =
            (failure.kind == kestrin::FailureKind::value_error &&
             failure.message == "Invalid ffprobe output") ||
            (failure.kind == kestrin::FailureKind::runtime_error &&
             (failure.message == "No streams found" || failure.message == "No video stream found"));
        if (!known) std::abort();
        return 0;
    }
    const auto& r = record.value();
    for (const auto* text : {&r.filename, &r.codec, &r.pix_fmt, &r.bitrate}) {
        if (!kestrin::is_valid_utf8(*text)) std::abort();
    }
    return 0;
}
