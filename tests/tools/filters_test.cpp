// The file source and file writer filters of bformat-decode, connected to each other in the
// platform's filter graph: every frame arrives once and in order, the run ends with
// EC_COMPLETE, and a failing read, a failing write or a stop ends it cleanly with the reason
// kept. Also which media types the writer takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/wave_builder.h"
#include "tools/bformat-decode/source_filter.h"
#include "tools/bformat-decode/writer_filter.h"

using namespace bformat;

namespace {

using wave_test::FormatBlock;

wave_test::WaveShape PcmShape(uint16_t bits = 16)
{
    wave_test::WaveShape shape;
    shape.bits = bits;
    shape.subFormat = kSubtypePcm;
    return shape;
}

// Frames counted up from 0 in every byte, or a failure after a given frame, or no end.
class CountingFrames : public FrameProvider {
public:
    CountingFrames(uint32_t frameBytes, uint64_t frames) : m_frameBytes(frameBytes), m_frames(frames) {}
    int64_t Read(uint8_t* buffer, uint64_t maxFrames) override
    {
        if (m_failAt >= 0 && m_position >= static_cast<uint64_t>(m_failAt)) return -1;
        uint64_t n = std::min<uint64_t>(maxFrames, m_endless ? maxFrames : m_frames - m_position);
        if (m_failAt >= 0) n = std::min<uint64_t>(n, static_cast<uint64_t>(m_failAt) - m_position);
        for (uint64_t i = 0; i < n * m_frameBytes; ++i) buffer[i] = static_cast<uint8_t>(m_byte++);
        m_position += n;
        m_handedOut += n;
        if (m_endless) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return static_cast<int64_t>(n);
    }
    std::string ErrorText() const override { return "the disk went away"; }

    uint32_t m_frameBytes;
    uint64_t m_frames, m_position = 0;
    int64_t m_failAt = -1;
    bool m_endless = false;
    uint8_t m_byte = 0;
    std::atomic<uint64_t> m_handedOut{0};  // m_position, for other threads
};

class MemorySink : public SampleSink {
public:
    bool Write(const uint8_t* data, size_t bytes, std::string& error) override
    {
        if (m_writesLeft-- == 0) {
            error = "no space left on the device";
            return false;
        }
        if (m_delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(m_delayMs));
        if (m_onWrite) m_onWrite(m_bytes.size() + bytes);
        m_bytes.insert(m_bytes.end(), data, data + bytes);
        ++m_writes;
        return true;
    }
    std::vector<uint8_t> m_bytes;
    int m_writes = 0;
    int m_writesLeft = -1;
    int m_delayMs = 0;
    std::function<void(size_t bytesWritten)> m_onWrite;
};

// A graph of the platform's with the two filters connected, run until it ends or the
// timeout passes.
// How the two filters share the work: one delivering thread and the writer's own thread, or
// two delivering threads that also write, each after its delivery.
struct Threading {
    unsigned deliveringThreads;
    bool writesOnDemand;
};

void PrintTo(const Threading& threading, std::ostream* out)
{
    *out << threading.deliveringThreads << " delivering, " << (threading.writesOnDemand ? "writes on demand" : "writing thread");
}

class SourceToWriter : public ::testing::TestWithParam<Threading> {
protected:
    void Build(const std::vector<uint8_t>& block, uint32_t framesPerSample)
    {
        SourceStream stream;
        stream.subtype = KSDATAFORMAT_SUBTYPE_PCM;
        stream.formatBlock = block;
        stream.framesPerSample = framesPerSample;
        stream.deliveringThreads = GetParam().deliveringThreads;
        HRESULT hr = S_OK;
        m_writer = new CSinkWriterFilter(&m_sink, &hr);
        m_writer->AddRef();
        if (GetParam().writesOnDemand) {
            m_writer->SetWritesOnDemand(true);
            stream.afterDelivery = [this] {
                ++m_afterDeliveries;
                if (m_afterDelivery) m_afterDelivery();
                m_writer->WriteReceived();
            };
        }
        m_source = new CFrameSourceFilter(stream, m_provider, &hr);
        m_source->AddRef();
        ASSERT_EQ(hr, S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                   reinterpret_cast<void**>(&m_graph)),
                  S_OK);
        ASSERT_EQ(m_graph->AddFilter(m_source, WIDE("source")), S_OK);
        ASSERT_EQ(m_graph->AddFilter(m_writer, WIDE("writer")), S_OK);
        ASSERT_EQ(m_graph->ConnectDirect(m_source->GetPin(0), m_writer->GetPin(0), nullptr), S_OK);
        ASSERT_EQ(m_graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&m_control)), S_OK);
        ASSERT_EQ(m_graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&m_events)), S_OK);
        IMediaFilter* filter = nullptr;
        ASSERT_EQ(m_graph->QueryInterface(IID_IMediaFilter, reinterpret_cast<void**>(&filter)), S_OK);
        filter->SetSyncSource(nullptr);
        filter->Release();
    }

    LONG RunToEnd()
    {
        EXPECT_TRUE(SUCCEEDED(m_control->Run()));
        LONG code = 0;
        EXPECT_EQ(m_events->WaitForCompletion(10000, &code), S_OK);
        EXPECT_EQ(m_control->Stop(), S_OK);
        return code;
    }

    void TearDown() override
    {
        if (m_control) m_control->Stop(), m_control->Release();
        if (m_events) m_events->Release();
        if (m_graph) {
            m_graph->RemoveFilter(m_source);
            m_graph->RemoveFilter(m_writer);
            m_graph->Release();
        }
        if (m_source) m_source->Release();
        if (m_writer) m_writer->Release();
        delete m_provider;
    }

    FrameProvider* m_provider = nullptr;
    std::function<void()> m_afterDelivery;  // before each on-demand write
    std::atomic<int> m_afterDeliveries{0};
    MemorySink m_sink;
    CFrameSourceFilter* m_source = nullptr;
    CSinkWriterFilter* m_writer = nullptr;
    IGraphBuilder* m_graph = nullptr;
    IMediaControl* m_control = nullptr;
    IMediaEvent* m_events = nullptr;
};

