// The encode and remux command lines, as whole lists.
#include "encode/command_line.hpp"
#include "encode/remux.hpp"

#include <gtest/gtest.h>

namespace kestrin {
namespace {

struct CommandLineCase {
    const char* name;
    EncodeTask task;
    ArgumentList expected;
};

void PrintTo(const CommandLineCase& c, std::ostream* out) { *out << c.name; }

class CommandLine : public testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLine, IsTheWholeList) {
    EXPECT_EQ(encode_arguments(GetParam().task), GetParam().expected);
}

const Text example_filter =
    "crop=1920:800:0:140,scale=w='trunc(oh*a/16)*16':h=720:flags=lanczos,setsar=1";

const ArgumentList worked_example{
    "ffmpeg", "-y", "-hide_banner", "-loglevel", "error", "-stats", "-i", "/v/in.mkv",
    "-map", "0", "-dn", "-map_metadata:g", "-1", "-map_chapters", "0", "-vf", example_filter,
    "-fps_mode", "cfr", "-c:v", "libx265", "-pix_fmt", "yuv420p10le", "-profile:v", "main10",
    "-x265-params", "aq-mode=3:strong-intra-smoothing=0:sao=0", "-c:a", "copy", "-c:s", "copy",
    "-crf", "20", "-preset", "slow", "/v/out.mkv"};

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
            "libx264",
            {"/v/in.mkv", "/v/out.mkv", "libx264", "720", "1920:800:0:140",
             "-crf 20 -preset slow"},
            {"ffmpeg", "-y", "-hide_banner", "-loglevel", "error", "-stats", "-i", "/v/in.mkv",
             "-map", "0", "-dn", "-map_metadata:g", "-1", "-map_chapters", "0", "-vf",
             example_filter,
             "-fps_mode", "cfr", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-profile:v", "high",
             "-level", "4.1", "-c:a", "copy", "-c:s", "copy", "-crf", "20", "-preset", "slow",
             "/v/out.mkv"}},
        CommandLineCase{
            "own x265 parameters replace the defaults",
            {"/v/in.mkv", "/v/out.mkv", "libx265", "720", "1920:800:0:140",
             "-x265-params crf=18"},
            {"ffmpeg", "-y", "-hide_banner", "-loglevel", "error", "-stats", "-i", "/v/in.mkv",
             "-map", "0", "-dn", "-map_metadata:g", "-1", "-map_chapters", "0", "-vf",
             example_filter,
             "-fps_mode", "cfr", "-c:v", "libx265", "-pix_fmt", "yuv420p10le", "-profile:v",
             "main10", "-c:a", "copy", "-c:s", "copy", "-x265-params", "crf=18", "/v/out.mkv"}},
        CommandLineCase{
            "x265-params inside a longer token",
            {"in", "out", "hevc_nvenc", "480", "1:2:3:4", "--my-x265-params-file"},
            {"ffmpeg", "-y", "-hide_banner", "-loglevel", "error", "-stats", "-i", "in", "-map",
             "0", "-dn", "-map_metadata:g", "-1", "-map_chapters", "0", "-vf",
             "crop=1:2:3:4,scale=w='trunc(oh*a/16)*16':h=480:flags=lanczos,setsar=1",
             "-fps_mode", "cfr", "-c:v", "hevc_nvenc", "-pix_fmt", "yuv420p10le", "-profile:v",
             "main10", "-c:a", "copy", "-c:s", "copy", "--my-x265-params-file", "out"}},
        CommandLineCase{
            "hevc_nvenc gets the default x265 parameters",
            {"in", "out", "hevc_nvenc", "480", "1:2:3:4", ""},
            {"ffmpeg", "-y", "-hide_banner", "-loglevel", "error", "-stats", "-i", "in", "-map",
             "0", "-dn", "-map_metadata:g", "-1", "-map_chapters", "0", "-vf",
             "crop=1:2:3:4,scale=w='trunc(oh*a/16)*16':h=480:flags=lanczos,setsar=1",
             "-fps_mode", "cfr", "-c:v", "hevc_nvenc", "-pix_fmt", "yuv420p10le", "-profile:v",
             "main10", "-x265-params", "aq-mode=3:strong-intra-smoothing=0:sao=0", "-c:a",
             "copy", "-c:s", "copy", "out"}},
        CommandLineCase{
            "both names: HEVC wins",
            {"in", "out", "x264+x265", "480", "1:2:3:4", ""},
            {"ffmpeg", "-y", "-hide_banner", "-loglevel", "error", "-stats", "-i", "in", "-map",
             "0", "-dn", "-map_metadata:g", "-1", "-map_chapters", "0", "-vf",
             "crop=1:2:3:4,scale=w='trunc(oh*a/16)*16':h=480:flags=lanczos,setsar=1",
             "-fps_mode", "cfr", "-c:v", "x264+x265", "-pix_fmt", "yuv420p10le", "-profile:v",
             "main10", "-x265-params", "aq-mode=3:strong-intra-smoothing=0:sao=0", "-c:a",
             "copy", "-c:s", "copy", "out"}},
        CommandLineCase{
            "upper-case codec: no settings, x265-params in flags is only a flag",
            {"in", "out", "X265", "480", "1:2:3:4", "-x265-params a=1"},
            {"ffmpeg", "-y", "-hide_banner", "-loglevel", "error", "-stats", "-i", "in", "-map",
             "0", "-dn", "-map_metadata:g", "-1", "-map_chapters", "0", "-vf",
             "crop=1:2:3:4,scale=w='trunc(oh*a/16)*16':h=480:flags=lanczos,setsar=1",
             "-fps_mode", "cfr", "-c:v", "X265", "-c:a", "copy", "-c:s", "copy", "-x265-params",
             "a=1", "out"}},
        CommandLineCase{
            "HEVC in capitals",
            {"in", "out", "HEVC", "480", "1:2:3:4", ""},
            {"ffmpeg", "-y", "-hide_banner", "-loglevel", "error", "-stats", "-i", "in", "-map",
             "0", "-dn", "-map_metadata:g", "-1", "-map_chapters", "0", "-vf",
             "crop=1:2:3:4,scale=w='trunc(oh*a/16)*16':h=480:flags=lanczos,setsar=1",
             "-fps_mode", "cfr", "-c:v", "HEVC", "-c:a", "copy", "-c:s", "copy", "out"}},
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
            {"ffmpeg", "-y", "-hide_banner", "-loglevel", "error", "-stats", "-i", "in", "-map",
             "0", "-dn", "-map_metadata:g", "-1", "-map_chapters", "0", "-vf",
             "crop=1:2:3:4,scale=w='trunc(oh*a/16)*16':h=480:flags=lanczos,setsar=1",
             "-fps_mode", "cfr", "-c:v", "libsvtav1", "-c:a", "copy", "-c:s", "copy", "\"a",
             "b\"", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14",
             "15", "16", "17", "18", "x\xE2\x80\x8By", "y\xE1\xA0\x8Ez", "z\xEF\xBB\xBFw", "\\",
             "'q'", "out"}}),
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

TEST(RemuxArguments, AttachmentsAreListedByFfprobe) {
    EXPECT_EQ(attachment_probe_arguments("a b.mkv"),
              (ArgumentList{"ffprobe", "-v", "quiet", "-select_streams", "t", "-show_entries",
                            "stream=index", "-of", "csv=p=0", "a b.mkv"}));
}

struct AttachmentListCase {
    const char* report;
    std::size_t count;
};

class AttachmentList : public testing::TestWithParam<AttachmentListCase> {};

TEST_P(AttachmentList, CountsOnlyLinesThatAreStreamIndices) {
    EXPECT_EQ(count_attachment_lines(GetParam().report), GetParam().count);
}

// "\n" alone is what ffprobe 9 writes for a MOV with a timecode track.
INSTANTIATE_TEST_SUITE_P(Reports, AttachmentList,
                         testing::Values(AttachmentListCase{"", 0}, AttachmentListCase{"\n", 0},
                                         AttachmentListCase{"2\n3\n", 2},
                                         AttachmentListCase{"2\r\n3", 2},
                                         AttachmentListCase{"12\n\n 4\n4,\n-1\nx\n", 1}));

}  // namespace
}  // namespace kestrin
