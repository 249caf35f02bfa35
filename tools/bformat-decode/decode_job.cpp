#include "tools/bformat-decode/decode_job.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "durazodo/ambisonic_decoder.h"
#include "framework/base_pin.h"
#include "framework/com_ref.h"
#include "tools/bformat-decode/bformat_reader.h"
#include "tools/bformat-decode/decoder_module.h"
#include "tools/bformat-decode/output_file.h"
#include "tools/bformat-decode/source_filter.h"
#include "tools/bformat-decode/writer_filter.h"

namespace bformat {

namespace {

// The first pin of a filter in the given direction, with a reference.
bool FindPin(IBaseFilter* filter, PIN_DIRECTION direction, ComRef<IPin>& found)
{
    ComRef<IEnumPins> pins;
    if (FAILED(filter->EnumPins(pins.put())) || !pins) return false;
    IPin* pin = nullptr;
    ULONG fetched = 0;
    while (pins->Next(1, &pin, &fetched) == S_OK && fetched == 1 && pin) {
        PIN_DIRECTION dir;
        if (SUCCEEDED(pin->QueryDirection(&dir)) && dir == direction) {
            found.Assign(pin);
            pin->Release();
            return true;
        }
        pin->Release();
        pin = nullptr;
    }
    return false;
}

// Frames from the B-Format file.
class FileFrames : public FrameProvider {
public:
    explicit FileFrames(BFormatReader& reader) : m_reader(reader) {}
    int64_t Read(uint8_t* buffer, uint64_t maxFrames) override { return m_reader.Read(buffer, maxFrames); }
    std::string ErrorText() const override { return m_reader.Error(); }

private:
    BFormatReader& m_reader;
};

// Samples into the output file, less a lead-in set before streaming starts (the headphone
// decode's lag), so that the ears line up with the input and the output is as long as it.
class FileSink : public SampleSink {
public:
    explicit FileSink(SoundFileWriter& writer) : m_writer(writer) {}
    void DropLeadIn(size_t bytes) { m_skip = bytes; }
    bool Write(const uint8_t* data, size_t bytes, std::string& error) override
    {
        const size_t dropped = std::min(bytes, m_skip);
        m_skip -= dropped;
        return bytes == dropped || m_writer.Append(data + dropped, bytes - dropped, error);
    }

private:
    SoundFileWriter& m_writer;
    size_t m_skip = 0;
};

bool SameFile(const std::string& a, const std::string& b)
{
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// COM for the length of one decode.
class ComScope {
public:
    ComScope() : m_hr(CoInitialize(nullptr)) {}
    ~ComScope()
    {
        if (SUCCEEDED(m_hr)) CoUninitialize();
    }
    HRESULT Result() const { return m_hr; }

private:
    HRESULT m_hr;
};

// The graph and what runs in it; torn down in the right order whatever happens.
struct Graph {
    DecoderModule module;  // outlives every object below
    ComRef<IGraphBuilder> builder;
    ComRef<IBaseFilter> source, decoder, writer;
    CFrameSourceFilter* sourceFilter = nullptr;
    CSinkWriterFilter* writerFilter = nullptr;

    ~Graph()
    {
        if (builder) {
            ComRef<IMediaControl> control;
            if (SUCCEEDED(builder->QueryInterface(IID_IMediaControl, control.put_void())) && control) control->Stop();
            // Removing a filter breaks its connections, whose references would otherwise
            // keep the filters alive.
            for (IBaseFilter* filter : {source.get(), decoder.get(), writer.get()}) {
                if (filter) builder->RemoveFilter(filter);
            }
        }
        source.Reset();
        decoder.Reset();
        writer.Reset();
        builder.Reset();
    }
};

}  // namespace

std::vector<std::string> SpeakerNames(uint32_t mask, unsigned channels)
{
    static const char* const kNames[] = {"front left",   "front right",  "front centre",  "low frequency",
                                         "back left",    "back right",   "front left of centre",
                                         "front right of centre",        "back centre",   "side left",
                                         "side right",   "top centre",   "top front left", "top front centre",
                                         "top front right", "top back left", "top back centre", "top back right"};
    std::vector<std::string> names;
    for (unsigned bit = 0; bit < 18 && names.size() < channels; ++bit) {
        if (mask & (1u << bit)) names.push_back(kNames[bit]);
    }
    while (names.size() < channels) names.push_back("speaker " + std::to_string(names.size() + 1));
    return names;
}

bool RunDecode(const DecodeRequest& request, DecodeResult& result, std::string& error,
               const ProgressFunction& progress, const std::atomic<bool>* interrupt)
{
    result = DecodeResult{};
    if (SameFile(request.input, request.output)) {
        error = request.output + ": the output would overwrite the input";
        return false;
    }
    Container container;
    if (!ContainerForName(request.output, container, error)) return false;
    BFormatReader reader;
    std::string why;
    if (!reader.Open(request.input, request.convention, why)) {
        error = request.input + ": " + why;
        return false;
    }
    result.input = reader.Description();
    result.outputFormat =
        request.outputFormat != decoder::SampleFormat::None ? request.outputFormat : result.input.sampleFormat;
    if (!ContainerTakes(container, result.outputFormat, why)) {
        error = request.output + ": " + why;
        return false;
    }
    if (!ContainerTakesRate(container, result.input.sampleRate, why) ||
        !OutputTakesRate(request.outputChoice, result.input.sampleRate, why)) {
        error = request.input + ": " + why;
        return false;
    }
    reader.DeliverFor(result.outputFormat);
    result.decodedFormat = reader.DeliveredFormat();

    ComScope com;
    if (FAILED(com.Result())) {
        error = "COM could not start (" + Hex(com.Result()) + ")";
        return false;
    }

    SoundFileWriter output;
    FileFrames frames(reader);
    // Frames the decoder delivers ahead of the input's first: the headphone decode's lag.
    const uint64_t leadIn = request.outputChoice.Headphones() ? uint64_t{AMBISONIC_HEADPHONE_LATENCY_FRAMES} : 0;
    FileSink sink(output);
    Graph graph;

    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  graph.builder.put_void());
    if (FAILED(hr) || !graph.builder) {
        error = "cannot create a filter graph (" + Hex(hr) + ")";
        return false;
    }
    if (!graph.module.CreateFilter(request.modulePath, graph.decoder.put(), result.decoderSource, error)) return false;
    if (!ApplyOutputChoice(graph.decoder.get(), request.outputChoice, result.input.sampleRate, result.responses, why)) {
        error = request.input + ": " + why;
        return false;
    }

