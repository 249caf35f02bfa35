// bformatparse: reads a WAVE, RF64 or Wave64 file flagged as B-Format and sends its audio on
// as raw B-Format, timed from the frame count. Built on GstBaseParse, which gives it pull and
// push mode and seeking; the header is read once, then the data chunk is cut into whole frames.
// Runs on the element's streaming thread only.
#include <gst/base/gstbaseparse.h>

#include <algorithm>
#include <string>

#include "plugins/gstreamer/elements.h"
#include "plugins/gstreamer/wave_header.h"

namespace {

using gstbformat::Convention;
using gstbformat::ScanStatus;
using gstbformat::WaveHeader;

// Most bytes one output buffer carries (whole frames of it).
constexpr guint64 kBufferBytes = 64 * 1024;

struct GstBFormatParse {
    GstBaseParse parent;
    gboolean haveHeader;
    guint64 dataStart;  // byte offsets of the audio in the file
    guint64 dataEnd;
    guint frameBytes;
    guint rate;
    guint64 received;   // push mode: the byte offset just past the last input buffer
};

struct GstBFormatParseClass {
    GstBaseParseClass parent_class;
};

G_DEFINE_TYPE(GstBFormatParse, gst_bformat_parse, GST_TYPE_BASE_PARSE)

GST_DEBUG_CATEGORY_STATIC(bformat_parse_debug);
#define GST_CAT_DEFAULT bformat_parse_debug

GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("audio/x-bformat-wav"));

GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-bformat, format = (string) " GST_BFORMAT_FORMATS
                    ", rate = (int) [ 1, MAX ], channels = (int) [ 3, 16 ], order = (int) [ 1, 3 ]"
                    ", convention = (string) fuma, layout = (string) interleaved"));

GstBFormatParse* Self(GstBaseParse* base) { return reinterpret_cast<GstBFormatParse*>(base); }

// Posts `message` as the element's error and stops the stream. In pull mode the header is read
// while the element is still going to PAUSED, and decodebin drops the errors of an element it
// is bringing up (reporting only that no stream came out): so the message waits, 200 ms at
// most, for the state change to finish.
GstFlowReturn Fail(GstBaseParse* base, GstStreamError code, const std::string& message)
{
    for (int waited = 0; waited < 200; ++waited) {
        GstState state = GST_STATE_VOID_PENDING, pending = GST_STATE_VOID_PENDING;
        gst_element_get_state(GST_ELEMENT(base), &state, &pending, 0);
        if (pending == GST_STATE_VOID_PENDING && state >= GST_STATE_PAUSED && waited > 0) break;
        g_usleep(1000);
    }
    gst_element_message_full(GST_ELEMENT(base), GST_MESSAGE_ERROR, GST_STREAM_ERROR, code, g_strdup(message.c_str()),
                             nullptr, __FILE__, GST_FUNCTION, __LINE__);
    return GST_FLOW_ERROR;
}

gboolean Start(GstBaseParse* base)
{
    GstBFormatParse* self = Self(base);
    self->haveHeader = FALSE;
    self->dataStart = self->dataEnd = 0;
    self->frameBytes = 0;
    self->rate = 0;
    self->received = 0;
    gst_base_parse_set_min_frame_size(base, 12);
    return TRUE;
}

