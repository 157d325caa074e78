// The report's record, read while the report streams by, against the record looked up in the
// report's whole tree: both must agree on every document, duplicate members above all.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>

#include "media/json_document.hpp"
#include "media/number_text.hpp"
#include "media/probe.hpp"

#include "json_tree.hpp"

namespace kestrin {
namespace {

// The record by direct lookups in the tree, as the rules for the report read.
const JsonValue* member(const JsonValue* object, const char* name) {
    if (object == nullptr || !object->is_object()) return nullptr;
    const auto found = object->find(name);
    return found == object->end() ? nullptr : &*found;
}

Text text_member(const JsonValue* object, const char* name, const Text& fallback) {
    const JsonValue* value = member(object, name);
    return value != nullptr && value->is_string() ? value->get<Text>() : fallback;
}

std::int64_t integer_member(const JsonValue* object, const char* name) {
    const JsonValue* value = member(object, name);
    if (value == nullptr) return 0;
    if (value->is_number_unsigned()) {
        const auto v = value->get<std::uint64_t>();
        return v <= static_cast<std::uint64_t>(INT64_MAX) ? static_cast<std::int64_t>(v) : 0;
    }
    return value->is_number_integer() ? value->get<std::int64_t>() : 0;
}

Result<VideoMetadata> record_from_tree(std::string_view report) {
    const auto document = read_json_document(report);
    if (!document) return Failure{FailureKind::value_error, "Invalid ffprobe output"};
    const JsonValue* streams = member(&*document, "streams");
    if (streams == nullptr || !streams->is_array())
        return Failure{FailureKind::runtime_error, "No streams found"};
    // The first video stream that is not a cover picture, else the first picture.
    const JsonValue* video = nullptr;
    const JsonValue* picture = nullptr;
    for (const JsonValue& stream : *streams) {
        const JsonValue* type = member(&stream, "codec_type");
        if (type == nullptr || !type->is_string() || type->get<Text>() != "video") continue;
        if (integer_member(member(&stream, "disposition"), "attached_pic") == 0) {
            video = &stream;
            break;
        }
        if (picture == nullptr) picture = &stream;
    }
    if (video == nullptr) video = picture;
    if (video == nullptr) return Failure{FailureKind::runtime_error, "No video stream found"};
    const JsonValue* format = member(&*document, "format");
    VideoMetadata record;
    record.filename = text_member(format, "filename", "unknown");
    record.width = integer_member(video, "width");
    record.height = integer_member(video, "height");
    record.codec = text_member(video, "codec_name", "unknown");
    record.duration = parse_number_text(text_member(format, "duration", "0")).value_or(0.0);
    record.pix_fmt = text_member(video, "pix_fmt", "unknown");
    record.bitrate = text_member(format, "bit_rate", "0");
    return record;
}

std::string describe(const Result<VideoMetadata>& result) {
    if (!result) return "failure: " + result.failure().message;
    const VideoMetadata& r = result.value();
    std::uint64_t duration_bits;
    std::memcpy(&duration_bits, &r.duration, sizeof duration_bits);
    return r.filename + "|" + std::to_string(r.width) + "|" + std::to_string(r.height) + "|" +
           r.codec + "|" + std::to_string(duration_bits) + "|" + r.pix_fmt + "|" + r.bitrate;
}

void expect_agreement(const std::string& report) {
    EXPECT_EQ(describe(read_probe_report(report)), describe(record_from_tree(report))) << report;
}

class LaterMemberCounts : public testing::TestWithParam<const char*> {};

TEST_P(LaterMemberCounts, AsInTheTree) { expect_agreement(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Duplicates, LaterMemberCounts,
    testing::Values(
        R"({"streams": [{"codec_type": "video", "width": 1}], )"
            R"("streams": [{"codec_type": "audio"}]})",
        R"({"streams": [{"codec_type": "video", "width": 1}], "streams": {"a": []}})",
        R"({"streams": [{"codec_type": "video", "width": 1}], "streams": null})",
        R"({"streams": {}, "streams": [{"codec_type": "video", "width": 2}]})",
        R"({"streams": [{"codec_type": "video", "width": 1}], )"
            R"("streams": [{"codec_type": "video", "height": 2}]})",
        R"({"streams": [{"codec_type": "video", "codec_type": "audio"}, {"codec_type": "video", )"
            R"("width": 3}]})",
        R"({"streams": [{"codec_type": "audio", "width": 1, "codec_type": "video"}]})",
        R"({"streams": [{"codec_type": "video", "codec_type": {"codec_type": "video"}}]})",
        R"({"streams": [{"codec_type": "video", "width": 5, "width": "5", "height": 6, )"
            R"("height": [7]}]})",
        R"({"streams": [{"codec_type": "video", "codec_name": "h264", "codec_name": 1, )"
            R"("pix_fmt": {}, "pix_fmt": "yuv420p"}]})",
        R"({"streams": [{"codec_type": "video", "width": 9223372036854775807, )"
            R"("height": 9223372036854775808}]})",
        R"({"streams": [[{"codec_type": "video"}], {"x": {"codec_type": "video"}}, )"
            R"({"codec_type": "video", "width": 4}]})",
        R"({"format": {"filename": "a", "duration": "1.5"}, )"
            R"("streams": [{"codec_type": "video"}], "format": {"bit_rate": "9"}})",
        R"({"format": {"filename": "a"}, "format": [], "streams": [{"codec_type": "video"}]})",
        R"({"format": {"filename": "a", "filename": null, "duration": "2", "duration": 3}, )"
            R"("streams": [{"codec_type": "video"}]})",
        R"({"x": {"streams": [{"codec_type": "video"}], "format": {"filename": "b"}}, )"
            R"("streams": [{"codec_type": "video"}]})",
        R"([{"streams": [{"codec_type": "video"}]}])",
        R"({"streams": [{"codec_type": "video", "width": 1}]} x)",
        R"({"streams": [{"codec_type": "video", "width": 300, "disposition": {"attached_pic": 1}}, )"
            R"({"codec_type": "video", "width": 2, "disposition": {"attached_pic": 0}}]})",
        R"({"streams": [{"codec_type": "video", "width": 1, "disposition": {"attached_pic": 1}}, )"
            R"({"codec_type": "video", "width": 2, "disposition": {"attached_pic": 1}}]})",
        R"({"streams": [{"codec_type": "video", "width": 1, "disposition": {"attached_pic": 1}, )"
            R"("disposition": {"default": 1}}, {"codec_type": "video", "width": 2}]})",
        R"({"streams": [{"codec_type": "video", "width": 1, "disposition": {"attached_pic": 1, )"
            R"("attached_pic": "1", "x": {"attached_pic": 1}}}, {"codec_type": "video"}]})"));

TEST(LaterMemberCounts, InRandomReportsAsInTheTree) {
    // Reports made of the members the record reads, each of any type, often twice.
    std::mt19937 random(20261211);
    const char* values[] = {R"("video")", R"("audio")", R"("x")", "7", "-3", "1.5", "null", "true",
                            "18446744073709551615", R"("2.5")", "[]", R"({"codec_type": "video"})",
                            R"({"attached_pic": 1})", R"({"attached_pic": 0, "attached_pic": 2})"};
    const char* stream_names[] = {"codec_type", "codec_type", "width", "height", "codec_name",
                                  "pix_fmt", "disposition", "other"};
    const char* format_names[] = {"filename", "duration", "bit_rate", "other"};
    auto pick = [&](auto& list) { return std::string(list[random() % std::size(list)]); };
    auto object = [&](auto& names) {
        std::string text = "{";
        for (unsigned n = random() % 5; n > 0; --n)
            text += "\"" + pick(names) + "\": " + pick(values) + (n > 1 ? ", " : "");
        return text + "}";
    };
    auto streams = [&] {
        std::string text = "[";
        for (unsigned n = random() % 4; n > 0; --n)
            text += (random() % 5 ? object(stream_names) : pick(values)) + (n > 1 ? ", " : "");
        return text + "]";
    };
    for (int round = 0; round < 3000; ++round) {
        std::string report = "{";
        for (unsigned n = 1 + random() % 4; n > 0; --n) {
            switch (random() % 4) {
                case 0: report += R"("format": )" + object(format_names); break;
                case 1: report += R"("format": )" + pick(values); break;
                case 2: report += R"("other": )" + streams(); break;
                default: report += R"("streams": )" + (random() % 6 ? streams() : pick(values));
            }
            report += n > 1 ? ", " : "";
        }
        expect_agreement(report + "}");
    }
}

TEST(LaterMemberCounts, ConformanceDocumentsAreReadOrRefusedAlike) {
    const auto folder = std::filesystem::path(KESTRIN_TEST_DATA) / "json-conformance";
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        expect_agreement({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});
    }
}

}  // namespace
}  // namespace kestrin
