// The statistics record reader must give the same records however the stream is cut into reads,
// and every record it delivers must be non-empty, terminator-free and within the record limit.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "encode/progress.hpp"
#include "tools/text.hpp"

namespace {

std::vector<std::string> read_records(std::string_view stream, std::size_t chunk) {
    std::vector<std::string> records;
    kestrin::RecordReader reader([&](std::string_view record) { records.emplace_back(record); });
    for (std::size_t at = 0; at < stream.size(); at += chunk) reader.feed(stream.substr(at, chunk));
    reader.finish();
    return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t chunk = 1 + data[0] % 17;
    const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
    const auto whole = read_records(stream, stream.size() + 1);
    if (read_records(stream, chunk) != whole) std::abort();
    for (const std::string& record : whole) {
        if (record.empty() || record.find_first_of("\r\n") != std::string::npos ||
            record.size() > kestrin::RecordReader::longest_record)
            std::abort();
        if (auto text = kestrin::progress_text(record)) {
            if (text->substr(0, 6) != "frame=" || kestrin::trim_white_space(*text) != *text)
                std::abort();
        }
    }
    return 0;
}
