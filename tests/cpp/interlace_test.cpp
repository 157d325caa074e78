// The decision between deinterlacing, inverse telecine and leaving the film alone, from idet's
// counts, and the counts read from its log.
#include "encode/interlace.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace kestrin {
namespace {

using T = FieldTreatment;

struct DecisionCase {
    const char* name;
    FieldCounts counts;
    FieldDecision expected;
};

void PrintTo(const DecisionCase& c, std::ostream* out) { *out << c.name; }

class Decision : public testing::TestWithParam<DecisionCase> {};

TEST_P(Decision, FollowsTheCounts) {
    EXPECT_EQ(decide_fields(GetParam().counts), GetParam().expected);
}

// Counts: repeated neither, top, bottom; multi-frame TFF, BFF, progressive, undetermined.
INSTANTIATE_TEST_SUITE_P(
    Counts, Decision,
    testing::Values(
        DecisionCase{"576i video", {100, 0, 0, 100, 0, 0, 0}, {T::video, true}},
        DecisionCase{"480i video, bottom first", {120, 0, 0, 0, 120, 0, 0}, {T::video, false}},
        DecisionCase{"3:2 telecine", {72, 24, 24, 120, 0, 0, 0}, {T::telecine, true}},
        DecisionCase{"a tenth repeated is telecine", {90, 5, 5, 0, 100, 0, 0},
                     {T::telecine, false}},
        DecisionCase{"just under a tenth is video", {91, 5, 4, 0, 100, 0, 0}, {T::video, false}},
        DecisionCase{"PsF measured whole", {100, 0, 0, 0, 0, 100, 0}, {T::progressive, true}},
        DecisionCase{"a third combed is enough", {100, 0, 0, 1, 0, 2, 0}, {T::video, true}},
        DecisionCase{"just under a third is not", {100, 0, 0, 33, 0, 67, 1},
                     {T::progressive, true}},
        // A fine pattern in whole pictures: idet sees combing but no order fits better.
        DecisionCase{"combing in both orders", {100, 0, 0, 48, 47, 5, 0}, {T::progressive, true}},
        DecisionCase{"four in five of one order", {100, 0, 0, 80, 20, 0, 0}, {T::video, true}},
        DecisionCase{"a static film repeats but is not combed", {10, 45, 45, 0, 0, 100, 0},
                     {T::progressive, true}},
        DecisionCase{"nothing counted", {0, 0, 0, 0, 0, 0, 0}, {T::undecided, true}}),
    [](const testing::TestParamInfo<DecisionCase>& info) {
        return "case" + std::to_string(info.index);
    });

TEST(FieldFilter, EachTreatmentGoesFirstInTheChain) {
    EXPECT_EQ(field_filter_text({T::video, false}), "bwdif=mode=send_frame:parity=bff");
    EXPECT_EQ(field_filter_text({T::telecine, true}),
              "fieldmatch=order=tff,bwdif=mode=send_frame:parity=tff:deint=interlaced,decimate");
    EXPECT_EQ(field_filter_text({T::progressive, true}), "");
    EXPECT_EQ(field_filter_text({T::undecided, true}), "bwdif=mode=send_frame");
}

TEST(FieldCountScan, TakesTheSummaryLinesInPiecesCutAnywhere) {
    const std::string log =
        "frame=  100 fps=0.0 q=-0.0 size=N/A time=00:00:04.00    \r"
        "[Parsed_idet_0 @ 0x55d6] Repeated Fields: Neither:    72 Top:    24 Bottom:    24\n"
        "[Parsed_idet_0 @ 0x55d6] Single frame detection: TFF:    11 BFF:   107 Progressive:     2 "
        "Undetermined:     0\r\n"
        "[Parsed_idet_0 @ 0x55d6] Multi frame detection: TFF:     4 BFF:   116 Progressive:     0 "
        "Undetermined:     0";
    for (std::size_t cut = 1; cut <= log.size(); cut += 37) {
        FieldCountScan scan;
        for (std::size_t at = 0; at < log.size(); at += cut) scan.feed(log.substr(at, cut));
        const auto counts = scan.finish();
        ASSERT_TRUE(counts.has_value());
        EXPECT_EQ((std::array{counts->neither, counts->repeated_top, counts->repeated_bottom,
                              counts->top_first, counts->bottom_first, counts->progressive,
                              counts->undetermined}),
                  (std::array<std::int64_t, 7>{72, 24, 24, 4, 116, 0, 0}));
    }
    FieldCountScan nothing;
    nothing.feed("Multi frame detection: TFF: x\nno summary\n");
    EXPECT_FALSE(nothing.finish().has_value());
}

TEST(FieldAnalysis, OpeningOfAShortFileWindowsAcrossAFilm) {
    const ArgumentList opening{"ffmpeg", "-hide_banner", "-loglevel", "info", "-i", "a.mpg",
                               "-map", "0:V:0", "-vf", "idet", "-frames:v", "120", "-f", "null",
                               "-"};
    EXPECT_EQ(field_analysis_arguments("a.mpg", std::nullopt), opening);
    EXPECT_EQ(field_analysis_arguments("a.mpg", 59.9), opening);
    const ArgumentList film = field_analysis_arguments("a.mpg", 100.0);
    ASSERT_EQ(film.size(), 4 + 8 * 7 + 7u);
    EXPECT_EQ(ArgumentList(film.begin() + 4, film.begin() + 11),
              (ArgumentList{"-noaccurate_seek", "-ss", "10.000", "-t", "0.5", "-i", "a.mpg"}));
    EXPECT_EQ(film[4 + 7 * 7 + 2], "80.000");
    EXPECT_EQ(film[film.size() - 6],
              "[0:V:0][1:V:0][2:V:0][3:V:0][4:V:0][5:V:0][6:V:0][7:V:0]concat=n=8:v=1:a=0,"
              "idet[windows]");
}

}  // namespace
}  // namespace kestrin
