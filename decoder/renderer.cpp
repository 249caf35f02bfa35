#include "decoder/renderer.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "decoder/allpass.h"
#include "decoder/decoder_state.h"
#include "decoder/planes.h"
#include "decoder/speaker_feeds.h"
#include "decoder/uhj.h"

namespace decoder {

// ---- The seam ---------------------------------------------------------------------------

PrepareResult Renderer::Prepare(const StreamDescription& stream)
{
    const PrepareResult result = DoPrepare(stream);
    if (result != PrepareResult::Ok) return result;
    m_Stream = stream;
    m_TailOwed = 0;
    m_Ready = true;
    return PrepareResult::Ok;
}

void Renderer::Render(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames)
{
    if (!m_Ready || BytesPerSample(format) == 0 || frames == 0) return;
    DoRender(format, src, dst, frames);
    m_TailOwed = TailLength();
}

void Renderer::RenderPlanes(double* const* in, double* const* out, int32_t n)
{
    if (!m_Ready || n <= 0) return;
    DoRenderPlanes(in, out, std::min(n, m_Stream.maxBlockFrames));
    m_TailOwed = TailLength();
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

// Speaker feeds for a rig with a designed decoder: the matrix decode (MatrixDecoder) on
// interleaved samples, the LFE channel (W low-passed), then the delays of distance
// compensation on the output samples. The planar path runs the same through interleaved
// single-precision scratch, which holds a host's float samples exactly.
class DesignedSpeakerRenderer final : public Renderer {
public:
    DesignedSpeakerRenderer(const Rig& rig, const SpeakerOptions& options)
        : m_Rig(rig), m_Options(options)
    {
    }

    uint32_t OutputChannels() const override { return m_Rig.Channels(); }
    uint32_t ChannelMask() const override { return m_Rig.channelMask; }
    bool AcceptsRate(double sampleRate) const override
    {
        return ShelvesTakeRate(sampleRate) &&
               std::isfinite(AllPass::CoefficientFor(m_Rig.crossoverHz, sampleRate)) &&
               (m_Rig.lfeChannel < 0 || LfeLowPass().Prepare(sampleRate));
    }

protected:
    PrepareResult DoPrepare(const StreamDescription& stream) override
    {
        if (stream.inChannels != 3 && stream.inChannels != 4) return PrepareResult::BadChannels;
        if (stream.maxBlockFrames < 1) return PrepareResult::BadBlockFrames;
        if (!AcceptsRate(stream.sampleRate)) return PrepareResult::BadSampleRate;
        try {
            std::vector<double> distances;
            for (size_t i = 0; i < m_Rig.speakers.size(); ++i)
                if (static_cast<int32_t>(i) != m_Rig.lfeChannel) distances.push_back(m_Rig.speakers[i].distance);
            std::vector<size_t> speakerDelays, delays(m_Rig.Channels(), 0);
            std::vector<double> gains;
            ChannelDelays::ForDistances(distances, stream.sampleRate, speakerDelays, gains);
            for (size_t i = 0, s = 0; i < delays.size(); ++i)
                if (static_cast<int32_t>(i) != m_Rig.lfeChannel) delays[i] = speakerDelays[s++];
            ChannelDelays lines[kDelayWidths];
            for (uint32_t w = 0; w < kDelayWidths; ++w) lines[w].Prepare(delays, w + 2);
            const auto frames = static_cast<size_t>(stream.maxBlockFrames);
            std::vector<uint8_t> in(frames * stream.inChannels * 4), out(frames * m_Rig.Channels() * 4);
            LfeLowPass lfe;
            if (m_Rig.lfeChannel >= 0) lfe.Prepare(stream.sampleRate);
            // Last, as it keeps its previous preparation when it fails.
            switch (m_Matrix.Prepare(FumaGainsFor(m_Rig, stream.inChannels, gains), stream.sampleRate)) {
            case MatrixDecoder::Result::Ok: break;
            case MatrixDecoder::Result::BadSampleRate: return PrepareResult::BadSampleRate;
            case MatrixDecoder::Result::OutOfMemory: return PrepareResult::OutOfMemory;
            default: return PrepareResult::BadRig;
            }
            for (uint32_t w = 0; w < kDelayWidths; ++w) std::swap(m_Delays[w], lines[w]);
            m_In.swap(in);
            m_Out.swap(out);
            m_Lfe = lfe;
            m_InChannels = stream.inChannels;
            m_Capacity = frames;
        } catch (const std::bad_alloc&) {
            return PrepareResult::OutOfMemory;
        }
        return PrepareResult::Ok;
    }
    void DoRender(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames) override
    {
        m_Matrix.Process(format, src, dst, frames);
        if (m_Rig.lfeChannel >= 0) {
            const uint32_t outs = m_Rig.Channels();
            const auto lfe = static_cast<size_t>(m_Rig.lfeChannel);
            WithFormat(format, [&](auto traits) {
                using F = decltype(traits);
                for (size_t f = 0; f < frames; ++f) {
                    const double y = m_Options.silentLfe ? 0.0 : m_Lfe.Process(F::ToDouble(src + f * m_InChannels * F::kBytes));
                    F::FromDouble(y, dst + (f * outs + lfe) * F::kBytes);
                }
            });
        }
        m_Delays[BytesPerSample(format) - 2].Process(dst, frames);
    }
    void DoRenderPlanes(double* const* in, double* const* out, int32_t n) override
    {
        InterleaveBlock(const_cast<double* const*>(in), m_InChannels, n, SampleFormat::Float32, m_In.data());
        DoRender(SampleFormat::Float32, m_In.data(), m_Out.data(), static_cast<size_t>(n));
        DeinterleaveBlock(m_Out.data(), n, SampleFormat::Float32, m_Rig.Channels(), out);
    }
    void DoRenderSilence(SampleFormat format, uint8_t* dst, size_t frames) override
    {
        std::fill(m_In.begin(), m_In.end(), uint8_t{0});
        const size_t frameBytes = size_t{m_Rig.Channels()} * BytesPerSample(format);
        for (size_t done = 0; done < frames;) {
            const size_t n = std::min(frames - done, m_Capacity);
            DoRender(format, m_In.data(), dst + done * frameBytes, n);
            done += n;
        }
    }
    size_t TailLength() const override { return m_Delays[0].LongestDelay(); }

private:
    // Sample widths of 2, 3 and 4 bytes each have their delay lines (the formats' widths).
    static constexpr uint32_t kDelayWidths = 3;

    Rig m_Rig;
    SpeakerOptions m_Options;
    MatrixDecoder m_Matrix;
    LfeLowPass m_Lfe;
    ChannelDelays m_Delays[kDelayWidths];
    std::vector<uint8_t> m_In, m_Out;  // interleaved scratch: planar input, silence; planar output
    uint32_t m_InChannels = 0;
    size_t m_Capacity = 0;
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

// The headphone decode (binaural.h): left ear, right ear, lagging the input by the block
// convolution's partition. Owns its copy of the measured responses.
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
        BinauralSettings settings;
        settings.rig = &BuiltInRig(kDefaultHeadphoneLayout);
        settings.responses = m_Measured.responses.data();
        settings.responseCount = m_Measured.responses.size();
        return m_Decoder.Prepare(stream, settings);
    }
    void RenderBlock(const double* const* in, double* const* out, int32_t n) override { m_Decoder.Process(in, out, n); }
    size_t LagFrames() const override { return static_cast<size_t>(m_Decoder.LatencyFrames()); }

private:
    MeasuredResponses m_Measured;
    BinauralDecoder m_Decoder;
};

}  // namespace

