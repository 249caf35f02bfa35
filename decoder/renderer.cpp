#include "decoder/renderer.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "decoder/allpass.h"
#include "decoder/binaural_design.h"
#include "decoder/block_convolver.h"
#include "decoder/decoder_state.h"
#include "decoder/kernels/kernels.h"
#include "decoder/planes.h"
#include "decoder/speaker_feeds.h"
#include "decoder/spherical_harmonics.h"
#include "decoder/uhj.h"

namespace decoder {

// ---- The seam ---------------------------------------------------------------------------

namespace {

// Largest piece an interleaved call is turned in.
constexpr int32_t kTurnFrames = 1024;

constexpr double kIdentity3[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

constexpr double kSqrt2 = 1.4142135623730951;

bool IsIdentity3(const double* m)
{
    return std::equal(m, m + 9, kIdentity3);
}

// The inverse of the n x n row-major matrix m into inverse, by Gauss-Jordan elimination with
// partial pivoting in work (n * n). False, inverse undefined, when a pivot falls below 1e-6:
// a singular turn, or one so near it that carrying filter memory through its inverse would
// not be exact to round-off.
bool InvertMatrix(uint32_t n, const double* m, double* inverse, double* work)
{
    std::copy(m, m + size_t{n} * n, work);
    std::fill(inverse, inverse + size_t{n} * n, 0.0);
    for (uint32_t i = 0; i < n; ++i) inverse[size_t{i} * n + i] = 1.0;
    for (uint32_t col = 0; col < n; ++col) {
        uint32_t pivot = col;
        for (uint32_t r = col + 1; r < n; ++r)
            if (std::fabs(work[size_t{r} * n + col]) > std::fabs(work[size_t{pivot} * n + col])) pivot = r;
        if (!(std::fabs(work[size_t{pivot} * n + col]) >= 1e-6)) return false;
        if (pivot != col)
            for (uint32_t c = 0; c < n; ++c) {
                std::swap(work[size_t{pivot} * n + c], work[size_t{col} * n + c]);
                std::swap(inverse[size_t{pivot} * n + c], inverse[size_t{col} * n + c]);
            }
        const double scale = 1.0 / work[size_t{col} * n + col];
        for (uint32_t c = 0; c < n; ++c) {
            work[size_t{col} * n + c] *= scale;
            inverse[size_t{col} * n + c] *= scale;
        }
        for (uint32_t r = 0; r < n; ++r) {
            const double f = work[size_t{r} * n + col];
            if (r == col || f == 0.0) continue;
            for (uint32_t c = 0; c < n; ++c) {
                work[size_t{r} * n + c] -= f * work[size_t{col} * n + c];
                inverse[size_t{r} * n + c] -= f * inverse[size_t{col} * n + c];
            }
        }
    }
    return true;
}

}  // namespace

int Renderer::DecodedOrder(const StreamDescription& stream) const
{
    InputLayout input;
    if (!DescribeInput(stream.convention, stream.inChannels, input)) return 0;
    return OrderFor(input);
}

PrepareResult Renderer::Prepare(const StreamDescription& stream)
{
    // The planes an interleaved call is turned through; arguments SamplePlanes cannot take
    // are left for DoPrepare to refuse.
    SamplePlanes turnIn, turnOut;
    const int32_t capacity = std::min(stream.maxBlockFrames, kTurnFrames);
    if (stream.inChannels >= 1 && stream.inChannels <= SamplePlanes::kMaxChannels && capacity >= 1 &&
        (!turnIn.Allocate(stream.inChannels, capacity) || !turnOut.Allocate(OutputChannels(), capacity)))
        return PrepareResult::OutOfMemory;
    // Any other input than first-order FuMa turns through matrices over its channels.
    const bool orders = !IsFirstOrderFuma(stream);
    InputLayout input;
    std::vector<double> now, to, ambix;
    if (orders) {
        if (!DescribeInput(stream.convention, stream.inChannels, input)) return PrepareResult::BadChannels;
        try {
            const size_t channels = input.channels, ambixChannels = AmbisonicChannels(input.order);
            now.resize(channels * channels);
            to.resize(channels * channels);
            ambix.resize(ambixChannels * ambixChannels);
        } catch (const std::bad_alloc&) {
            return PrepareResult::OutOfMemory;
        }
    }
    std::vector<double> foldTurn, foldInverse, foldWork;
    if (stream.inChannels >= 1 && stream.inChannels <= SamplePlanes::kMaxChannels) {
        try {
            const size_t cells = size_t{stream.inChannels} * stream.inChannels;
            foldTurn.resize(cells);
            foldInverse.resize(cells);
            foldWork.resize(cells);
        } catch (const std::bad_alloc&) {
            return PrepareResult::OutOfMemory;
        }
    }
    const PrepareResult result = DoPrepare(stream);
    if (result != PrepareResult::Ok) return result;
    // A new preparation leaves the kind's decode unfolded.
    m_FoldTurn.swap(foldTurn);
    m_FoldInverse.swap(foldInverse);
    m_FoldWork.swap(foldWork);
    m_Folded = false;
    m_FoldRefused = false;
    m_TurnIn.Swap(turnIn);
    m_TurnOut.Swap(turnOut);
    std::copy(m_TurnTarget, m_TurnTarget + 9, m_Turn);
    m_Orders = orders;
    m_Input = input;
    m_Now.swap(now);
    m_To.swap(to);
    m_AmbixTurn.swap(ambix);
    if (m_Orders) {
        BuildTurnTarget();
        m_Now = m_To;
        m_NowIdentity = m_ToIdentity;
        m_Turning = !m_NowIdentity;
    } else {
        m_Turning = !IsIdentity3(m_Turn);
    }
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
    m_FoldRefused = false;
    if (m_Orders) {
        BuildTurnTarget();
        m_Turning = !m_NowIdentity || !m_ToIdentity;
    } else {
        m_Turning = !IsIdentity3(m_Turn) || !IsIdentity3(m_TurnTarget);
    }
    return true;
}

void Renderer::BuildTurnTarget()
{
    const uint32_t channels = m_Input.channels;
    std::fill(m_To.begin(), m_To.end(), 0.0);
    m_ToIdentity = IsIdentity(m_Rotation);
    if (m_ToIdentity) {
        for (uint32_t c = 0; c < channels; ++c) m_To[c * channels + c] = 1.0;
        return;
    }
    // sn3d = weight * sample, so the samples turn by diag(1 / weight) R diag(weight).
    const size_t ambixChannels = AmbisonicChannels(m_Input.order);
    RotationMatrix(m_Input.order, m_Rotation, m_AmbixTurn.data());
    for (uint32_t r = 0; r < channels; ++r)
        for (uint32_t c = 0; c < channels; ++c) {
            const InputChannel& row = m_Input.channel[r];
            const InputChannel& col = m_Input.channel[c];
            m_To[r * channels + c] = m_AmbixTurn[row.acn * ambixChannels + col.acn] * col.weight / row.weight;
        }
}

void Renderer::Turn(double* const* in, int32_t n)
{
    if (m_Orders) {
        TurnOrders(in, n);
        return;
    }
    double* x = in[1];
    double* y = in[2];
    double* z = m_Stream.inChannels >= 4 ? in[3] : nullptr;
    const bool moving = !std::equal(m_Turn, m_Turn + 9, m_TurnTarget);
    double m[9];
    std::copy(m_Turn, m_Turn + 9, m);
    if (!moving && z) {
        // The steady turn of a block the output cannot fold: the loop below without its
        // per-sample tests, the same sums in the same order.
        kernels::TurnPlanes(m, x, y, z, n);
        return;
    }
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

void Renderer::TurnOrders(double* const* in, int32_t n)
{
    const uint32_t channels = m_Input.channels;
    const bool moving = !std::equal(m_Now.begin(), m_Now.end(), m_To.begin());
    double v[kMaxInputChannels];
    for (int32_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i + 1) / n;
        for (uint32_t c = 0; c < channels; ++c) v[c] = in[c][i];
        // Orders do not mix: each channel sums only those of its own order.
        for (uint32_t first = 0; first < channels;) {
            const int order = OrderOfChannel(m_Input.channel[first].acn);
            const uint32_t end = m_Input.ChannelsUpTo(order);
            for (uint32_t r = first; r < end; ++r) {
                const double* now = &m_Now[size_t{r} * channels];
                const double* to = &m_To[size_t{r} * channels];
                double sum = 0.0;
                for (uint32_t c = first; c < end; ++c)
                    sum += (moving ? now[c] + (to[c] - now[c]) * t : now[c]) * v[c];
                in[r][i] = sum;
            }
            first = end;
        }
    }
    std::copy(m_To.begin(), m_To.end(), m_Now.begin());
    m_NowIdentity = m_ToIdentity;
    m_Turning = !m_NowIdentity;
}

bool Renderer::TurnSteady() const
{
    return m_Orders ? std::equal(m_Now.begin(), m_Now.end(), m_To.begin()) : std::equal(m_Turn, m_Turn + 9, m_TurnTarget);
}

void Renderer::Unfold()
{
    if (!m_Folded) return;
    FoldTurn(nullptr, nullptr);
    m_Folded = false;
}

bool Renderer::SettleFold()
{
    if (!m_Turning || !m_FoldAllowed) {
        Unfold();
        return !m_Turning;
    }
    if (!TurnSteady()) {
        Unfold();
        return false;
    }
    if (m_Folded) return true;
    if (m_FoldRefused) return false;
    const uint32_t n = m_Stream.inChannels;
    if (m_Orders) {
        std::copy(m_Now.begin(), m_Now.end(), m_FoldTurn.begin());
    } else {
        // W stays; X, Y[, Z] turn by the 3x3 (without Z, its upper-left 2x2, as Turn() does).
        std::fill(m_FoldTurn.begin(), m_FoldTurn.end(), 0.0);
        m_FoldTurn[0] = 1.0;
        for (uint32_t r = 1; r < n; ++r)
            for (uint32_t c = 1; c < n; ++c) m_FoldTurn[size_t{r} * n + c] = m_Turn[(r - 1) * 3 + (c - 1)];
    }
    if (!InvertMatrix(n, m_FoldTurn.data(), m_FoldInverse.data(), m_FoldWork.data()) ||
        !FoldTurn(m_FoldTurn.data(), m_FoldInverse.data())) {
        m_FoldRefused = true;
        return false;
    }
    m_Folded = true;
    return true;
}

void Renderer::Render(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames)
{
    if (!m_Ready || BytesPerSample(format) == 0 || frames == 0) return;
    const uint32_t inChannels = m_Stream.inChannels, outChannels = OutputChannels();
    const size_t bytes = BytesPerSample(format);
    const auto capacity = static_cast<size_t>(m_TurnIn.Capacity());
    // A turn that moves, or that the kind cannot fold, goes through the planes, a piece at a
    // time; once it is steady and folded (or gone) the rest takes the kind's own path.
    size_t done = 0;
    while (done < frames && !SettleFold()) {
        const auto n = static_cast<int32_t>(std::min(frames - done, capacity));
        DeinterleaveBlock(src + done * inChannels * bytes, n, format, inChannels, m_TurnIn.data());
        Turn(m_TurnIn.data(), n);
        DoRenderPlanes(m_TurnIn.data(), m_TurnOut.data(), n);
        InterleaveBlock(m_TurnOut.data(), outChannels, n, format, dst + done * outChannels * bytes);
        done += static_cast<size_t>(n);
    }
    if (done < frames) DoRender(format, src + done * inChannels * bytes, dst + done * outChannels * bytes, frames - done);
    m_TailOwed = TailLength();
}

void Renderer::RenderPlanes(double* const* in, double* const* out, int32_t n)
{
    if (!m_Ready || n <= 0) return;
    n = std::min(n, m_Stream.maxBlockFrames);
    if (!SettleFold()) Turn(in, n);
    DoRenderPlanes(in, out, n);
    m_TailOwed = TailLength();
}

void Renderer::Reset()
{
    if (!m_Ready) return;
    DoReset();
    Unfold();
    m_FoldRefused = false;
    if (m_Orders) {
        std::copy(m_To.begin(), m_To.end(), m_Now.begin());
        m_NowIdentity = m_ToIdentity;
        m_Turning = !m_NowIdentity;
    } else {
        std::copy(m_TurnTarget, m_TurnTarget + 9, m_Turn);
        m_Turning = !IsIdentity3(m_Turn);
    }
    m_TailOwed = 0;
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

// Speaker feeds for a rig through its gain table (DecoderState and its kernels). Any input
// but first-order FuMa is read through its first-order part.
class SpeakerRenderer final : public Renderer {
public:
    explicit SpeakerRenderer(const Rig& rig) : m_State(rig), m_Mask(rig.channelMask) {}

    uint32_t OutputChannels() const override { return m_State.m_nSpeakers; }
    uint32_t ChannelMask() const override { return m_Mask; }
    bool AcceptsRate(double sampleRate) const override { return ShelvesTakeRate(sampleRate); }

protected:
    PrepareResult DoPrepare(const StreamDescription& stream) override
    {
        const PrepareResult result = PrepareState(stream);
        // A new preparation decodes unfolded, with cleared memory.
        if (result == PrepareResult::Ok && m_IsFolded) {
            m_State.m_Coefficients = m_Unfolded;
            m_IsFolded = false;
        }
        return result;
    }
    PrepareResult PrepareState(const StreamDescription& stream)
    {
        if (IsFirstOrderFuma(stream)) {
            const PrepareResult result = m_State.Prepare(stream);
            if (result == PrepareResult::Ok) m_Picking = false;
            return result;
        }
        InputLayout input;
        if (!DescribeInput(stream.convention, stream.inChannels, input)) return PrepareResult::BadChannels;
        FirstOrderPart part;
        part.Build(input);
        StreamDescription fuma = stream;
        fuma.inChannels = part.Count();
        fuma.convention = InputConvention::Fuma;
        const PrepareResult result = m_State.Prepare(fuma);
        if (result != PrepareResult::Ok) return result;
        m_Part = part;
        m_InChannels = stream.inChannels;
        m_Picking = true;
        return result;
    }
    void DoRender(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames) override
    {
        if (!m_Picking) {
            m_State.DecodeFrames(format, src, dst, frames);
            return;
        }
        const size_t inBytes = size_t{m_InChannels} * BytesPerSample(format);
        const size_t outBytes = size_t{m_State.m_nSpeakers} * BytesPerSample(format);
        for (size_t done = 0; done < frames;) {
            const auto n = static_cast<int32_t>(std::min(frames - done, static_cast<size_t>(m_State.Capacity())));
            m_Part.Deinterleave(src + done * inBytes, n, format, m_InChannels, m_State.m_InPlanes.data());
            m_State.DecodeBlock(m_State.m_InPlanes.data(), m_State.m_OutPlanes.data(), n);
            InterleaveBlock(m_State.m_OutPlanes.data(), m_State.m_nSpeakers, n, format, dst + done * outBytes);
            done += static_cast<size_t>(n);
        }
    }
    void DoRenderPlanes(double* const* in, double* const* out, int32_t n) override
    {
        if (!m_Picking) {
            m_State.DecodeBlock(in, out, n);
            return;
        }
        m_Part.Pick(in, m_State.m_InPlanes.data(), n);
        m_State.DecodeBlock(m_State.m_InPlanes.data(), out, n);
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

    void DoReset() override { m_State.ClearMemory(); }

    // X and Y are shelved alike, so a turn that mixes only them (a yaw, or any turn of a
    // 3-channel stream) folds into their gains and costs nothing. Z is not shelved: a turn
    // that mixes Z with X or Y is folded by the state, which then shelves Z like X and Y
    // (DecoderState::FoldTurn). Input read through its first-order part folds the turn of
    // that part.
    bool FoldTurn(const double* turn, const double* inverse) override
    {
        if (!turn) {
            if (m_IsFolded) {
                MixShelfMemory(m_Folded);
                m_State.m_Coefficients = m_Unfolded;
                m_IsFolded = false;
            }
            m_State.FoldTurn(nullptr, nullptr);
            return true;
        }
        // The turn and its inverse over the state's X, Y[, Z], as FuMa channels.
        const uint32_t n = m_Picking ? m_InChannels : m_State.m_nInChannels;
        const uint32_t count = m_State.m_nInChannels;
        double m[9] = {}, mInverse[9] = {};
        for (uint32_t r = 1; r < count; ++r)
            for (uint32_t c = 1; c < count; ++c) {
                const uint32_t from = m_Picking ? m_Part.Source(r) : r, to = m_Picking ? m_Part.Source(c) : c;
                const double scale = m_Picking ? m_Part.Weight(r) / m_Part.Weight(c) : 1.0;
                m[(r - 1) * 3 + c - 1] = turn[from * n + to] * scale;
                mInverse[(r - 1) * 3 + c - 1] = inverse[from * n + to] * scale;
            }
        if (count == 4 && (m[2] != 0.0 || m[5] != 0.0 || m[6] != 0.0 || m[7] != 0.0)) return m_State.FoldTurn(m, mInverse);
        m_Unfolded = m_State.m_Coefficients;
        for (uint32_t r = 0; r < 2; ++r)
            for (uint32_t c = 0; c < 2; ++c) {
                m_Folded[r * 2 + c] = m[r * 3 + c];
                m_Inverse[r * 2 + c] = mInverse[r * 3 + c];
            }
        // Gains[ch][s] multiplies channel ch: the folded X and Y rows are the turn's columns
        // applied to the unfolded ones.
        for (uint32_t s = 0; s < 8; ++s)
            for (uint32_t c = 0; c < 2; ++c)
                m_State.m_Coefficients.Gains[c + 1][s] =
                    m_Unfolded.Gains[1][s] * m_Folded[c] + m_Unfolded.Gains[2][s] * m_Folded[2 + c];
        if (count == 4)
            for (uint32_t s = 0; s < 8; ++s) m_State.m_Coefficients.Gains[3][s] = m_Unfolded.Gains[3][s] * m[8];
        MixShelfMemory(m_Inverse);
        m_IsFolded = true;
        return true;
    }

private:
    // Multiplies the X and Y shelves' memory by the 2x2 row-major m.
    void MixShelfMemory(const double* m)
    {
        AllPass& x = *m_State.m_pShelfX;
        AllPass& y = *m_State.m_pShelfY;
        const double xi = x.PrevIn(), xo = x.PrevOut(), yi = y.PrevIn(), yo = y.PrevOut();
        x.SetMemory(m[0] * xi + m[1] * yi, m[0] * xo + m[1] * yo);
        y.SetMemory(m[2] * xi + m[3] * yi, m[2] * xo + m[3] * yo);
    }

    DecoderState m_State;
    DecoderCoefficients m_Unfolded{};   // the rig's table while a fold is in force
    double m_Folded[4] = {}, m_Inverse[4] = {};  // the X, Y block of the folded turn and its inverse
    bool m_IsFolded = false;
    uint32_t m_Mask;
    FirstOrderPart m_Part;  // with m_Picking: how the state's planes are read from the input
    uint32_t m_InChannels = 0;
    bool m_Picking = false;
};

// Speaker feeds for a rig with a designed decoder: the matrix decode (MatrixDecoder) on
// interleaved samples, the LFE channel (W low-passed), then the delays of distance
// compensation on the output samples. The planar path runs the same through interleaved
// single-precision scratch, which holds a host's float samples exactly. Input of a higher
// order is decoded at RigOrder() at most, through a decoder designed for that order at
// Prepare; the input's channel order and weights are folded into the gains, so its samples
// are read as they come.
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
        InputLayout input;
        if (!DescribeInput(stream.convention, stream.inChannels, input)) return PrepareResult::BadChannels;
        if (stream.maxBlockFrames < 1) return PrepareResult::BadBlockFrames;
        if (!AcceptsRate(stream.sampleRate)) return PrepareResult::BadSampleRate;
        try {
            // A decoder designed here is redesigned for the order decoded; one given is used as
            // it is, its columns above the input's order unused.
            // A mixed-order set on a 3D rig gets a design over the channels it carries.
            DesignOptions options;
            options.imaginary = m_Rig.imaginary;
            if (input.mixed && input.height && m_Rig.designed->shape == DesignShape::Sphere) {
                const size_t used = AmbisonicChannels(OrderFor(input));
                for (uint32_t c = 0; c < input.channels; ++c)
                    if (input.channel[c].acn < used) options.carried |= uint64_t{1} << input.channel[c].acn;
                if (options.carried == (used >= 64 ? ~uint64_t{0} : (uint64_t{1} << used) - 1)) options.carried = 0;
            }
            const bool redesign =
                !m_Rig.givenDecoder && (OrderFor(input) != m_Rig.designed->order || options.carried != 0);
            DesignedDecoder designed;
            if (redesign) {
                const std::vector<SpeakerDirection> directions = DesignDirections(m_Rig);
                switch (DesignAllRound(directions.data(), directions.size(), OrderFor(input), designed, nullptr, options)) {
                case DesignResult::Ok: break;
                case DesignResult::OutOfMemory: return PrepareResult::OutOfMemory;
                default: return PrepareResult::BadRig;
                }
            }
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
            const DesignedDecoder& decoder = redesign ? designed : *m_Rig.designed;
            switch (m_Matrix.Prepare(DesignedGainsFor(m_Rig, decoder, input, gains), stream.sampleRate)) {
            case MatrixDecoder::Result::Ok: break;
            case MatrixDecoder::Result::BadSampleRate: return PrepareResult::BadSampleRate;
            case MatrixDecoder::Result::OutOfMemory: return PrepareResult::OutOfMemory;
            default: return PrepareResult::BadRig;
            }
            for (uint32_t w = 0; w < kDelayWidths; ++w) std::swap(m_Delays[w], lines[w]);
            m_In.swap(in);
            m_Out.swap(out);
            m_Lfe = lfe;
            // W as FuMa carries it feeds the LFE channel (x / x is exactly 1).
            m_LfeWeight = input.channel[0].weight / kSqrt2;
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
                    const double w = F::ToDouble(src + f * m_InChannels * F::kBytes) * m_LfeWeight;
                    const double y = m_Options.silentLfe ? 0.0 : m_Lfe.Process(w);
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
    // The all-pass acts alike on every input channel and W (the LFE's source) does not turn,
    // so any steady turn folds into the gains.
    bool FoldTurn(const double* turn, const double* inverse) override
    {
        m_Matrix.Fold(turn, inverse);
        return true;
    }
    void DoReset() override
    {
        m_Matrix.Reset();
        m_Lfe.Reset();
        for (ChannelDelays& d : m_Delays) d.Reset();
    }

    int OrderFor(const InputLayout& input) const override { return std::min(input.order, RigOrder(m_Rig)); }

private:
    // Sample widths of 2, 3 and 4 bytes each have their delay lines (the formats' widths).
    static constexpr uint32_t kDelayWidths = 3;

    Rig m_Rig;
    SpeakerOptions m_Options;
    MatrixDecoder m_Matrix;
    LfeLowPass m_Lfe;
    ChannelDelays m_Delays[kDelayWidths];
    std::vector<uint8_t> m_In, m_Out;  // interleaved scratch: planar input, silence; planar output
    double m_LfeWeight = 1.0;
    uint32_t m_InChannels = 0;
    size_t m_Capacity = 0;
};

// ---- Two channels -----------------------------------------------------------------------

// The two-channel outputs' common half: input and output planes, and the interleaved path
// through RenderBlock() in blocks of the planes' capacity. An output that reads only the
// first-order part (FirstOrderOnly()) gets it as FuMa W, X, Y[, Z] from any input; the others
// get the input's channels as they come.
class TwoChannelRenderer : public Renderer {
public:
    uint32_t OutputChannels() const override { return 2; }
    // Front left and right.
    uint32_t ChannelMask() const override { return 0x3; }

protected:
    // Runs n frames of in[] (stream channels, or the first-order part) into out[0], out[1].
    virtual void RenderBlock(const double* const* in, double* const* out, int32_t n) = 0;
    // Builds the output's own state for the stream; called after the planes are built and
    // before they are swapped in.
    virtual PrepareResult PrepareOutput(const StreamDescription& stream) = 0;
    virtual bool FirstOrderOnly() const = 0;

    PrepareResult DoPrepare(const StreamDescription& stream) override
    {
        InputLayout input;
        if (!DescribeInput(stream.convention, stream.inChannels, input)) return PrepareResult::BadChannels;
        if (stream.maxBlockFrames < 1) return PrepareResult::BadBlockFrames;
        const bool picking = FirstOrderOnly() && !IsFirstOrderFuma(stream);
        FirstOrderPart part;
        part.Build(input);
        SamplePlanes in, out;
        if (!in.Allocate(picking ? part.Count() : stream.inChannels, stream.maxBlockFrames) ||
            !out.Allocate(2, stream.maxBlockFrames))
            return PrepareResult::OutOfMemory;
        // Last, as it keeps its previous preparation when it fails.
        const PrepareResult result = PrepareOutput(stream);
        if (result != PrepareResult::Ok) return result;
        m_InPlanes.Swap(in);
        m_OutPlanes.Swap(out);
        m_Part = part;
        m_Picking = picking;
        m_InChannels = stream.inChannels;
        return PrepareResult::Ok;
    }
    void DoRender(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames) override
    {
        const size_t frameBytes = m_InChannels * BytesPerSample(format);
        Run(format, dst, frames, [&](size_t done, int32_t n) {
            if (m_Picking) m_Part.Deinterleave(src + done * frameBytes, n, format, m_InChannels, m_InPlanes.data());
            else DeinterleaveBlock(src + done * frameBytes, n, format, m_InChannels, m_InPlanes.data());
        });
    }
    void DoRenderPlanes(double* const* in, double* const* out, int32_t n) override
    {
        if (!m_Picking) {
            RenderBlock(in, out, n);
            return;
        }
        m_Part.Pick(in, m_InPlanes.data(), n);
        RenderBlock(m_InPlanes.data(), out, n);
    }
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
    FirstOrderPart m_Part;  // with m_Picking: how m_InPlanes are read from the input
    uint32_t m_InChannels = 0;
    bool m_Picking = false;
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
    void DoReset() override { m_Encoder.Reset(); }

    bool FirstOrderOnly() const override { return true; }

private:
    UhjEncoder m_Encoder;
};

// The headphone decode: B-Format through filters designed from the responses
// (binaural_design.h) for the order the input carries (capped by the responses: a design of
// order N needs (N + 1)^2 directions), one per input channel and ear, so that every channel up
// to that order reaches the ears; left ear, right ear, lagging the input by the block
// convolution's partition. The input runs through the ambiX filters unconverted: each
// channel's filters are those of its ACN channel times its weight (FuMa W's take the factor
// sqrt(2), and FuMa X, Y, Z are ambiX channels 3, 1, 2). A 3-channel input has no Z and leaves
// Z's filters out. Owns its copy of the measured responses.
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
    bool FirstOrderOnly() const override { return false; }
    int OrderFor(const InputLayout& input) const override
    {
        int order = input.order;
        if (!m_Measured.responses.empty())
            while (order > 1 && AmbisonicChannels(order) > m_Measured.responses.size()) --order;
        return order;
    }
    PrepareResult PrepareOutput(const StreamDescription& stream) override
    {
        InputLayout input;
        if (!DescribeInput(stream.convention, stream.inChannels, input)) return PrepareResult::BadChannels;
        try {
            BinauralDesignSettings settings;
            settings.sampleRate = stream.sampleRate;
            settings.order = OrderFor(input);
            settings.responses = m_Measured.responses.data();
            settings.responseCount = m_Measured.responses.size();
            BinauralDesign design;
            switch (DesignBinauralDecoder(settings, design)) {
            case BinauralDesignResult::Ok: break;
            case BinauralDesignResult::BadSampleRate: return PrepareResult::BadSampleRate;
            case BinauralDesignResult::OutOfMemory: return PrepareResult::OutOfMemory;
            default: return PrepareResult::BadResponses;
            }
            // The channels above the design's order come last and are left out.
            std::vector<std::vector<std::vector<double>>> filters(input.ChannelsUpTo(settings.order));
            for (size_t ch = 0; ch < filters.size(); ++ch) {
                filters[ch] = design.filters[input.channel[ch].acn];
                const double weight = input.channel[ch].weight;
                if (weight != 1.0)
                    for (auto& ear : filters[ch])
                        for (double& tap : ear) tap *= weight;
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
    void DoReset() override { m_Convolver.Reset(); }

private:
    MeasuredResponses m_Measured;
    BlockConvolver m_Convolver;
};

}  // namespace

MatrixDecoderGains DesignedGainsFor(const Rig& rig, const DesignedDecoder& d, const InputLayout& input,
                                    const std::vector<double>& rowGains)
{
    MatrixDecoderGains g;
    g.inputs = input.channels;
    g.outputs = rig.Channels();
    g.crossoverHz = rig.crossoverHz;
    g.low.assign(size_t{g.inputs} * g.outputs, 0.0);
    g.high.assign(g.low.size(), 0.0);
    for (size_t out = 0, s = 0; out < g.outputs; ++out) {
        if (static_cast<int32_t>(out) == rig.lfeChannel) continue;
        const double rowGain = (s < rowGains.size() ? rowGains[s] : 1.0) * rig.speakers[out].gain;
        for (uint32_t c = 0; c < input.channels; ++c) {
            const size_t acn = input.channel[c].acn;
            if (acn >= d.channels) continue;
            const double scale = input.channel[c].weight * rowGain;
            g.low[out * input.channels + c] = d.low[s * d.channels + acn] * scale;
            g.high[out * input.channels + c] = d.high[s * d.channels + acn] * scale;
        }
        ++s;
    }
    return g;
}

int RigOrder(const Rig& rig)
{
    if (!rig.designed) return 1;
    if (rig.givenDecoder) return rig.designed->order;
    const size_t speakers = rig.designed->speakers;
    int order = 1;
    if (rig.designed->shape == DesignShape::Horizontal)
        while (order < kMaxAmbisonicOrder && size_t(2 * (order + 1) + 1) <= speakers) ++order;
    else
        while (order < kMaxAmbisonicOrder && AmbisonicChannels(order + 1) <= speakers) ++order;
    return order;
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
        // A first-order design fits 4 channels: it needs at least as many directions.
        if (measured && !measured->responses.empty() &&
            (!(measured->sampleRate > 0.0) || measured->responses.size() < AmbisonicChannels(1)))
            return nullptr;
        return std::make_unique<HeadphoneRenderer>(measured ? *measured : MeasuredResponses{});
    }
    return nullptr;
}

}  // namespace decoder
