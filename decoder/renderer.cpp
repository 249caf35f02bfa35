#include "decoder/renderer.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "decoder/allpass.h"
#include "decoder/binaural_design.h"
#include "decoder/block_convolver.h"
#include "decoder/decoder_state.h"
#include "decoder/planes.h"
#include "decoder/spherical_harmonics.h"
#include "decoder/uhj.h"

namespace decoder {

// ---- The seam ---------------------------------------------------------------------------

namespace {

// Largest piece an interleaved call is turned in.
constexpr int32_t kTurnFrames = 1024;

constexpr double kIdentity3[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

bool IsIdentity3(const double* m)
{
    return std::equal(m, m + 9, kIdentity3);
}

}  // namespace

PrepareResult Renderer::Prepare(const StreamDescription& stream)
{
    // The planes an interleaved call is turned through; arguments SamplePlanes cannot take
    // are left for DoPrepare to refuse.
    SamplePlanes turnIn, turnOut;
    const int32_t capacity = std::min(stream.maxBlockFrames, kTurnFrames);
    if (stream.inChannels >= 1 && stream.inChannels <= SamplePlanes::kMaxChannels && capacity >= 1 &&
        (!turnIn.Allocate(stream.inChannels, capacity) || !turnOut.Allocate(OutputChannels(), capacity)))
        return PrepareResult::OutOfMemory;
    const PrepareResult result = DoPrepare(stream);
    if (result != PrepareResult::Ok) return result;
    m_TurnIn.Swap(turnIn);
    m_TurnOut.Swap(turnOut);
    std::copy(m_TurnTarget, m_TurnTarget + 9, m_Turn);
    m_Turning = !IsIdentity3(m_Turn);
    m_Stream = stream;
    m_TailOwed = 0;
    m_Ready = true;
    return PrepareResult::Ok;
}

bool Renderer::SetRotation(const SceneRotation& rotation)
{
    if (!IsValidRotation(rotation)) return false;
    m_Rotation = rotation;
    FumaRotationMatrix(rotation, m_TurnTarget);
    m_Turning = !IsIdentity3(m_Turn) || !IsIdentity3(m_TurnTarget);
    return true;
}

void Renderer::Turn(double* const* in, int32_t n)
{
    double* x = in[1];
    double* y = in[2];
    double* z = m_Stream.inChannels >= 4 ? in[3] : nullptr;
    const bool moving = !std::equal(m_Turn, m_Turn + 9, m_TurnTarget);
    double m[9];
    std::copy(m_Turn, m_Turn + 9, m);
    for (int32_t i = 0; i < n; ++i) {
        if (moving) {
            const double t = static_cast<double>(i + 1) / n;
            for (int k = 0; k < 9; ++k) m[k] = m_Turn[k] + (m_TurnTarget[k] - m_Turn[k]) * t;
        }
        const double vx = x[i], vy = y[i], vz = z ? z[i] : 0.0;
        x[i] = m[0] * vx + m[1] * vy + m[2] * vz;
        y[i] = m[3] * vx + m[4] * vy + m[5] * vz;
        if (z) z[i] = m[6] * vx + m[7] * vy + m[8] * vz;
    }
    std::copy(m_TurnTarget, m_TurnTarget + 9, m_Turn);
    m_Turning = !IsIdentity3(m_Turn);
}

void Renderer::RenderTurned(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames)
{
    const uint32_t inChannels = m_Stream.inChannels, outChannels = OutputChannels();
    const size_t bytes = BytesPerSample(format);
    const auto capacity = static_cast<size_t>(m_TurnIn.Capacity());
    for (size_t done = 0; done < frames;) {
        const size_t take = std::min(frames - done, capacity);
        const auto n = static_cast<int32_t>(take);
        DeinterleaveBlock(src + done * inChannels * bytes, n, format, inChannels, m_TurnIn.data());
        if (m_Turning) Turn(m_TurnIn.data(), n);
        DoRenderPlanes(m_TurnIn.data(), m_TurnOut.data(), n);
        InterleaveBlock(m_TurnOut.data(), outChannels, n, format, dst + done * outChannels * bytes);
        done += take;
    }
}

void Renderer::Render(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames)
{
    if (!m_Ready || BytesPerSample(format) == 0 || frames == 0) return;
    if (m_Turning) RenderTurned(format, src, dst, frames);
    else DoRender(format, src, dst, frames);
    m_TailOwed = LagFrames();
}

void Renderer::RenderPlanes(double* const* in, double* const* out, int32_t n)
{
    if (!m_Ready || n <= 0) return;
    n = std::min(n, m_Stream.maxBlockFrames);
    if (m_Turning) Turn(in, n);
    DoRenderPlanes(in, out, n);
    m_TailOwed = LagFrames();
}

void Renderer::RenderTail(SampleFormat format, uint8_t* dst, size_t frames)
{
    frames = std::min(frames, m_TailOwed);
    if (!m_Ready || BytesPerSample(format) == 0 || frames == 0) return;
    DoRenderSilence(format, dst, frames);
    m_TailOwed -= frames;
}

namespace {

// Input rates every output takes: those the shelf filters can be tuned for.
bool ShelvesTakeRate(double sampleRate) { return std::isfinite(AllPass::CoefficientFor(kCrossoverHz, sampleRate)); }

// ---- Speakers ---------------------------------------------------------------------------

// Speaker feeds for a rig through its gain table (DecoderState and its kernels).
class SpeakerRenderer final : public Renderer {
public:
    explicit SpeakerRenderer(const Rig& rig) : m_State(rig), m_Mask(rig.channelMask) {}

