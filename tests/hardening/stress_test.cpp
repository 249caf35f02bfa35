// Concurrency stress, bounded in time:
//  - the decoder filter in the platform's filter graph with a source streaming on its own
//    thread while the control thread runs, pauses, stops, flushes, sends new segments and
//    queries the connected pins' types: nothing deadlocks, and every sample the decoder
//    took reaches the sink once, in order, as a whole decoded block;
//  - the module's class factories used from several threads at once while another thread
//    asks DllCanUnloadNow: the module never says it may go while one of its objects lives;
//  - (natively) two processes registering and unregistering the module at once against one
//    registry store: every read of the store sees a whole store, and the module registers
//    cleanly afterwards.
// Labelled "concurrency": also run under ThreadSanitizer, and under Wine in the Windows build.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "filter/Maincom.h"
#include "framework/input_pin.h"
#include "framework/output_pin.h"
#include "tests/filter/bformat_types.h"
#include "tests/support/sink_filter.h"
#include "tests/support/source_filter.h"

#if !defined(_WIN32)
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/com/com_test_support.h"
#include "tests/hardening/scratch_registry.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr WORD kChannels = 4;
constexpr DWORD kRate = 48000;
constexpr LONG kBufferBytes = 480;  // 60 frames of 4 channels of 16 bits
constexpr REFERENCE_TIME kTick = 12500;

const CLSID kSourceClsid = {0x6A1D0201, 0x51C3, 0x4E7A, {0x9B, 0x11, 0x2C, 0x40, 0x77, 0x1E, 0x0D, 0x71}};
const CLSID kSinkClsid = {0x6A1D0202, 0x51C3, 0x4E7A, {0x9B, 0x11, 0x2C, 0x40, 0x77, 0x1E, 0x0D, 0x71}};

// 16-bit B-Format PCM.
CMediaType InputType(WORD channels)
{
    bformat_test::TypeShape shape;
    shape.channels = channels;
    shape.rate = kRate;
    const WAVEFORMATEXTENSIBLE f = bformat_test::Extensible(shape);
    CMediaType mt;
    mt.majortype = MEDIATYPE_Audio;
    mt.subtype = MEDIASUBTYPE_PCM;
    mt.formattype = FORMAT_WaveFormatEx;
    mt.pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(sizeof f));
    std::memcpy(mt.pbFormat, &f, sizeof f);
    mt.cbFormat = sizeof f;
    return mt;
}

// Aborts the program with a message when the test stops making progress: a deadlock shows
// up as a clear failure in seconds, not as a test timeout.
class Watchdog {
public:
    explicit Watchdog(const char* what, std::chrono::seconds limit = std::chrono::seconds(60))
        : m_what(what), m_limit(limit), m_thread([this] { Watch(); })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }
    void Progress()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_last = Clock::now();
    }

private:
    void Watch()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_done) {
            m_cv.wait_for(lock, std::chrono::milliseconds(200));
            if (!m_done && Clock::now() - m_last > m_limit) {
                std::fprintf(stderr, "%s: no progress for %lld s (deadlock?)\n", m_what,
                             static_cast<long long>(m_limit.count()));
                std::fflush(stderr);
                std::abort();
            }
        }
    }

    const char* m_what;
    std::chrono::seconds m_limit;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    Clock::time_point m_last = Clock::now();
    std::thread m_thread;
};

// ---- Streaming under control ------------------------------------------------------------

// Streams numbered samples from its own thread while active. A sample refused because the
// decoder is flushing is sent again; any other refusal (the filter is stopping) ends the
// thread. The number of each sample rides in its start time.
class StreamingPin : public test_support::ThreadedSourcePin {
public:
    StreamingPin(CBaseFilter* filter, CCritSec* lock)
        : ThreadedSourcePin("streaming pin", filter, lock, InputType(kChannels), 3, kBufferBytes)
    {
    }
    ~StreamingPin() override { Join(); }

    // The numbers of the samples the decoder took (Deliver answered S_OK), in order.
    std::vector<long> Accepted()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_accepted;
    }
    std::atomic<long> sent{0};