    SourceStream stream;
    stream.formatBlock = BuildExtensibleBlock(static_cast<uint16_t>(result.input.firstOrderChannels),
                                              result.input.sampleRate, result.decodedFormat, true);
    std::memcpy(&stream.subtype, stream.formatBlock.data() + 24, sizeof stream.subtype);
    stream.framesPerSample = request.framesPerSample;
    // Two threads each read a buffer, run it through the decoder and write what came out,
    // taking turns at the decoder: the decode of one buffer overlaps the file work of the
    // next, and each buffer's bytes stay in the cache of the processor that reads them.
    stream.deliveringThreads = 2;
    hr = S_OK;
    graph.writerFilter = new (std::nothrow) CSinkWriterFilter(&sink, &hr);
    graph.writer.Assign(graph.writerFilter);
    if (graph.writerFilter) {
        // Written by the delivering threads, each after its delivery.
        graph.writerFilter->SetWritesOnDemand(true);
        CSinkWriterFilter* const writer = graph.writerFilter;
        stream.afterDelivery = [writer] { writer->WriteReceived(); };
    }
    graph.sourceFilter = new (std::nothrow) CFrameSourceFilter(stream, &frames, &hr);
    graph.source.Assign(graph.sourceFilter);
    if (!graph.source || !graph.writer || FAILED(hr)) {
        error = "out of memory";
        return false;
    }

