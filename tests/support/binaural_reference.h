// The plain reference for the headphone decode: the speaker decode into virtual speaker feeds,
// each convolved sample by sample with its ear responses, summed and normalised, with no
// latency. What the tests and the benchmark hold BinauralDecoder to.
#pragma once

#include <cstring>
#include <new>
#include <vector>

#include "decoder/binaural.h"
#include "decoder/decoder_state.h"

namespace decoder_test {

// Same preparation and threading as BinauralDecoder; the stream path allocates nothing.
class BinauralReference {
public:
    decoder::PrepareResult Prepare(const decoder::StreamDescription& stream, const decoder::BinauralSettings& settings)
    {
        using decoder::PrepareResult;
        try {
            decoder::VirtualSpeakers v;
            const PrepareResult prepared = decoder::PrepareVirtualSpeakers(stream, settings, v);
            if (prepared != PrepareResult::Ok) return prepared;
            const size_t taps = v.left[0].size();
            std::vector<std::vector<double>> history(
                v.speakers, std::vector<double>(taps - 1 + static_cast<size_t>(stream.maxBlockFrames)));
            decoder::Rig rig;
            rig.speakers.resize(v.speakers);
            rig.table = v.coefficients;
            decoder::DecoderState state(rig);
            const PrepareResult result = state.Prepare(stream);
            if (result != PrepareResult::Ok) return result;
            m_State = std::move(state);
            m_Speakers = std::move(v);
            m_History.swap(history);
            m_Taps = taps;
            m_Capacity = stream.maxBlockFrames;
            return PrepareResult::Ok;
        } catch (const std::bad_alloc&) {
            return PrepareResult::OutOfMemory;
        }
    }

    void Process(const double* const* in, double* const* out, int32_t n)
    {
        if (m_Capacity == 0) return;
        for (int32_t done = 0; done < n;) {
            const int32_t take = std::min(n - done, m_Capacity);
            const auto frames = static_cast<size_t>(take);
            for (uint32_t ch = 0; ch < m_State.m_nInChannels; ++ch)
                std::memcpy(m_State.m_InPlanes[ch], in[ch] + done, frames * sizeof(double));
            m_State.DecodeBlock(m_State.m_InPlanes.data(), m_State.m_OutPlanes.data(), take);
            for (uint32_t s = 0; s < m_Speakers.speakers; ++s)
                std::memcpy(&m_History[s][m_Taps - 1], m_State.m_OutPlanes[s], frames * sizeof(double));
            for (size_t f = 0; f < frames; ++f) {
                double left = 0.0, right = 0.0;
                for (uint32_t s = 0; s < m_Speakers.speakers; ++s) {
                    const double* feed = &m_History[s][m_Taps - 1 + f];
                    for (size_t k = 0; k < m_Taps; ++k) {
                        left += m_Speakers.left[s][k] * feed[-static_cast<ptrdiff_t>(k)];
                        right += m_Speakers.right[s][k] * feed[-static_cast<ptrdiff_t>(k)];
                    }
                }
                out[0][done + f] = left * m_Speakers.normalisation;
                out[1][done + f] = right * m_Speakers.normalisation;
            }
            for (uint32_t s = 0; s < m_Speakers.speakers; ++s)
                std::memmove(m_History[s].data(), &m_History[s][frames], (m_Taps - 1) * sizeof(double));
            done += take;
        }
    }

private:
    decoder::DecoderState m_State;
    decoder::VirtualSpeakers m_Speakers;
    std::vector<std::vector<double>> m_History;  // [speaker]: past feeds, newest last
    size_t m_Taps = 0;
    int32_t m_Capacity = 0;
};

}  // namespace decoder_test
