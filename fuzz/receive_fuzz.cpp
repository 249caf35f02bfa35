// Arbitrary samples through a connected decoder filter's input pin: any of the accepted
// formats, any input buffer size, then samples of any size, length, bytes, flags, times and
// stream id, some announcing a media type change, between flushes, new segments,
// end-of-stream and state changes.
//
// The harness keeps its own model of the pin's state and a decoder core of its own, and
// holds the filter to it: every Receive answers as the state says (S_FALSE while flushing,
// VFW_E_WRONG_STATE when stopped, VFW_E_RUNTIME_ERROR after a refused type change); a refused
// change raises EC_ERRORABORT and stops the stream; each media sample accepted gives
// exactly one output sample holding the core's decode of its whole frames (as many as fit),
// with its times and flags; other streams pass through untouched; and no reference on any
// sample, pin or allocator is kept once the filter is gone.
#include <cstring>

#include "decoder/coefficients.h"
#include "decoder/decoder_testing.h"
#include "decoder/transform.h"
#include "filter/Maincom.h"
#include "framework/transform_pins.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/filter_between_fake_pins.h"

namespace {

using fuzz::Hr;
using fakes::FakeAllocator;
using fakes::FakeGraph;
using fakes::FakePin;
using fakes::FakeSample;

// The flags a media sample's property record defines.
constexpr DWORD kKnownFlags = AM_SAMPLE_SPLICEPOINT | AM_SAMPLE_PREROLL | AM_SAMPLE_DATADISCONTINUITY |
                              AM_SAMPLE_TYPECHANGED | AM_SAMPLE_TIMEVALID | AM_SAMPLE_TIMEDISCONTINUITY |
                              AM_SAMPLE_FLUSH_ON_PAUSE | AM_SAMPLE_STOPVALID | AM_SAMPLE_ENDOFSTREAM;

AM_MEDIA_TYPE* TaskMemoryCopy(const AM_MEDIA_TYPE& mt)
{
    auto* copy = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    FUZZ_CHECK(copy != nullptr, "no memory");
    std::memset(copy, 0, sizeof *copy);
    // A record that claims a block it does not have is copied without one.
    CopyMediaType(copy, &mt);
    return copy;
}

class Harness : fakes::FilterBetweenFakePins<CVEvava> {
public:
    explicit Harness(fuzz::Input& in)
    {
        // The stream: one accepted format, an input buffer size, and (after everything is
        // connected) paused or running.
        const fuzz::AcceptedFormat f = fuzz::kAcceptedFormats[in.ConsumeIntegralInRange<size_t>(0, 3)];
        m_channels = in.ConsumeBool() ? 4 : 3;
        static constexpr DWORD kRates[] = {44100, 48000, 8000, 1001, 192000};
        const DWORD rate = kRates[in.ConsumeIntegralInRange<size_t>(0, 4)];
        m_record = fuzz::BFormatRecord(f, m_channels, rate);
        m_format = decoder::SampleFormatOf(&m_record);
        m_bytes = decoder::BytesPerSample(m_format);
        // Input buffers of at least one frame (smaller ones cannot connect).
        m_inBuffer = in.ConsumeIntegralInRange<LONG>(static_cast<LONG>(m_bytes * m_channels), 16384);

        HRESULT hr = S_OK;
        CVEvava* made = fakes::CreateFilter<CVEvava>(&hr);
        FUZZ_CHECK(made != nullptr, "the filter could not be created: %s", Hr(hr).c_str());
        Insert(made, WIDE("decoder"));
        m_input = Input();
        m_output = Output();
        inAlloc->granted = {4, m_inBuffer, 1, 0};

        CMediaType type;
        type.majortype = MEDIATYPE_Audio;
        type.subtype = f.isFloat ? MEDIASUBTYPE_IEEE_FLOAT : MEDIASUBTYPE_PCM;
        type.formattype = FORMAT_WaveFormatEx;
        type.cbFormat = sizeof m_record;
        type.pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(sizeof m_record));
        std::memcpy(type.pbFormat, &m_record, sizeof m_record);
        hr = m_input->ReceiveConnection(upstream, &type);
        FUZZ_CHECK(hr == S_OK, "the input refused an accepted format: %s", Hr(hr).c_str());
        m_input->NotifyAllocator(inAlloc, FALSE);

        IMemAllocator* allocator = nullptr;
        hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                              reinterpret_cast<void**>(&allocator));
        FUZZ_CHECK(hr == S_OK, "no memory allocator: %s", Hr(hr).c_str());
        downstream->SetAllocator(allocator);
        allocator->Release();
        CMediaType proposal;
        FUZZ_CHECK(filter->GetMediaType(0, &proposal) == S_OK, "no output type");
        hr = m_output->Connect(downstream, &proposal);
        FUZZ_CHECK(hr == S_OK, "the output would not connect: %s", Hr(hr).c_str());
        ALLOCATOR_PROPERTIES props = {};
        allocator->GetProperties(&props);
        m_outSize = props.cbBuffer;

