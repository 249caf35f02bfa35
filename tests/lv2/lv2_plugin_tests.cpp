// The bundle's plugins loaded as a host loads them (lilv, LV2_PATH): ports, refused rates, the
// controls, allocation-free run(), unconnected ports. Block-length independence is held against
// bformat-decode's output in lv2_hosts_test.sh.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <xmmintrin.h>

#include "tests/lv2/lilv_host.h"
#include "tests/support/failing_new.h"

namespace {

using lv2_test::HostedPlugin;
using lv2_test::Planes;

struct PluginCase {
    std::string uri;
    uint32_t outputs;
    std::string choice;        // the shape's own control
    std::vector<float> values;  // its values
    // The rate the tests run it at: the headphone decode is designed when the plugin is created,
    // which takes a while (many times longer in a sanitizer build), less so at a low rate.
    double rate = 48000.0;
};

const std::vector<PluginCase>& Cases()
{
    static const std::vector<PluginCase> cases = {
        {"http://durazodo.example/lv2/headphones", 2, "responses", {0, 1}, 8000.0},
        {"http://durazodo.example/lv2/uhj", 2, "", {0}},
        {"http://durazodo.example/lv2/speakers-4", 4, "layout", {0, 1}},
        {"http://durazodo.example/lv2/speakers-6", 6, "layout", {2, 3}},
        {"http://durazodo.example/lv2/speakers-8", 8, "layout", {4, 5, 6}},
        {"http://durazodo.example/lv2/speakers-5.1", 6, "", {0}},
        {"http://durazodo.example/lv2/speakers-7.1.4", 12, "", {0}},
    };
    return cases;
}

// Four planes of noise at a level a decode does not clip, with a few silent stretches so the
// filters' memory decays.
Planes Noise(size_t frames, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> level(-0.5f, 0.5f);
    Planes p(4, std::vector<float>(frames));
    for (auto& plane : p)
        for (size_t f = 0; f < frames; ++f) plane[f] = (f / 700) % 3 == 2 ? 0.0f : level(rng);
    return p;
}

bool SameBits(const Planes& a, const Planes& b)
{
    if (a.size() != b.size()) return false;
    for (size_t c = 0; c < a.size(); ++c)
        if (a[c].size() != b[c].size() || std::memcmp(a[c].data(), b[c].data(), a[c].size() * sizeof(float)) != 0)
            return false;
    return true;
}

Planes Render(const PluginCase& pc, float choice, float convention, const Planes& in, const std::vector<uint32_t>& blocks)
{
    HostedPlugin plugin(pc.uri, pc.rate);
    EXPECT_TRUE(plugin.IsLoaded()) << pc.uri;
    if (!pc.choice.empty()) {
        EXPECT_TRUE(plugin.SetControl(pc.choice, choice));
    }
    EXPECT_TRUE(plugin.SetControl("convention", convention));
    return plugin.Process(in, blocks);
}

TEST(Lv2Plugins, EveryPluginLoadsWithItsPortsAtEveryRateFrom8To384kHzAndRefusesOthers)
{
    for (const PluginCase& pc : Cases()) {
        // The headphone decode is designed at instantiate, which takes a while (the longer the
        // higher the rate): its rates are the ones the other tests run it at.
        const bool phones = pc.uri.find("headphones") != std::string::npos;
        const std::vector<double> rates =
            phones ? std::vector<double>{pc.rate} : std::vector<double>{8000.0, 44100.0, 48000.0, 96000.0, 384000.0};
        for (double rate : rates) {
            HostedPlugin plugin(pc.uri, rate);
            ASSERT_TRUE(plugin.IsLoaded()) << pc.uri << " at " << rate;
            EXPECT_EQ(plugin.AudioInputs(), 4u);
            EXPECT_EQ(plugin.AudioOutputs(), pc.outputs);
            // Something comes out at every rate.
            const Planes out = plugin.Process(Noise(2048, 1), {256});
            double energy = 0.0;
            for (const auto& plane : out)
                for (float v : plane) energy += static_cast<double>(v) * v;
            EXPECT_GT(energy, 0.0) << pc.uri << " at " << rate;
            if (phones) {
                EXPECT_EQ(plugin.Control("latency"), 256.0f);
            }
        }
        for (double rate : {0.0, 7999.0, 384001.0, 1e9, -48000.0, std::nan("")}) {
            HostedPlugin plugin(pc.uri, rate);
            ASSERT_TRUE(plugin.Found());
            EXPECT_FALSE(plugin.IsLoaded()) << pc.uri << " at " << rate;
        }
    }
}

TEST(Lv2Plugins, AmbixInputDecodesAsTheSameSoundGivenAsFuma)
{
    const Planes fuma = Noise(3000, 3);
    // ACN order W, Y, Z, X; SN3D's W is sqrt(2) times FuMa's. The plugin scales it in double
    // precision, so the FuMa W nearest it in float decodes to within float's precision.
    Planes ambix = {fuma[0], fuma[2], fuma[3], fuma[1]};
    for (float& w : ambix[0]) w *= 1.25f;
    Planes asFuma = fuma;
    for (size_t f = 0; f < asFuma[0].size(); ++f)
        asFuma[0][f] = static_cast<float>(static_cast<double>(ambix[0][f]) * 0.70710678118654752440);
    for (const PluginCase& pc : Cases()) {
        const Planes a = Render(pc, pc.values[0], 1.0f, ambix, {500}), b = Render(pc, pc.values[0], 0.0f, asFuma, {500});
        ASSERT_EQ(a.size(), b.size()) << pc.uri;
        float largest = 0;
        for (size_t c = 0; c < a.size(); ++c)
            for (size_t f = 0; f < a[c].size(); ++f) largest = std::max(largest, std::fabs(a[c][f] - b[c][f]));
        EXPECT_LE(largest, 1e-6f) << pc.uri;
    }
}

TEST(Lv2Plugins, EachChoiceRendersDifferentlyAndAValueOfAnotherShapeKeepsTheDefault)
{
    const Planes in = Noise(4000, 4);
    for (const PluginCase& pc : Cases()) {
        if (pc.choice.empty()) continue;
        std::vector<Planes> outs;
        for (float choice : pc.values) outs.push_back(Render(pc, choice, 0.0f, in, {256}));
        for (size_t i = 1; i < outs.size(); ++i) EXPECT_FALSE(SameBits(outs[i], outs[0])) << pc.uri << " " << pc.values[i];
        // A change while running takes effect from the next block, which starts from silence as a
        // new instance does.
        HostedPlugin changed(pc.uri, pc.rate);
        changed.Process(in, {256});
        changed.SetControl(pc.choice, pc.values[1]);
        EXPECT_TRUE(SameBits(changed.Process(in, {256}), outs[1])) << pc.uri;
        if (pc.choice == "layout") {
            EXPECT_TRUE(SameBits(Render(pc, pc.values.back() + 1.0f, 0.0f, in, {256}), outs[0])) << pc.uri;
        }
    }
}

// run() with every control changing between blocks, including a switch of the shape's own
// control and the scene's rotation, never reaches operator new; it also leaves the host's
// floating-point mode as it was.
TEST(Lv2Plugins, RunAllocatesNothingAndLeavesTheFloatingPointModeAlone)
{
    const Planes in = Noise(4096, 5);
    for (const PluginCase& pc : Cases()) {
        HostedPlugin plugin(pc.uri, pc.rate);
        ASSERT_TRUE(plugin.IsLoaded());
        std::vector<std::vector<float>> out(pc.outputs, std::vector<float>(in[0].size()));
        for (uint32_t c = 0; c < 4; ++c)
            lilv_instance_connect_port(plugin.Instance(), plugin.AudioInputPort(c), const_cast<float*>(in[c].data()));
        for (uint32_t c = 0; c < pc.outputs; ++c)
            lilv_instance_connect_port(plugin.Instance(), plugin.AudioOutputPort(c), out[c].data());
        const unsigned csr = _mm_getcsr();
        test_support::FailNthNew(LONG_MAX);
        for (size_t step = 0; step < 12; ++step) {
            if (!pc.choice.empty()) plugin.SetControl(pc.choice, pc.values[step % pc.values.size()]);
            plugin.SetControl("convention", static_cast<float>(step / 6));
            plugin.SetControl("yaw", 30.0f * static_cast<float>(step % 4));
            plugin.SetControl("pitch", step % 5 == 0 ? -20.0f : 10.0f);
            plugin.SetControl("roll", step % 2 == 0 ? 0.0f : 45.0f);
            lilv_instance_run(plugin.Instance(), step % 3 == 0 ? 1 : 4096 / (step + 1));
        }
        const long calls = test_support::NewCallsCounted();
        test_support::FailNthNew(0);
        EXPECT_EQ(calls, 0) << pc.uri;
        EXPECT_EQ(_mm_getcsr(), csr) << pc.uri;
    }
}

// FuMa planes of a mono signal from a direction (degrees).
Planes Encode(const std::vector<float>& sig, double azimuth, double elevation)
{
    const double az = azimuth * 3.14159265358979323846 / 180.0, el = elevation * 3.14159265358979323846 / 180.0;
    const double gains[4] = {0.70710678118654752440, std::cos(el) * std::cos(az), std::cos(el) * std::sin(az),
                             std::sin(el)};
    Planes p(4, sig);
    for (int c = 0; c < 4; ++c)
        for (float& v : p[c]) v = static_cast<float>(v * gains[c]);
    return p;
}

// Energy of one output after the first 1024 frames (the shelves settle).
double Energy(const Planes& out, uint32_t channel)
{
    double e = 0.0;
    for (size_t f = 1024; f < out[channel].size(); ++f) e += static_cast<double>(out[channel][f]) * out[channel][f];
    return e;
}

// Each rotation port turns the scene about its own axis, the way its name says: yaw -30 brings
// a source at 30 degrees to the front (the stereo pair hears it equally); roll 90 lifts a
// source on the left overhead, where pitch leaves it; pitch 90 lifts a source in front
// overhead (the 5.1 centre loses it), where roll leaves it.
TEST(Lv2Plugins, YawPitchAndRollTurnTheSceneAboutTheirOwnAxes)
{
    const std::vector<float> sig = Noise(6000, 9)[0];
    const auto render = [&](const char* plugin, const Planes& in, const char* control, float degrees) {
        HostedPlugin p(std::string("http://durazodo.example/lv2/") + plugin, 48000.0);
        EXPECT_TRUE(p.IsLoaded()) << plugin;
        if (control) {
            EXPECT_TRUE(p.SetControl(control, degrees));
        }
        return p.Process(in, {512});
    };
    const auto balance = [](const Planes& stereo) { return Energy(stereo, 0) / Energy(stereo, 1); };
    const Planes at30 = Encode(sig, 30, 0), left = Encode(sig, 90, 0), front = Encode(sig, 0, 0);
    EXPECT_GT(balance(render("speakers-stereo", at30, nullptr, 0)), 2.0);
    EXPECT_NEAR(balance(render("speakers-stereo", at30, "yaw", -30)), 1.0, 1e-4);
    EXPECT_GT(balance(render("speakers-stereo", left, "pitch", 90)), 2.0);
    EXPECT_NEAR(balance(render("speakers-stereo", left, "roll", 90)), 1.0, 1e-4);
    const uint32_t centre = 2;
    const double ahead = Energy(render("speakers-5.1", front, nullptr, 0), centre);
    EXPECT_LT(Energy(render("speakers-5.1", front, "pitch", 90), centre), ahead / 2);
    EXPECT_NEAR(Energy(render("speakers-5.1", front, "roll", 90), centre), ahead, ahead * 1e-6);
}

// A turn of the scene while playing moves smoothly whatever the host's block, one frame at a time
// included: no output step across the change is much larger than the tone's own steps before
// and after it (a quarter more for the speakers the source passes on its way, whose level peaks
// there; a turn in one frame steps by several times the tone's own). A 500 Hz tone in front, on
// the octagon, turned 120 degrees left and 30 up.
TEST(Lv2Plugins, ARotationChangedWhilePlayingTurnsSmoothlyAtAnyHostBlock)
{
    const size_t half = 4096;
    std::vector<float> tone(2 * half);
    for (size_t f = 0; f < tone.size(); ++f)
        tone[f] = static_cast<float>(0.5 * std::sin(2.0 * 3.14159265358979323846 * 500.0 * static_cast<double>(f) / 48000.0));
    const Planes in = Encode(tone, 0, 0);
    Planes before(4), after(4);
    for (int c = 0; c < 4; ++c) {
        before[c].assign(in[c].begin(), in[c].begin() + half);
        after[c].assign(in[c].begin() + half, in[c].end());
    }
    for (uint32_t block : {1u, 64u, 512u}) {
        HostedPlugin plugin("http://durazodo.example/lv2/speakers-8", 48000.0);
        ASSERT_TRUE(plugin.IsLoaded());
        plugin.SetControl("layout", 4.0f);
        Planes out = plugin.Process(before, {block});
        plugin.SetControl("yaw", 120.0f);
        plugin.SetControl("pitch", 30.0f);
        const Planes turned = plugin.Process(after, {block});
        for (size_t c = 0; c < out.size(); ++c) {
            out[c].insert(out[c].end(), turned[c].begin(), turned[c].end());
            const auto largestStep = [&](size_t from, size_t to) {
                double step = 0.0;
                for (size_t f = from + 1; f < to; ++f) step = std::max(step, std::fabs(double(out[c][f]) - out[c][f - 1]));
                return step;
            };
            const double own = std::max(largestStep(1024, half), largestStep(half + 1024, 2 * half));
            EXPECT_LE(largestStep(half - 1, half + 1024), own * 1.25) << "block " << block << ", speaker " << c + 1;
        }
    }
}

// A host that leaves an audio port unconnected gets silence, not a crash; unconnected
// controls read as their defaults.
TEST(Lv2Plugins, UnconnectedPortsAreRefusedCleanly)
{
    const Planes in = Noise(512, 6);
    for (const PluginCase& pc : Cases()) {
        HostedPlugin plugin(pc.uri, pc.rate);
        ASSERT_TRUE(plugin.IsLoaded());
        std::vector<std::vector<float>> out(pc.outputs, std::vector<float>(in[0].size(), 7.0f));
        for (uint32_t c = 0; c < pc.outputs; ++c)
            lilv_instance_connect_port(plugin.Instance(), plugin.AudioOutputPort(c), out[c].data());
        for (uint32_t c = 0; c < 3; ++c)
            lilv_instance_connect_port(plugin.Instance(), plugin.AudioInputPort(c), const_cast<float*>(in[c].data()));
        lilv_instance_run(plugin.Instance(), 512);
        for (const auto& plane : out)
            for (float v : plane) ASSERT_EQ(v, 0.0f) << pc.uri;

        // Every control port unconnected: the defaults.
        for (uint32_t i = 4 + pc.outputs; i < plugin.Ports(); ++i) lilv_instance_connect_port(plugin.Instance(), i, nullptr);
        lilv_instance_connect_port(plugin.Instance(), plugin.AudioInputPort(3), const_cast<float*>(in[3].data()));
        lilv_instance_deactivate(plugin.Instance());
        lilv_instance_activate(plugin.Instance());
        lilv_instance_run(plugin.Instance(), 512);
        EXPECT_TRUE(SameBits(out, Render(pc, pc.values[0], 0.0f, in, {512}))) << pc.uri;
    }
}

}  // namespace