private:
    void Stream() override
    {
        while (!Stopping()) {
            IMediaSample* sample = nullptr;
            if (FAILED(GetDeliveryBuffer(&sample, nullptr, nullptr, 0)) || !sample) return;
            const long number = m_next;
            BYTE* buffer = nullptr;
            sample->GetPointer(&buffer);
            for (LONG i = 0; i < kBufferBytes; ++i) buffer[i] = static_cast<BYTE>(number * 31 + i * 7);
            sample->SetActualDataLength(kBufferBytes);
            REFERENCE_TIME start = number * kTick, stop = start + kTick;
            sample->SetTime(&start, &stop);
            const HRESULT hr = Deliver(sample);
            sample->Release();
            ++sent;
            if (hr == S_OK) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_accepted.push_back(number);
                ++m_next;
            } else if (hr == S_FALSE) {
                std::this_thread::yield();  // flushing: the same sample again
            } else {
                return;  // stopping
            }
        }
    }

    long m_next = 0;  // the streaming thread's alone
    std::mutex m_mutex;
    std::vector<long> m_accepted;
};

class StreamingSource : public test_support::OnePinFilter<StreamingPin> {
public:
    StreamingSource() : OnePinFilter("streaming source", kSourceClsid) {}
};

// Records the number and length of every sample it takes, and counts flushes and segments.
class CountingPin : public test_support::SinkPinBase {
public:
    explicit CountingPin(test_support::SinkFilterBase* filter) : SinkPinBase("counting pin", filter) {}
    HRESULT CheckMediaType(const CMediaType* mt) override
    {
        return IsEqualGUID(mt->majortype, MEDIATYPE_Audio) ? S_OK : S_FALSE;
    }
    void Take(IMediaSample* sample, const AM_SAMPLE2_PROPERTIES&) override
    {
        REFERENCE_TIME start = 0, stop = 0;
        sample->GetTime(&start, &stop);
        std::lock_guard<std::mutex> guard(m_mutex);
        m_numbers.push_back(static_cast<long>(start / kTick));
        m_lengths.push_back(sample->GetActualDataLength());
    }
    STDMETHODIMP BeginFlush() override
    {
        ++flushes;
        return CBaseInputPin::BeginFlush();
    }
    STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override
    {
        ++segments;
        return CBaseInputPin::NewSegment(start, stop, rate);
    }
    std::vector<long> Numbers()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_numbers;
    }
    std::vector<LONG> Lengths()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_lengths;
    }
    std::atomic<int> flushes{0};
    std::atomic<int> segments{0};

private:
    std::mutex m_mutex;
    std::vector<long> m_numbers;
    std::vector<LONG> m_lengths;
};

class CountingSink : public test_support::SinkFilterBase {
public:
    CountingSink() : SinkFilterBase("counting sink", kSinkClsid), pin(new CountingPin(this)) {}
    ~CountingSink() override { delete pin; }
    CBasePin* GetPin(int n) override { return n == 0 ? pin : nullptr; }

    CountingPin* const pin;
};

class Stress : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
    void TearDown() override { CoUninitialize(); }
};

