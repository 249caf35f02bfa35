#include "tests/gstreamer/gst_support.h"

#include <cmath>
#include <cstring>
#include <mutex>

#include "plugins/gstreamer/elements.h"

namespace gst_test {

void StartGStreamer()
{
    static std::once_flag once;
    std::call_once(once, [] {
        gst_init(nullptr, nullptr);
        gst_plugin_register_static(GST_VERSION_MAJOR, GST_VERSION_MINOR, "durazodo", "B-Format elements",
                                   gstbformat::RegisterAll, "1.0", "Proprietary", "durazodo", "DUrazOdo",
                                   "http://durazodo.example/");
    });
}

std::vector<uint8_t> Samples(uint32_t frames, uint16_t channels, uint16_t bits)
{
    std::vector<uint8_t> out;
    uint32_t state = 12345;
    for (uint32_t f = 0; f < frames; ++f) {
        for (uint16_t c = 0; c < channels; ++c) {
            state = state * 1664525u + 1013904223u;
            // Noise plus a slow sine per channel: energy both below and above the shelves' crossover.
            const double noise = (static_cast<int32_t>(state >> 8) - (1 << 23)) / double(1 << 23);
            const double v = 0.3 * noise + 0.4 * std::sin(0.01 * f * (c + 1));
            if (bits == 16) wave_test::Put16(out, static_cast<uint16_t>(static_cast<int16_t>(v * 32767)));
            else wave_test::PutFloat(out, static_cast<float>(v));
        }
    }
    return out;
}

namespace {

void Put64(std::vector<uint8_t>& b, uint64_t v)
{
    wave_test::Put32(b, static_cast<uint32_t>(v));
    wave_test::Put32(b, static_cast<uint32_t>(v >> 32));
}

void PutW64Id(std::vector<uint8_t>& b, const char* name)
{
    static const uint8_t riffTail[12] = {0x2E, 0x91, 0xCF, 0x11, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
    static const uint8_t tail[12] = {0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
    b.insert(b.end(), name, name + 4);
    const uint8_t* t = std::strcmp(name, "riff") == 0 ? riffTail : tail;
    b.insert(b.end(), t, t + 12);
}

}  // namespace

std::vector<uint8_t> BFormatFile(Container container, uint16_t channels, uint16_t bits, const std::vector<uint8_t>& samples,
                                 uint32_t rate)
{
    wave_test::WaveShape shape;
    shape.channels = channels;
    shape.bits = bits;
    shape.rate = rate;
    shape.subFormat = bits == 32 ? bformat::kBFormatFloat : bformat::kBFormatPcm;
    shape.samples = samples;
    if (container == Container::Riff) return wave_test::BuildWave(shape);
    const std::vector<uint8_t> fmt = wave_test::FormatBlock(shape);
    std::vector<uint8_t> file;
    if (container == Container::Rf64) {
        wave_test::PutId(file, "RF64");
        wave_test::Put32(file, 0xFFFFFFFFu);
        wave_test::PutId(file, "WAVE");
        wave_test::PutId(file, "ds64");
        wave_test::Put32(file, 28);
        Put64(file, 4 + 36 + 8 + fmt.size() + 8 + samples.size());
        Put64(file, samples.size());
        Put64(file, samples.size() / (channels * bits / 8));
        wave_test::Put32(file, 0);
        wave_test::PutId(file, "fmt ");
        wave_test::Put32(file, static_cast<uint32_t>(fmt.size()));
        file.insert(file.end(), fmt.begin(), fmt.end());
        wave_test::PutId(file, "data");
        wave_test::Put32(file, 0xFFFFFFFFu);
        file.insert(file.end(), samples.begin(), samples.end());
        return file;
    }
    // Wave64: GUID chunk names, 64-bit sizes that count the 24-byte chunk header, 8-byte alignment.
    const size_t fmtPadded = (fmt.size() + 7) & ~size_t{7};
    PutW64Id(file, "riff");
    Put64(file, 40 + 24 + fmtPadded + 24 + samples.size());
    PutW64Id(file, "wave");
    PutW64Id(file, "fmt ");
    Put64(file, 24 + fmt.size());
    file.insert(file.end(), fmt.begin(), fmt.end());
    file.resize(file.size() + fmtPadded - fmt.size(), 0);
    PutW64Id(file, "data");
    Put64(file, 24 + samples.size());
    file.insert(file.end(), samples.begin(), samples.end());
    return file;
}

RunResult::~RunResult()
{
    if (caps) gst_caps_unref(caps);
}

namespace {

void Collect(GstElement*, GstBuffer* buffer, GstPad* pad, gpointer data)
{
    RunResult* result = static_cast<RunResult*>(data);
    GstMapInfo map;
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        result->bytes.insert(result->bytes.end(), map.data, map.data + map.size);
        gst_buffer_unmap(buffer, &map);
    }
    result->pts.push_back(GST_BUFFER_PTS(buffer));
    if (!result->caps) result->caps = gst_pad_get_current_caps(pad);
}

}  // namespace

namespace {

// Waits for the state change under way; false on an error or after `seconds`.
bool Settle(GstElement* pipeline, int seconds)
{
    GstState state;
    return gst_element_get_state(pipeline, &state, nullptr, static_cast<GstClockTime>(seconds) * GST_SECOND) ==
           GST_STATE_CHANGE_SUCCESS;
}

}  // namespace

void RunPipeline(const std::string& description, RunResult& result, int seconds, gint64 seekTo)
{
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (!pipeline) {
        result.error = true;
        result.message = error ? error->message : "cannot build the pipeline";
        g_clear_error(&error);
        return;
    }
    g_clear_error(&error);
    if (GstElement* out = gst_bin_get_by_name(GST_BIN(pipeline), "out")) {
        g_object_set(out, "signal-handoffs", TRUE, "sync", FALSE, nullptr);
        g_signal_connect(out, "handoff", G_CALLBACK(Collect), &result);
        gst_object_unref(out);
    }
    if (seekTo >= 0) {
        gst_element_set_state(pipeline, GST_STATE_PAUSED);
        if (Settle(pipeline, seconds)) {
            gst_element_seek_simple(pipeline, GST_FORMAT_TIME,
                                    static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), seekTo);
            Settle(pipeline, seconds);
        }
    }
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* message = gst_bus_timed_pop_filtered(bus, static_cast<GstClockTime>(seconds) * GST_SECOND,
                                                     static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
    if (!message) {
        result.timedOut = true;
    } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError* e = nullptr;
        gchar* debug = nullptr;
        gst_message_parse_error(message, &e, &debug);
        result.error = true;
        // decodebin may report an error of an element it is still plugging as its own, with
        // the element's message in the details.
        result.message = std::string(e ? e->message : "") + " (" + (debug ? debug : "") + ")";
        g_free(debug);
        result.source = GST_MESSAGE_SRC_NAME(message);
        g_clear_error(&e);
    } else {
        result.eos = true;
    }
    if (message) gst_message_unref(message);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(bus);
    gst_object_unref(pipeline);
}

}  // namespace gst_test
