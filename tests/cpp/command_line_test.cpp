// The encode and remux command lines, as whole lists, and the stream listing they follow.
#include "encode/command_line.hpp"
#include "encode/remux.hpp"
#include "encode/stream_listing.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace kestrin {
namespace {

struct CommandLineCase {
    const char* name;
    EncodeTask task;
    ArgumentList expected;
    std::vector<std::size_t> attached_pictures = {};
};

void PrintTo(const CommandLineCase& c, std::ostream* out) { *out << c.name; }

class CommandLine : public testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLine, IsTheWholeList) {
    EXPECT_EQ(encode_arguments(GetParam().task, GetParam().attached_pictures),
              GetParam().expected);
}

const Text example_filter =
    "crop=1920:800:0:140,scale=w='trunc(oh*a/16)*16':h=720:flags=lanczos,setsar=1";

const ArgumentList worked_example{
    "ffmpeg", "-y", "-hide_banner", "-loglevel", "error", "-stats", "-i", "/v/in.mkv",
    "-map", "0", "-dn", "-map_metadata:g", "-1", "-map_chapters", "0", "-vf", example_filter,
    "-fps_mode", "cfr", "-c:v", "libx265", "-pix_fmt", "yuv420p10le", "-profile:v", "main10",
    "-x265-params", "aq-mode=3:strong-intra-smoothing=0:sao=0", "-c:a", "copy", "-c:s", "copy",
    "-crf", "20", "-preset", "slow", "/v/out.mkv"};

// Rows that differ from a common list only from the encoder on spell out just that part: the
// list up to "-fps_mode cfr", then `rest`.
ArgumentList after_frame_rate(ArgumentList list, std::initializer_list<Text> rest) {
    list.insert(list.end(), rest);
    return list;
}

// The worked example's list up to "-fps_mode cfr".
const ArgumentList worked_start{
    "ffmpeg", "-y", "-hide_banner", "-loglevel", "error", "-stats", "-i", "/v/in.mkv",
    "-map", "0", "-dn", "-map_metadata:g", "-1", "-map_chapters", "0", "-vf", example_filter,
    "-fps_mode", "cfr"};