TEST_F(Stress, StreamingWhileTheControlThreadChangesStateFlushesAndQueriesTypes)
{
    IFilterGraph* graph = nullptr;
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                                reinterpret_cast<void**>(&graph))))
        GTEST_SKIP() << "no filter graph on this platform";
    IMediaControl* control = nullptr;
    ASSERT_EQ(graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control)), S_OK);

    auto* source = new StreamingSource;
    auto* sink = new CountingSink;
    source->AddRef();
    sink->AddRef();
    HRESULT hr = S_OK;
    CUnknown* object = CVEvava::CreateInstance(nullptr, &hr);
    ASSERT_NE(object, nullptr);
    object->NonDelegatingAddRef();
    auto* decoder = static_cast<CVEvava*>(object);
    ASSERT_EQ(graph->AddFilter(source, WIDE("source")), S_OK);
    ASSERT_EQ(graph->AddFilter(decoder, WIDE("decoder")), S_OK);
    ASSERT_EQ(graph->AddFilter(sink, WIDE("sink")), S_OK);
    IPin* input = decoder->GetPin(0);
    IPin* output = decoder->GetPin(1);
    ASSERT_EQ(graph->ConnectDirect(source->pin, input, nullptr), S_OK);
    ASSERT_EQ(graph->ConnectDirect(output, sink->pin, nullptr), S_OK);

    const CMediaType connected = InputType(kChannels);
    const CMediaType threeChannels = InputType(3);
    std::mt19937 random(20241208);
    int runs = 0, flushes = 0, segments = 0, queries = 0;
    {
        Watchdog watchdog("streaming stress");
        const auto end = Clock::now() + std::chrono::seconds(3);
        while (Clock::now() < end || runs < 5) {
            watchdog.Progress();
            switch (random() % 8) {
            case 0:
                ASSERT_EQ(control->Run(), S_OK);
                ++runs;
                break;
            case 1: ASSERT_EQ(control->Pause(), S_OK); break;
            case 2:
                if (random() % 4 == 0) {
                    ASSERT_EQ(control->Stop(), S_OK);
                }
                break;
            case 3:
                // A seek upstream: flush, a new segment, and on.
                if (source->pin->DeliverBeginFlush() == S_OK) {
                    std::this_thread::yield();
                    ASSERT_EQ(source->pin->DeliverEndFlush(), S_OK);
                    ++flushes;
                }
                break;
            case 4:
                if (source->pin->DeliverNewSegment(segments * kTick, -1, 1.0) == S_OK) ++segments;
                break;
            default: {
                // The connected input's types, and the output's proposal, while samples flow.
                ASSERT_EQ(input->QueryAccept(&connected), S_OK);
                ASSERT_EQ(input->QueryAccept(&threeChannels), S_FALSE);
                IEnumMediaTypes* types = nullptr;
                ASSERT_EQ(output->EnumMediaTypes(&types), S_OK);
                AM_MEDIA_TYPE* proposal = nullptr;
                ULONG fetched = 0;
                ASSERT_EQ(types->Next(1, &proposal, &fetched), S_OK);
                EXPECT_EQ(output->QueryAccept(proposal), S_OK);
                DeleteMediaType(proposal);
                types->Release();
                ASSERT_EQ(input->EnumMediaTypes(&types), S_OK);
                types->Release();
                AM_MEDIA_TYPE current = {};
                ASSERT_EQ(input->ConnectionMediaType(&current), S_OK);
                FreeMediaType(current);
                ++queries;
            }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
        }
        ASSERT_EQ(control->Stop(), S_OK);
    }

    // Every sample the decoder took went downstream whole, once and in order.
    const std::vector<long> accepted = source->pin->Accepted();
    const std::vector<long> received = sink->pin->Numbers();
    const std::vector<LONG> lengths = sink->pin->Lengths();
    EXPECT_GT(accepted.size(), 0u);
    EXPECT_EQ(received, accepted);
    for (LONG length : lengths) ASSERT_EQ(length, kBufferBytes) << "four speakers of a two-byte sample per frame";
    EXPECT_EQ(sink->pin->flushes.load(), flushes);
    EXPECT_GE(sink->pin->segments.load(), segments);
    std::printf("%d runs, %d flushes, %d segments, %d type queries, %zu samples taken, %ld sent\n", runs, flushes,
                segments, queries, accepted.size(), source->pin->sent.load());

    for (IBaseFilter* f : {static_cast<IBaseFilter*>(source), static_cast<IBaseFilter*>(decoder),
                           static_cast<IBaseFilter*>(sink)})
        graph->RemoveFilter(f);
    control->Release();
    graph->Release();
    object->NonDelegatingRelease();
    source->Release();
    sink->Release();
}

