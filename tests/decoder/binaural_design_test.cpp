// Binaural decoders designed from head-related responses, measured against the responses of an
// analytic head whose truth is known.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "decoder/binaural_design.h"
#include "decoder/head_model.h"
#include "tests/support/analytic_head.h"
#include "tests/support/binaural_quality.h"

namespace {

using namespace decoder;
using namespace binaural_quality;

constexpr double kRate = 48000.0;

const std::vector<DirectionalResponse>& Head()
{
    static const std::vector<DirectionalResponse> head = analytic_head::AnalyticHeadSet(kRate);
    return head;
}

BinauralDesign Designed(int order, const std::vector<DirectionalResponse>& set)
{
    BinauralDesignSettings s;
    s.sampleRate = kRate;
    s.order = order;
    s.responses = set.data();
    s.responseCount = set.size();
    BinauralDesign d;
    EXPECT_EQ(DesignBinauralDecoder(s, d), BinauralDesignResult::Ok);
    return d;
}

// Mean third-octave difference between an overhead and an omnidirectional source, and
// between sources at +60 and 0 degrees of elevation at azimuth 0 and at azimuth 90.
struct ElevationCues {
    double overheadOmni, front, side;
};

ElevationCues Cues(const BinauralDesign& d)
{
    std::vector<double> omni(d.channels, 0.0);
    omni[0] = 1.0;
    auto at = [&](double az, double el) { return RenderDesign(d, EncodeAt(d.order, {az, el})); };
    return {SpectralDifferenceDb(at(0, 90), RenderDesign(d, omni), kRate),
            SpectralDifferenceDb(at(0, 60), at(0, 0), kRate), SpectralDifferenceDb(at(90, 60), at(90, 0), kRate)};
}

TEST(BinauralDesign, FirstOrderMeetsTheQualityTargetsOnAnAnalyticHead)
{
    const BinauralDesign d = Designed(1, Head());
    const Quality q = MeasureDesign(d, Head(), MeasuredDirections(), kRate);
    EXPECT_LE(q.meanIldDb, 2.0);
    EXPECT_LE(q.maxItdMicroseconds, 350.0);
    EXPECT_LE(q.meanBandsDb, 2.5);
    EXPECT_LE(q.worstBandsDb, 4.5);
    EXPECT_LE(std::fabs(q.levelOffsetDb), 1.0);
    // Z reaches the ears: what is above sounds unlike what is everywhere, and elevation shows
    // in the spectrum in front as well as to the side.
    const ElevationCues cues = Cues(d);
    EXPECT_GE(cues.overheadOmni, 1.0);
    EXPECT_GE(cues.front, 1.2);
    EXPECT_GE(cues.side, 1.2);
}

TEST(BinauralDesign, ThirdOrderComesCloserThanFirstInEveryDirection)
{
    const Quality first = MeasureDesign(Designed(1, Head()), Head(), MeasuredDirections(), kRate);
    const Quality third = MeasureDesign(Designed(3, Head()), Head(), MeasuredDirections(), kRate);
    for (size_t i = 0; i < first.directions.size(); ++i) {
        const DirectionErrors &a = first.directions[i], &b = third.directions[i];
        SCOPED_TRACE(testing::Message() << "azimuth " << a.direction.azimuthDeg << ", elevation " << a.direction.elevationDeg);
        EXPECT_LT(b.bandsDb[0] + b.bandsDb[1], a.bandsDb[0] + a.bandsDb[1]);
        EXPECT_LE(b.ildDb, a.ildDb + 0.05);
        EXPECT_LE(b.itdMicroseconds, a.itdMicroseconds + 25.0);
    }
    EXPECT_LT(third.meanIldDb, first.meanIldDb);
    EXPECT_LT(third.maxItdMicroseconds, 100.0);
}

// The head is symmetric left to right, so a source on one side must reach each ear as its
// mirror image reaches the other; a grid sampled twice as densely on the left must not pull
// the decode towards the left, since each direction counts for its share of the sphere.
TEST(BinauralDesign, MirrorImagesStayMirroredOnAnUnevenGrid)
{
    std::vector<DirectionalResponse> uneven = Head();
    for (const DirectionalResponse& r : Head()) {
        if (r.azimuthDeg <= 5.0 || r.azimuthDeg >= 175.0 || std::fabs(r.elevationDeg) > 60.0) continue;
        uneven.push_back(analytic_head::AnalyticHead(r.azimuthDeg + 2.5, r.elevationDeg, kRate));
    }
    const std::vector<DirectionalResponse>* sets[2] = {&Head(), &uneven};
    for (const std::vector<DirectionalResponse>* set : sets) {
        const BinauralDesign d = Designed(1, *set);
        for (double az : {30.0, 90.0, 150.0}) {
            SCOPED_TRACE(testing::Message() << "azimuth " << az << ", " << set->size() << " directions");
            const Ears left = RenderDesign(d, EncodeAt(1, {az, 0})), right = RenderDesign(d, EncodeAt(1, {-az, 0}));
            const double tolerance = set == &Head() ? 0.02 : 0.25;
            EXPECT_LE(SpectralDifferenceDb(left, {right.right, right.left}, kRate), tolerance);
        }
    }
}

TEST(BinauralDesign, TheBuiltInHeadServesWhenNoResponsesAreGiven)
{
    BinauralDesignSettings s;
    s.sampleRate = 44100.0;
    s.order = 2;
    BinauralDesign d;
    ASSERT_EQ(DesignBinauralDecoder(s, d), BinauralDesignResult::Ok);
    EXPECT_EQ(d.channels, 9u);
    EXPECT_EQ(d.taps, BinauralDesignTaps(SphericalHeadLength(44100.0)));
    ASSERT_EQ(d.filters.size(), 9u);
    for (const auto& channel : d.filters) {
        ASSERT_EQ(channel.size(), 2u);
        for (const auto& f : channel) EXPECT_EQ(f.size(), d.taps);
    }
    // A source to the left is louder and earlier at the left ear.
    const Ears ears = RenderDesign(d, EncodeAt(2, {90, 0}));
    const Analysis a = Analyse(ears, 44100.0);
    EXPECT_GT(a.ildDb.back(), 6.0);
    EXPECT_GT(a.itdSeconds, 300e-6);
}

// Design is all or nothing: a refused design leaves the previous one in place.
TEST(BinauralDesign, RefusesWhatItCannotDesignAndKeepsThePreviousDesign)
{
    const std::vector<DirectionalResponse> few(Head().begin(), Head().begin() + 15);
    std::vector<DirectionalResponse> notFinite(Head().begin(), Head().begin() + 40);
    notFinite[7].right[3] = std::nan("");
    std::vector<DirectionalResponse> unequal(Head().begin(), Head().begin() + 40);
    unequal[3].left.pop_back();

    BinauralDesign d = Designed(1, Head());
    const BinauralDesign before = d;
    struct Case {
        double rate;
        int order;
        double cutoff;
        const std::vector<DirectionalResponse>* set;
        BinauralDesignResult expected;
    };
    const Case cases[] = {
        {std::nan(""), 1, 1500.0, &Head(), BinauralDesignResult::BadSampleRate},
        {500.0, 1, 1500.0, &Head(), BinauralDesignResult::BadSampleRate},
        {kRate, 0, 1500.0, &Head(), BinauralDesignResult::BadOrder},
        {kRate, 8, 1500.0, &Head(), BinauralDesignResult::BadOrder},
        {kRate, 1, -1.0, &Head(), BinauralDesignResult::BadCutoff},
        {kRate, 3, 1500.0, &few, BinauralDesignResult::TooFewResponses},
        {kRate, 1, 1500.0, &notFinite, BinauralDesignResult::BadResponses},
        {kRate, 1, 1500.0, &unequal, BinauralDesignResult::BadResponses},
    };
    for (const Case& c : cases) {
        BinauralDesignSettings s;
        s.sampleRate = c.rate;
        s.order = c.order;
        s.cutoffHz = c.cutoff;
        s.responses = c.set->data();
        s.responseCount = c.set->size();
        EXPECT_EQ(DesignBinauralDecoder(s, d), c.expected);
        EXPECT_EQ(d.filters, before.filters);
    }
    BinauralDesignSettings missing;
    missing.responseCount = 4;
    EXPECT_EQ(DesignBinauralDecoder(missing, d), BinauralDesignResult::BadResponses);
    EXPECT_EQ(d.filters, before.filters);
}

}  // namespace