// Checks the header for a stream we can send on, sets the caps and the duration. Returns an
// empty string, or what is wrong.
std::string AcceptHeader(GstBaseParse* base, const WaveHeader& header)
{
    GstBFormatParse* self = Self(base);
    const bformat::WaveFormat& f = header.format;
    if (!gstbformat::IsBFormat(f)) return "not flagged as B-Format (no B-Format subformat in its format chunk)";
    if (f.channels == 0) return "the format chunk declares zero channels";
    if (f.sampleRate == 0) return "the format chunk declares a sample rate of zero";
    unsigned order = 0, firstOrder = 0;
    if (!gstbformat::FirstOrderPart(Convention::FuMa, f.channels, order, firstOrder)) {
        return std::to_string(f.channels) + " channels is no FuMa B-Format channel set (3, 4, 5, 6, 7, 8, 9, 11 or 16)";
    }
    const gstbformat::SampleFormat format = bformat::SampleFormatOf(f);
    if (format == gstbformat::SampleFormat::None) {
        return std::to_string(f.bitsPerSample) + "-bit samples of this kind are not supported (16, 24, 32-bit PCM or 32-bit float)";
    }
    const guint frameBytes = f.channels * gstbformat::SampleBytes(format);
    if (f.blockAlign != frameBytes) {
        return "the block alignment " + std::to_string(f.blockAlign) + " does not match " + std::to_string(f.channels) +
               " channels of " + std::to_string(f.bitsPerSample) + " bits";
    }
    if (header.dataSize > G_MAXUINT64 - header.dataOffset) return "the data chunk's size is out of range";

    // A file shorter than its header says is damaged: refuse it rather than play a part.
    gint64 length = -1;
    if (gst_pad_peer_query_duration(GST_BASE_PARSE_SINK_PAD(base), GST_FORMAT_BYTES, &length) && length >= 0) {
        const guint64 held = static_cast<guint64>(length);
        if (header.dataOffset + header.dataSize > held) {
            return "truncated: the data chunk declares " + std::to_string(header.dataSize) + " bytes, the file holds " +
                   std::to_string(held > header.dataOffset ? held - header.dataOffset : 0);
        }
        if (header.declaredSize > held) {
            return "truncated: the " + std::string(gstbformat::ContainerName(header.container)) + " header declares " +
                   std::to_string(header.declaredSize) + " bytes, the file holds " + std::to_string(held);
        }
    }

    self->dataStart = header.dataOffset;
    self->dataEnd = header.dataOffset + header.dataSize;
    self->frameBytes = frameBytes;
    self->rate = f.sampleRate;

    GstCaps* caps = gst_caps_new_simple(gstbformat::kStreamCaps, "format", G_TYPE_STRING, gstbformat::FormatName(format),
                                        "rate", G_TYPE_INT, static_cast<gint>(f.sampleRate), "channels", G_TYPE_INT,
                                        static_cast<gint>(f.channels), "order", G_TYPE_INT, static_cast<gint>(order),
                                        "convention", G_TYPE_STRING, "fuma", "layout", G_TYPE_STRING, "interleaved",
                                        nullptr);
    const gboolean set = gst_pad_set_caps(GST_BASE_PARSE_SRC_PAD(base), caps);
    gst_caps_unref(caps);
    if (!set) return "downstream refused the stream's caps";
    const guint64 frames = header.dataSize / frameBytes;
    gst_base_parse_set_duration(base, GST_FORMAT_TIME,
                                static_cast<gint64>(gst_util_uint64_scale(frames, GST_SECOND, f.sampleRate)), 0);
    gst_base_parse_set_min_frame_size(base, frameBytes);
    self->haveHeader = TRUE;
    return {};
}

GstFlowReturn HandleFrame(GstBaseParse* base, GstBaseParseFrame* frame, gint* skipsize)
{
    GstBFormatParse* self = Self(base);
    const gboolean draining = GST_BASE_PARSE_DRAINING(base);
    GstMapInfo map;
    if (!gst_buffer_map(frame->buffer, &map, GST_MAP_READ)) return Fail(base, GST_STREAM_ERROR_DECODE, "cannot read the input");
    const guint64 size = map.size;

    if (!self->haveHeader) {
        WaveHeader header;
        const gstbformat::ScanResult scan = gstbformat::ScanWaveHeader(map.data, map.size, header);
        gst_buffer_unmap(frame->buffer, &map);
        switch (scan.status) {
        case ScanStatus::NotWave: return Fail(base, GST_STREAM_ERROR_WRONG_TYPE, "not a WAVE, RF64 or Wave64 file");
        case ScanStatus::Broken: return Fail(base, GST_STREAM_ERROR_DECODE, scan.problem);
        case ScanStatus::NeedMore:
            if (draining) return Fail(base, GST_STREAM_ERROR_DECODE, "truncated: the file ends inside its header");
            gst_base_parse_set_min_frame_size(base, static_cast<guint>(scan.needed));
            return GST_FLOW_OK;
        case ScanStatus::Done: break;
        }
        const std::string problem = AcceptHeader(base, header);
        if (!problem.empty()) return Fail(base, GST_STREAM_ERROR_DECODE, problem);
        // Step to the audio; the header itself is not sent on.
        *skipsize = static_cast<gint>(header.dataOffset - frame->offset);
        return GST_FLOW_OK;
    }
    gst_buffer_unmap(frame->buffer, &map);

    const guint64 at = frame->offset;
    if (at >= self->dataEnd) return GST_FLOW_EOS;  // chunks after the audio
    if (at < self->dataStart) {
        *skipsize = static_cast<gint>(std::min<guint64>(self->dataStart - at, G_MAXINT));
        return GST_FLOW_OK;
    }
    const guint64 left = self->dataEnd - at;
    guint64 bytes = std::min(std::min(size, left), kBufferBytes);
    bytes -= bytes % self->frameBytes;
    if (bytes == 0) {
        if (left < self->frameBytes) {
            // A data chunk that ends inside a frame: the part frame is no sample.
            GST_WARNING_OBJECT(base, "the data chunk ends %u bytes into a frame", static_cast<guint>(left));
            *skipsize = static_cast<gint>(left);
            return GST_FLOW_OK;
        }
        // Only reached when draining: the file ended inside a frame the header promised.
        return Fail(base, GST_STREAM_ERROR_DECODE, "truncated: the file ends inside a sample frame");
    }
    const guint64 first = (at - self->dataStart) / self->frameBytes;
    // After a seek the base class may start before the position asked for: step over the frames
    // before the segment's start, so the stream starts exactly there.
    if (base->segment.format == GST_FORMAT_TIME && base->segment.start > 0) {
        const guint64 wanted = gst_util_uint64_scale_ceil(base->segment.start, self->rate, GST_SECOND);
        if (first < wanted) {
            *skipsize = static_cast<gint>(std::min<guint64>((wanted - first) * self->frameBytes, bytes));
            return GST_FLOW_OK;
        }
    }
    const guint64 frames = bytes / self->frameBytes;
    GstBuffer* out = frame->buffer;
    GST_BUFFER_PTS(out) = gst_util_uint64_scale(first, GST_SECOND, self->rate);
    GST_BUFFER_DURATION(out) = gst_util_uint64_scale(first + frames, GST_SECOND, self->rate) - GST_BUFFER_PTS(out);
    GST_BUFFER_OFFSET(out) = first;
    GST_BUFFER_OFFSET_END(out) = first + frames;
    return gst_base_parse_finish_frame(base, frame, static_cast<gint>(bytes));
}

