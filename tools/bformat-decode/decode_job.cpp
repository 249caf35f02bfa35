#include "tools/bformat-decode/decode_job.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "durazodo/ambisonic_decoder.h"
#include "framework/base_pin.h"
#include "decoder/input_stage.h"
#include "decoder/speaker_feeds.h"
#include "framework/com_ref.h"
#include "tools/bformat-decode/bformat_reader.h"
#include "tools/bformat-decode/decoder_module.h"
#include "tools/bformat-decode/output_file.h"
#include "tools/bformat-decode/source_filter.h"
#include "tools/bformat-decode/writer_filter.h"

namespace bformat {

namespace {

decoder::InputConvention EngineConvention(Convention convention)
{
    switch (convention) {
    case Convention::AmbiX: return decoder::InputConvention::Ambix;
    case Convention::N3d: return decoder::InputConvention::N3d;
    default: return decoder::InputConvention::Fuma;
    }
}

// Tells the decoder filter what the input carries when it is not first-order FuMa (the
// filter's own default), and asks the order its output decodes it at. False when the filter
// refuses the input.
bool AnnounceInput(IBaseFilter* decoderFilter, const InputDescription& input, unsigned& decodedOrder)
{
    decodedOrder = 1;
    const decoder::InputConvention convention = EngineConvention(input.convention);
    if (decoder::IsFirstOrderFuma({input.channels, 0.0, 0, convention})) return true;
    ComRef<IAmbisonicDecoderInput> announce;
    if (FAILED(decoderFilter->QueryInterface(IID_IAmbisonicDecoderInput, announce.put_void())) || !announce) return false;
    const LONG named = convention == decoder::InputConvention::Ambix ? AMBISONIC_CONVENTION_AMBIX
                       : convention == decoder::InputConvention::N3d ? AMBISONIC_CONVENTION_N3D
                                                                     : AMBISONIC_CONVENTION_FUMA;
    ULONG order = 1;
    if (announce->SetInputFormat(named, input.channels) != S_OK || announce->GetDecodedOrder(&order) != S_OK)
        return false;
    decodedOrder = order;
    return true;
}

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

// Frames the decoder delivers after the input's last for a speaker rig with distances: the
// longest delay of the nearer speakers at the stream's rate, as the filter's renderer sets it.
uint64_t CompensationTail(const OutputChoice& choice, uint32_t sampleRate)
{
    if (!choice.rig.rig || choice.mode != OutputMode::Speakers) return 0;
    const decoder::Rig& rig = *choice.rig.rig;
    std::vector<double> distances;
    // Designed rigs reach the filter with their distances in single precision.
    for (size_t i = 0; i < rig.speakers.size(); ++i)
        if (static_cast<int32_t>(i) != rig.lfeChannel)
            distances.push_back(choice.rig.matricesGiven ? rig.speakers[i].distance
                                                         : static_cast<float>(rig.speakers[i].distance));
    std::vector<size_t> delays;
    std::vector<double> gains;
    decoder::ChannelDelays::ForDistances(distances, sampleRate, delays, gains);
    return delays.empty() ? 0 : *std::max_element(delays.begin(), delays.end());
}

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

namespace {

// One decode's pieces and its steps, in the order RunDecode takes them. The members are made
// in order and destroyed in reverse: the graph (whose filters use the sink and the frames)
// before the output and the reader, COM after the graph. One thread.
class DecodeRun {
public:
    DecodeRun(const DecodeRequest& request, DecodeResult& result, std::string& error)
        : m_request(request), m_result(result), m_error(error)
    {
    }