        m_reference = decoder::PreparedDecoder(0, {m_channels, double(rate), 4096});
        FUZZ_CHECK(m_reference.IsReady(), "reference decoder");

        ChangeState(in.ConsumeBool() ? State_Running : State_Paused);
    }

    ~Harness()
    {
        const Ending ending = Dismantle();
        FUZZ_CHECK(ending.stop == S_OK, "Stop failed");
        FUZZ_CHECK(ending.inputDisconnect == S_OK, "input pin would not disconnect");
        FUZZ_CHECK(ending.outputDisconnect == S_OK, "output pin would not disconnect");
        FUZZ_CHECK(FakePin::live() == 0, "%d pin references kept", FakePin::live().load());
        FUZZ_CHECK(FakeAllocator::live() == 0, "%d allocator references kept", FakeAllocator::live().load());
        FUZZ_CHECK(FakeSample::live() == 0, "%d sample references kept", FakeSample::live().load());
        FUZZ_CHECK(FakeGraph::live() == 0, "%d graph references kept", FakeGraph::live().load());
    }

    void ChangeState(FILTER_STATE to)
    {
        HRESULT hr = to == State_Stopped ? filter->Stop() : to == State_Paused ? filter->Pause() : filter->Run(0);
        FUZZ_CHECK(hr == S_OK, "state change to %d failed: %s", static_cast<int>(to), Hr(hr).c_str());
        // Stopping a started filter makes the input inactive, which ends a flush and a pending
        // error; stopping a stopped one changes nothing.
        if (to == State_Stopped && m_state != State_Stopped) m_flushing = m_runTimeError = false;
        m_state = to;
    }

    void Sample(fuzz::Input& in)
    {
        const LONG size = in.ConsumeIntegralInRange<LONG>(0, m_inBuffer + 64);
        const bool offers2 = in.ConsumeIntegralInRange<int>(0, 3) != 0;
        auto* sample = new FakeSample(size, offers2);
        const std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(static_cast<size_t>(size));
        if (!bytes.empty()) std::memcpy(sample->data(), bytes.data(), bytes.size());
        AM_SAMPLE2_PROPERTIES& p = sample->props;
        p.lActual = in.ConsumeIntegralInRange<LONG>(0, size);
        p.dwSampleFlags = in.ConsumeIntegral<DWORD>() & kKnownFlags & ~AM_SAMPLE_TYPECHANGED;
        p.dwTypeSpecificFlags = in.ConsumeIntegral<DWORD>();
        p.tStart = in.ConsumeIntegral<REFERENCE_TIME>();
        p.tStop = in.ConsumeIntegral<REFERENCE_TIME>();
        p.dwStreamId = in.ConsumeIntegralInRange<int>(0, 7) == 0 ? in.ConsumeIntegral<DWORD>() : DWORD{AM_STREAM_MEDIA};

        // Now and then a media type change rides on the sample.
        CMediaType announced;
        bool changes = false;
        if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
            changes = true;
            if (in.ConsumeBool()) {
                announced.Set(m_input->CurrentMediaType());
            } else {
                fuzz::ConsumeMediaType(in, announced);
            }
            if (offers2) {
                p.dwSampleFlags |= AM_SAMPLE_TYPECHANGED;
                p.pMediaType = in.ConsumeIntegralInRange<int>(0, 15) == 0 ? nullptr : &announced;
            } else {
                sample->typeToAnnounce = [&announced] { return TaskMemoryCopy(announced); };
            }
        }

        // EC_ERRORABORT for a refused type, as the fake graph logs it.
        const std::string refusedEvent = "Event 3 " + std::to_string(VFW_E_TYPE_NOT_ACCEPTED) + " 0";
        const size_t eventsBefore = log.Count(refusedEvent);
        const size_t eosBefore = log.Count("down.EndOfStream");
        const size_t receivedBefore = downstream->ReceivedSamples().size();
        const HRESULT hr = m_input->Receive(sample);

        const HRESULT expected = ExpectedAnswer();
        const auto received = downstream->ReceivedSamples();

        if (expected == S_OK && changes && hr == VFW_E_INVALIDMEDIATYPE) {
            // A refused change: the stream stops here and the graph hears why. The pin's own
            // end-of-stream meets the error it has just raised, so nothing goes downstream.
            m_runTimeError = true;
            FUZZ_CHECK(log.Count(refusedEvent) == eventsBefore + 1, "no EC_ERRORABORT for a refused type change");
            FUZZ_CHECK(log.Count("down.EndOfStream") == eosBefore, "end-of-stream went on after a refused change");
            FUZZ_CHECK(received.size() == receivedBefore, "a sample went on after a refused change");
        } else {
            FUZZ_CHECK(hr == expected, "Receive gave %s where %s was due", Hr(hr).c_str(), Hr(expected).c_str());
            if (expected != S_OK) {
                FUZZ_CHECK(received.size() == receivedBefore, "a refused sample went downstream");
            } else {
                FUZZ_CHECK(received.size() == receivedBefore + 1, "an accepted sample gave %zu outputs",
                           received.size() - receivedBefore);
                CheckDelivered(*sample, offers2, received.back());
            }
        }
        sample->Release();
    }

    void Flush(fuzz::Input& in)
    {
        if (in.ConsumeBool()) {
            FUZZ_CHECK(m_input->BeginFlush() == S_OK, "BeginFlush failed");
            m_flushing = true;
        } else {
            FUZZ_CHECK(m_input->EndFlush() == S_OK, "EndFlush failed");
            m_flushing = m_runTimeError = false;
        }
    }

    void NewSegment(fuzz::Input& in)
    {
        const REFERENCE_TIME start = in.ConsumeIntegral<REFERENCE_TIME>();
        const REFERENCE_TIME stop = in.ConsumeIntegral<REFERENCE_TIME>();
        const double rate = in.ConsumeIntegralInRange<int>(-4, 4) / 2.0;
        FUZZ_CHECK(m_input->NewSegment(start, stop, rate) == S_OK, "NewSegment failed");
        FUZZ_CHECK(m_input->CurrentStartTime() == start && m_input->CurrentStopTime() == stop,
                   "the segment was not kept");
    }

    void EndOfStream()
    {
        const size_t before = log.Count("down.EndOfStream");
        const HRESULT hr = m_input->EndOfStream();
        const HRESULT expected = ExpectedAnswer();
        FUZZ_CHECK(hr == expected, "EndOfStream gave %s where %s was due", Hr(hr).c_str(), Hr(expected).c_str());
        FUZZ_CHECK(log.Count("down.EndOfStream") == before + (hr == S_OK ? 1 : 0), "end-of-stream not passed on");
    }