// The same for the task ("in", "out", codec, "480", "1:2:3:4", flags).
const ArgumentList short_start{
    "ffmpeg", "-y", "-hide_banner", "-loglevel", "error", "-stats", "-i", "in", "-map", "0",
    "-dn", "-map_metadata:g", "-1", "-map_chapters", "0", "-vf",
    "crop=1:2:3:4,scale=w='trunc(oh*a/16)*16':h=480:flags=lanczos,setsar=1", "-fps_mode", "cfr"};

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLine,
    testing::Values(
        CommandLineCase{"worked example",
                        {"/v/in.mkv", "/v/out.mkv", "libx265", "720", "1920:800:0:140",
                         "-crf 20 -preset slow"},
                        worked_example},
        CommandLineCase{"leading crop= is optional",
                        {"/v/in.mkv", "/v/out.mkv", "libx265", "720", "crop=1920:800:0:140",
                         "-crf 20 -preset slow"},
                        worked_example},
        CommandLineCase{
            "cover pictures left out right after -dn, in listing order",
            {"/v/in.mkv", "/v/out.mkv", "libx265", "720", "1920:800:0:140",
             "-crf 20 -preset slow"},
            {"ffmpeg", "-y", "-hide_banner", "-loglevel", "error", "-stats", "-i", "/v/in.mkv",
             "-map", "0", "-dn", "-map", "-0:3", "-map", "-0:0", "-map_metadata:g", "-1",
             "-map_chapters", "0", "-vf", example_filter, "-fps_mode", "cfr", "-c:v", "libx265",
             "-pix_fmt", "yuv420p10le", "-profile:v", "main10", "-x265-params",
             "aq-mode=3:strong-intra-smoothing=0:sao=0", "-c:a", "copy", "-c:s", "copy", "-crf",
             "20", "-preset", "slow", "/v/out.mkv"},
            {3, 0}},
        CommandLineCase{
            "libx264",
            {"/v/in.mkv", "/v/out.mkv", "libx264", "720", "1920:800:0:140",
             "-crf 20 -preset slow"},
            after_frame_rate(worked_start,
                             {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-profile:v", "high",
                              "-level", "4.1", "-c:a", "copy", "-c:s", "copy", "-crf", "20",
                              "-preset", "slow", "/v/out.mkv"})},
        CommandLineCase{
            "own x265 parameters replace the defaults",
            {"/v/in.mkv", "/v/out.mkv", "libx265", "720", "1920:800:0:140",
             "-x265-params crf=18"},
            after_frame_rate(worked_start,
                             {"-c:v", "libx265", "-pix_fmt", "yuv420p10le", "-profile:v",
                              "main10", "-c:a", "copy", "-c:s", "copy", "-x265-params", "crf=18",
                              "/v/out.mkv"})},
        CommandLineCase{
            "x265-params inside a longer token",
            {"in", "out", "hevc_nvenc", "480", "1:2:3:4", "--my-x265-params-file"},
            after_frame_rate(short_start,
                             {"-c:v", "hevc_nvenc", "-pix_fmt", "yuv420p10le", "-profile:v",
                              "main10", "-c:a", "copy", "-c:s", "copy", "--my-x265-params-file",
                              "out"})},
        CommandLineCase{
            "hevc_nvenc gets the default x265 parameters",
            {"in", "out", "hevc_nvenc", "480", "1:2:3:4", ""},
            after_frame_rate(short_start,
                             {"-c:v", "hevc_nvenc", "-pix_fmt", "yuv420p10le", "-profile:v",
                              "main10", "-x265-params", "aq-mode=3:strong-intra-smoothing=0:sao=0",
                              "-c:a", "copy", "-c:s", "copy", "out"})},
        CommandLineCase{
            "both names: HEVC wins",
            {"in", "out", "x264+x265", "480", "1:2:3:4", ""},
            after_frame_rate(short_start,
                             {"-c:v", "x264+x265", "-pix_fmt", "yuv420p10le", "-profile:v",
                              "main10", "-x265-params", "aq-mode=3:strong-intra-smoothing=0:sao=0",
                              "-c:a", "copy", "-c:s", "copy", "out"})},
        CommandLineCase{
            "upper-case codec: no settings, x265-params in flags is only a flag",
            {"in", "out", "X265", "480", "1:2:3:4", "-x265-params a=1"},
            after_frame_rate(short_start, {"-c:v", "X265", "-c:a", "copy", "-c:s", "copy",
                                           "-x265-params", "a=1", "out"})},
        CommandLineCase{
            "HEVC in capitals",
            {"in", "out", "HEVC", "480", "1:2:3:4", ""},
            after_frame_rate(short_start,
                             {"-c:v", "HEVC", "-c:a", "copy", "-c:s", "copy", "out"})},
        CommandLineCase{
            "everything empty",
            {"", "", "", "", "", ""},
            {"ffmpeg", "-y", "-hide_banner", "-loglevel", "error", "-stats", "-i", "", "-map",
             "0", "-dn", "-map_metadata:g", "-1", "-map_chapters", "0", "-vf",
             "crop=,scale=w='trunc(oh*a/16)*16':h=:flags=lanczos,setsar=1", "-fps_mode", "cfr",
             "-c:v", "", "-c:a", "copy", "-c:s", "copy", ""}},
        CommandLineCase{
            "crop= twice goes, other letter case stays; res and paths verbatim",
            {"/my films/a b.mkv", "out dir/x.mkv", "copy", "ih/2,hflip",
             "crop=10:20Crop=CROP=crop=0:0", " \t\n "},
            {"ffmpeg", "-y", "-hide_banner", "-loglevel", "error", "-stats", "-i",
             "/my films/a b.mkv", "-map", "0", "-dn", "-map_metadata:g", "-1", "-map_chapters", "0",
             "-vf",
             "crop=10:20Crop=CROP=0:0,scale=w='trunc(oh*a/16)*16':h=ih/2,hflip:flags=lanczos,"
             "setsar=1",
             "-fps_mode", "cfr", "-c:v", "copy", "-c:a", "copy", "-c:s", "copy",
             "out dir/x.mkv"}},
        CommandLineCase{
            "every White_Space character splits, zero-width look-alikes do not",
            {"in", "out", "libsvtav1", "480", "1:2:3:4",
             "\"a b\"\t1\n2\v3\f4\r5 6\xC2\x85" "7\xC2\xA0" "8\xE1\x9A\x80" "9\xE2\x80\x80"
             "10\xE2\x80\x85" "11\xE2\x80\x8A" "12\xE2\x80\xA8" "13\xE2\x80\xA9" "14\xE2\x80\xAF"
             "15\xE2\x81\x9F" "16\xE3\x80\x80" "17  \t 18"
             " x\xE2\x80\x8By y\xE1\xA0\x8Ez z\xEF\xBB\xBFw \\ 'q'\xE3\x80\x80"},
            after_frame_rate(
                short_start,
                {"-c:v", "libsvtav1", "-c:a", "copy", "-c:s", "copy", "\"a", "b\"", "1", "2", "3",
                 "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14", "15", "16", "17", "18",
                 "x\xE2\x80\x8By", "y\xE1\xA0\x8Ez", "z\xEF\xBB\xBFw", "\\", "'q'", "out"})}),
    [](const testing::TestParamInfo<CommandLineCase>& info) {
        return "case" + std::to_string(info.index);
    });

