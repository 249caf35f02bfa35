// The SOFA reader of the headphone decode, on files the build writes (make_sofa.py): each
// response is an impulse whose position names its measurement.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/bformat-decode/sofa_responses.h"

namespace {

using decoder::Direction;
using decoder::DirectionalResponse;

const std::string kDir = SOFA_TEST_DIR;

// The grid make_sofa.py writes, in measurement order.
std::vector<Direction> FileGrid()
{
    std::vector<Direction> d;
    for (int az = 0; az < 360; az += 30) d.push_back({double(az), 0.0});
    for (double el : {60.0, -60.0})
        for (int az = 0; az < 360; az += 90) d.push_back({double(az), el});
    return d;
}

size_t Peak(const std::vector<double>& v)
{
    return static_cast<size_t>(std::max_element(v.begin(), v.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); }) - v.begin());
}

// Angle between two directions, in degrees.
double Gap(const Direction& a, const Direction& b)
{
    const double r = 3.141592653589793 / 180.0;
    const double c = std::sin(a.elevationDeg * r) * std::sin(b.elevationDeg * r) +
                     std::cos(a.elevationDeg * r) * std::cos(b.elevationDeg * r) * std::cos((a.azimuthDeg - b.azimuthDeg) * r);
    return std::acos(std::clamp(c, -1.0, 1.0)) / r;
}

TEST(SofaResponses, EachVirtualSpeakerGetsTheNearestMeasurement)
{
    const std::vector<Direction> grid = FileGrid();
    for (decoder::LayoutId layout :
         {decoder::LayoutId::OctagonRotated, decoder::LayoutId::TwoLayer, decoder::LayoutId::HexagonRotated}) {
        SCOPED_TRACE(decoder::BuiltInRig(layout).name);
        const std::vector<Direction> speakers = decoder::SpeakerDirections(decoder::BuiltInRig(layout));
        std::vector<DirectionalResponse> got;
        std::string error;
        bformat::SofaSummary summary;
        ASSERT_TRUE(bformat::LoadSofaResponses(kDir + "/grid.sofa", 48000.0, speakers, got, error, &summary)) << error;
        EXPECT_EQ(summary.measurements, grid.size());
        EXPECT_EQ(summary.fileRate, 48000.0);
        EXPECT_EQ(summary.frames, 64u);
        ASSERT_EQ(got.size(), speakers.size());
        for (size_t s = 0; s < speakers.size(); ++s) {
            size_t nearest = 0;
            for (size_t m = 1; m < grid.size(); ++m)
                if (Gap(speakers[s], grid[m]) < Gap(speakers[s], grid[nearest])) nearest = m;
            EXPECT_EQ(Peak(got[s].left), nearest + 1) << "speaker " << s;
            EXPECT_EQ(Peak(got[s].right), nearest + 30) << "speaker " << s;
            EXPECT_NEAR(Gap({got[s].azimuthDeg, got[s].elevationDeg}, grid[nearest]), 0.0, 1e-3);
        }
    }
}

TEST(SofaResponses, TheWholeSetComesInFileOrder)
{
    const std::vector<Direction> grid = FileGrid();
    std::vector<DirectionalResponse> got;
    std::string error;
    ASSERT_TRUE(bformat::LoadSofaSet(kDir + "/grid.sofa", 48000.0, got, error)) << error;
    ASSERT_EQ(got.size(), grid.size());
    for (size_t m = 0; m < grid.size(); ++m) {
        EXPECT_EQ(Peak(got[m].left), m + 1) << "measurement " << m;
        EXPECT_EQ(Peak(got[m].right), m + 30) << "measurement " << m;
        EXPECT_NEAR(Gap({got[m].azimuthDeg, got[m].elevationDeg}, grid[m]), 0.0, 1e-3);
    }
    EXPECT_FALSE(bformat::LoadSofaSet(kDir + "/one_ear.sofa", 48000.0, got, error));
    EXPECT_TRUE(got.empty());
}

