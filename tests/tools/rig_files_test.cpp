// The rig files users exchange: AmbDec presets with their matrices converted for ambiX input,
// JSON layouts, and the one-line reasons for files that cannot be used.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tools/common/rig_files.h"

namespace {

using rigfiles::RigFile;

// A dual-band first-order preset for a square, with FuMa-scaled coefficients.
const std::string kSquarePreset = R"(# a square
/description      Square, FuMa coefficients
/version          3
/dec/chan_mask    f
/dec/freq_bands   2
/dec/speakers     4
/dec/coeff_scale  fuma
/opt/input_scale  sn3d
/opt/nfeff_comp   output
/opt/delay_comp   on
/opt/level_comp   on
/opt/xover_freq   380
/opt/xover_ratio  0.0
/speakers/{
add_spkr    LF   2.0   45.0   0.0   system:playback_1
add_spkr    RF   2.0  -45.0   0.0   system:playback_2
add_spkr    LB   1.5  135.0   0.0   system:playback_3
add_spkr    RB   1.5 -135.0   0.0   system:playback_4
/}
/lfmatrix/{
order_gain     1.0  0.5
add_row        0.7071   0.5   0.0   0.5
add_row        0.7071  -0.5   0.0   0.5
add_row        0.7071   0.5   0.0  -0.5
add_row        0.7071  -0.5   0.0  -0.5
/}
/hfmatrix/{
order_gain     1.0  1.0
add_row        0.7071   0.4   0.0   0.4
add_row        0.7071  -0.4   0.0   0.4
add_row        0.7071   0.4   0.0  -0.4
add_row        0.7071  -0.4   0.0  -0.4
/}
/end
)";

TEST(AmbDecPreset, ReadsSpeakersAndConvertsTheMatricesForAmbixInput)
{
    RigFile rig;
    std::string error;
    ASSERT_TRUE(rigfiles::ParseAmbDec(kSquarePreset, rig, error)) << error;
    EXPECT_EQ(rig.name, "Square, FuMa coefficients");
    ASSERT_EQ(rig.speakers.size(), 4u);
    EXPECT_EQ(rig.speakers[2].name, "LB");
    EXPECT_DOUBLE_EQ(rig.speakers[2].azimuthDeg, 135.0);
    EXPECT_DOUBLE_EQ(rig.speakers[2].distanceM, 1.5);
    EXPECT_EQ(rig.speakers[3].channel, 3);
    ASSERT_TRUE(rig.hasDecoder);
    const rigfiles::FileDecoder& d = rig.decoder;
    EXPECT_EQ(d.order, 1);
    EXPECT_EQ(d.channels, 4u);
    EXPECT_TRUE(d.dualBand);
    EXPECT_DOUBLE_EQ(d.crossoverHz, 380.0);
    EXPECT_TRUE(d.delayCompensation);
    // FuMa W carries the SN3D W at 1/sqrt(2): its gain for ambiX input is 0.7071 / sqrt(2);
    // the low band's first-order gain halves Y and X.
    EXPECT_DOUBLE_EQ(d.low[1 * 4 + 0], 0.7071 * 0.7071067811865476);
    EXPECT_DOUBLE_EQ(d.low[1 * 4 + 1], -0.25);
    EXPECT_DOUBLE_EQ(d.low[1 * 4 + 3], 0.25);
    EXPECT_DOUBLE_EQ(d.high[3 * 4 + 3], -0.4);
}

TEST(AmbDecPreset, MaskedChannelsAndScalesLandOnTheirAcnChannels)
{
    // Second order horizontal (W Y X V U: mask 0x11b), N3D, one band.
    std::string text = "/version 3\n/dec/chan_mask 11b\n/dec/freq_bands 1\n/dec/speakers 2\n/dec/coeff_scale n3d\n"
                       "/speakers/{\nadd_spkr a 1 30 0\nadd_spkr b 1 -30 0\n/}\n/matrix/{\n"
                       "add_row 1 2 3 4 5\nadd_row 1 1 1 1 1\n/}\n/end\n";
    RigFile rig;
    std::string error;
    ASSERT_TRUE(rigfiles::ParseAmbDec(text, rig, error)) << error;
    const rigfiles::FileDecoder& d = rig.decoder;
    EXPECT_EQ(d.order, 2);
    ASSERT_EQ(d.channels, 9u);
    EXPECT_EQ(d.low, d.high);
    const double expected[9] = {1, 2 * std::sqrt(3.0), 0, 3 * std::sqrt(3.0), 4 * std::sqrt(5.0), 0, 0, 0, 5 * std::sqrt(5.0)};
    for (size_t c = 0; c < 9; ++c) EXPECT_DOUBLE_EQ(d.high[c], expected[c]) << c;
}

