#include "decoder/decoder_state.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

#include "decoder/kernels/kernels.h"

namespace decoder {

namespace {

// The fastest kernel this build and processor have for the layout.
const kernels::DecodeKernel* ChooseKernel(uint32_t inChannels, uint32_t speakers)
{
    if (const kernels::DecodeKernel* k = kernels::Avx512Kernel(inChannels, speakers)) return k;
    if (const kernels::DecodeKernel* k = kernels::Avx2Kernel(inChannels, speakers)) return k;
    if (const kernels::DecodeKernel* k = kernels::Sse2Kernel(inChannels, speakers)) return k;
    return kernels::ScalarKernel(inChannels, speakers);
}

// The kernels' view of a ready state: the shelves' coefficients and memory copied out, W with
// 2 - LowGain / 2 - HighGain, X and Y with LowGain / HighGain.
kernels::KernelState KernelStateOf(const DecoderState& st)
{
    const DecoderCoefficients& c = st.m_Coefficients;
    kernels::KernelState k{};
    k.shelves = kernels::ShelfBankOf(*st.m_pShelfW, *st.m_pShelfX, *st.m_pShelfY, 2.0 - c.LowGain, 2.0 - c.HighGain,
                                     c.LowGain, c.HighGain);
    k.coefficients = &c;
    k.inChannels = st.m_nInChannels;
    k.speakers = st.m_nSpeakers;
    k.inPlanes = st.m_InPlanes.data();
    k.outPlanes = st.m_OutPlanes.data();
    k.capacity = st.m_InPlanes.Capacity();
    k.turn = st.Turn();
    return k;
}

void StoreShelfMemory(const kernels::ShelfBank& bank, DecoderState& st)
{
    kernels::StoreShelfMemory(bank, *st.m_pShelfW, *st.m_pShelfX, *st.m_pShelfY);
}

}  // namespace

PrepareResult DecoderState::Prepare(const StreamDescription& stream)
{
    const uint32_t inChannels = stream.inChannels, speakers = m_nSpeakers;
    const int32_t capacity = stream.maxBlockFrames;
    if (inChannels != 3 && inChannels != 4) return PrepareResult::BadChannels;
    const kernels::DecodeKernel* kernel = ChooseKernel(inChannels, speakers);
    if (!kernel) return PrepareResult::BadRig;
    if (capacity <= 0) return PrepareResult::BadBlockFrames;
    if (!std::isfinite(AllPass::CoefficientFor(kCrossoverHz, stream.sampleRate))) return PrepareResult::BadSampleRate;

    std::unique_ptr<AllPass> shelves[3];
    for (auto& shelf : shelves) {
        shelf.reset(new (std::nothrow) AllPass(capacity));
        if (!shelf || shelf->Capacity() != capacity) return PrepareResult::OutOfMemory;
        shelf->SetFrequency(kCrossoverHz, stream.sampleRate);
    }
    SamplePlanes in, out;
    if (!in.Allocate(inChannels, capacity) || !out.Allocate(speakers, capacity)) return PrepareResult::OutOfMemory;

    m_nInChannels = inChannels;
    m_pShelfW = std::move(shelves[0]);
    m_pShelfX = std::move(shelves[1]);
    m_pShelfY = std::move(shelves[2]);
    m_InPlanes.Swap(in);
    m_OutPlanes.Swap(out);
    m_pKernel = kernel;
    m_Turned = false;
    return PrepareResult::Ok;
}

bool DecoderState::SetTurn(const double* m)
{
    if (!m) {
        m_Turned = false;
        return true;
    }
    if (!IsReady() || m_nInChannels != 4) return false;
    std::copy(m, m + 9, m_Turn);
    m_Turned = true;
    return true;
}

bool DecoderState::IsReady() const
{
    return m_pKernel && m_pShelfW && m_pShelfX && m_pShelfY && (m_nInChannels == 3 || m_nInChannels == 4) &&
           m_InPlanes.Channels() == m_nInChannels && m_nSpeakers >= 1 &&
           m_OutPlanes.Channels() == m_nSpeakers && m_InPlanes.Capacity() == m_OutPlanes.Capacity();
}

void DecoderState::DecodeBlock(double* const* in, double* const* out, int32_t n)
{
    if (n <= 0 || !IsReady()) return;
    kernels::KernelState k = KernelStateOf(*this);
    m_pKernel->block(k, in, out, n);
    StoreShelfMemory(k.shelves, *this);
}

void DecoderState::DecodeFrames(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames)
{
    if (BytesPerSample(format) == 0 || frames == 0 || !IsReady()) return;
    kernels::KernelState k = KernelStateOf(*this);
    m_pKernel->frames(k, format, src, dst, frames);
    StoreShelfMemory(k.shelves, *this);
}

}  // namespace decoder
