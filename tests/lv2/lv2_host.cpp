// The test suite's own LV2 host, for the comparisons with bformat-decode:
//
//   lv2_host run URI IN.wav OUT.wav BLOCKS [SYMBOL=VALUE...]
//       runs IN through the plugin in blocks of BLOCKS frames (a number, or "vary" for a
//       sequence of lengths from 1 to past the engine's own block) and writes OUT as float;
//   lv2_host compare TEST.wav REFERENCE.wav TOLERANCE [LAG]
//       compares TEST, whose first LAG frames are the plugin's latency, with REFERENCE
//       sample by sample; fails when the channel counts or lengths differ or any difference
//       exceeds TOLERANCE.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/lv2/lilv_host.h"

namespace {

int Run(int argc, char** argv)
{
    const std::string uri = argv[2], in = argv[3], out = argv[4], blocks = argv[5];
    lv2_test::Planes planes;
    int rate = 0;
    if (!lv2_test::ReadPlanes(in, planes, rate)) return std::fprintf(stderr, "cannot read %s\n", in.c_str()), 1;
    lv2_test::HostedPlugin plugin(uri, rate);
    if (!plugin.IsLoaded()) return std::fprintf(stderr, "cannot load %s at %d Hz\n", uri.c_str(), rate), 1;
    if (planes.size() != plugin.AudioInputs()) return std::fprintf(stderr, "%s: wrong channel count\n", in.c_str()), 1;
    for (int i = 6; i < argc; ++i) {
        const std::string arg = argv[i];
        const size_t eq = arg.find('=');
        if (eq == std::string::npos || !plugin.SetControl(arg.substr(0, eq), std::strtof(arg.c_str() + eq + 1, nullptr)))
            return std::fprintf(stderr, "no control %s\n", arg.c_str()), 1;
    }
    const std::vector<uint32_t> sequence =
        blocks == "vary" ? std::vector<uint32_t>{1, 17, 64, 511, 512, 513, 0, 1000, 3, 2049, 128, 7}
                         : std::vector<uint32_t>{static_cast<uint32_t>(std::stoul(blocks))};
    if (!lv2_test::WritePlanes(out, plugin.Process(planes, sequence), rate))
        return std::fprintf(stderr, "cannot write %s\n", out.c_str()), 1;
    return 0;
}

int Compare(int argc, char** argv)
{
    lv2_test::Planes test, ref;
    int testRate = 0, refRate = 0;
    if (!lv2_test::ReadPlanes(argv[2], test, testRate) || !lv2_test::ReadPlanes(argv[3], ref, refRate))
        return std::fprintf(stderr, "cannot read %s or %s\n", argv[2], argv[3]), 1;
    const double tolerance = std::strtod(argv[4], nullptr);
    const size_t lag = argc > 5 ? std::stoul(argv[5]) : 0;
    if (test.size() != ref.size() || testRate != refRate || test.empty() || test[0].size() != ref[0].size() ||
        test[0].size() <= lag)
        return std::fprintf(stderr, "%s and %s differ in channels, rate or length\n", argv[2], argv[3]), 1;
    double worst = 0.0;
    size_t where = 0, channel = 0;
    for (size_t c = 0; c < ref.size(); ++c)
        for (size_t f = 0; f + lag < test[c].size(); ++f) {
            const double d = std::fabs(static_cast<double>(test[c][f + lag]) - ref[c][f]);
            if (!(d <= worst)) worst = d, where = f, channel = c;
        }
    std::printf("%s: largest difference %.3g (channel %zu, frame %zu), tolerance %.3g\n", argv[2], worst, channel,
                where, tolerance);
    return worst <= tolerance ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "run" && argc >= 6) return Run(argc, argv);
    if (command == "compare" && (argc == 5 || argc == 6)) return Compare(argc, argv);
    std::fprintf(stderr, "usage: lv2_host run URI IN OUT BLOCKS [SYMBOL=VALUE...]\n"
                         "       lv2_host compare TEST REFERENCE TOLERANCE [LAG]\n");
    return 2;
}