TEST(RemuxArguments, WithoutAttachmentsNoStreamTagIsCopied) {
    EXPECT_EQ(remux_arguments("/v/in file.mkv", "-out.mp4", 0),
              (ArgumentList{"ffmpeg", "-hide_banner", "-loglevel", "quiet", "-nostats", "-i",
                            "/v/in file.mkv", "-c", "copy", "-map", "0", "-map_metadata", "-1",
                            "-y", "-out.mp4"}));
}

TEST(RemuxArguments, EachAttachmentGetsItsOwnTagsBack) {
    EXPECT_EQ(remux_arguments("in.mkv", "out.mkv", 1),
              (ArgumentList{"ffmpeg", "-hide_banner", "-loglevel", "quiet", "-nostats", "-i",
                            "in.mkv", "-c", "copy", "-map", "0", "-map_metadata", "-1",
                            "-map_metadata:s:t:0", "0:s:t:0", "-y", "out.mkv"}));
    EXPECT_EQ(remux_arguments("in.mkv", "out.mkv", 3),
              (ArgumentList{"ffmpeg", "-hide_banner", "-loglevel", "quiet", "-nostats", "-i",
                            "in.mkv", "-c", "copy", "-map", "0", "-map_metadata", "-1",
                            "-map_metadata:s:t:0", "0:s:t:0", "-map_metadata:s:t:1", "0:s:t:1",
                            "-map_metadata:s:t:2", "0:s:t:2", "-y", "out.mkv"}));
}

TEST(StreamListing, IsOneShortFfprobeRun) {
    EXPECT_EQ(stream_listing_arguments("a b.mkv"),
              (ArgumentList{"ffprobe", "-v", "quiet", "-show_entries",
                            "stream=index,codec_type,field_order:stream_disposition=attached_pic:"
                            "program_stream_disposition=attached_pic:format=duration",
                            "-of", "csv=p=0", "a b.mkv"}));
}

// The attachments, then the pictures.
using Streams = std::pair<std::size_t, std::vector<std::size_t>>;

struct ListingCase {
    const char* listing;
    std::optional<Streams> streams;  // nothing when the listing can't be read
};

void PrintTo(const ListingCase& c, std::ostream* out) { *out << testing::PrintToString(c.listing); }

class Listing : public testing::TestWithParam<ListingCase> {};