    // Opens the input and checks it against the output's container and choice; chooses the
    // sample format that reaches the decoder.
    bool OpenInput();
    // Starts COM and builds the graph: source, the decoder set to the output choice, writer.
    bool BuildGraph();
    // Connects source to decoder to writer; the decoder proposes the output's format.
    bool ConnectFilters();
    // Starts the output file in the format the decoder proposed.
    bool BeginOutput();
    // Runs the graph to its end or to the interrupt, reporting progress.
    void RunGraph(const ProgressFunction& progress, const std::atomic<bool>* interrupt);
    // Judges the run and, when every frame arrived, completes the output under its name.
    bool Finish(const ProgressFunction& progress);

private:
    const DecodeRequest& m_request;
    DecodeResult& m_result;
    std::string& m_error;
    Container m_container = Container::Wave;
    BFormatReader m_reader;
    std::optional<ComScope> m_com;
    SoundFileWriter m_output;
    FileFrames m_frames{m_reader};
    FileSink m_sink{m_output};
    Graph m_graph;
    // Frames the decoder delivers ahead of the input's first (the headphone decode's lag), and
    // after its last (the sound distance compensation still owes from the nearer speakers).
    uint64_t m_leadIn = 0;
    uint64_t m_tail = 0;
    HRESULT m_runResult = S_OK;
    LONG m_eventCode = 0;
    bool m_interrupted = false;
    bool m_ran = false;
};

bool DecodeRun::OpenInput()
{
    const DecodeRequest& request = m_request;
    if (SameFile(request.input, request.output)) {
        m_error = request.output + ": the output would overwrite the input";
        return false;
    }
    if (!ContainerForName(request.output, m_container, m_error)) return false;
    std::string why;
    if (!m_reader.Open(request.input, request.convention, why)) {
        m_error = request.input + ": " + why;
        return false;
    }
    m_result.input = m_reader.Description();
    m_result.outputFormat =
        request.outputFormat != decoder::SampleFormat::None ? request.outputFormat : m_result.input.sampleFormat;
    if (!ContainerTakes(m_container, m_result.outputFormat, why)) {
        m_error = request.output + ": " + why;
        return false;
    }
    if (!ContainerTakesRate(m_container, m_result.input.sampleRate, why) ||
        !OutputTakesRate(request.outputChoice, m_result.input.sampleRate, why)) {
        m_error = request.input + ": " + why;
        return false;
    }
    m_reader.DeliverFor(m_result.outputFormat);
    m_result.decodedFormat = m_reader.DeliveredFormat();
    m_leadIn = request.outputChoice.Headphones() ? uint64_t{AMBISONIC_HEADPHONE_LATENCY_FRAMES} : 0;
    m_tail = CompensationTail(request.outputChoice, m_result.input.sampleRate);
    return true;
}

bool DecodeRun::BuildGraph()
{
    m_com.emplace();
    if (FAILED(m_com->Result())) {
        m_error = "COM could not start (" + Hex(m_com->Result()) + ")";
        return false;
    }
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  m_graph.builder.put_void());
    if (FAILED(hr) || !m_graph.builder) {
        m_error = "cannot create a filter graph (" + Hex(hr) + ")";
        return false;
    }
    if (!m_graph.module.CreateFilter(m_request.modulePath, m_graph.decoder.put(), m_result.decoderSource, m_error))
        return false;
    std::string why;
    if (!ApplyOutputChoice(m_graph.decoder.get(), m_request.outputChoice, m_result.input.sampleRate,
                           m_result.responses, why) ||
        !ApplyRotation(m_graph.decoder.get(), m_request.rotation, why)) {
        m_error = m_request.input + ": " + why;
        return false;
    }