TEST(SofaResponses, ResamplesToTheStreamRateAndAppliesTheFileDelays)
{
    const std::vector<Direction> ahead = {{0.0, 0.0}};
    std::vector<DirectionalResponse> got;
    std::string error;
    bformat::SofaSummary summary;
    ASSERT_TRUE(bformat::LoadSofaResponses(kDir + "/grid.sofa", 96000.0, ahead, got, error, &summary)) << error;
    EXPECT_EQ(summary.fileFrames, 64u);
    EXPECT_GE(summary.frames, 127u);
    // Measurement 0: impulses at frames 1 and 30 of 48 kHz are near 2 and 60 at 96 kHz.
    EXPECT_NEAR(double(Peak(got[0].left)), 2.0, 2.0);
    EXPECT_NEAR(double(Peak(got[0].right)), 60.0, 2.0);

    ASSERT_TRUE(bformat::LoadSofaResponses(kDir + "/delayed.sofa", 48000.0, ahead, got, error)) << error;
    EXPECT_EQ(Peak(got[0].left), 5u);
    EXPECT_EQ(Peak(got[0].right), 9u);
    EXPECT_EQ(got[0].left.size(), got[0].right.size());
}

TEST(SofaResponses, UnusableFilesGetOneLineAndNoResponses)
{
    const std::string text = kDir + "/not_sofa.sofa";
    std::ofstream(text) << "this is not a SOFA file\n";
    const std::vector<Direction> ahead = {{0.0, 0.0}};
    for (const std::string& path : {kDir + "/missing.sofa", text, kDir + "/one_ear.sofa"}) {
        std::vector<DirectionalResponse> got(1);
        std::string error;
        EXPECT_FALSE(bformat::LoadSofaResponses(path, 48000.0, ahead, got, error)) << path;
        EXPECT_TRUE(got.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(error.rfind(path, 0), 0u) << error;
    }
    std::vector<DirectionalResponse> got;
    std::string error;
    EXPECT_FALSE(bformat::LoadSofaResponses(kDir + "/grid.sofa", 0.0, ahead, got, error));
}

TEST(SofaResponses, DamagedFilesAreRefusedInWordsOrReadWhole)
{
    std::ifstream source(kDir + "/grid.sofa", std::ios::binary);
    const std::vector<char> grid((std::istreambuf_iterator<char>(source)), std::istreambuf_iterator<char>());
    ASSERT_GT(grid.size(), 1000u);
    const std::string path = kDir + "/damaged.sofa";
    const std::vector<Direction> directions = FileGrid();
    // Each damaged copy: read whole and sound, or refused with one line naming the file and
    // saying why in words; `expect` is what a refusal must say.
    auto check = [&](const std::vector<char>& bytes, const std::string& expect, const std::string& what) {
        std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
        std::vector<DirectionalResponse> got;
        std::string error;
        if (bformat::LoadSofaResponses(path, 44100.0, directions, got, error)) {
            ASSERT_EQ(got.size(), directions.size()) << what;
            for (const DirectionalResponse& r : got) {
                EXPECT_EQ(r.left.size(), r.right.size()) << what;
                for (double v : r.left) ASSERT_TRUE(std::isfinite(v)) << what;
            }
            return;
        }
        EXPECT_TRUE(got.empty()) << what;
        EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << what << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << what << ": " << error;
        EXPECT_EQ(error.find("error 1"), std::string::npos) << what << ": " << error;
        EXPECT_NE(error.find(expect), std::string::npos) << what << ": " << error;
    };
    for (size_t cut = 8; cut < grid.size(); cut += grid.size() / 24)
        check({grid.begin(), grid.begin() + long(cut)}, "truncated", "cut at " + std::to_string(cut));
    check({grid.begin(), grid.begin() + 7}, "is not a SOFA file", "cut inside the signature");
    check({}, "is not a SOFA file", "empty");
    for (size_t at = 0; at + 4 < grid.size(); at += grid.size() / 64) {
        std::vector<char> bytes = grid;
        for (size_t i = at; i < at + 4; ++i) bytes[i] = char(~bytes[i]);
        check(bytes, "", "bytes inverted at " + std::to_string(at));
    }
}

}  // namespace
