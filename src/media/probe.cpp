// ffprobe writes members only where it knows a value, and sometimes writes "N/A" in them; so
// every lookup here tolerates a missing member or one of an unexpected type, and only a report
// that can't be read at all, or has no video stream to describe, is a failure.
#include "media/probe.hpp"

#include <cstdint>
#include <limits>

#include "media/json_document.hpp"
#include "media/number_text.hpp"
#include "tools/child.hpp"

namespace kestrin {
namespace {

// The member `name` of `object`, or nullptr when `object` is absent, not an object, or lacks it.
const JsonValue* member(const JsonValue* object, const char* name) {
    if (object == nullptr || !object->is_object()) return nullptr;
    const auto found = object->find(name);
    return found == object->end() ? nullptr : &*found;
}

Text text_member(const JsonValue* object, const char* name, const Text& fallback) {
    const JsonValue* value = member(object, name);
    if (value == nullptr || !value->is_string()) return fallback;
    return value->get_ref<const JsonValue::string_t&>();
}

// Only numbers written as integers count; the tree keeps those apart from doubles.
std::int64_t integer_member(const JsonValue* object, const char* name) {
    const JsonValue* value = member(object, name);
    if (value == nullptr) return 0;
    if (value->is_number_unsigned()) {
        const auto unsigned_value = value->get<std::uint64_t>();
        constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
        return unsigned_value <= largest ? static_cast<std::int64_t>(unsigned_value) : 0;
    }
    if (value->is_number_integer()) return value->get<std::int64_t>();
    return 0;
}

const JsonValue* first_video_stream(const JsonValue& streams) {
    for (const JsonValue& stream : streams) {
        const JsonValue* type = member(&stream, "codec_type");
        if (type != nullptr && type->is_string() &&
            type->get_ref<const JsonValue::string_t&>() == "video")
            return &stream;
    }
    return nullptr;
}

}  // namespace

ArgumentList probe_arguments(const Text& path) {
    return {"ffprobe", "-v", "quiet", "-print_format", "json", "-show_format", "-show_streams",
            path};
}

Result<VideoMetadata> read_probe_report(std::string_view report) {
    const auto document = read_json_document(report);
    if (!document) return Failure{FailureKind::value_error, "Invalid ffprobe output"};
    const JsonValue* streams = member(&*document, "streams");
    if (streams == nullptr || !streams->is_array())
        return Failure{FailureKind::runtime_error, "No streams found"};
    const JsonValue* video = first_video_stream(*streams);
    if (video == nullptr) return Failure{FailureKind::runtime_error, "No video stream found"};
    const JsonValue* format = member(&*document, "format");

    // The record starts out holding every field's default; a usable member replaces it.
    VideoMetadata record;
    record.filename = text_member(format, "filename", record.filename);
    record.width = integer_member(video, "width");
    record.height = integer_member(video, "height");
    record.codec = text_member(video, "codec_name", record.codec);
    record.duration =
        parse_number_text(text_member(format, "duration", "0")).value_or(record.duration);
    record.pix_fmt = text_member(video, "pix_fmt", record.pix_fmt);
    record.bitrate = text_member(format, "bit_rate", record.bitrate);
    return record;
}

Result<VideoMetadata> probe_file(const Text& path) {
    auto run = run_capturing(probe_arguments(path));
    if (!run) return run.failure();
    return read_probe_report(run.value().output);
}

}  // namespace kestrin