TEST_P(Listing, GivesAttachmentsAndPictures) {
    const auto streams = read_stream_listing(GetParam().listing);
    ASSERT_EQ(streams.has_value(), GetParam().streams.has_value());
    if (!streams) return;
    EXPECT_EQ(streams->attachments, GetParam().streams->first);
    EXPECT_EQ(streams->attached_pictures, GetParam().streams->second);
}

INSTANTIATE_TEST_SUITE_P(
    Listings, Listing,
    testing::Values(
        ListingCase{"", Streams{0, {}}},
        // "\n" alone is what ffprobe 9 writes for some files.
        ListingCase{"\n", Streams{0, {}}},
        ListingCase{"0,video,0\n1,audio,0\n", Streams{0, {}}},
        ListingCase{"0,video,1\r\n1,video,0\r\n2,audio,0", Streams{0, {0}}},
        ListingCase{"0,video,0\n1,subtitle,0\n2,attachment,0\n3,video,1\n4,attachment,0\n"
                    "5,video,1\n\n",
                    Streams{2, {3, 5}}},
        // Only a video stream is a picture to leave out.
        ListingCase{"0,video,0\n1,audio,1\n2,attachment,1\n", Streams{1, {}}},
        ListingCase{"0,video,0\n1,video\n", std::nullopt},
        // An MPEG-2 stream's empty side-data subsection.
        ListingCase{"0,video,tt,1,\n1,video,0,,\n", Streams{0, {0}}},
        ListingCase{"0,video,1,x\n", std::nullopt},
        // MPEG-TS: a program's streams, then every stream.
        ListingCase{"0,video,1\n1,audio,0\n\n0,video,1\n1,audio,0\n2.0\n", Streams{0, {0}}},
        ListingCase{"0,audio,tt,0\n", std::nullopt},
        ListingCase{",video,1\n", std::nullopt},
        ListingCase{"-1,video,1\n", std::nullopt},
        ListingCase{"99999999999999999999999,video,1\n", std::nullopt},
        ListingCase{"1,,1\n", std::nullopt},
        ListingCase{"1,video,2\n", std::nullopt},
        ListingCase{"{\n  \"streams\": []\n}\n", std::nullopt},
        ListingCase{"0,video,0\n12.5e3\n", std::nullopt}));

struct FilmCase {
    const char* listing;
    const char* field_order;
    std::optional<double> duration;
};

void PrintTo(const FilmCase& c, std::ostream* out) { *out << testing::PrintToString(c.listing); }

class FilmListing : public testing::TestWithParam<FilmCase> {};

TEST_P(FilmListing, GivesTheFilmsFieldOrderAndTheDuration) {
    const auto streams = read_stream_listing(GetParam().listing);
    ASSERT_TRUE(streams.has_value());
    EXPECT_EQ(streams->field_order, GetParam().field_order);
    EXPECT_EQ(streams->duration, GetParam().duration);
}

INSTANTIATE_TEST_SUITE_P(
    Listings, FilmListing,
    testing::Values(FilmCase{"0,video,tt,0,\n1,audio,0\n4.023000\n", "tt", 4.023},
                    FilmCase{"0,video,bb,0\nN/A\n", "bb", std::nullopt},
                    // The cover listed first says nothing about the film.
                    FilmCase{"0,video,progressive,1\n1,video,tb,0\n2,video,bt,0\n", "tb",
                             std::nullopt},
                    FilmCase{"0,video,0\n1,video,bb,0\n", "", std::nullopt},
                    FilmCase{"0,video,unknown,0\n", "unknown", std::nullopt},
                    FilmCase{"0,audio,0\n", "", std::nullopt}));

TEST(FieldOrder, OnlyTheFourFieldCodingsAreInterlaced) {
    for (const char* order : {"tt", "bb", "tb", "bt"}) EXPECT_TRUE(is_interlaced_field_order(order));
    for (const char* order : {"progressive", "unknown", "", "TT", "t"})
        EXPECT_FALSE(is_interlaced_field_order(order));
}

}  // namespace
}  // namespace kestrin
