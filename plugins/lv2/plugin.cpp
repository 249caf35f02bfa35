// The LV2 entry points: one descriptor per row of Plugins(), each instance a thin host of one
// Engine. run() converts the host's float ports to the engine's double planes in pieces of
// kEngineBlockFrames, so any block length gives the bits of one long block.
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/log/logger.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#define DURAZODO_LV2_MXCSR 1
#endif

#include "plugins/lv2/engine.h"
#include "plugins/lv2/plugins.h"

#ifndef DURAZODO_DEFAULT_SOFA
#define DURAZODO_DEFAULT_SOFA "/usr/share/libmysofa/default.sofa"
#endif

namespace durazodo_lv2 {
namespace {

// SN3D W to FuMa W.
const double kAmbixW = AmbixWToFuma();

// Flushes denormal results and reads denormal inputs as zero while it lives, so the filters'
// decaying memory never takes the slow path, and gives the host back its own setting.
class DenormalGuard {
public:
#ifdef DURAZODO_LV2_MXCSR
    DenormalGuard() : m_Saved(_mm_getcsr()) { _mm_setcsr(m_Saved | 0x8040u); }  // FTZ | DAZ
    ~DenormalGuard() { _mm_setcsr(m_Saved); }

private:
    unsigned m_Saved;
#endif
};

// One plugin instance: its engine, the host's port buffers, and the double planes run()
// fills. Built by Instantiate on the host's instantiation thread; run() on its audio thread.
struct Instance {
    const PluginInfo* info = nullptr;
    Engine engine;
    const float* inputs[4] = {};
    float* outputs[kMaxOutputs] = {};  // info->outputs of them
    const float* convention = nullptr;
    const float* choice = nullptr;     // layout or responses
    int defaultChoice = 0;
    float* latency = nullptr;
    const float* rotation[3] = {};     // yaw, pitch, roll
    float turned[3] = {};              // the rotation last handed to the engine
    bool starting = true;              // no run() since instantiate or activate
    std::vector<double> planes;      // 4 input then Outputs() output planes of kEngineBlockFrames
};

// The nearest whole value of a control, or `fallback` when it is unconnected or not a number.
int ControlValue(const float* port, int fallback)
{
    if (!port || !std::isfinite(*port)) return fallback;
    return static_cast<int>(std::lround(std::clamp(*port, -1e6f, 1e6f)));
}

LV2_Handle Instantiate(const LV2_Descriptor* descriptor, double rate, const char*, const LV2_Feature* const* features)
{
    try {
        const PluginInfo* info = nullptr;
        for (const PluginInfo& p : Plugins())
            if (p.uri == descriptor->URI) info = &p;
        if (!info || !(rate >= kMinRate && rate <= kMaxRate)) return nullptr;

        // Notes go to the host's log when it offers one (with a URID map), else to standard error.
        LV2_Log_Log* log = nullptr;
        LV2_URID_Map* map = nullptr;
        for (const LV2_Feature* const* f = features; f && *f; ++f) {
            if (std::strcmp((*f)->URI, LV2_LOG__log) == 0) log = static_cast<LV2_Log_Log*>((*f)->data);
            if (std::strcmp((*f)->URI, LV2_URID__map) == 0) map = static_cast<LV2_URID_Map*>((*f)->data);
        }
        LV2_Log_Logger logger{};
        lv2_log_logger_init(&logger, map, map ? log : nullptr);

        auto instance = std::make_unique<Instance>();
        instance->info = info;
        std::string note;
        if (info->outputs > kMaxOutputs) return nullptr;
        if (!instance->engine.Prepare(info->shape, info->rigs, rate, DURAZODO_DEFAULT_SOFA, note)) return nullptr;
        if (!note.empty()) lv2_log_note(&logger, "durazodo: %s\n", note.c_str());
        for (const PortInfo& p : info->ports)
            if (p.role == Role::Layout || p.role == Role::Responses) instance->defaultChoice = static_cast<int>(p.defaultValue);
        instance->planes.assign(static_cast<size_t>(4 + info->outputs) * kEngineBlockFrames, 0.0);
        return instance.release();
    } catch (const std::exception&) {
        return nullptr;
    }
}

void ConnectPort(LV2_Handle handle, uint32_t index, void* data)
{
    Instance& s = *static_cast<Instance*>(handle);
    if (index >= s.info->ports.size()) return;
    const PortInfo& port = s.info->ports[index];
    switch (port.role) {
    case Role::Input: s.inputs[port.channel] = static_cast<const float*>(data); break;
    case Role::Output: s.outputs[port.channel] = static_cast<float*>(data); break;
    case Role::Convention: s.convention = static_cast<const float*>(data); break;
    case Role::Layout:
    case Role::Responses: s.choice = static_cast<const float*>(data); break;
    case Role::Latency: s.latency = static_cast<float*>(data); break;
    case Role::Rotation: s.rotation[port.channel] = static_cast<const float*>(data); break;
    }
}

void Activate(LV2_Handle handle) { static_cast<Instance*>(handle)->starting = true; }

// An angle control's value, 0 when it is unconnected or not a number.
float AngleValue(const float* port) { return port && std::isfinite(*port) ? *port : 0.0f; }

void Run(LV2_Handle handle, uint32_t frames)
{
    Instance& s = *static_cast<Instance*>(handle);
    const uint32_t outputs = s.info->outputs;
    if (s.latency) *s.latency = static_cast<float>(s.engine.LatencyFrames());

    // A host that left an audio port unconnected gets silence on every output it did connect.
    const auto isSet = [](const void* p) { return p != nullptr; };
    if (!std::all_of(s.inputs, s.inputs + 4, isSet) || !std::all_of(s.outputs, s.outputs + outputs, isSet)) {
        for (uint32_t c = 0; c < outputs; ++c)
            if (s.outputs[c]) std::fill(s.outputs[c], s.outputs[c] + frames, 0.0f);
        return;
    }

    const bool ambix = ControlValue(s.convention, 0) == 1;
    const int choice = ControlValue(s.choice, s.defaultChoice);
    if (s.info->shape == Shape::Speakers) s.engine.ChooseLayout(choice);
    if (s.info->shape == Shape::Headphones)
        s.engine.ChooseResponses(choice == 1 ? Responses::InstalledSet : Responses::BuiltInHead);
    // A new rotation moves across the first block it meets; at the start of a stream it is in
    // force at once, as when a file is decoded with it from the start.
    const float turn[3] = {AngleValue(s.rotation[0]), AngleValue(s.rotation[1]), AngleValue(s.rotation[2])};
    if (!std::equal(turn, turn + 3, s.turned)) {
        s.engine.SetRotation(turn[0], turn[1], turn[2]);
        std::copy(turn, turn + 3, s.turned);
    }
    if (s.starting) {
        s.engine.Restart();
        s.starting = false;
    }
    // FuMa planes from the host's channels: ambiX's ACN order W, Y, Z, X, and its W scaled to
    // FuMa's in double precision (as the engine's input stage reads it for bformat-decode).
    const uint32_t source[4] = {0, ambix ? 3u : 1u, ambix ? 1u : 2u, ambix ? 2u : 3u};

    double* in[4];
    double* out[kMaxOutputs] = {};
    for (uint32_t c = 0; c < 4; ++c) in[c] = &s.planes[c * static_cast<size_t>(kEngineBlockFrames)];
    for (uint32_t c = 0; c < outputs; ++c) out[c] = &s.planes[(4 + c) * static_cast<size_t>(kEngineBlockFrames)];

    DenormalGuard guard;
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min<uint32_t>(frames - done, kEngineBlockFrames);
        for (uint32_t c = 0; c < 4; ++c) {
            const float* from = s.inputs[source[c]] + done;
            double* to = in[c];
            if (c == 0 && ambix)
                for (uint32_t i = 0; i < n; ++i) to[i] = from[i] * kAmbixW;
            else
                for (uint32_t i = 0; i < n; ++i) to[i] = from[i];
        }
        s.engine.Render(in, out, static_cast<int32_t>(n));
        for (uint32_t c = 0; c < outputs; ++c) {
            float* to = s.outputs[c] + done;
            for (uint32_t i = 0; i < n; ++i) to[i] = static_cast<float>(out[c][i]);
        }
        done += n;
    }
}

void Deactivate(LV2_Handle) {}

void Cleanup(LV2_Handle handle) { delete static_cast<Instance*>(handle); }

const void* ExtensionData(const char*) { return nullptr; }

// One descriptor per plugin, built with the table and kept for the life of the library.
const std::vector<LV2_Descriptor>& Descriptors()
{
    static const std::vector<LV2_Descriptor> descriptors = [] {
        std::vector<LV2_Descriptor> d;
        for (const PluginInfo& p : Plugins())
            d.push_back({p.uri.c_str(), Instantiate, ConnectPort, Activate, Run, Deactivate, Cleanup, ExtensionData});
        return d;
    }();
    return descriptors;
}

}  // namespace
}  // namespace durazodo_lv2

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index)
{
    try {
        const auto& descriptors = durazodo_lv2::Descriptors();
        return index < descriptors.size() ? &descriptors[index] : nullptr;
    } catch (const std::exception&) {
        return nullptr;
    }
}