TEST_F(Stress, TypesOfferedToAnUnconnectedInputFromSeveralThreadsLeaveOneWholeFormatInForce)
{
    // A host may ask the pin from any thread; each accepted type becomes the format in force.
    HRESULT hr = S_OK;
    CUnknown* object = CVEvava::CreateInstance(nullptr, &hr);
    ASSERT_NE(object, nullptr);
    object->NonDelegatingAddRef();
    auto* decoder = static_cast<CVEvava*>(object);
    IPin* input = decoder->GetPin(0);
    const CMediaType four = InputType(4), three = InputType(3);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    {
        Watchdog watchdog("query stress");
        for (int i = 0; i < 4; ++i) {
            threads.emplace_back([&, i] {
                const CMediaType& mine = i % 2 ? three : four;
                while (!stop) {
                    if (input->QueryAccept(&mine) != S_OK) ++wrong;
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        stop = true;
        for (auto& t : threads) t.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    const WAVEFORMATEXTENSIBLE* f = decoder->InputFormat();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(decoder->InputChannels(), f->Format.nChannels) << "the counts belong to the format in force";
    object->NonDelegatingRelease();
}

// ---- Class factories against DllCanUnloadNow --------------------------------------------

#if defined(MODULE_PATH)

const CLSID kDecoderClsid = {0xA4BFE317, 0xD4A4, 0x41BC, {0x99, 0x26, 0x20, 0xC0, 0x43, 0x2A, 0xA2, 0xCF}};
const CLSID kPageClsid = {0x67919353, 0x1CA9, 0x4F07, {0xB4, 0x62, 0x12, 0x69, 0x4E, 0xC6, 0x70, 0xD2}};

using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
using EntryPoint = HRESULT(STDAPICALLTYPE*)();

// The built module, loaded as a host loads it.
class LoadedModule {
public:
    LoadedModule()
    {
#if defined(_WIN32)
        m_handle = LoadLibraryA(MODULE_PATH);
#else
        m_handle = dlopen(MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
#endif
        if (!m_handle) return;
        getClassObject = reinterpret_cast<GetClassObjectFunction>(Export("DllGetClassObject"));
        canUnloadNow = reinterpret_cast<EntryPoint>(Export("DllCanUnloadNow"));
        registerServer = reinterpret_cast<EntryPoint>(Export("DllRegisterServer"));
        unregisterServer = reinterpret_cast<EntryPoint>(Export("DllUnregisterServer"));
    }
    ~LoadedModule()
    {
#if defined(_WIN32)
        if (m_handle) FreeLibrary(m_handle);
#else
        if (m_handle) dlclose(m_handle);
#endif
    }
    bool Ready() const { return getClassObject && canUnloadNow && registerServer && unregisterServer; }

    GetClassObjectFunction getClassObject = nullptr;
    EntryPoint canUnloadNow = nullptr;
    EntryPoint registerServer = nullptr;
    EntryPoint unregisterServer = nullptr;

private:
    void* Export(const char* name) const
    {
#if defined(_WIN32)
        return reinterpret_cast<void*>(GetProcAddress(m_handle, name));
#else
        return dlsym(m_handle, name);
#endif
    }

#if defined(_WIN32)
    HMODULE m_handle = nullptr;
#else
    void* m_handle = nullptr;
#endif
};

TEST_F(Stress, FactoriesAndObjectsFromManyThreadsWhileDllCanUnloadNowIsAsked)
{
    LoadedModule module;
    ASSERT_TRUE(module.Ready()) << MODULE_PATH;
    ASSERT_EQ(module.canUnloadNow(), S_OK);

    std::atomic<bool> stop{false};
    std::atomic<long> created{0};
    std::atomic<int> failures{0};
    auto worker = [&](unsigned seed) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        std::mt19937 random(seed);
        while (!stop) {
            IClassFactory* factory = nullptr;
            const CLSID& clsid = random() % 3 == 0 ? kPageClsid : kDecoderClsid;
            if (module.getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK) {
                ++failures;
                continue;
            }
            const bool lock = random() % 4 == 0;
            if (lock) factory->LockServer(TRUE);
            IUnknown* object = nullptr;
            if (factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)) == S_OK) {
                ++created;
                IUnknown* again = nullptr;
                if (object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again)) == S_OK) again->Release();
                // The object goes before its factory or after it.
                if (random() % 2) {
                    object->Release();
                    object = nullptr;
                }
            } else {
                ++failures;
            }
            if (lock) factory->LockServer(FALSE);
            factory->Release();
            if (object) object->Release();
        }
        CoUninitialize();
    };
    std::vector<std::thread> workers;
    {
        Watchdog watchdog("factory stress");
        for (unsigned i = 0; i < 4; ++i) workers.emplace_back(worker, 100 + i);

        // A pinned object: while it lives the module must never say it can go.
        const auto end = Clock::now() + std::chrono::seconds(2);
        int polls = 0, pinnedPolls = 0;
        while (Clock::now() < end) {
            watchdog.Progress();
            IClassFactory* factory = nullptr;
            ASSERT_EQ(module.getClassObject(kDecoderClsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
            IBaseFilter* pinned = nullptr;
            ASSERT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&pinned)), S_OK);
            factory->Release();
            for (int i = 0; i < 50; ++i, ++pinnedPolls) ASSERT_EQ(module.canUnloadNow(), S_FALSE);
            pinned->Release();
            for (int i = 0; i < 50; ++i, ++polls) module.canUnloadNow();
        }
        stop = true;
        for (auto& t : workers) t.join();
        std::printf("%ld objects made by the workers, %d polls while pinned, %d others\n", created.load(), pinnedPolls,
                    polls);
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(created.load(), 0);
    EXPECT_EQ(module.canUnloadNow(), S_OK) << "every object and lock is gone";
}

#if !defined(_WIN32)

// Registers and unregisters the module for `seconds`; exits 2 at once when a call finds the
// store damaged, else 0. Runs in a child process.
[[noreturn]] void RegisterAndUnregister(LoadedModule& module, double seconds)
{
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    int rounds = 0, refused = 0;
    while (Clock::now() < end) {
        for (EntryPoint call : {module.registerServer, module.unregisterServer}) {
            const HRESULT hr = call();
            if (hr == HRESULT_FROM_WIN32(ERROR_BADDB)) _exit(2);
            // The other process may change a key between the steps of this one (a key being
            // removed gains a subkey, or goes while open): such a call fails with that
            // (access denied, key deleted), and a later one tidies up.
            if (FAILED(hr)) ++refused;
        }
        ++rounds;
    }
    std::fprintf(stderr, "process %d: %d rounds, %d calls refused\n", static_cast<int>(getpid()), rounds, refused);
    _exit(rounds > 0 ? 0 : 3);
}

using com_test::KeyExists;

TEST_F(Stress, TwoProcessesRegisteringAndUnregisteringAtOnceNeverSeeATornStore)
{
    const hardening::ScratchRegistry store("stress");
    LoadedModule module;
    ASSERT_TRUE(module.Ready()) << MODULE_PATH;

    std::vector<pid_t> children;
    for (int i = 0; i < 2; ++i) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) RegisterAndUnregister(module, 2.0);
        children.push_back(child);
    }
    // Meanwhile every read of the store here must find a whole store.
    int reads = 0, damaged = 0;
    for (int alive = 2; alive > 0;) {
        HKEY key = nullptr;
        LONG rc = RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{A4BFE317-D4A4-41BC-9926-20C0432AA2CF}", 0, KEY_READ, &key);
        if (rc == ERROR_SUCCESS) {
            char name[64];
            DWORD length = sizeof name;
            rc = RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
            RegCloseKey(key);
        }
        damaged += rc == ERROR_BADDB;
        ++reads;
        alive = 0;
        for (pid_t& child : children) {
            if (child == 0) continue;
            int status = 0;
            pid_t done = waitpid(child, &status, WNOHANG);
            if (done == 0) {
                ++alive;
                continue;
            }
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "a registering process ended with status " << status << " (2: it found the store damaged)";
            child = 0;
        }
    }
    EXPECT_EQ(damaged, 0) << "of " << reads << " reads";

    // Whatever order the last calls came in, the module registers and unregisters cleanly.
    ASSERT_EQ(module.registerServer(), S_OK);
    EXPECT_TRUE(KeyExists("CLSID\\{A4BFE317-D4A4-41BC-9926-20C0432AA2CF}\\InprocServer32"));
    EXPECT_TRUE(KeyExists("CLSID\\{083863F1-70DE-11D0-BD40-00A0C911CE86}\\Instance\\{A4BFE317-D4A4-41BC-9926-20C0432AA2CF}"));
    ASSERT_EQ(module.unregisterServer(), S_OK);
    EXPECT_FALSE(KeyExists("CLSID\\{A4BFE317-D4A4-41BC-9926-20C0432AA2CF}"));
    EXPECT_FALSE(KeyExists("CLSID\\{083863F1-70DE-11D0-BD40-00A0C911CE86}\\Instance\\{A4BFE317-D4A4-41BC-9926-20C0432AA2CF}"));
    std::printf("%d reads of the store while two processes changed it\n", reads);
}

#endif  // !_WIN32

#endif  // MODULE_PATH

}  // namespace
