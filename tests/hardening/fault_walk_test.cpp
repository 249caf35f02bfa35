// Walks of every failure a scenario can meet: for n = 1, 2, ... the n-th call of one kind
// (operator new, COM task memory, the memory allocator's GetBuffer, a registry write) fails,
// until a run no longer reaches the n-th call. In every run each failure must come back as
// its call's documented result, the failed step must leave nothing half done (a connection
// that failed is no connection), and the step must succeed when tried again: the same
// filter connects and streams, and every sample reaches the sink decoded exactly as the
// decoder core decodes it, none lost and none twice. Nothing may leak: every object of the
// module is gone at the end of each run (and LeakSanitizer checks the rest in the sanitizer
// build).
//
// While a fault is armed the test itself allocates nothing, so that every failure lands in
// the module or the platform: results are kept in fixed records and checked afterwards.
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "decoder/coefficients.h"
#include "decoder/decoder_testing.h"
#include "decoder/transform.h"
#include "filter/Maincom.h"
#include "framework/input_pin.h"
#include "framework/output_pin.h"
#include "platform/native/fault.h"
#include "tests/filter/bformat_types.h"
#include "tests/hardening/scratch_registry.h"
#include "tests/support/one_pin_filter.h"

namespace {

constexpr WORD kChannels = 4;
constexpr DWORD kRate = 48000;
constexpr LONG kBufferBytes = 960;  // 120 frames of 4 channels of 16 bits
constexpr int kSamples = 6;

const CLSID kSourceClsid = {0x6A1D0001, 0x51C3, 0x4E7A, {0x9B, 0x11, 0x2C, 0x40, 0x77, 0x1E, 0x0D, 0x51}};
const CLSID kSinkClsid = {0x6A1D0002, 0x51C3, 0x4E7A, {0x9B, 0x11, 0x2C, 0x40, 0x77, 0x1E, 0x0D, 0x51}};

std::string Hex(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

const char* KindName(DWORD kind)
{
    switch (kind) {
    case PLATFORM_FAULT_TASK_MEMORY: return "task memory";
    case PLATFORM_FAULT_OPERATOR_NEW: return "operator new";
    case PLATFORM_FAULT_ALLOCATOR_BUFFER: return "GetBuffer";
    case PLATFORM_FAULT_REGISTRY_WRITE: return "registry write";
    }
    return "?";
}

// 16-bit B-Format PCM.
WAVEFORMATEXTENSIBLE InputFormat()
{
    bformat_test::TypeShape shape;
    shape.channels = kChannels;
    shape.rate = kRate;
    return bformat_test::Extensible(shape);
}

// ---- The decoder's neighbours ----------------------------------------------------------

// Both neighbours take audio described by a WAVEFORMATEX block.
HRESULT CheckWaveAudio(const CMediaType* mt)
{
    const bool wave = IsEqualGUID(mt->majortype, MEDIATYPE_Audio) && IsEqualGUID(mt->formattype, FORMAT_WaveFormatEx);
    return wave ? S_OK : S_FALSE;
}

// An output pin that sends what the test hands it, on the test's own thread.
class PushPin : public CBaseOutputPin {
public:
    PushPin(CBaseFilter* filter, CCritSec* lock) : CBaseOutputPin("push pin", filter, lock, nullptr, WIDE("Out")) {}

    HRESULT CheckMediaType(const CMediaType* mt) override { return CheckWaveAudio(mt); }
    HRESULT GetMediaType(int position, CMediaType* mt) override
    {
        if (position != 0) return VFW_S_NO_MORE_ITEMS;
        const WAVEFORMATEXTENSIBLE f = InputFormat();
        mt->InitMediaType();
        mt->majortype = MEDIATYPE_Audio;
        mt->subtype = MEDIASUBTYPE_PCM;
        mt->formattype = FORMAT_WaveFormatEx;
        BYTE* block = static_cast<BYTE*>(CoTaskMemAlloc(sizeof f));
        if (!block) return E_OUTOFMEMORY;
        std::memcpy(block, &f, sizeof f);
        mt->pbFormat = block;
        mt->cbFormat = sizeof f;
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override
    {
        ALLOCATOR_PROPERTIES want = {2, kBufferBytes, request->cbAlign > 0 ? request->cbAlign : 1, 0}, got = {};
        HRESULT hr = allocator->SetProperties(&want, &got);
        if (FAILED(hr)) return hr;
        return got.cBuffers >= 1 && got.cbBuffer >= kBufferBytes ? S_OK : E_FAIL;
    }
};

class PushSource : public test_support::OnePinFilter<PushPin> {
public:
    PushSource() : OnePinFilter("push source", kSourceClsid) {}
};

// An input pin that keeps every byte it receives in memory reserved beforehand, so that
// receiving allocates nothing.
class KeepingPin : public CBaseInputPin {
public:
    KeepingPin(CBaseFilter* filter, CCritSec* lock, size_t capacity)
        : CBaseInputPin("keeping pin", filter, lock, nullptr, WIDE("In")), bytes(capacity)
    {
    }
    HRESULT CheckMediaType(const CMediaType* mt) override { return CheckWaveAudio(mt); }
    STDMETHODIMP Receive(IMediaSample* sample) override
    {
        HRESULT hr = CBaseInputPin::Receive(sample);
        if (hr != S_OK) return hr;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        const size_t n = static_cast<size_t>(std::max<LONG>(0, sample->GetActualDataLength()));
        if (used + n > bytes.size()) {
            overflowed = true;
            return S_OK;
        }
        if (n) std::memcpy(bytes.data() + used, data, n);
        used += n;
        ++samples;
        return S_OK;
    }

    std::vector<BYTE> bytes;
    size_t used = 0;
    int samples = 0;
    bool overflowed = false;
};

class KeepingSink : public test_support::OnePinFilter<KeepingPin> {
public:
    explicit KeepingSink(size_t capacity) : OnePinFilter("keeping sink", kSinkClsid, capacity) {}
};

// ---- What one run recorded -------------------------------------------------------------

enum Step { kCreate, kFindPins, kConnectIn, kConnectOut, kPause, kRun, kBuffer, kDeliver, kStop, kDisconnect, kSteps };
const char* const kStepNames[kSteps] = {"create",  "find pins", "connect input", "connect output", "pause",
                                        "run",     "get buffer", "deliver",      "stop",           "disconnect"};

// Fixed-size, so that recording allocates nothing.
struct RunRecord {
    struct Failure {
        Step step;
        HRESULT hr;
        bool clean;  // the failed step left nothing half done
    };
    Failure failures[16];
    int count = 0;
    bool gaveUp = false;
    Step gaveUpAt = kCreate;
    HRESULT gaveUpWith = S_OK;
    LONG calls = 0;

    void Add(Step step, HRESULT hr, bool clean)
    {
        if (count < 16) failures[count++] = {step, hr, clean};
    }
};

// Runs `call` as one step: a failure is recorded (with `clean`'s verdict on what it left),
// and the step is tried once more, which must succeed: faults fire once.
template <typename Call, typename Clean>
bool DoStep(RunRecord& r, Step step, Call call, Clean clean)
{
    HRESULT hr = call();
    if (SUCCEEDED(hr)) return true;
    r.Add(step, hr, clean());
    hr = call();
    if (SUCCEEDED(hr)) return true;
    r.gaveUp = true;
    r.gaveUpAt = step;
    r.gaveUpWith = hr;
    return false;
}
template <typename Call>
bool DoStep(RunRecord& r, Step step, Call call)
{
    return DoStep(r, step, call, [] { return true; });
}

// ---- The walk over connecting and streaming ---------------------------------------------

class FaultWalk : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        // The script, and what the decoder core makes of it.
        const WAVEFORMATEXTENSIBLE f = InputFormat();
        for (int i = 0; i < kSamples; ++i) {
            std::vector<BYTE> data(kBufferBytes);
            for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<BYTE>((k * 131 + i * 17) ^ (k >> 3));
            m_script.push_back(std::move(data));
        }
        decoder::DecoderState state = decoder::PreparedDecoder(0, {kChannels, double(kRate), 4096});
        ASSERT_TRUE(state.IsReady());
        const size_t frames = kBufferBytes / f.Format.nBlockAlign;
        for (const auto& data : m_script) {
            std::vector<BYTE> out(frames * 4 * 2);
            state.DecodeFrames(decoder::SampleFormatOf(&f), data.data(), out.data(), frames);
            m_expected.insert(m_expected.end(), out.begin(), out.end());
        }
        m_baseline = CBaseObject::ObjectsActive();
    }
    void TearDown() override
    {
        for (DWORD kind : {PLATFORM_FAULT_TASK_MEMORY, PLATFORM_FAULT_OPERATOR_NEW, PLATFORM_FAULT_ALLOCATOR_BUFFER,
                           PLATFORM_FAULT_REGISTRY_WRITE})
            PlatformSetFaultInjection(kind, 0);
        CoUninitialize();
    }

    // One run of source -> decoder -> sink with the n-th call of `kind` failing (n = 0: none).
    RunRecord RunOnce(DWORD kind, LONG n, std::vector<BYTE>& received, int& samples)
    {
        RunRecord r;
        auto* source = new PushSource;
        auto* sink = new KeepingSink(m_expected.size());
        source->AddRef();
        sink->AddRef();
        CUnknown* object = nullptr;
        CVEvava* filter = nullptr;
        IPin* in = nullptr;
        IPin* out = nullptr;
        IBaseFilter* filters[3] = {sink, nullptr, source};

        PlatformSetFaultInjection(kind, n);
        bool ok = DoStep(r, kCreate, [&] {
            HRESULT hr = S_OK;
            object = CVEvava::CreateInstance(nullptr, &hr);
            return object ? S_OK : (FAILED(hr) ? hr : E_UNEXPECTED);
        });
        if (ok) {
            object->NonDelegatingAddRef();
            filter = static_cast<CVEvava*>(object);
            filters[1] = filter;
            ok = DoStep(r, kFindPins, [&] {
                if (in) in->Release();
                if (out) out->Release();
                in = out = nullptr;
                HRESULT hr = filter->FindPin(WIDE("In"), &in);
                return SUCCEEDED(hr) ? filter->FindPin(WIDE("Out"), &out) : hr;
            });
        }
        ok = ok && DoStep(
                       r, kConnectIn, [&] { return source->pin->Connect(in, nullptr); },
                       [&] { return !source->pin->IsConnected() && !Connected(in); });
        ok = ok && DoStep(
                       r, kConnectOut, [&] { return out->Connect(sink->pin, nullptr); },
                       [&] { return !sink->pin->IsConnected() && !Connected(out); });
        for (IBaseFilter* f : filters) {
            ok = ok && DoStep(r, kPause, [&] { return f->Pause(); }, [&] { return StateOf(f) == State_Stopped; });
        }
        for (IBaseFilter* f : filters) ok = ok && DoStep(r, kRun, [&] { return f->Run(0); });
        for (int i = 0; ok && i < kSamples; ++i) ok = Send(r, source, i);
        for (int i = 2; i >= 0 && filters[i]; --i) DoStep(r, kStop, [&] { return filters[i]->Stop(); });
        if (filter) {
            DoStep(r, kDisconnect, [&] { return source->pin->Disconnect(); });
            DoStep(r, kDisconnect, [&] { return in->Disconnect(); });
            DoStep(r, kDisconnect, [&] { return out->Disconnect(); });
            DoStep(r, kDisconnect, [&] { return sink->pin->Disconnect(); });
        }
        if (in) in->Release();
        if (out) out->Release();
        if (object) object->NonDelegatingRelease();
        r.calls = PlatformFaultCalls(kind);
        PlatformSetFaultInjection(kind, 0);

        received.assign(sink->pin->bytes.begin(), sink->pin->bytes.begin() + sink->pin->used);
        samples = sink->pin->samples;
        source->Release();
        sink->Release();
        return r;
    }

    // Sends sample i until it is taken (a failed buffer or delivery is tried again).
    bool Send(RunRecord& r, PushSource* source, int i)
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            IMediaSample* sample = nullptr;
            HRESULT hr = source->pin->GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
            if (FAILED(hr)) {
                r.Add(kBuffer, hr, sample == nullptr);
                continue;
            }
            BYTE* data = nullptr;
            sample->GetPointer(&data);
            std::memcpy(data, m_script[i].data(), m_script[i].size());
            sample->SetActualDataLength(static_cast<LONG>(m_script[i].size()));
            REFERENCE_TIME start = i * 25000, stop = start + 25000;
            sample->SetTime(&start, &stop);
            hr = source->pin->Deliver(sample);
            sample->Release();
            if (hr == S_OK) return true;
            r.Add(kDeliver, hr, true);
        }
        r.gaveUp = true;
        r.gaveUpAt = kDeliver;
        return false;
    }

    static bool Connected(IPin* pin)
    {
        IPin* peer = nullptr;
        if (pin->ConnectedTo(&peer) != S_OK) return false;
        peer->Release();
        return true;
    }
    static FILTER_STATE StateOf(IBaseFilter* f)
    {
        FILTER_STATE state = State_Running;
        f->GetState(0, &state);
        return state;
    }

    // Walks n over every call of `kind` that connecting and streaming make; each failure's
    // result must be one of `allowed` for its step.
    void Walk(DWORD kind, const std::map<Step, std::set<HRESULT>>& allowed)
    {
        std::map<std::string, int> seen;
        LONG n = 1;
        for (;; ++n) {
            ASSERT_LT(n, 20000) << "the walk does not end";
            std::vector<BYTE> received;
            int samples = 0;
            const RunRecord r = RunOnce(kind, n, received, samples);
            const std::string where = std::string(KindName(kind)) + " call " + std::to_string(n);
            ASSERT_FALSE(r.gaveUp) << where << ": " << kStepNames[r.gaveUpAt] << " failed again with "
                                   << Hex(r.gaveUpWith);
            for (int i = 0; i < r.count; ++i) {
                const auto& f = r.failures[i];
                ++seen[std::string(kStepNames[f.step]) + " " + Hex(f.hr)];
                auto it = allowed.find(f.step);
                EXPECT_TRUE(it != allowed.end() && it->second.count(f.hr))
                    << where << ": " << kStepNames[f.step] << " failed with " << Hex(f.hr);
                EXPECT_TRUE(f.clean) << where << ": " << kStepNames[f.step] << " failed half-way";
            }
            EXPECT_EQ(samples, kSamples) << where;
            EXPECT_TRUE(received == m_expected) << where << ": the sink did not get the decoder core's output";
            EXPECT_EQ(CBaseObject::ObjectsActive(), m_baseline) << where << ": objects left alive";
            if (::testing::Test::HasFailure()) return;
            if (r.calls < n) break;
        }
        // The walk reached failures, and with the memory back everything works.
        EXPECT_GT(n, 1) << "no call of this kind was made";
        std::vector<BYTE> received;
        int samples = 0;
        const RunRecord clean = RunOnce(0, 0, received, samples);
        EXPECT_EQ(clean.count, 0);
        EXPECT_TRUE(received == m_expected);
        std::ostringstream summary;
        for (const auto& entry : seen) summary << "  " << entry.first << ": " << entry.second << "\n";
        std::printf("%s: %ld calls walked; failures seen:\n%s", KindName(kind), static_cast<long>(n - 1),
                    summary.str().c_str());
    }

    std::vector<std::vector<BYTE>> m_script;
    std::vector<BYTE> m_expected;
    LONG m_baseline = 0;
};