MatrixDecoderGains FumaGainsFor(const Rig& rig, uint32_t inChannels, const std::vector<double>& rowGains)
{
    // FuMa W is ambiX W less 3 dB; the ambiX columns run W Y Z X.
    constexpr double kSqrt2 = 1.4142135623730951;
    static constexpr size_t kAmbixColumn[4] = {0, 3, 1, 2};  // of FuMa W, X, Y, Z
    const DesignedDecoder& d = *rig.designed;
    MatrixDecoderGains g;
    g.inputs = inChannels;
    g.outputs = rig.Channels();
    g.crossoverHz = rig.crossoverHz;
    g.low.assign(size_t{g.inputs} * g.outputs, 0.0);
    g.high.assign(g.low.size(), 0.0);
    for (size_t out = 0, s = 0; out < g.outputs; ++out) {
        if (static_cast<int32_t>(out) == rig.lfeChannel) continue;
        const double rowGain = s < rowGains.size() ? rowGains[s] : 1.0;
        for (uint32_t c = 0; c < inChannels; ++c) {
            const double scale = (c == 0 ? kSqrt2 : 1.0) * rowGain;
            g.low[out * inChannels + c] = d.low[s * d.channels + kAmbixColumn[c]] * scale;
            g.high[out * inChannels + c] = d.high[s * d.channels + kAmbixColumn[c]] * scale;
        }
        ++s;
    }
    return g;
}

std::unique_ptr<Renderer> MakeSpeakerRenderer(const Rig& rig, const SpeakerOptions& options)
{
    if (rig.designed) {
        const size_t lfe = rig.lfeChannel >= 0 ? 1 : 0;
        const DesignedDecoder& d = *rig.designed;
        if (rig.Channels() < 1 || rig.Channels() > kernels::kMaxMatrixOutputs || d.channels < 4 ||
            d.speakers + lfe != rig.Channels() || d.low.size() != d.speakers * d.channels ||
            d.high.size() != d.low.size() || (rig.lfeChannel >= 0 && static_cast<uint32_t>(rig.lfeChannel) >= rig.Channels()))
            return nullptr;
        return std::make_unique<DesignedSpeakerRenderer>(rig, options);
    }
    if (rig.Channels() < 1 || rig.Channels() > 8) return nullptr;
    return std::make_unique<SpeakerRenderer>(rig);
}

std::unique_ptr<Renderer> MakeRenderer(OutputKind kind, const Rig& rig, const MeasuredResponses* measured)
{
    switch (kind) {
    case OutputKind::Speakers:
        return MakeSpeakerRenderer(rig, SpeakerOptions{});
    case OutputKind::Uhj:
        return std::make_unique<UhjRenderer>();
    case OutputKind::Headphones:
        if (measured && !measured->responses.empty() && !(measured->sampleRate > 0.0)) return nullptr;
        return std::make_unique<HeadphoneRenderer>(measured ? *measured : MeasuredResponses{});
    }
    return nullptr;
}

}  // namespace decoder