    uint32_t OutputChannels() const override { return m_State.m_nSpeakers; }
    uint32_t ChannelMask() const override { return m_Mask; }
    bool AcceptsRate(double sampleRate) const override { return ShelvesTakeRate(sampleRate); }

protected:
    PrepareResult DoPrepare(const StreamDescription& stream) override { return m_State.Prepare(stream); }
    void DoRender(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames) override
    {
        m_State.DecodeFrames(format, src, dst, frames);
    }
    void DoRenderPlanes(double* const* in, double* const* out, int32_t n) override
    {
        m_State.DecodeBlock(in, out, n);
    }
    void DoRenderSilence(SampleFormat format, uint8_t* dst, size_t frames) override
    {
        const size_t frameBytes = size_t{m_State.m_nSpeakers} * BytesPerSample(format);
        for (size_t done = 0; done < frames;) {
            const auto n = static_cast<int32_t>(std::min(frames - done, static_cast<size_t>(m_State.Capacity())));
            for (uint32_t c = 0; c < m_State.m_nInChannels; ++c)
                std::fill(m_State.m_InPlanes[c], m_State.m_InPlanes[c] + n, 0.0);
            m_State.DecodeBlock(m_State.m_InPlanes.data(), m_State.m_OutPlanes.data(), n);
            InterleaveBlock(m_State.m_OutPlanes.data(), m_State.m_nSpeakers, n, format, dst + done * frameBytes);
            done += static_cast<size_t>(n);
        }
    }

private:
    DecoderState m_State;
    uint32_t m_Mask;
};

// ---- Two channels -----------------------------------------------------------------------

// The two-channel outputs' common half: input and output planes, and the interleaved path
// through RenderBlock() in blocks of the planes' capacity.
class TwoChannelRenderer : public Renderer {
public:
    uint32_t OutputChannels() const override { return 2; }
    // Front left and right.
    uint32_t ChannelMask() const override { return 0x3; }

protected:
    // Runs n frames of in[] (stream channels) into out[0], out[1].
    virtual void RenderBlock(const double* const* in, double* const* out, int32_t n) = 0;
    // Builds the output's own state for the stream; called after the planes are built and
    // before they are swapped in.
    virtual PrepareResult PrepareOutput(const StreamDescription& stream) = 0;

    PrepareResult DoPrepare(const StreamDescription& stream) override
    {
        if (stream.inChannels != 3 && stream.inChannels != 4) return PrepareResult::BadChannels;
        if (stream.maxBlockFrames < 1) return PrepareResult::BadBlockFrames;
        SamplePlanes in, out;
        if (!in.Allocate(stream.inChannels, stream.maxBlockFrames) || !out.Allocate(2, stream.maxBlockFrames))
            return PrepareResult::OutOfMemory;
        // Last, as it keeps its previous preparation when it fails.
        const PrepareResult result = PrepareOutput(stream);
        if (result != PrepareResult::Ok) return result;
        m_InPlanes.Swap(in);
        m_OutPlanes.Swap(out);
        return PrepareResult::Ok;
    }
    void DoRender(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames) override
    {
        const uint32_t channels = m_InPlanes.Channels();
        const size_t frameBytes = channels * BytesPerSample(format);
        Run(format, dst, frames, [&](size_t done, int32_t n) {
            DeinterleaveBlock(src + done * frameBytes, n, format, channels, m_InPlanes.data());
        });
    }
    void DoRenderPlanes(double* const* in, double* const* out, int32_t n) override { RenderBlock(in, out, n); }
    void DoRenderSilence(SampleFormat format, uint8_t* dst, size_t frames) override
    {
        Run(format, dst, frames, [&](size_t, int32_t n) {
            for (uint32_t c = 0; c < m_InPlanes.Channels(); ++c) std::fill(m_InPlanes[c], m_InPlanes[c] + n, 0.0);
        });
    }

private:
    // Runs frames 0..n-1 of the input planes, which `fill(done, n)` writes first, into dst.
    template <class Fill>
    void Run(SampleFormat format, uint8_t* dst, size_t frames, Fill fill)
    {
        const size_t bytes = BytesPerSample(format);
        const auto capacity = static_cast<size_t>(m_InPlanes.Capacity());
        for (size_t done = 0; done < frames;) {
            const size_t take = std::min(frames - done, capacity);
            const auto n = static_cast<int32_t>(take);
            fill(done, n);
            RenderBlock(m_InPlanes.data(), m_OutPlanes.data(), n);
            InterleaveBlock(m_OutPlanes.data(), 2, n, format, dst + done * 2 * bytes);
            done += take;
        }
    }