private:
    // What the input pin answers a sample or end-of-stream with in the state the model holds.
    HRESULT ExpectedAnswer() const
    {
        if (m_flushing) return S_FALSE;
        if (m_state == State_Stopped) return VFW_E_WRONG_STATE;
        if (m_runTimeError) return VFW_E_RUNTIME_ERROR;
        return S_OK;
    }

    void CheckDelivered(FakeSample& in, bool offers2, const FakePin::Received& out)
    {
        const AM_SAMPLE2_PROPERTIES& p = in.props;
        // Only a property record can say a sample belongs to another stream.
        if (offers2 && p.dwStreamId != AM_STREAM_MEDIA) {
            // Not media data: passed on as it came, not decoded.
            FUZZ_CHECK(out.identity == &in, "a control sample was replaced");
            return;
        }
        // The whole input frames that fit in an output buffer, decoded as the core decodes
        // them, continuing from the samples before.
        const size_t inFrame = m_bytes * m_channels, outFrame = m_bytes * 4;
        const size_t frames = std::min(static_cast<size_t>(p.lActual) / inFrame, static_cast<size_t>(m_outSize) / outFrame);
        std::vector<uint8_t> expected(frames * outFrame);
        m_reference.DecodeFrames(m_format, in.data(), expected.data(), frames);
        FUZZ_CHECK(out.data.size() == expected.size(), "%zu bytes out for %zu frames", out.data.size(), frames);
        FUZZ_CHECK(out.data == expected, "the output is not the decoder core's (%zu frames)", frames);

        if (!offers2) return;
        // A property record travels whole: the times and every flag but the type change.
        FUZZ_CHECK(out.props.dwSampleFlags == (p.dwSampleFlags & ~AM_SAMPLE_TYPECHANGED), "flags %08X became %08X",
                   static_cast<unsigned>(p.dwSampleFlags), static_cast<unsigned>(out.props.dwSampleFlags));
        FUZZ_CHECK(out.props.tStart == p.tStart && out.props.tStop == p.tStop, "times changed");
        FUZZ_CHECK(out.props.dwTypeSpecificFlags == p.dwTypeSpecificFlags, "type-specific flags changed");
    }

    WAVEFORMATEXTENSIBLE m_record{};
    decoder::SampleFormat m_format = decoder::SampleFormat::None;
    size_t m_bytes = 0;
    WORD m_channels = 0;
    LONG m_inBuffer = 0;
    LONG m_outSize = 0;
    decoder::DecoderState m_reference;

    CTransformInputPin* m_input = nullptr;
    CTransformOutputPin* m_output = nullptr;

    FILTER_STATE m_state = State_Stopped;
    bool m_flushing = false;
    bool m_runTimeError = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::InitializeComOnce();
    fuzz::Input in(data, size);
    Harness h(in);
    for (int step = 0; step < 48 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange<int>(0, 9)) {
        case 6: h.Flush(in); break;
        case 7: h.NewSegment(in); break;
        case 8: h.EndOfStream(); break;
        case 9: {
            static constexpr FILTER_STATE kStates[] = {State_Stopped, State_Paused, State_Running};
            h.ChangeState(kStates[in.ConsumeIntegralInRange<int>(0, 2)]);
            break;
        }
        default: h.Sample(in); break;
        }
    }
    return 0;
}