// A connection reports a failed allocation as E_OUTOFMEMORY, or (when the memory was for
// listing the types to try) as VFW_E_NO_ACCEPTABLE_TYPES: a type list that cannot be read
// ends the negotiation as if it held nothing acceptable.
const std::set<HRESULT> kConnectFailures = {E_OUTOFMEMORY, VFW_E_NO_ACCEPTABLE_TYPES};

TEST_F(FaultWalk, EveryFailedAllocationWhileConnectingAndStreamingIsReportedAndRecoveredFrom)
{
    const std::set<HRESULT> memory = {E_OUTOFMEMORY};
    Walk(PLATFORM_FAULT_OPERATOR_NEW, {{kCreate, memory},
                                       {kFindPins, memory},
                                       {kConnectIn, kConnectFailures},
                                       {kConnectOut, kConnectFailures},
                                       {kPause, memory}});
}

TEST_F(FaultWalk, EveryFailedTaskMemoryAllocationIsReportedAndRecoveredFrom)
{
    Walk(PLATFORM_FAULT_TASK_MEMORY, {{kConnectIn, kConnectFailures}, {kConnectOut, kConnectFailures}});
}

TEST_F(FaultWalk, AFailedBufferLosesNoSampleWhenTheSampleIsSentAgain)
{
    const std::set<HRESULT> memory = {E_OUTOFMEMORY};
    Walk(PLATFORM_FAULT_ALLOCATOR_BUFFER, {{kBuffer, memory}, {kDeliver, memory}});
}

