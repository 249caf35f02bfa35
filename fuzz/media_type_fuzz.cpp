// Media types from the fuzzer into a real decoder filter's negotiation: CheckInputType,
// CheckTransform, GetMediaType and DecideBufferSize, called directly and through the pins'
// connections, in any order, with neighbours whose allocators grant what the input says.
//
// Beyond "no crash, no leak, no undefined behaviour" each call's answer is held to what the
// filter promises: only the documented results, a refused type changes nothing, the format in
// force stays fixed while a pin is connected, the proposed output type is one the filter
// accepts, and the decided buffers hold at least an input buffer's frames.
#include <cstring>

#include "filter/Maincom.h"
#include "framework/transform_pins.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/filter_between_fake_pins.h"

namespace {

using fakes::FakeAllocator;
using fakes::FakePin;
using fuzz::ConsumeMediaType;
using fuzz::Hr;

// What the filter holds as the format in force, to compare across a call.
struct Snapshot {
    std::vector<BYTE> format;
    uint32_t channels;
    uint32_t speakers;

    explicit Snapshot(CVEvava* filter) : channels(filter->InputChannels()), speakers(filter->Speakers())
    {
        if (const WAVEFORMATEXTENSIBLE* f = filter->InputFormat()) {
            const BYTE* bytes = reinterpret_cast<const BYTE*>(f);
            format.assign(bytes, bytes + f->Format.cbSize + sizeof(WAVEFORMATEX));
        }
    }
    bool operator==(const Snapshot& o) const
    {
        return format == o.format && channels == o.channels && speakers == o.speakers;
    }
};

WAVEFORMATEXTENSIBLE RecordOf(const AM_MEDIA_TYPE& mt)
{
    WAVEFORMATEXTENSIBLE f;
    std::memset(&f, 0, sizeof f);
    if (mt.pbFormat) std::memcpy(&f, mt.pbFormat, mt.cbFormat < sizeof f ? mt.cbFormat : sizeof f);
    return f;
}

class Harness : fakes::FilterBetweenFakePins<CVEvava> {
public:
    Harness()
    {
        HRESULT hr = S_OK;
        CVEvava* made = fakes::CreateFilter<CVEvava>(&hr);
        FUZZ_CHECK(made != nullptr, "the filter could not be created: %s", Hr(hr).c_str());
        Insert(made);
        input = Input();
        output = Output();
        FUZZ_CHECK(input && output, "no pins");
    }

    ~Harness()
    {
        const Ending ending = Dismantle();
        FUZZ_CHECK(SUCCEEDED(ending.inputDisconnect), "input pin would not disconnect");
        FUZZ_CHECK(SUCCEEDED(ending.outputDisconnect), "output pin would not disconnect");
        // Every reference the filter took on its neighbours went back.
        FUZZ_CHECK(FakePin::live() == 0, "%d pin references kept", FakePin::live().load());
        FUZZ_CHECK(FakeAllocator::live() == 0, "%d allocator references kept", FakeAllocator::live().load());
    }

    void CheckInputType(fuzz::Input& in)
    {
        CMediaType mt;
        ConsumeMediaType(in, mt);
        const Snapshot before(filter);
        const bool connected = input->IsConnected() || output->IsConnected();
        const HRESULT hr = filter->CheckInputType(&mt);
        FUZZ_CHECK(hr == S_OK || hr == VFW_E_TYPE_NOT_ACCEPTED, "CheckInputType gave %s", Hr(hr).c_str());
        const Snapshot after(filter);
        if (hr != S_OK || connected) {
            FUZZ_CHECK(before == after, "the format in force changed (connected %d, result %s)", connected,
                       Hr(hr).c_str());
            return;
        }
        // Accepted: the whole record that cbSize announces was taken from the block.
        const WAVEFORMATEXTENSIBLE f = RecordOf(mt);
        FUZZ_CHECK(after.format.size() == f.Format.cbSize + sizeof(WAVEFORMATEX) && after.format.size() <= mt.cbFormat,
                   "stored %zu bytes of a %u-byte block", after.format.size(), static_cast<unsigned>(mt.cbFormat));
        FUZZ_CHECK(std::memcmp(after.format.data(), mt.pbFormat, after.format.size()) == 0, "stored bytes differ");
        FUZZ_CHECK(after.channels == f.Format.nChannels && (after.channels == 3 || after.channels == 4),
                   "%u input channels", after.channels);
        FUZZ_CHECK(after.speakers == 4, "%u speakers", after.speakers);
    }