TEST_P(SourceToWriter, DeliversEveryFrameOnceInOrderAndCompletes)
{
    auto* frames = new CountingFrames(8, 10500);
    m_provider = frames;
    Build(FormatBlock(PcmShape()), 1000);
    EXPECT_EQ(RunToEnd(), EC_COMPLETE);
    EXPECT_TRUE(m_writer->Completed());
    EXPECT_EQ(m_writer->FramesWritten(), 10500u);
    EXPECT_EQ(m_source->FramesDelivered(), 10500u);
    ASSERT_EQ(m_sink.m_bytes.size(), 10500u * 8);
    for (size_t i = 0; i < m_sink.m_bytes.size(); ++i) ASSERT_EQ(m_sink.m_bytes[i], uint8_t(i)) << i;
    EXPECT_EQ(m_sink.m_writes, 11);
    EXPECT_EQ(m_writer->FormatBlock(), FormatBlock(PcmShape()));
    EXPECT_TRUE(m_writer->ErrorText().empty());
    EXPECT_TRUE(m_source->ErrorText().empty());
}

TEST_P(SourceToWriter, OnDemandTheDeliveringThreadsWriteAfterEachDelivery)
{
    if (!GetParam().writesOnDemand) GTEST_SKIP() << "the writer's own thread writes";
    std::mutex lock;
    std::set<std::thread::id> delivering, writing;
    m_afterDelivery = [&] {
        std::lock_guard<std::mutex> hold(lock);
        delivering.insert(std::this_thread::get_id());
    };
    m_sink.m_onWrite = [&](size_t) { writing.insert(std::this_thread::get_id()); };
    m_provider = new CountingFrames(8, 6000);
    Build(FormatBlock(PcmShape()), 1000);
    EXPECT_EQ(RunToEnd(), EC_COMPLETE);
    // Six samples and end-of-stream, each followed by a write of what came of it.
    EXPECT_EQ(m_afterDeliveries, 7);
    EXPECT_EQ(m_sink.m_writes, 6);
    ASSERT_FALSE(writing.empty());
    for (const std::thread::id& id : writing) EXPECT_EQ(delivering.count(id), 1u);
}

TEST_P(SourceToWriter, CompletesOnlyAfterASlowSinkHasTakenEverySample)
{
    // Writing lags behind delivery; end-of-stream waits for the queue.
    m_provider = new CountingFrames(8, 4000);
    m_sink.m_delayMs = 5;
    Build(FormatBlock(PcmShape()), 500);
    EXPECT_EQ(RunToEnd(), EC_COMPLETE);
    EXPECT_EQ(m_sink.m_writes, 8);
    EXPECT_EQ(m_writer->FramesWritten(), 4000u);
}

TEST_P(SourceToWriter, ReadsAheadOfASlowSinkByNoMoreThanItsBuffers)
{
    if (GetParam().writesOnDemand) GTEST_SKIP() << "the delivering threads write: no sink to read ahead of";
    // The writer holds a reference on each queued sample, so the source's buffers are all
    // the read-ahead there can be: at least 6 of them, none beyond.
    auto* frames = new CountingFrames(8, 20000);
    m_provider = frames;
    m_sink.m_delayMs = 3;
    uint64_t mostAhead = 0;
    m_sink.m_onWrite = [&](size_t bytesWritten) {
        mostAhead = std::max<uint64_t>(mostAhead, frames->m_handedOut - bytesWritten / 8);
    };
    Build(FormatBlock(PcmShape()), 500);
    EXPECT_EQ(RunToEnd(), EC_COMPLETE);
    EXPECT_EQ(m_writer->FramesWritten(), 20000u);
    EXPECT_GE(mostAhead, 3 * 500u);
    EXPECT_LE(mostAhead, 6 * 500u);
}