    SourceStream stream;
    if (!AnnounceInput(m_graph.decoder.get(), m_result.input, m_result.decodedOrder)) {
        m_error = m_request.input + ": the decoder filter does not take " + std::to_string(m_result.input.channels) +
                  "-channel " + ConventionName(m_result.input.convention) + " input";
        return false;
    }
    stream.formatBlock = BuildExtensibleBlock(static_cast<uint16_t>(m_result.input.channels),
                                              m_result.input.sampleRate, m_result.decodedFormat, true);
    WaveFormat format;
    ReadWaveFormat(stream.formatBlock.data(), stream.formatBlock.size(), format);
    std::memcpy(&stream.subtype, format.subFormat.data(), sizeof stream.subtype);
    stream.framesPerSample = m_request.framesPerSample;
    // Two threads each read a buffer, run it through the decoder and write what came out,
    // taking turns at the decoder: the decode of one buffer overlaps the file work of the
    // next, and each buffer's bytes stay in the cache of the processor that reads them.
    stream.deliveringThreads = 2;
    hr = S_OK;
    m_graph.writerFilter = new (std::nothrow) CSinkWriterFilter(&m_sink, &hr);
    m_graph.writer.Assign(m_graph.writerFilter);
    if (m_graph.writerFilter) {
        // Written by the delivering threads, each after its delivery.
        m_graph.writerFilter->SetWritesOnDemand(true);
        CSinkWriterFilter* const writer = m_graph.writerFilter;
        stream.afterDelivery = [writer] { writer->WriteReceived(); };
    }
    m_graph.sourceFilter = new (std::nothrow) CFrameSourceFilter(stream, &m_frames, &hr);
    m_graph.source.Assign(m_graph.sourceFilter);
    if (!m_graph.source || !m_graph.writer || FAILED(hr)) {
        m_error = "out of memory";
        return false;
    }
    if (FAILED(hr = m_graph.builder->AddFilter(m_graph.source.get(), WIDE("B-Format file"))) ||
        FAILED(hr = m_graph.builder->AddFilter(m_graph.decoder.get(), WIDE("B-Format decoder"))) ||
        FAILED(hr = m_graph.builder->AddFilter(m_graph.writer.get(), WIDE("Speaker feed file")))) {
        m_error = "cannot build the filter graph (" + Hex(hr) + ")";
        return false;
    }
    return true;
}

bool DecodeRun::ConnectFilters()
{
    ComRef<IPin> sourceOut, decoderIn, decoderOut, writerIn;
    sourceOut.Assign(m_graph.sourceFilter->GetPin(0));
    writerIn.Assign(m_graph.writerFilter->GetPin(0));
    if (!FindPin(m_graph.decoder.get(), PINDIR_INPUT, decoderIn) ||
        !FindPin(m_graph.decoder.get(), PINDIR_OUTPUT, decoderOut)) {
        m_error = m_request.input + ": the decoder filter has no input or no output pin";
        return false;
    }
    HRESULT hr = m_graph.builder->ConnectDirect(sourceOut.get(), decoderIn.get(), nullptr);
    if (FAILED(hr)) {
        m_error = m_request.input + ": the decoder filter refuses a stream of " +
                  std::to_string(m_result.input.channels) + " channels at " +
                  std::to_string(m_result.input.sampleRate) + " Hz (" + Hex(hr) + ")";
        return false;
    }
    hr = m_graph.builder->ConnectDirect(decoderOut.get(), writerIn.get(), nullptr);
    if (FAILED(hr)) {
        m_error = m_request.input + ": the decoder's output cannot be written to " + m_request.output + " (" +
                  Hex(hr) + ")";
        return false;
    }
    return true;
}

bool DecodeRun::BeginOutput()
{
    const std::vector<uint8_t> outputBlock = m_graph.writerFilter->FormatBlock();
    ReadWaveFormat(outputBlock.data(), outputBlock.size(), m_result.output);
    OutputFileSettings settings;
    settings.path = m_request.output;
    settings.container = m_container;
    settings.channels = m_result.output.channels;
    settings.sampleRate = m_result.output.sampleRate;
    settings.channelMask = m_result.output.channelMask;
    settings.format = m_result.outputFormat;
    settings.expectedFrames = m_result.input.frames;
    if (!m_output.Begin(settings, SampleFormatOf(m_result.output), m_error)) return false;
    m_sink.DropLeadIn(static_cast<size_t>(m_leadIn) * m_result.output.blockAlign);
    return true;
}

void DecodeRun::RunGraph(const ProgressFunction& progress, const std::atomic<bool>* interrupt)
{
    // No clock: the graph runs as fast as the file can be read, decoded and written.
    ComRef<IMediaFilter> mediaFilter;
    if (SUCCEEDED(m_graph.builder->QueryInterface(IID_IMediaFilter, mediaFilter.put_void())) && mediaFilter) {
        mediaFilter->SetSyncSource(nullptr);
    }
    ComRef<IMediaControl> control;
    ComRef<IMediaEvent> events;
    HRESULT hr;
    if (FAILED(hr = m_graph.builder->QueryInterface(IID_IMediaControl, control.put_void())) ||
        FAILED(hr = m_graph.builder->QueryInterface(IID_IMediaEvent, events.put_void()))) {
        m_runResult = hr;
        m_error = "the filter graph cannot be run (" + Hex(hr) + ")";
        return;
    }

    const auto started = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(); };
    m_interrupted = interrupt && *interrupt;
    hr = m_interrupted ? S_OK : control->Run();
    if (SUCCEEDED(hr) && !m_interrupted) {
        for (;;) {
            hr = events->WaitForCompletion(100, &m_eventCode);
            if (hr != E_ABORT) break;
            if (progress)
                progress(m_graph.writerFilter->FramesWritten(), m_result.input.frames, m_result.input.sampleRate,
                         elapsed());
            if (interrupt && *interrupt) {
                m_interrupted = true;
                break;
            }
        }
    }
    control->Stop();
    m_ran = true;
    m_runResult = hr;
    m_result.wallSeconds = elapsed();
    m_result.frames = m_graph.writerFilter->FramesWritten();
    m_result.peaks = m_output.Levels().Peaks();
    m_result.clipped = m_output.Levels().Clipped();
}

bool DecodeRun::Finish(const ProgressFunction& progress)
{
    if (!m_ran) return false;  // m_error says why the graph could not run
    m_error.clear();
    const std::string writeError = m_graph.writerFilter->ErrorText();
    const std::string readError = m_graph.sourceFilter->ErrorText();
    DecodeResult& r = m_result;
    if (m_interrupted) {
        m_error = m_request.input + ": interrupted; " + m_request.output + " not written";
    } else if (!writeError.empty()) {
        m_error = writeError;
    } else if (!readError.empty()) {
        m_error = m_request.input + ": " + readError;
    } else if (FAILED(m_runResult)) {
        m_error = m_request.input + ": the filter graph failed (" + Hex(m_runResult) + ")";
    } else if (m_eventCode != EC_COMPLETE) {
        m_error = m_request.input + ": the decoder aborted the stream (event " + std::to_string(m_eventCode) + ")";
    } else if (r.frames != r.input.frames + m_leadIn + m_tail) {
        m_error = m_request.input + ": the decoder delivered " + std::to_string(r.frames) + " of " +
                  std::to_string(r.input.frames + m_leadIn + m_tail) + " frames";
    }
    if (!m_error.empty()) return false;

    if (!m_output.Finish(m_error)) return false;
    r.frames -= m_leadIn;
    if (progress) progress(r.frames, r.input.frames, r.input.sampleRate, r.wallSeconds);
    r.seconds = static_cast<double>(r.frames) / r.output.sampleRate;
    return true;
}

}  // namespace

bool RunDecode(const DecodeRequest& request, DecodeResult& result, std::string& error,
               const ProgressFunction& progress, const std::atomic<bool>* interrupt)
{
    result = DecodeResult{};
    DecodeRun run(request, result, error);
    if (!run.OpenInput() || !run.BuildGraph() || !run.ConnectFilters() || !run.BeginOutput()) return false;
    run.RunGraph(progress, interrupt);
    return run.Finish(progress);
}

}  // namespace bformat
