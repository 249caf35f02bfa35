// Every call the plugins make into the engine lives in this file.
#include "plugins/lv2/engine.h"

#include <cmath>
#include <new>
#include <optional>

#include "decoder/binaural.h"
#include "decoder/decoder_state.h"
#include "decoder/input_stage.h"
#include "decoder/rig.h"
#include "decoder/uhj.h"
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

struct Engine::State {
    Shape shape = Shape::Speakers;
    uint32_t outputs = 0;
    decoder::DecoderState speakers;
    decoder::UhjEncoder uhj;
    decoder::BinauralDecoder head, installed;
    decoder::BinauralDecoder* ears = &head;
    int layout = -1;  // the speakers' decode type in force
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

bool Engine::Prepare(Shape shape, uint32_t speakers, double rate, const char* sofaPath, std::string& note)
{
    note.clear();
    if (!(rate >= kMinRate && rate <= kMaxRate)) return false;
    std::unique_ptr<State> s(new (std::nothrow) State);
    if (!s) return false;
    s->shape = shape;
    const decoder::StreamDescription stream{4, rate, kEngineBlockFrames};
    try {
        switch (shape) {
        case Shape::Speakers: {
            const std::vector<LayoutChoice> layouts = LayoutsOf(speakers);
            if (layouts.empty()) return false;
            s->layout = layouts[0].decodeType;
            s->speakers = decoder::DecoderState(decoder::BuiltInRig(*decoder::LayoutIdOf(s->layout)));
            if (s->speakers.Prepare(stream) != decoder::PrepareResult::Ok) return false;
            s->outputs = speakers;
            break;
        }
        case Shape::Uhj: s->outputs = 2; break;
        case Shape::Headphones: {
            decoder::BinauralSettings settings;
            if (s->head.Prepare(stream, settings) != decoder::PrepareResult::Ok) return false;
            std::vector<decoder::DirectionalResponse> measured;
            std::string error;
            if (sofaPath &&
                bformat::LoadSofaResponses(sofaPath, rate,
                                           decoder::SpeakerDirections(decoder::BuiltInRig(decoder::kDefaultHeadphoneLayout)),
                                           measured, error)) {
                settings.responses = measured.data();
                settings.responseCount = measured.size();
                if (s->installed.Prepare(stream, settings) != decoder::PrepareResult::Ok)
                    note = std::string(sofaPath) + ": the responses cannot be used; the built-in head stands in";
            } else {
                note = (sofaPath ? error : std::string("no response set")) + "; the built-in head stands in";
            }
            s->outputs = 2;
            break;
        }
        }
    } catch (const std::exception&) {
        return false;
    }
    m_State = std::move(s);
    return true;
}

void Engine::ChooseLayout(int decodeType)
{
    State& s = *m_State;
    if (s.shape != Shape::Speakers || decodeType == s.layout) return;
    const std::optional<decoder::LayoutId> id = decoder::LayoutIdOf(decodeType);
    if (!id || decoder::BuiltInRig(*id).Channels() != s.outputs) return;
    s.layout = decodeType;
    s.speakers.m_Coefficients = decoder::BuiltInRig(*id).table;
}

void Engine::ChooseResponses(Responses responses)
{
    State& s = *m_State;
    decoder::BinauralDecoder* ears =
        responses == Responses::InstalledSet && s.installed.IsReady() ? &s.installed : &s.head;
    if (ears == s.ears) return;
    s.ears = ears;
    ears->Reset();
}

void Engine::Render(double* const* in, double* const* out, int32_t n)
{
    State& s = *m_State;
    switch (s.shape) {
    case Shape::Speakers: s.speakers.DecodeBlock(in, out, n); break;
    case Shape::Uhj: s.uhj.Process(in, out, n); break;
    case Shape::Headphones: s.ears->Process(in, out, n); break;
    }
}

void Engine::Reset()
{
    State& s = *m_State;
    if (s.shape == Shape::Speakers) {
        s.speakers.m_pShelfW->SetMemory(0.0, 0.0);
        s.speakers.m_pShelfX->SetMemory(0.0, 0.0);
        s.speakers.m_pShelfY->SetMemory(0.0, 0.0);
    }
    s.uhj.Reset();
    s.head.Reset();
    s.installed.Reset();
}

uint32_t Engine::Outputs() const { return m_State ? m_State->outputs : 0; }

uint32_t Engine::LatencyFrames() const
{
    return m_State && m_State->shape == Shape::Headphones ? static_cast<uint32_t>(m_State->ears->LatencyFrames()) : 0;
}

}  // namespace durazodo_lv2