TEST(AmbDecPreset, RefusesWhatItCannotUseWithTheLineAndReason)
{
    const std::string base = "/version 3\n/dec/chan_mask f\n/dec/freq_bands 1\n/dec/speakers 2\n/dec/coeff_scale sn3d\n"
                             "/speakers/{\nadd_spkr a 1 30 0\nadd_spkr b 1 -30 0\n/}\n/matrix/{\nadd_row 1 0 0 1\n";
    struct Case {
        std::string text;
        std::string error;
    };
    for (const Case& c : {
             Case{base + "add_row 1 0 0 1\n/}\n", ""},
             Case{base + "/}\n", "line 10: /matrix/ has 1 rows for 2 speakers"},
             Case{base + "add_row 1 0 1\n/}\n", "line 12: /matrix/ row 2 has 3 gains for 4 channels in the mask"},
             Case{base + "add_row 1 x 0 1\n/}\n", "line 12: \"x\" is not a number"},
             Case{base + "add_row 1 0 0 1\n", "line 13: a section is not closed with /}"},
             Case{"/version 2\n", "line 1: only version 3 presets are read"},
             Case{"/dec/teleport 1\n", "line 1: unknown setting /dec/teleport"},
             Case{"just some text\n", "line 1: unknown setting just"},
             Case{"/speakers/{\nadd_spkr a 0 30 0\n", "line 2: speaker distance must be above 0 and at most 1000 m"},
             Case{"/speakers/{\nadd_spkr a 1 30 91\n", "line 2: speaker elevation must be from -90 to 90 degrees"},
         }) {
        RigFile rig;
        std::string error;
        EXPECT_EQ(rigfiles::ParseAmbDec(c.text, rig, error), c.error.empty()) << c.text;
        EXPECT_EQ(error, c.error);
    }
}

TEST(JsonLayout, ReadsDirectionsChannelsGainsAndImaginarySpeakers)
{
    const std::string text = R"({"Name": "5.1 with a floor",
      "LoudspeakerLayout": {"Name": "5.1", "Loudspeakers": [
        {"Azimuth": 30, "Elevation": 0, "Radius": 2.5, "IsImaginary": false, "Channel": 1, "Gain": 1.0},
        {"Azimuth": -30, "Elevation": 0, "Radius": 2.0, "IsImaginary": false, "Channel": 2, "Gain": 0.5},
        {"Azimuth": 0, "Elevation": 0, "IsImaginary": false, "Channel": 3},
        {"Azimuth": 110, "Elevation": 0, "Channel": 5},
        {"Azimuth": -110, "Elevation": 0, "Channel": 6},
        {"Azimuth": 0, "Elevation": -90, "IsImaginary": true, "Channel": 7}]}})";
    RigFile rig;
    std::string error;
    ASSERT_TRUE(rigfiles::ParseLayoutJson(text, rig, error)) << error;
    EXPECT_EQ(rig.name, "5.1");
    ASSERT_EQ(rig.speakers.size(), 6u);
    EXPECT_DOUBLE_EQ(rig.speakers[0].distanceM, 2.5);
    EXPECT_DOUBLE_EQ(rig.speakers[1].gain, 0.5);
    EXPECT_DOUBLE_EQ(rig.speakers[2].distanceM, 0.0);
    EXPECT_EQ(rig.speakers[3].channel, 4);
    EXPECT_TRUE(rig.speakers[5].imaginary);
    EXPECT_FALSE(rig.hasDecoder);
}

TEST(JsonLayout, RefusesWhatItCannotUseWithTheKeyAndReason)
{
    struct Case {
        std::string text;
        std::string error;
    };
    for (const Case& c : {
             Case{"[1, 2]", "JSON: not a JSON object"},
             Case{"{\"Loudspeakers\": [", "JSON: not a JSON object"},
             Case{"{}", "Loudspeakers: missing"},
             Case{"{\"LoudspeakerLayout\": {\"Loudspeakers\": {}}}", "LoudspeakerLayout.Loudspeakers: not an array"},
             Case{"{\"Loudspeakers\": [{\"Azimuth\": \"left\", \"Elevation\": 0, \"Channel\": 1}]}",
                  "Loudspeakers[0].Azimuth: not a number"},
             Case{"{\"Loudspeakers\": [{\"Azimuth\": 0, \"Elevation\": 0}]}", "Loudspeakers[0].Channel: missing"},
             Case{"{\"Loudspeakers\": [{\"Azimuth\": 0, \"Elevation\": 0, \"Channel\": 1},"
                  " {\"Azimuth\": 9, \"Elevation\": 0, \"Channel\": 1}]}",
                  "Loudspeakers[1].Channel: channel 1 is used twice"},
             Case{"{\"Loudspeakers\": [{\"Azimuth\": 0, \"Elevation\": 0, \"Channel\": 1.5}]}",
                  "Loudspeakers[0].Channel: not a channel number from 1 to 64"},
             Case{"{\"Loudspeakers\": [{\"Azimuth\": 0, \"Elevation\": 0, \"IsImaginary\": true}]}",
                  "Loudspeakers: no real speakers"},
             Case{"{\"Loudspeakers\": [{\"Azimuth\": 0, \"Elevation\": 0, \"Channel\": 1, \"Gain\": -1}]}",
                  "Loudspeakers[0].Gain: outside 0 to 10 (linear)"},
         }) {
        RigFile rig;
        std::string error;
        EXPECT_FALSE(rigfiles::ParseLayoutJson(c.text, rig, error)) << c.text;
        EXPECT_EQ(error, c.error);
    }
}

}  // namespace