// ---- The walk over registering and unregistering the module -----------------------------

#if defined(MODULE_PATH)

using EntryPoint = HRESULT(STDAPICALLTYPE*)();

// The module, loaded as a registration tool loads it, against a registry store of the
// test's own.
class RegistrationWalk : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_module = dlopen(MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(m_module, nullptr) << dlerror();
        m_register = reinterpret_cast<EntryPoint>(dlsym(m_module, "DllRegisterServer"));
        m_unregister = reinterpret_cast<EntryPoint>(dlsym(m_module, "DllUnregisterServer"));
        m_canUnload = reinterpret_cast<EntryPoint>(dlsym(m_module, "DllCanUnloadNow"));
        ASSERT_TRUE(m_register && m_unregister && m_canUnload);

        m_store.Clear();
        ASSERT_EQ(m_register(), S_OK);
        m_registered = Snapshot();
        ASSERT_EQ(m_unregister(), S_OK);
        m_unregistered = Snapshot();
        ASSERT_NE(m_registered, m_unregistered);
    }
    void TearDown() override
    {
        for (DWORD kind : {PLATFORM_FAULT_TASK_MEMORY, PLATFORM_FAULT_OPERATOR_NEW, PLATFORM_FAULT_REGISTRY_WRITE})
            PlatformSetFaultInjection(kind, 0);
        if (m_module) dlclose(m_module);
    }

    // The store's keys and values, each value with its key, in a fixed order: what the
    // registry holds, whatever order the changes came in.
    std::vector<std::string> Snapshot() const
    {
        std::vector<std::string> lines;
        std::FILE* f = std::fopen(m_store.Path().c_str(), "rb");
        if (!f) return lines;
        std::string text;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
        std::fclose(f);
        std::istringstream in(text);
        std::string line, key;
        std::getline(in, line);  // the header
        while (std::getline(in, line)) {
            if (line.rfind("K ", 0) == 0) {
                key = line;
                lines.push_back(key);
            } else if (line.rfind("V ", 0) == 0) {
                lines.push_back(key + " | " + line);
            }
        }
        std::sort(lines.begin(), lines.end());
        return lines;
    }

    // Walks n over every call of `kind` that registering (or unregistering) makes. A failed
    // call must answer with one of `allowed`, and the same call must then succeed and leave
    // the store exactly as a call that never failed leaves it.
    void Walk(DWORD kind, bool registering, const std::set<HRESULT>& allowed)
    {
        EntryPoint call = registering ? m_register : m_unregister;
        const std::vector<std::string>& wanted = registering ? m_registered : m_unregistered;
        std::map<std::string, int> seen;
        LONG n = 1;
        for (;; ++n) {
            ASSERT_LT(n, 20000) << "the walk does not end";
            const std::string where = std::string(registering ? "registering" : "unregistering") + ", " +
                                      KindName(kind) + " call " + std::to_string(n);
            m_store.Clear();
            if (!registering) {
                ASSERT_EQ(m_register(), S_OK) << where;
            }

            PlatformSetFaultInjection(kind, n);
            const HRESULT hr = call();
            const LONG calls = PlatformFaultCalls(kind);
            PlatformSetFaultInjection(kind, 0);

            if (FAILED(hr)) {
                ++seen[Hex(hr)];
                EXPECT_TRUE(allowed.count(hr)) << where << ": failed with " << Hex(hr);
                EXPECT_EQ(call(), S_OK) << where << ": the call does not succeed once the fault is gone";
            } else {
                EXPECT_EQ(hr, S_OK) << where;
            }
            EXPECT_EQ(Snapshot(), wanted) << where;
            EXPECT_EQ(m_canUnload(), S_OK) << where << ": objects of the module left alive";
            if (::testing::Test::HasFailure()) return;
            if (calls < n) break;
        }
        std::printf("%s %s: %ld calls walked; failures seen:", registering ? "registering" : "unregistering",
                    KindName(kind), static_cast<long>(n - 1));
        for (const auto& entry : seen) std::printf(" %s x%d", entry.first.c_str(), entry.second);
        std::printf("\n");
    }

    const hardening::ScratchRegistry m_store{"registry"};
    void* m_module = nullptr;
    EntryPoint m_register = nullptr, m_unregister = nullptr, m_canUnload = nullptr;
    std::vector<std::string> m_registered, m_unregistered;
};

const HRESULT kCannotWrite = HRESULT_FROM_WIN32(ERROR_CANTWRITE);

TEST_F(RegistrationWalk, EveryFailedRegistryWriteIsReportedAndTheNextCallCompletesTheJob)
{
    Walk(PLATFORM_FAULT_REGISTRY_WRITE, true, {kCannotWrite});
    Walk(PLATFORM_FAULT_REGISTRY_WRITE, false, {kCannotWrite});
}

TEST_F(RegistrationWalk, EveryFailedAllocationIsReportedAndTheNextCallCompletesTheJob)
{
    // Out of memory in a system call comes back as that call's last error. (Registering takes
    // no task memory today; the walk is there for when it does.)
    const std::set<HRESULT> memory = {E_OUTOFMEMORY, HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY)};
    for (bool registering : {true, false}) {
        Walk(PLATFORM_FAULT_OPERATOR_NEW, registering, memory);
        Walk(PLATFORM_FAULT_TASK_MEMORY, registering, memory);
    }
}

#endif  // MODULE_PATH

}  // namespace
