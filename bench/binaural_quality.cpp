// How close the headphone decodes come to a measured head: per direction, the errors of
// today's octagon decode and of the decoders designed from the responses (first and third
// order) against the measured pair nearest the direction, then the summary and the elevation
// cues. Usage: binaural_quality [SOFA file] (default: libmysofa's installed set), at the
// file's own sample rate.
#include <cmath>
#include <ctime>
#include <cstdio>
#include <string>
#include <vector>

#include "decoder/binaural.h"
#include "decoder/binaural_design.h"
#include "tests/support/binaural_quality.h"
#include "tools/bformat-decode/sofa_responses.h"

namespace {

using namespace binaural_quality;

// The octagon decode's ears for a unit impulse with the given FuMa gains (W, X, Y, Z).
Ears RenderOctagon(decoder::BinauralDecoder& decoder, const double gains[4], size_t frames)
{
    decoder.Reset();
    const size_t total = frames + static_cast<size_t>(decoder.LatencyFrames());
    std::vector<std::vector<double>> in(4, std::vector<double>(total, 0.0));
    for (int c = 0; c < 4; ++c) in[c][0] = gains[c];
    Ears ears{std::vector<double>(total), std::vector<double>(total)};
    const double* inPlanes[4] = {in[0].data(), in[1].data(), in[2].data(), in[3].data()};
    double* outPlanes[2] = {ears.left.data(), ears.right.data()};
    decoder.Process(inPlanes, outPlanes, static_cast<int32_t>(total));
    ears.left.erase(ears.left.begin(), ears.left.begin() + decoder.LatencyFrames());
    ears.right.erase(ears.right.begin(), ears.right.begin() + decoder.LatencyFrames());
    return ears;
}

void FumaAt(const decoder::Direction& d, double gains[4])
{
    const double az = d.azimuthDeg * kPi / 180.0, el = d.elevationDeg * kPi / 180.0;
    gains[0] = 1.0 / std::sqrt(2.0);
    gains[1] = std::cos(az) * std::cos(el);
    gains[2] = std::sin(az) * std::cos(el);
    gains[3] = std::sin(el);
}

void PrintSummary(const char* name, const Quality& q, double overheadOmni, double elevation0, double elevation90)
{
    std::printf("%-14s ILD %.2f dB  ITD max %3.0f us  bands mean %.2f worst %.2f dB  level %+.2f dB  "
                "overhead-omni %.2f dB  +60/0 at az 0 %.2f, at az 90 %.2f dB\n",
                name, q.meanIldDb, q.maxItdMicroseconds, q.meanBandsDb, q.worstBandsDb, q.levelOffsetDb, overheadOmni,
                elevation0, elevation90);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string path = argc > 1 ? argv[1] : "/usr/share/libmysofa/default.sofa";
    std::vector<decoder::DirectionalResponse> set;
    std::string error;
    bformat::SofaSummary summary;
    // Read once to learn the file's rate, then at that rate.
    if (!bformat::LoadSofaSet(path, 48000.0, set, error, &summary) ||
        !bformat::LoadSofaSet(path, summary.fileRate, set, error, &summary)) {
        std::fprintf(stderr, "binaural_quality: %s\n", error.c_str());
        return 1;
    }
    const double rate = summary.fileRate;
    std::printf("%s: %u directions, %u frames at %.0f Hz\n", path.c_str(), summary.measurements, summary.frames, rate);

    const std::vector<decoder::Direction> directions = MeasuredDirections();
    std::vector<Ears> truth;
    for (const auto& d : directions) truth.push_back(Nearest(set, d));

    decoder::BinauralSettings octagonSettings;
    octagonSettings.responses = set.data();
    octagonSettings.responseCount = set.size();
    decoder::BinauralDecoder octagon;
    if (octagon.Prepare({4, rate, 1 << 16}, octagonSettings) != decoder::PrepareResult::Ok) {
        std::fprintf(stderr, "binaural_quality: the octagon decode cannot be set up\n");
        return 1;
    }
    const size_t frames = 4096;
    std::vector<Ears> before;
    double gains[4];
    for (const auto& d : directions) {
        FumaAt(d, gains);
        before.push_back(RenderOctagon(octagon, gains, frames));
    }
    std::vector<Quality> results{Compare(directions, before, truth, rate)};
    auto octagonAt = [&](const decoder::Direction& d) {
        FumaAt(d, gains);
        return RenderOctagon(octagon, gains, frames);
    };
    const double omniGains[4] = {1.0 / std::sqrt(2.0), 0.0, 0.0, 0.0};
    double cues[3][3];
    cues[0][0] = SpectralDifferenceDb(octagonAt({0, 90}), RenderOctagon(octagon, omniGains, frames), rate);
    cues[0][1] = SpectralDifferenceDb(octagonAt({0, 60}), octagonAt({0, 0}), rate);
    cues[0][2] = SpectralDifferenceDb(octagonAt({90, 60}), octagonAt({90, 0}), rate);

    const int orders[2] = {1, 3};
    for (int i = 0; i < 2; ++i) {
        decoder::BinauralDesignSettings s;
        s.sampleRate = rate;
        s.order = orders[i];
        s.responses = set.data();
        s.responseCount = set.size();
        decoder::BinauralDesign design;
        const std::clock_t start = std::clock();
        if (decoder::DesignBinauralDecoder(s, design) != decoder::BinauralDesignResult::Ok) {
            std::fprintf(stderr, "binaural_quality: the order %d design failed\n", orders[i]);
            return 1;
        }
        // Processor time, which other work on a shared machine does not inflate.
        const double took = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
        std::printf("order %d: %zu filters of %zu taps, designed in %.2f s of processor time\n", orders[i],
                    2 * design.channels, design.taps, took);
        results.push_back(MeasureDesign(design, set, directions, rate));
        std::vector<double> omni(design.channels, 0.0);
        omni[0] = 1.0;
        auto at = [&](const decoder::Direction& d) { return RenderDesign(design, EncodeAt(design.order, d)); };
        cues[i + 1][0] = SpectralDifferenceDb(at({0, 90}), RenderDesign(design, omni), rate);
        cues[i + 1][1] = SpectralDifferenceDb(at({0, 60}), at({0, 0}), rate);
        cues[i + 1][2] = SpectralDifferenceDb(at({90, 60}), at({90, 0}), rate);
    }

    std::printf("\nper direction: ILD error (dB, mean over octaves), ITD error (us), third-octave error left/right "
                "(dB, after the level offset)\n");
    std::printf("  az   el | octagon (first order)      | designed, first order      | designed, third order\n");
    for (size_t d = 0; d < directions.size(); ++d) {
        std::printf("%4.0f %4.0f", directions[d].azimuthDeg, directions[d].elevationDeg);
        for (const Quality& q : results) {
            const DirectionErrors& e = q.directions[d];
            std::printf(" | %5.2f %4.0f %5.2f %5.2f", e.ildDb, e.itdMicroseconds, e.bandsDb[0], e.bandsDb[1]);
        }
        std::printf("\n");
    }
    std::printf("\n");
    const char* names[3] = {"octagon", "designed, 1st", "designed, 3rd"};
    for (int i = 0; i < 3; ++i) PrintSummary(names[i], results[i], cues[i][0], cues[i][1], cues[i][2]);
    return 0;
}
