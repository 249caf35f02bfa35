#include "decoder/stereo_output.h"

#include <algorithm>

namespace decoder {

BinauralSetupResult StereoOutput::Setup(Mode mode, const BinauralSettings& settings)
{
    if (settings.inChannels != 3 && settings.inChannels != 4) return BinauralSetupResult::BadChannels;
    if (settings.maxBlockFrames < 1) return BinauralSetupResult::BadBlockFrames;
    SamplePlanes in, out;
    if (!in.Allocate(settings.inChannels, settings.maxBlockFrames) || !out.Allocate(2, settings.maxBlockFrames))
        return BinauralSetupResult::OutOfMemory;
    // Last, as it keeps its previous set-up when it fails.
    if (mode == Mode::Headphones) {
        const BinauralSetupResult result = m_Binaural.Setup(settings);
        if (result != BinauralSetupResult::Ok) return result;
    }
    m_Uhj.Reset();
    m_InPlanes.Swap(in);
    m_OutPlanes.Swap(out);
    m_Mode = mode;
    m_Ready = true;
    return BinauralSetupResult::Ok;
}

void StereoOutput::RenderFrames(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames)
{
    const size_t bytes = BytesPerSample(format);
    if (!m_Ready || bytes == 0) return;
    const uint32_t channels = m_InPlanes.Channels();
    const auto capacity = static_cast<size_t>(m_InPlanes.Capacity());
    for (size_t done = 0; done < frames;) {
        const size_t take = std::min(frames - done, capacity);
        const auto n = static_cast<int32_t>(take);
        DeinterleaveBlock(src + done * channels * bytes, n, format, channels, m_InPlanes.data());
        if (m_Mode == Mode::Uhj) m_Uhj.Process(m_InPlanes.data(), m_OutPlanes.data(), n);
        else m_Binaural.Process(m_InPlanes.data(), m_OutPlanes.data(), n);
        InterleaveBlock(m_OutPlanes.data(), 2, n, format, dst + done * 2 * bytes);
        done += take;
    }
}

}  // namespace decoder
