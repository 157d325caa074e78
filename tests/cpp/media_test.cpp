// The probe report's record, the cropdetect log scan, the union of two rectangles, and the
// opening's and the probe's command lines.
#include <gtest/gtest.h>

#include <string>

#include "media/black_bars.hpp"
#include "media/probe.hpp"

namespace kestrin {
namespace {

TEST(ProbeArguments, AreTheWholeFfprobeCommandLine) {
    EXPECT_EQ(probe_arguments("dir/my clip 'x'.mkv"),
              (ArgumentList{"ffprobe", "-v", "quiet", "-print_format", "json", "-show_format",
                            "-show_streams", "dir/my clip 'x'.mkv"}));
}

TEST(CropdetectArguments, AreTheWholeFfmpegCommandLine) {
    EXPECT_EQ(cropdetect_arguments("-in.mkv"),
              (ArgumentList{"ffmpeg", "-hide_banner", "-loglevel", "info", "-i", "-in.mkv", "-vf",
                            "cropdetect=24:16:0", "-vframes", "100", "-f", "null", "-"}));
}

TEST(ProbeReport, FillsTheRecordFromTheFirstVideoStreamAndTheFormat) {
    const auto record = read_probe_report(R"({
        "streams": [
            {"codec_type": "audio", "codec_name": "aac", "width": 1},
            {"codec_type": "video", "codec_name": "h264", "width": 1920, "height": 1080,
             "pix_fmt": "yuv420p"},
            {"codec_type": "video", "codec_name": "hevc", "width": 3840, "height": 2160}
        ],
        "format": {"filename": "a.mkv", "duration": "12.500000", "bit_rate": "N/A"}
    })");
    ASSERT_TRUE(record.ok());
    const VideoMetadata& r = record.value();
    EXPECT_EQ(r.filename, "a.mkv");
    EXPECT_EQ(r.width, 1920);
    EXPECT_EQ(r.height, 1080);
    EXPECT_EQ(r.codec, "h264");
    EXPECT_EQ(r.duration, 12.5);
    EXPECT_EQ(r.pix_fmt, "yuv420p");
    EXPECT_EQ(r.bitrate, "N/A");
}

TEST(ProbeReport, SizesAreTakenOnlyFromIntegersThatFitSignedSixtyFourBits) {
    const auto record = read_probe_report(
        R"({"streams": [{"codec_type": "video", "width": 9223372036854775807,
                         "height": 9223372036854775808}]})");
    ASSERT_TRUE(record.ok());
    EXPECT_EQ(record.value().width, INT64_MAX);
    EXPECT_EQ(record.value().height, 0);
    EXPECT_EQ(record.value().filename, "unknown");
    EXPECT_EQ(record.value().bitrate, "0");
}

struct LogCase {
    const char* name;
    std::string log;
    std::string rectangle;
};

class CropLog : public testing::TestWithParam<LogCase> {};

// The whole log in one piece; "none" when no line was a candidate.
std::string last_candidate(std::string_view log) {
    CropScan scan;
    scan.feed(log);
    return scan.finish().value_or("none");
}

TEST_P(CropLog, GivesTheLastCandidate) {
    EXPECT_EQ(last_candidate(GetParam().log), GetParam().rectangle);
}

const std::string cropdetect_line =
    "[Parsed_cropdetect_0 @ 0x55d0c2a0] x1:0 x2:1919 y1:140 y2:939 w:1920 h:800 x:0 y:140 "
    "pts:1960 t:1.960000 limit:24.000000 crop=";

