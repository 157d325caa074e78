// ffprobe writes members only where it knows a value, and sometimes writes "N/A" in them; so
// every lookup here tolerates a missing member or one of an unexpected type, and only a report
// that can't be read at all, or has no video stream to describe, is a failure.
//
// A cover picture is a video stream too (disposition "attached_pic"), and an MP4 whose metadata
// precedes its tracks lists it first; the record describes the film, so the first video stream
// that is not a picture counts, and a picture only where there is nothing else to describe.
#include "media/probe.hpp"

#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "media/json_document.hpp"
#include "media/number_text.hpp"
#include "tools/child.hpp"

namespace kestrin {
namespace {

// What the record needs of one stream object.
struct StreamFields {
    bool is_video = false;
    bool is_picture = false;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::optional<Text> codec_name;
    std::optional<Text> pix_fmt;
};

// What the record needs of the format section.
struct FormatFields {
    std::optional<Text> filename;
    std::optional<Text> duration;
    std::optional<Text> bit_rate;
};

// Gathers the seven values while the report is read, instead of building its tree, which costs
// about 25 times the report. It answers as a tree read by member lookups would, where a later
// member of the same name replaces the earlier one whatever either holds: every value that
// lands in a member the record reads sets that member afresh (a usable value, or the "unusable"
// default), a later "streams" or "format" member starts its part over, and a stream counts as
// video only by the "codec_type" it holds when its object closes (and a picture likewise by its
// last "disposition").
class ReportReader final : public JsonListener {
public:
    void null() override { scalar(Scalar{}); }
    void boolean(bool) override { scalar(Scalar{}); }
    void signed_integer(std::int64_t value) override { scalar(Scalar{value, nullptr}); }
    void unsigned_integer(std::uint64_t value) override {
        constexpr auto largest =
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
        if (value <= largest) scalar(Scalar{static_cast<std::int64_t>(value), nullptr});
        else scalar(Scalar{});
    }
    void floating(double) override { scalar(Scalar{}); }
    void string(std::string& value) override { scalar(Scalar{std::nullopt, &value}); }
    void start_object() override { open(Container::object); }
    void start_array() override { open(Container::array); }
    void member_name(std::string& name) override { pending_ = slot_named(name); }
    void end_object() override { close(); }
    void end_array() override { close(); }

    // Only once the whole document has been read.
    Result<VideoMetadata> record() {
        if (!has_stream_list_) return Failure{FailureKind::runtime_error, "No streams found"};
        std::optional<StreamFields>& chosen = video_ ? video_ : picture_;
        if (!chosen) return Failure{FailureKind::runtime_error, "No video stream found"};
        // The record starts out holding every field's default; a usable member replaces it.
        VideoMetadata record;
        StreamFields& video = *chosen;
        record.filename = format_.filename.value_or(record.filename);
        record.width = video.width;
        record.height = video.height;
        record.codec = video.codec_name.value_or(record.codec);
        record.duration =
            parse_number_text(format_.duration.value_or("0")).value_or(record.duration);
        record.pix_fmt = video.pix_fmt.value_or(record.pix_fmt);
        record.bitrate = format_.bit_rate.value_or(record.bitrate);
        return record;
    }

private:
    // The open containers that matter; everything inside any other is only validated.
    enum class Place { top, stream_list, stream, disposition, format, elsewhere };
    // Which value the next one is, as far as the record is concerned.
    enum class Slot {
        none, root, streams, format, stream_element,
        codec_type, width, height, codec_name, pix_fmt, disposition, attached_pic,
        filename, duration, bit_rate,
    };
    enum class Container { object, array };

    // A scalar value: an integer that fits the record's sizes, a string, or anything else.
    struct Scalar {
        std::optional<std::int64_t> integer;
        std::string* text = nullptr;
    };

    Slot slot_named(const std::string& name) const {
        switch (open_.back()) {
            case Place::top:
                if (name == "streams") return Slot::streams;
                if (name == "format") return Slot::format;
                return Slot::none;
            case Place::stream:
                if (name == "codec_type") return Slot::codec_type;
                if (name == "width") return Slot::width;
                if (name == "height") return Slot::height;
                if (name == "codec_name") return Slot::codec_name;
                if (name == "pix_fmt") return Slot::pix_fmt;
                if (name == "disposition") return Slot::disposition;
                return Slot::none;
            case Place::disposition:
                if (name == "attached_pic") return Slot::attached_pic;
                return Slot::none;
            case Place::format:
                if (name == "filename") return Slot::filename;
                if (name == "duration") return Slot::duration;
                if (name == "bit_rate") return Slot::bit_rate;
                return Slot::none;
            case Place::stream_list:
            case Place::elsewhere: return Slot::none;
        }
        return Slot::none;
    }

