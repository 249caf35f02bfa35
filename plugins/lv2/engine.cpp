// Every call the plugins make into the engine lives in this file.
#include "plugins/lv2/engine.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "decoder/input_stage.h"
#include "decoder/renderer.h"
#include "decoder/rig.h"
#include "tools/bformat-decode/sofa_responses.h"

namespace durazodo_lv2 {

std::vector<LayoutChoice> LayoutsOf(uint32_t speakers)
{
    std::vector<LayoutChoice> choices;
    for (int type = 0; type < decoder::kLayoutCount; ++type) {
        const decoder::Rig& rig = decoder::BuiltInRig(*decoder::LayoutIdOf(type));
        if (rig.Channels() == speakers) choices.push_back({type, rig.name, rig.summary});
    }
    return choices;
}

std::vector<PresetChoice> Presets()
{
    std::vector<PresetChoice> presets;
    for (const decoder::Rig& rig : decoder::PresetRigs()) {
        // The preset's channels follow its mask's bits, lowest first.
        PresetChoice p{{0, rig.name, rig.summary}, {}};
        for (uint32_t bit = 1; bit != 0; bit <<= 1)
            if (rig.channelMask & bit) p.channelBits.push_back(bit);
        if (p.channelBits.size() == rig.Channels() && rig.Channels() <= kMaxOutputs) presets.push_back(std::move(p));
    }
    return presets;
}

struct Engine::State {
    Shape shape = Shape::Speakers;
    uint32_t outputs = 0;
    // One renderer per choice of the plugin's control, with the control's value for it.
    std::vector<std::unique_ptr<decoder::Renderer>> renderers;
    std::vector<int> values;
    decoder::Renderer* chosen = nullptr;
    // The rotation handed to the renderer, the one asked for, and the frames left to reach it.
    decoder::SceneRotation rotation, target;
    int32_t rampFrames = 0;
};

Engine::Engine() = default;
Engine::~Engine() = default;

double AmbixWToFuma()
{
    decoder::InputLayout ambix;
    decoder::DescribeInput(decoder::InputConvention::Ambix, 4, ambix);
    decoder::FirstOrderPart part;
    part.Build(ambix);
    return part.Weight(0);
}

bool Engine::Prepare(Shape shape, const std::vector<LayoutChoice>& rigs, double rate, const char* sofaPath,
                     std::string& note)
{
    note.clear();
    if (!(rate >= kMinRate && rate <= kMaxRate)) return false;
    try {
        auto s = std::make_unique<State>();
        s->shape = shape;
        const decoder::Rig& anyRig = decoder::BuiltInRig(decoder::LayoutId::Square);  // unused by UHJ and headphones
        switch (shape) {
        case Shape::Speakers:
            for (const LayoutChoice& choice : rigs) {
                const decoder::Rig* rig = decoder::RigNamed(choice.name);
                if (!rig) return false;
                s->renderers.push_back(decoder::MakeRenderer(decoder::OutputKind::Speakers, *rig, nullptr));
                s->values.push_back(choice.decodeType);
            }
            break;
        case Shape::Uhj:
            s->renderers.push_back(decoder::MakeRenderer(decoder::OutputKind::Uhj, anyRig, nullptr));
            s->values.push_back(0);
            break;
        case Shape::Headphones: {
            s->renderers.push_back(decoder::MakeRenderer(decoder::OutputKind::Headphones, anyRig, nullptr));
            s->values.push_back(static_cast<int>(Responses::BuiltInHead));
            decoder::MeasuredResponses measured;
            measured.sampleRate = rate;
            const std::string path = bformat::HeadphoneSofaPath(sofaPath ? sofaPath : "");
            std::string error = "no response set";
            if (!path.empty() && bformat::LoadSofaSet(path, rate, measured.responses, error)) {
                std::unique_ptr<decoder::Renderer> installed =
                    decoder::MakeRenderer(decoder::OutputKind::Headphones, anyRig, &measured);
                if (installed && installed->Prepare({4, rate, kEngineBlockFrames}) == decoder::PrepareResult::Ok) {
                    s->renderers.push_back(std::move(installed));
                    s->values.push_back(static_cast<int>(Responses::InstalledSet));
                } else {
                    note = path + ": the responses cannot be used; the built-in head stands in";
                }
            } else {
                note = error + "; the built-in head stands in";
            }
            break;
        }
        }
        if (s->renderers.empty()) return false;
        for (const auto& r : s->renderers)
            if (!r || (!r->IsReady() && r->Prepare({4, rate, kEngineBlockFrames}) != decoder::PrepareResult::Ok))
                return false;
        s->chosen = s->renderers.front().get();
        s->outputs = s->chosen->OutputChannels();
        if (s->outputs > kMaxOutputs) return false;
        m_State = std::move(s);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

namespace {

// Makes `next` the renderer in use, from silence, with the rotation in force at once.
void Switch(decoder::Renderer*& chosen, decoder::Renderer* next, const decoder::SceneRotation& rotation)
{
    if (next == chosen) return;
    chosen = next;
    chosen->SetRotation(rotation);
    chosen->Reset();
}

}  // namespace

void Engine::ChooseLayout(int decodeType)
{
    State& s = *m_State;
    if (s.shape != Shape::Speakers) return;
    for (size_t i = 0; i < s.values.size(); ++i)
        if (s.values[i] == decodeType) Switch(s.chosen, s.renderers[i].get(), s.rotation);
}

void Engine::ChooseResponses(Responses responses)
{
    State& s = *m_State;
    if (s.shape != Shape::Headphones) return;
    // The installed set when it was read, else the built-in head.
    decoder::Renderer* next = s.renderers.front().get();
    for (size_t i = 0; i < s.values.size(); ++i)
        if (s.values[i] == static_cast<int>(responses)) next = s.renderers[i].get();
    Switch(s.chosen, next, s.rotation);
}

void Engine::SetRotation(double yaw, double pitch, double roll)
{
    State& s = *m_State;
    if (!decoder::IsValidRotation({yaw, pitch, roll})) return;
    s.target = {yaw, pitch, roll};
    s.rampFrames = kEngineBlockFrames;
}

void Engine::Render(double* const* in, double* const* out, int32_t n)
{
    State& s = *m_State;
    if (s.rampFrames > 0) {
        // The angles move towards the target over kEngineBlockFrames frames whatever the host's
        // block, each the shorter way round; the renderer moves across each piece, so the turn
        // is smooth even when the host runs a frame at a time.
        const int32_t step = std::min(n, s.rampFrames);
        const double share = static_cast<double>(step) / s.rampFrames;
        const auto towards = [share](double from, double to) { return from + std::remainder(to - from, 360.0) * share; };
        s.rotation = step == s.rampFrames ? s.target
                                          : decoder::SceneRotation{towards(s.rotation.yawDeg, s.target.yawDeg),
                                                                   towards(s.rotation.pitchDeg, s.target.pitchDeg),
                                                                   towards(s.rotation.rollDeg, s.target.rollDeg)};
        s.rampFrames -= step;
        s.chosen->SetRotation(s.rotation);
    }
    s.chosen->RenderPlanes(in, out, n);
}

void Engine::Restart()
{
    State& s = *m_State;
    s.rotation = s.target;
    s.rampFrames = 0;
    s.chosen->SetRotation(s.rotation);
    s.chosen->Reset();
}

uint32_t Engine::Outputs() const { return m_State ? m_State->outputs : 0; }

uint32_t Engine::LatencyFrames() const
{
    return m_State ? static_cast<uint32_t>(m_State->chosen->LagFrames()) : 0;
}

}  // namespace durazodo_lv2