INSTANTIATE_TEST_SUITE_P(
    Logs, CropLog,
    testing::Values(
        LogCase{"Nothing", "", "none"},
        LogCase{"NoCandidate", "Input #0, matroska\nframe=  100 fps=0.0\r\n", "none"},
        LogCase{"LastOfMany",
                cropdetect_line + "1920:816:0:132\n" + cropdetect_line + "1920:800:0:140\n" +
                    "frame=  100 fps=0.0 q=-0.0 Lsize=N/A\n",
                "1920:800:0:140"},
        LogCase{"CarriageReturnLineFeed", cropdetect_line + "1920:800:0:140\r\n",
                "1920:800:0:140"},
        LogCase{"NoFinalLineFeed", cropdetect_line + "1920:800:0:140", "1920:800:0:140"},
        LogCase{"TwiceInOneLine", "crop=1:1:0:0 then crop=2:2:0:0\n", "2:2:0:0"},
        LogCase{"WhiteSpaceAroundTheValue", "crop=\xE2\x80\x83 1920:800:0:140\xC2\xA0\t\n",
                "1920:800:0:140"},
        LogCase{"TextAfterTheValueIsNoRectangle",
                "crop=16:16:0:0\ncrop=1920:800:0:140  (estimate)\n", "16:16:0:0"},
        LogCase{"NothingAfterMarkerIsNoCandidate", "crop=1:1:0:0\nlast crop=\n", "1:1:0:0"},
        LogCase{"OnlyWhiteSpaceAfterMarker", "crop=\xE2\x80\x83\xC2\xA0 \r\n", "none"},
        LogCase{"HostileTitleEchoed",
                "    title           : crop=320:240:0:0,drawtext=textfile=/some/secret:x=0\n",
                "none"},
        LogCase{"BlackFramesEstimateAfterAGoodOne",
                cropdetect_line + "640:272:0:44\n" + cropdetect_line + "-1904:-1072:1914:1078\n",
                "640:272:0:44"},
        LogCase{"ProgressUpdateSharesTheLine",
                "crop=9:9:0:0\nframe=   50 fps=0.0\r" + cropdetect_line + "1920:800:0:140\n",
                "1920:800:0:140"},
        LogCase{"LoneCarriageReturnStaysInTheLine", "crop=1:2:3:4\rframe= 5\n", "none"},
        LogCase{"MarkerInTheEchoedFileNameOnly", "Input #0, from 'my crop=clip.mkv':\n",
                "none"},
        LogCase{"EchoedFileNameBeforeTheFilter",
                "Input #0, from 'crop=x.mkv':\n" + cropdetect_line + "640:272:0:44\n",
                "640:272:0:44"},
        LogCase{"InvalidBytesCanNotMatch", "crop=1:1:0:0\ncr\xFFop=2:2:0:0\n\xC3(\n", "1:1:0:0"},
        LogCase{"InvalidBytesAfterTheValueSpoilIt", "crop=1:1:0:0 \xFF\n", "none"},
        LogCase{"CaseMatters", "crop=1:1:0:0\nCROP=2:2:0:0\n", "1:1:0:0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CropLog, PiecesCutAnywhereGiveTheSameRectangle) {
    const std::string log = "Input #0, from 'crop=1:1:0:0':\n" + cropdetect_line +
                            "640:272:0:44\r\nframe=  1\r" + cropdetect_line + "16:16:0:0 \n" +
                            "crop=\xC2\xA0" + "32:32:0:0\xC2\xA0";
    for (std::size_t cut = 0; cut <= log.size(); ++cut) {
        for (std::size_t second = cut; second <= log.size(); second += 7) {
            CropScan scan;
            scan.feed(std::string_view(log).substr(0, cut));
            scan.feed(std::string_view(log).substr(cut, second - cut));
            scan.feed(std::string_view(log).substr(second));
            EXPECT_EQ(scan.finish(), "32:32:0:0") << cut << " " << second;
        }
    }
}

struct RectangleCase {
    const char* text;
    bool is_rectangle;
};

class CropRectangle : public testing::TestWithParam<RectangleCase> {};

TEST_P(CropRectangle, IsOnlyWhatCropdetectWrites) {
    EXPECT_EQ(is_crop_rectangle(GetParam().text), GetParam().is_rectangle) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CropRectangle,
    testing::Values(RectangleCase{"640:272:0:44", true}, RectangleCase{"1:1:0:0", true},
                    RectangleCase{"2147483647:2147483647:2147483647:2147483647", true},
                    RectangleCase{"", false}, RectangleCase{":::", false},
                    RectangleCase{"0:272:0:44", false}, RectangleCase{"640:0:0:44", false},
                    RectangleCase{"-1904:-1072:1914:1078", false},
                    RectangleCase{"640:272:-0:44", false}, RectangleCase{"+640:272:0:44", false},
                    RectangleCase{"0640:272:0:44", false}, RectangleCase{"640:272:00:44", false},
                    RectangleCase{"2147483648:272:0:44", false},
                    RectangleCase{"640:272:0:99999999999999999999", false},
                    RectangleCase{"640:272:0", false}, RectangleCase{"640:272:0:44:1", false},
                    RectangleCase{"640::0:44", false}, RectangleCase{"640:272:0:44,", false},
                    RectangleCase{"320:240:0:0,drawtext=textfile=/etc/passwd", false},
                    RectangleCase{"640 :272:0:44", false}, RectangleCase{"640:272:0:44\r", false},
                    RectangleCase{"0x10:272:0:44", false},
                    RectangleCase{"\xEF\xBC\x91:1:0:0", false}));  // a fullwidth digit one

struct UnionCase {
    const char* first;
    const char* second;
    const char* united;
};

class CropUnion : public testing::TestWithParam<UnionCase> {};

TEST_P(CropUnion, HoldsBothRoundedAsCropdetectRounds) {
    EXPECT_EQ(united_rectangle(GetParam().first, GetParam().second), GetParam().united);
}

INSTANTIATE_TEST_SUITE_P(
    Rectangles, CropUnion,
    testing::Values(UnionCase{"1920:800:0:140", "1920:800:0:140", "1920:800:0:140"},
                    UnionCase{"272:160:844:460", "1920:800:0:140", "1920:800:0:140"},
                    UnionCase{"1920:800:0:140", "272:160:844:460", "1920:800:0:140"},
                    // Neither holds the other: the film is pillarboxed, the opening letterboxed.
                    UnionCase{"1920:800:0:140", "1440:1072:240:4", "1920:1072:0:4"},
                    // 648x280 is cut by 8 each way, 4 taken off on each side.
                    UnionCase{"640:272:0:44", "640:272:8:52", "640:272:4:48"},
                    // An odd start moves up to the even pixel after it.
                    UnionCase{"17:16:3:0", "17:16:3:0", "16:16:4:0"},
                    UnionCase{"1:1:0:0", "1:1:0:0", "1:1:0:0"},
                    UnionCase{"1:1:1:1", "1:1:1:1", "1:1:1:1"},
                    UnionCase{"2147483647:1:0:0", "1:1:2147483647:0", "2147483647:1:0:0"}));

}  // namespace
}  // namespace kestrin