    void CheckTransform(fuzz::Input& in)
    {
        CMediaType mtIn, mtOut;
        ConsumeMediaType(in, mtIn);
        if (in.ConsumeBool()) {
            ConsumeMediaType(in, mtOut);
        } else if (input->IsConnected()) {
            // The filter's own proposal, against any input.
            filter->GetMediaType(0, &mtOut);
        }
        const HRESULT hr = filter->CheckTransform(&mtIn, &mtOut);
        FUZZ_CHECK(hr == S_OK || hr == VFW_E_TYPE_NOT_ACCEPTED, "CheckTransform gave %s", Hr(hr).c_str());
        if (hr == S_OK) {
            const WAVEFORMATEXTENSIBLE a = RecordOf(mtIn), b = RecordOf(mtOut);
            FUZZ_CHECK(a.Format.nChannels == filter->InputChannels() && b.Format.nChannels == filter->Speakers(),
                       "accepted %u -> %u channels", a.Format.nChannels, b.Format.nChannels);
        }
    }

    void ConnectInput(fuzz::Input& in)
    {
        if (input->IsConnected()) return;
        CMediaType mt;
        ConsumeMediaType(in, mt);
        const HRESULT hr = input->ReceiveConnection(upstream, &mt);
        FUZZ_CHECK(hr == S_OK || hr == VFW_E_TYPE_NOT_ACCEPTED || (hr == E_UNEXPECTED && output->IsConnected()),
                   "ReceiveConnection gave %s", Hr(hr).c_str());
        FUZZ_CHECK(input->IsConnected() == (hr == S_OK), "connection state does not match %s", Hr(hr).c_str());
        if (hr != S_OK) return;
        // An input allocator of the size upstream chose; huge ones need memory the fuzzer
        // does not have, and say nothing that a megabyte does not.
        inAlloc->granted = {in.ConsumeIntegralInRange<LONG>(0, 8), in.ConsumeIntegralInRange<LONG>(-16, 1 << 20), 1, 0};
        inAlloc->getPropertiesResult = in.ConsumeIntegralInRange<int>(0, 7) == 0 ? E_FAIL : S_OK;
        FUZZ_CHECK(input->NotifyAllocator(inAlloc, FALSE) == S_OK, "NotifyAllocator refused");
    }

    void ConnectOutput(fuzz::Input& in)
    {
        if (output->IsConnected()) return;
        CMediaType mt;
        const bool own = in.ConsumeBool();
        if (own) {
            filter->GetMediaType(0, &mt);
        } else {
            ConsumeMediaType(in, mt);
        }
        ConfigureOutputAllocator(in);
        const Snapshot before(filter);
        const HRESULT hr = output->Connect(downstream, in.ConsumeBool() ? nullptr : &mt);
        FUZZ_CHECK(output->IsConnected() == SUCCEEDED(hr), "connection state does not match %s", Hr(hr).c_str());
        FUZZ_CHECK(before == Snapshot(filter), "connecting the output changed the format in force");
        if (SUCCEEDED(hr)) {
            FUZZ_CHECK(input->IsConnected(), "output connected before the input");
            // The downstream allocator may have been refused for the pin's own: only the
            // planes can be checked here.
            CheckDecidedBuffers(false);
        } else {
            downstream->Disconnect();
        }
    }

    void Disconnect(fuzz::Input& in)
    {
        if (in.ConsumeBool()) {
            FUZZ_CHECK(SUCCEEDED(input->Disconnect()), "input pin would not disconnect");
        } else {
            FUZZ_CHECK(SUCCEEDED(output->Disconnect()), "output pin would not disconnect");
            downstream->Disconnect();
        }
    }

    void GetMediaType(fuzz::Input& in)
    {
        const int position = in.ConsumeIntegralInRange<int>(-2, 2);
        CMediaType mt;
        const HRESULT hr = filter->GetMediaType(position, &mt);
        if (!input->IsConnected()) {
            FUZZ_CHECK(hr == E_UNEXPECTED, "GetMediaType unconnected gave %s", Hr(hr).c_str());
            return;
        }
        if (position < 0) {
            FUZZ_CHECK(hr == E_INVALIDARG, "GetMediaType(%d) gave %s", position, Hr(hr).c_str());
            return;
        }
        if (position > 0) {
            FUZZ_CHECK(hr == VFW_S_NO_MORE_ITEMS, "GetMediaType(%d) gave %s", position, Hr(hr).c_str());
            return;
        }
        FUZZ_CHECK(hr == S_OK, "GetMediaType(0) gave %s", Hr(hr).c_str());
        // The proposal: the connection's block size, four speakers of the input's sample type,
        // and a pair the filter itself accepts.
        const CMediaType& current = input->CurrentMediaType();
        FUZZ_CHECK(mt.cbFormat == current.cbFormat, "proposal block %u, input block %u",
                   static_cast<unsigned>(mt.cbFormat), static_cast<unsigned>(current.cbFormat));
        const WAVEFORMATEXTENSIBLE f = RecordOf(mt);
        FUZZ_CHECK(f.Format.nChannels == 4 && f.Format.nBlockAlign == 4 * f.Format.wBitsPerSample / 8,
                   "proposal of %u channels, block %u", f.Format.nChannels, f.Format.nBlockAlign);
        FUZZ_CHECK(filter->CheckTransform(&current, &mt) == S_OK, "the filter refuses its own proposal");
    }