    // The slot of the value now starting; a member's slot is used up by its value.
    Slot next_slot() {
        if (open_.empty()) return Slot::root;
        if (open_.back() == Place::stream_list) return Slot::stream_element;
        return std::exchange(pending_, Slot::none);
    }

    // Sets the member of the current stream or of the format section that `slot` names; a
    // value of any other kind than the member's own gives the member's default.
    void set_member(Slot slot, const Scalar& value) {
        auto text = [&]() -> std::optional<Text> {
            if (value.text == nullptr) return std::nullopt;
            return std::move(*value.text);
        };
        switch (slot) {
            case Slot::codec_type:
                stream_.is_video = value.text != nullptr && *value.text == "video";
                break;
            case Slot::width: stream_.width = value.integer.value_or(0); break;
            case Slot::height: stream_.height = value.integer.value_or(0); break;
            case Slot::codec_name: stream_.codec_name = text(); break;
            case Slot::pix_fmt: stream_.pix_fmt = text(); break;
            // A new disposition starts out as no picture; its "attached_pic" member decides.
            case Slot::disposition: stream_.is_picture = false; break;
            case Slot::attached_pic: stream_.is_picture = value.integer.value_or(0) != 0; break;
            case Slot::filename: format_.filename = text(); break;
            case Slot::duration: format_.duration = text(); break;
            case Slot::bit_rate: format_.bit_rate = text(); break;
            default: break;
        }
    }

    // A new value for "streams" or "format" replaces all that an earlier one gave.
    void replace_part(Slot slot, bool is_stream_list) {
        if (slot == Slot::streams) {
            has_stream_list_ = is_stream_list;
            video_.reset();
            picture_.reset();
        } else if (slot == Slot::format) {
            format_ = FormatFields{};
        }
    }

    void scalar(const Scalar& value) {
        const Slot slot = next_slot();
        replace_part(slot, false);
        set_member(slot, value);
    }

    void open(Container container) {
        const Slot slot = next_slot();
        const bool object = container == Container::object;
        replace_part(slot, slot == Slot::streams && !object);
        set_member(slot, Scalar{});
        Place place = Place::elsewhere;
        if (slot == Slot::root && object) place = Place::top;
        else if (slot == Slot::streams && !object) place = Place::stream_list;
        else if (slot == Slot::format && object) place = Place::format;
        else if (slot == Slot::disposition && object) place = Place::disposition;
        else if (slot == Slot::stream_element && object) place = Place::stream;
        if (place == Place::stream) stream_ = StreamFields{};
        open_.push_back(place);
    }

    void close() {
        // The first film stream and the first picture of the list are kept; later ones need
        // not be looked at again.
        if (open_.back() == Place::stream && stream_.is_video) {
            std::optional<StreamFields>& kept = stream_.is_picture ? picture_ : video_;
            if (!kept) kept = std::move(stream_);
        }
        open_.pop_back();
    }

    std::vector<Place> open_;  // no deeper than the nesting limit
    Slot pending_ = Slot::none;
    bool has_stream_list_ = false;
    std::optional<StreamFields> video_;
    std::optional<StreamFields> picture_;
    StreamFields stream_;
    FormatFields format_;
};

}  // namespace

ArgumentList probe_arguments(const Text& path) {
    return {"ffprobe", "-v", "quiet", "-print_format", "json", "-show_format", "-show_streams",
            path};
}

Result<VideoMetadata> read_probe_report(std::string_view report) {
    ReportReader reader;
    if (!read_json(report, reader))
        return Failure{FailureKind::value_error, "Invalid ffprobe output"};
    return reader.record();
}

Result<VideoMetadata> probe_file(const Text& path) {
    // The report is kept whole until it has been read, and may be large: a roomy pipe.
    auto run = run_collecting(probe_arguments(path), PipeSize::roomy);
    if (!run) return run.failure();
    return read_probe_report(run.value().output);
}

}  // namespace kestrin