    if (FAILED(hr = graph.builder->AddFilter(graph.source.get(), WIDE("B-Format file"))) ||
        FAILED(hr = graph.builder->AddFilter(graph.decoder.get(), WIDE("B-Format decoder"))) ||
        FAILED(hr = graph.builder->AddFilter(graph.writer.get(), WIDE("Speaker feed file")))) {
        error = "cannot build the filter graph (" + Hex(hr) + ")";
        return false;
    }
    ComRef<IPin> sourceOut, decoderIn, decoderOut, writerIn;
    sourceOut.Assign(graph.sourceFilter->GetPin(0));
    writerIn.Assign(graph.writerFilter->GetPin(0));
    if (!FindPin(graph.decoder.get(), PINDIR_INPUT, decoderIn) ||
        !FindPin(graph.decoder.get(), PINDIR_OUTPUT, decoderOut)) {
        error = "the decoder filter has no input or no output pin";
        return false;
    }
    hr = graph.builder->ConnectDirect(sourceOut.get(), decoderIn.get(), nullptr);
    if (FAILED(hr)) {
        error = request.input + ": the decoder filter refuses a stream of " +
                std::to_string(result.input.firstOrderChannels) + " channels at " +
                std::to_string(result.input.sampleRate) + " Hz (" + Hex(hr) + ")";
        return false;
    }
    hr = graph.builder->ConnectDirect(decoderOut.get(), writerIn.get(), nullptr);
    if (FAILED(hr)) {
        error = "the decoder's output cannot be written to a file (" + Hex(hr) + ")";
        return false;
    }

    const std::vector<uint8_t> outputBlock = graph.writerFilter->FormatBlock();
    ReadWaveFormat(outputBlock.data(), outputBlock.size(), result.output);
    OutputFileSettings settings;
    settings.path = request.output;
    settings.container = container;
    settings.channels = result.output.channels;
    settings.sampleRate = result.output.sampleRate;
    settings.channelMask = result.output.channelMask;
    settings.format = result.outputFormat;
    settings.expectedFrames = result.input.frames;
    if (!output.Begin(settings, SampleFormatOf(result.output), error)) return false;
    sink.DropLeadIn(static_cast<size_t>(leadIn) * result.output.blockAlign);

    // No clock: the graph runs as fast as the file can be read, decoded and written.
    ComRef<IMediaFilter> mediaFilter;
    if (SUCCEEDED(graph.builder->QueryInterface(IID_IMediaFilter, mediaFilter.put_void())) && mediaFilter) {
        mediaFilter->SetSyncSource(nullptr);
    }
    ComRef<IMediaControl> control;
    ComRef<IMediaEvent> events;
    if (FAILED(hr = graph.builder->QueryInterface(IID_IMediaControl, control.put_void())) ||
        FAILED(hr = graph.builder->QueryInterface(IID_IMediaEvent, events.put_void()))) {
        error = "the filter graph cannot be run (" + Hex(hr) + ")";
        return false;
    }

    const auto started = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(); };
    LONG code = 0;
    bool interrupted = interrupt && *interrupt;
    hr = interrupted ? S_OK : control->Run();
    if (SUCCEEDED(hr) && !interrupted) {
        for (;;) {
            hr = events->WaitForCompletion(100, &code);
            if (hr != E_ABORT) break;
            if (progress) progress(graph.writerFilter->FramesWritten(), result.input.frames, result.input.sampleRate, elapsed());
            if (interrupt && *interrupt) {
                interrupted = true;
                break;
            }
        }
    }
    control->Stop();
    result.wallSeconds = elapsed();
    result.frames = graph.writerFilter->FramesWritten();
    result.peaks = output.Levels().Peaks();
    result.clipped = output.Levels().Clipped();

    const std::string writeError = graph.writerFilter->ErrorText();
    const std::string readError = graph.sourceFilter->ErrorText();
    if (interrupted) {
        error = request.input + ": interrupted; " + request.output + " not written";
    } else if (!writeError.empty()) {
        error = writeError;
    } else if (!readError.empty()) {
        error = request.input + ": " + readError;
    } else if (FAILED(hr)) {
        error = "the filter graph failed (" + Hex(hr) + ")";
    } else if (code != EC_COMPLETE) {
        error = "the decoder aborted the stream (event " + std::to_string(code) + ")";
    } else if (result.frames != result.input.frames + leadIn) {
        error = "the decoder delivered " + std::to_string(result.frames) + " of " +
                std::to_string(result.input.frames + leadIn) + " frames";
    }
    if (!error.empty()) return false;

    if (!output.Finish(error)) return false;
    result.frames -= leadIn;
    if (progress) progress(result.frames, result.input.frames, result.input.sampleRate, result.wallSeconds);
    result.seconds = static_cast<double>(result.frames) / result.output.sampleRate;
    return true;
}

}  // namespace bformat