TEST_P(SourceToWriter, AnEmptyStreamCompletesWithNothingWritten)
{
    m_provider = new CountingFrames(8, 0);
    Build(FormatBlock(PcmShape()), 1000);
    EXPECT_EQ(RunToEnd(), EC_COMPLETE);
    EXPECT_EQ(m_writer->FramesWritten(), 0u);
    EXPECT_EQ(m_sink.m_writes, 0);
}

TEST_P(SourceToWriter, AFailedReadAbortsTheRunWithTheReaderReason)
{
    auto* frames = new CountingFrames(8, 10000);
    frames->m_failAt = 3000;
    m_provider = frames;
    Build(FormatBlock(PcmShape()), 1000);
    EXPECT_EQ(RunToEnd(), EC_ERRORABORT);
    EXPECT_EQ(m_source->ErrorText(), "the disk went away");
    EXPECT_EQ(m_source->FramesDelivered(), 3000u);
    // The abort may overtake samples still queued for writing; none beyond them is written.
    EXPECT_LE(m_writer->FramesWritten(), 3000u);
    EXPECT_FALSE(m_writer->Completed());
}

TEST_P(SourceToWriter, AFailedWriteAbortsTheRunAndStopsTheSource)
{
    m_provider = new CountingFrames(8, 100000);
    m_sink.m_writesLeft = 2;
    Build(FormatBlock(PcmShape()), 1000);
    EXPECT_EQ(RunToEnd(), EC_ERRORABORT);
    EXPECT_EQ(m_writer->ErrorText(), "no space left on the device");
    EXPECT_EQ(m_writer->FramesWritten(), 2000u);
    EXPECT_LT(m_source->FramesDelivered(), 100000u);
    EXPECT_FALSE(m_writer->Completed());
}

TEST_P(SourceToWriter, StopEndsAStreamThatWouldNeverEnd)
{
    auto* frames = new CountingFrames(8, 0);
    frames->m_endless = true;
    m_provider = frames;
    Build(FormatBlock(PcmShape()), 256);
    ASSERT_TRUE(SUCCEEDED(m_control->Run()));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (m_writer->FramesWritten() < 2048 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GE(m_writer->FramesWritten(), 2048u);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(m_control->Stop(), S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    const uint64_t written = m_writer->FramesWritten();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(m_writer->FramesWritten(), written);
    EXPECT_FALSE(m_writer->Completed());
}

INSTANTIATE_TEST_SUITE_P(Threadings, SourceToWriter,
                         ::testing::Values(Threading{1, false}, Threading{2, true}, Threading{2, false}),
                         [](const ::testing::TestParamInfo<Threading>& info) {
                             return std::to_string(info.param.deliveringThreads) + "Delivering" +
                                    (info.param.writesOnDemand ? "WritingOnDemand" : "AndAWritingThread");
                         });

// QueryAccept on a pin with a type built from `shape`.
HRESULT Accepts(IPin* pin, const wave_test::WaveShape& shape, const GUID& subtype = KSDATAFORMAT_SUBTYPE_PCM)
{
    const std::vector<uint8_t> block = FormatBlock(shape);
    AM_MEDIA_TYPE mt;
    std::memset(&mt, 0, sizeof mt);
    mt.majortype = MEDIATYPE_Audio;
    mt.subtype = subtype;
    mt.formattype = FORMAT_WaveFormatEx;
    mt.cbFormat = static_cast<ULONG>(block.size());
    mt.pbFormat = const_cast<BYTE*>(block.data());
    return pin->QueryAccept(&mt);
}

TEST(SinkWriter, TakesTheDecoderOutputFormatsOnly)
{
    MemorySink sink;
    HRESULT hr = S_OK;
    auto* writer = new CSinkWriterFilter(&sink, &hr);
    writer->AddRef();
    IPin* pin = writer->GetPin(0);

    EXPECT_EQ(Accepts(pin, PcmShape(16)), S_OK);
    EXPECT_EQ(Accepts(pin, PcmShape(24)), S_OK);
    EXPECT_EQ(Accepts(pin, PcmShape(32)), S_OK);
    wave_test::WaveShape shape = PcmShape(32);
    shape.subFormat = kSubtypeFloat;
    EXPECT_EQ(Accepts(pin, shape), S_OK);

    shape.bits = 16;  // float samples of 16 bits
    EXPECT_EQ(Accepts(pin, shape), S_FALSE);
    EXPECT_EQ(Accepts(pin, PcmShape(20)), S_FALSE);
    shape = PcmShape();
    shape.subFormat = kBFormatPcm;  // still B-Format: nothing decoded it
    EXPECT_EQ(Accepts(pin, shape), S_FALSE);
    shape = PcmShape();
    shape.blockAlign = 6;
    EXPECT_EQ(Accepts(pin, shape), S_FALSE);
    shape = PcmShape();
    shape.tag = 1;
    shape.fmtSize = 18;
    shape.cbSize = 0;
    EXPECT_EQ(Accepts(pin, shape), S_FALSE);
    writer->Release();
}

}  // namespace