    SamplePlanes m_InPlanes;
    SamplePlanes m_OutPlanes;
};

// Gerzon's two-channel UHJ (uhj.h): left, right.
class UhjRenderer final : public TwoChannelRenderer {
public:
    bool AcceptsRate(double sampleRate) const override { return ShelvesTakeRate(sampleRate); }

protected:
    PrepareResult PrepareOutput(const StreamDescription&) override
    {
        m_Encoder.Reset();
        return PrepareResult::Ok;
    }
    void RenderBlock(const double* const* in, double* const* out, int32_t n) override { m_Encoder.Process(in, out, n); }

private:
    UhjEncoder m_Encoder;
};

// The headphone decode: first-order B-Format through filters designed from the responses
// (binaural_design.h), one per input channel and ear, so that W, X, Y and Z all reach the
// ears; left ear, right ear, lagging the input by the block convolution's partition. The
// FuMa input runs through the ambiX filters unconverted: W's filters take the factor sqrt(2)
// and the others are taken in FuMa order (X, Y, Z are ambiX channels 3, 1, 2). A 3-channel
// input has no Z and leaves Z's filters out. Owns its copy of the measured responses.
class HeadphoneRenderer final : public TwoChannelRenderer {
public:
    explicit HeadphoneRenderer(MeasuredResponses measured) : m_Measured(std::move(measured)) {}

    // The headphone decode's range and, with measured responses, their rate: they are used at
    // the rate they were measured at.
    bool AcceptsRate(double sampleRate) const override
    {
        if (!ShelvesTakeRate(sampleRate) || sampleRate < kMinBinauralRate || sampleRate > kMaxBinauralRate)
            return false;
        return m_Measured.responses.empty() || sampleRate == m_Measured.sampleRate;
    }

protected:
    PrepareResult PrepareOutput(const StreamDescription& stream) override
    {
        try {
            BinauralDesignSettings settings;
            settings.sampleRate = stream.sampleRate;
            settings.order = 1;
            settings.responses = m_Measured.responses.data();
            settings.responseCount = m_Measured.responses.size();
            BinauralDesign design;
            switch (DesignBinauralDecoder(settings, design)) {
            case BinauralDesignResult::Ok: break;
            case BinauralDesignResult::BadSampleRate: return PrepareResult::BadSampleRate;
            case BinauralDesignResult::OutOfMemory: return PrepareResult::OutOfMemory;
            default: return PrepareResult::BadResponses;
            }
            constexpr size_t kAmbixOfFuma[4] = {0, 3, 1, 2};
            std::vector<std::vector<std::vector<double>>> filters(stream.inChannels);
            for (size_t ch = 0; ch < filters.size(); ++ch) {
                filters[ch] = std::move(design.filters[kAmbixOfFuma[ch]]);
                if (ch == 0)
                    for (auto& ear : filters[ch])
                        for (double& tap : ear) tap *= std::sqrt(2.0);
            }
            // Last, as it keeps its previous preparation when it fails.
            if (!m_Convolver.Setup(filters, static_cast<size_t>(kBinauralLatencyFrames)))
                return PrepareResult::OutOfMemory;
            return PrepareResult::Ok;
        } catch (const std::bad_alloc&) {
            return PrepareResult::OutOfMemory;
        }
    }
    void RenderBlock(const double* const* in, double* const* out, int32_t n) override
    {
        m_Convolver.Process(in, out, static_cast<size_t>(n));
    }
    size_t LagFrames() const override { return m_Convolver.Latency(); }

private:
    MeasuredResponses m_Measured;
    BlockConvolver m_Convolver;
};

}  // namespace

std::unique_ptr<Renderer> MakeRenderer(OutputKind kind, const Rig& rig, const MeasuredResponses* measured)
{
    switch (kind) {
    case OutputKind::Speakers:
        if (rig.Channels() < 1 || rig.Channels() > 8) return nullptr;
        return std::make_unique<SpeakerRenderer>(rig);
    case OutputKind::Uhj:
        return std::make_unique<UhjRenderer>();
    case OutputKind::Headphones:
        // A first-order design fits 4 channels: it needs at least as many directions.
        if (measured && !measured->responses.empty() &&
            (!(measured->sampleRate > 0.0) || measured->responses.size() < AmbisonicChannels(1)))
            return nullptr;
        return std::make_unique<HeadphoneRenderer>(measured ? *measured : MeasuredResponses{});
    }
    return nullptr;
}

}  // namespace decoder