    void DecideBufferSize(fuzz::Input& in)
    {
        ConfigureOutputAllocator(in);
        ALLOCATOR_PROPERTIES request = {in.ConsumeIntegral<LONG>(), in.ConsumeIntegral<LONG>(), 1,
                                        in.ConsumeIntegralInRange<LONG>(0, 64)};
        const int32_t framesBefore = filter->FramesPerBlock();
        const HRESULT hr = filter->DecideBufferSize(outAlloc, &request);
        if (!input->IsConnected()) {
            FUZZ_CHECK(hr == E_UNEXPECTED, "DecideBufferSize unconnected gave %s", Hr(hr).c_str());
            return;
        }
        FUZZ_CHECK(hr == S_OK || hr == E_FAIL || hr == E_UNEXPECTED || hr == inAlloc->getPropertiesResult ||
                       hr == outAlloc->setPropertiesResult,
                   "DecideBufferSize gave %s", Hr(hr).c_str());
        if (hr == S_OK) {
            CheckDecidedBuffers(true);
        } else {
            FUZZ_CHECK(filter->FramesPerBlock() == framesBefore, "a failed decision changed the planes");
        }
    }

    void QueryAccept(fuzz::Input& in)
    {
        CMediaType mt;
        ConsumeMediaType(in, mt);
        IPin* pin = in.ConsumeBool() ? static_cast<IPin*>(input) : static_cast<IPin*>(output);
        const HRESULT hr = pin->QueryAccept(&mt);
        FUZZ_CHECK(hr == S_OK || hr == S_FALSE, "QueryAccept gave %s", Hr(hr).c_str());
    }

private:
    void ConfigureOutputAllocator(fuzz::Input& in)
    {
        outAlloc->grantCount = in.ConsumeIntegralInRange<LONG>(-1, 3);
        outAlloc->grantSize = in.ConsumeBool() ? -1 : in.ConsumeIntegralInRange<LONG>(0, 1 << 21);
        outAlloc->setPropertiesResult = in.ConsumeIntegralInRange<int>(0, 7) == 0 ? E_OUTOFMEMORY : S_OK;
    }

    // After a successful decision: two buffers of the input buffer's frames in four speakers
    // (when `request` says the fake allocator was the one asked), and planes for at least
    // those frames.
    void CheckDecidedBuffers(bool request)
    {
        if (request) {
            const ALLOCATOR_PROPERTIES& asked = outAlloc->requested;
            const uint64_t expected = uint64_t{static_cast<uint32_t>(inAlloc->granted.cbBuffer)} *
                                      filter->Speakers() / filter->InputChannels();
            FUZZ_CHECK(asked.cBuffers == 2 && asked.cbAlign == 1 && static_cast<uint64_t>(asked.cbBuffer) == expected,
                       "asked %ld buffers of %ld for input buffers of %ld", static_cast<long>(asked.cBuffers),
                       static_cast<long>(asked.cbBuffer), static_cast<long>(inAlloc->granted.cbBuffer));
        }
        const WAVEFORMATEXTENSIBLE* f = filter->InputFormat();
        const uint32_t bytes = IsEqualGUID(f->SubFormat, KSDATAFORMAT_SUBTYPE_BFORMAT_IEEE_FLOAT) ? 4u
                                                                                                  : f->Format.wBitsPerSample / 8u;
        const int64_t inputFrames = inAlloc->granted.cbBuffer / (filter->InputChannels() * bytes);
        FUZZ_CHECK(filter->FramesPerBlock() >= inputFrames && filter->FramesPerBlock() > 0,
                   "planes of %d frames for input buffers of %lld frames", filter->FramesPerBlock(),
                   static_cast<long long>(inputFrames));
    }

    CTransformInputPin* input = nullptr;
    CTransformOutputPin* output = nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::InitializeComOnce();
    fuzz::Input in(data, size);
    Harness h;
    for (int step = 0; step < 24 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: h.CheckInputType(in); break;
        case 1: h.CheckTransform(in); break;
        case 2: h.ConnectInput(in); break;
        case 3: h.ConnectOutput(in); break;
        case 4: h.Disconnect(in); break;
        case 5: h.GetMediaType(in); break;
        case 6: h.DecideBufferSize(in); break;
        default: h.QueryAccept(in); break;
        }
    }
    return 0;
}