// Push mode: counts the bytes that arrive, so that a stream ending before the end of the data
// the header declares is reported even when upstream cannot tell the file's size.
GstPadProbeReturn CountInput(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    GstBFormatParse* self = static_cast<GstBFormatParse*>(data);
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
        self->received += gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info));
    } else if (GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info); event && GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
        const GstSegment* segment = nullptr;
        gst_event_parse_segment(event, &segment);
        if (segment->format == GST_FORMAT_BYTES) self->received = segment->start;
    }
    return GST_PAD_PROBE_OK;
}

gboolean SinkEvent(GstBaseParse* base, GstEvent* event)
{
    GstBFormatParse* self = Self(base);
    if (GST_EVENT_TYPE(event) == GST_EVENT_EOS && self->haveHeader && self->received < self->dataEnd) {
        Fail(base, GST_STREAM_ERROR_DECODE,
             "truncated: the stream ended " + std::to_string(self->dataEnd - self->received) +
                 " bytes before the end of the data its header declares");
        gst_event_unref(event);
        return FALSE;
    }
    return GST_BASE_PARSE_CLASS(gst_bformat_parse_parent_class)->sink_event(base, event);
}

// Exact conversions between the time and the byte position of a frame, once the header is known.
gboolean Convert(GstBaseParse* base, GstFormat from, gint64 value, GstFormat to, gint64* result)
{
    GstBFormatParse* self = Self(base);
    if (!self->haveHeader || value < 0) return gst_base_parse_convert_default(base, from, value, to, result);
    if (from == to) {
        *result = value;
        return TRUE;
    }
    if (from == GST_FORMAT_BYTES && to == GST_FORMAT_TIME) {
        const guint64 at = static_cast<guint64>(value);
        const guint64 frames = at <= self->dataStart ? 0 : (at - self->dataStart) / self->frameBytes;
        *result = static_cast<gint64>(gst_util_uint64_scale(frames, GST_SECOND, self->rate));
        return TRUE;
    }
    if (from == GST_FORMAT_TIME && to == GST_FORMAT_BYTES) {
        const guint64 frames = gst_util_uint64_scale(static_cast<guint64>(value), self->rate, GST_SECOND);
        const guint64 at = self->dataStart + frames * self->frameBytes;
        *result = static_cast<gint64>(std::min(at, self->dataEnd));
        return TRUE;
    }
    return FALSE;
}

void gst_bformat_parse_class_init(GstBFormatParseClass* klass)
{
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    GstBaseParseClass* parse = GST_BASE_PARSE_CLASS(klass);
    gst_element_class_add_static_pad_template(element, &sink_template);
    gst_element_class_add_static_pad_template(element, &src_template);
    gst_element_class_set_static_metadata(element, "B-Format WAVE parser", "Codec/Demuxer/Audio",
                                          "Reads WAVE, RF64 and Wave64 files flagged as B-Format and sends their "
                                          "Ambisonic audio on as raw B-Format",
                                          "DUrazOdo project <durazodo@durazodo.example>");
    parse->start = Start;
    parse->handle_frame = HandleFrame;
    parse->convert = Convert;
    parse->sink_event = SinkEvent;
    GST_DEBUG_CATEGORY_INIT(bformat_parse_debug, "bformatparse", 0, "B-Format WAVE parser");
}

void gst_bformat_parse_init(GstBFormatParse* self)
{
    self->haveHeader = FALSE;
    GST_PAD_SET_ACCEPT_INTERSECT(GST_BASE_PARSE_SINK_PAD(&self->parent));
    gst_pad_add_probe(GST_BASE_PARSE_SINK_PAD(&self->parent),
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                                   GST_PAD_PROBE_TYPE_PUSH),
                      CountInput, self, nullptr);
}

}  // namespace

namespace gstbformat {

gboolean RegisterParse(GstPlugin* plugin)
{
    return gst_element_register(plugin, "bformatparse", GST_RANK_PRIMARY, gst_bformat_parse_get_type());
}

}  // namespace gstbformat
