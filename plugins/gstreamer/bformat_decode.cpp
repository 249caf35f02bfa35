// bformatdec: decodes raw B-Format into speaker feeds for a rig, UHJ stereo or headphone
// signals. Output caps are negotiated with what follows: the rig's channels with their
// GStreamer positions when downstream takes them, else two channels (headphones or UHJ, as
// the two-channel property says). Built on GstBaseTransform: properties are read under the
// object lock; caps are set and buffers transformed on the streaming thread, which alone
// touches the renderer. The scene's rotation (yaw, pitch, roll) may change while playing, by
// hand or through a control source: each buffer takes the values in force at its time, and a
// change moves across the buffer's first frames.
#include <gst/audio/audio.h>
#include <gst/base/gstbasetransform.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

#include "plugins/gstreamer/elements.h"

namespace {

using gstbformat::Convention;
using gstbformat::OutputKind;

enum OutputChoice { OUTPUT_AUTO, OUTPUT_SPEAKERS, OUTPUT_HEADPHONES, OUTPUT_UHJ };
enum TwoChannel { TWO_CHANNEL_HEADPHONES, TWO_CHANNEL_UHJ };
enum InputConvention { INPUT_FUMA, INPUT_AMBIX };

enum {
    PROP_0, PROP_LAYOUT, PROP_OUTPUT, PROP_TWO_CHANNEL, PROP_SOFA_FILE, PROP_INPUT_CONVENTION,
    PROP_YAW, PROP_PITCH, PROP_ROLL
};

// The most channels of any rig (7.1.4).
constexpr unsigned kMaxOutChannels = 12;

// Registers the enum type `name` with `values` on first use.
GType EnumType(gsize& type, const char* name, const GEnumValue* values)
{
    if (g_once_init_enter(&type)) g_once_init_leave(&type, g_enum_register_static(name, values));
    return type;
}

GType OutputChoiceType()
{
    static gsize type = 0;
    static const GEnumValue values[] = {
        {OUTPUT_AUTO, "The rig's speakers when downstream takes them, else two channels", "auto"},
        {OUTPUT_SPEAKERS, "Speaker feeds for the rig", "speakers"},
        {OUTPUT_HEADPHONES, "Headphones (binaural)", "headphones"},
        {OUTPUT_UHJ, "UHJ stereo", "uhj"},
        {0, nullptr, nullptr},
    };
    return EnumType(type, "GstBFormatDecOutput", values);
}

GType TwoChannelType()
{
    static gsize type = 0;
    static const GEnumValue values[] = {
        {TWO_CHANNEL_HEADPHONES, "Headphones (binaural)", "headphones"},
        {TWO_CHANNEL_UHJ, "UHJ stereo", "uhj"},
        {0, nullptr, nullptr},
    };
    return EnumType(type, "GstBFormatDecTwoChannel", values);
}

GType ConventionType()
{
    static gsize type = 0;
    static const GEnumValue values[] = {
        {INPUT_FUMA, "FuMa (W, X, Y, Z; W at -3 dB)", "fuma"},
        {INPUT_AMBIX, "ambiX (ACN order, SN3D)", "ambix"},
        {0, nullptr, nullptr},
    };
    return EnumType(type, "GstBFormatDecConvention", values);
}

// Everything of the element that is C++.
struct Impl {
    // Properties, under the object lock.
    std::string layout = gstbformat::Rigs().front().name;
    int rig = 0;
    OutputChoice output = OUTPUT_AUTO;
    TwoChannel twoChannel = TWO_CHANNEL_HEADPHONES;
    std::string sofaFile;
    InputConvention inputConvention = INPUT_FUMA;
    gstbformat::Rotation rotation;

    // Streaming state.
    gstbformat::Renderer renderer;
    gstbformat::Rotation turned;  // the rotation last handed to the renderer
    std::shared_ptr<const gstbformat::HeadphoneResponses> responses;
    std::string responsesKey;  // the file and rate `responses` was read for
    guint rate = 0;
    guint inFrameBytes = 0, outFrameBytes = 0, outChannels = 0;
    GstAudioFormat outFormat = GST_AUDIO_FORMAT_UNKNOWN;
    bool reorder = false;
    GstAudioChannelPosition rigOrder[kMaxOutChannels]{}, capsOrder[kMaxOutChannels]{};
    guint64 latency = 0;       // output frames the decode lags its input
    guint64 pendingDrop = 0;   // of those, still to drop from the start of the output
    GstClockTime lastEnd = GST_CLOCK_TIME_NONE;  // end of the last input buffer
};

struct GstBFormatDecode {
    GstBaseTransform parent;
    Impl* impl;
};

struct GstBFormatDecodeClass {
    GstBaseTransformClass parent_class;
};

G_DEFINE_TYPE(GstBFormatDecode, gst_bformat_decode, GST_TYPE_BASE_TRANSFORM)

GST_DEBUG_CATEGORY_STATIC(bformat_decode_debug);
#define GST_CAT_DEFAULT bformat_decode_debug

#define DECODE_RAW_CAPS                                                                                     \
    "format = (string) " GST_BFORMAT_FORMATS ", rate = (int) [ 1, MAX ], channels = (int) [ 3, 64 ], "    \
    "layout = (string) interleaved"

GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-bformat, " DECODE_RAW_CAPS "; audio/x-raw, " DECODE_RAW_CAPS));

GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS,
                            GST_STATIC_CAPS("audio/x-raw, format = (string) " GST_BFORMAT_FORMATS
                                            ", rate = (int) [ 1, MAX ], channels = (int) [ 2, 12 ], "
                                            "layout = (string) interleaved"));

GstBFormatDecode* Self(GstBaseTransform* base) { return reinterpret_cast<GstBFormatDecode*>(base); }

// The GStreamer channel positions nearest the rig's speakers, for caps: each speaker takes the
// nearest position not yet taken within 25 degrees. A position's direction is the usual one
// for its name (front left at 30 degrees, wide left at 60, ...). False when some speaker has
// none: the rig is then sent unpositioned. A preset's channels take the positions of their
// WAVE channel-mask bits.
bool RigPositions(const gstbformat::RigInfo& rig, GstAudioChannelPosition* out)
{
    if (!rig.channelBits.empty()) {
        // WAVE's speaker bits from the lowest: FL, FR, FC, LFE, BL, BR, FLC, FRC, BC, SL, SR,
        // TC, TFL, TFC, TFR, TBL, TBC, TBR.
        static const GstAudioChannelPosition kOfBit[] = {
            GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT, GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT,
            GST_AUDIO_CHANNEL_POSITION_FRONT_CENTER, GST_AUDIO_CHANNEL_POSITION_LFE1,
            GST_AUDIO_CHANNEL_POSITION_REAR_LEFT, GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT,
            GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER, GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER,
            GST_AUDIO_CHANNEL_POSITION_REAR_CENTER, GST_AUDIO_CHANNEL_POSITION_SIDE_LEFT,
            GST_AUDIO_CHANNEL_POSITION_SIDE_RIGHT, GST_AUDIO_CHANNEL_POSITION_TOP_CENTER,
            GST_AUDIO_CHANNEL_POSITION_TOP_FRONT_LEFT, GST_AUDIO_CHANNEL_POSITION_TOP_FRONT_CENTER,
            GST_AUDIO_CHANNEL_POSITION_TOP_FRONT_RIGHT, GST_AUDIO_CHANNEL_POSITION_TOP_REAR_LEFT,
            GST_AUDIO_CHANNEL_POSITION_TOP_REAR_CENTER, GST_AUDIO_CHANNEL_POSITION_TOP_REAR_RIGHT,
        };
        if (rig.channelBits.size() > kMaxOutChannels) return false;
        for (size_t c = 0; c < rig.channelBits.size(); ++c) {
            const int bit = g_bit_nth_lsf(rig.channelBits[c], -1);
            if (bit < 0 || bit >= static_cast<int>(G_N_ELEMENTS(kOfBit))) return false;
            out[c] = kOfBit[bit];
        }
        return true;
    }
    struct Named {
        GstAudioChannelPosition position;
        double azimuth, elevation;
    };
    static const Named kNamed[] = {
        {GST_AUDIO_CHANNEL_POSITION_FRONT_CENTER, 0, 0},
        {GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT, 30, 0},
        {GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT, -30, 0},
        {GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER, 15, 0},
        {GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER, -15, 0},
        {GST_AUDIO_CHANNEL_POSITION_WIDE_LEFT, 60, 0},
        {GST_AUDIO_CHANNEL_POSITION_WIDE_RIGHT, -60, 0},
        {GST_AUDIO_CHANNEL_POSITION_SIDE_LEFT, 90, 0},
        {GST_AUDIO_CHANNEL_POSITION_SIDE_RIGHT, -90, 0},
        {GST_AUDIO_CHANNEL_POSITION_REAR_LEFT, 135, 0},
        {GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT, -135, 0},
        {GST_AUDIO_CHANNEL_POSITION_REAR_CENTER, 180, 0},
        {GST_AUDIO_CHANNEL_POSITION_TOP_FRONT_LEFT, 45, 45},
        {GST_AUDIO_CHANNEL_POSITION_TOP_FRONT_RIGHT, -45, 45},
        {GST_AUDIO_CHANNEL_POSITION_TOP_REAR_LEFT, 135, 45},
        {GST_AUDIO_CHANNEL_POSITION_TOP_REAR_RIGHT, -135, 45},
        {GST_AUDIO_CHANNEL_POSITION_TOP_FRONT_CENTER, 0, 45},
        {GST_AUDIO_CHANNEL_POSITION_TOP_REAR_CENTER, 180, 45},
        {GST_AUDIO_CHANNEL_POSITION_TOP_SIDE_LEFT, 90, 45},
        {GST_AUDIO_CHANNEL_POSITION_TOP_SIDE_RIGHT, -90, 45},
        {GST_AUDIO_CHANNEL_POSITION_BOTTOM_FRONT_CENTER, 0, -45},
        {GST_AUDIO_CHANNEL_POSITION_BOTTOM_FRONT_LEFT, 45, -45},
        {GST_AUDIO_CHANNEL_POSITION_BOTTOM_FRONT_RIGHT, -45, -45},
    };
    constexpr double kDegree = 3.14159265358979323846 / 180.0;
    auto unit = [&](double az, double el, double* v) {
        v[0] = std::cos(el * kDegree) * std::cos(az * kDegree);
        v[1] = std::cos(el * kDegree) * std::sin(az * kDegree);
        v[2] = std::sin(el * kDegree);
    };
    const double cosLimit = std::cos(25.0 * kDegree) - 1e-9;
    bool taken[G_N_ELEMENTS(kNamed)] = {};
    if (rig.speakers.size() > kMaxOutChannels) return false;
    for (size_t s = 0; s < rig.speakers.size(); ++s) {
        double a[3];
        unit(rig.speakers[s].azimuth, rig.speakers[s].elevation, a);
        int best = -1;
        double bestCos = cosLimit;
        for (size_t n = 0; n < G_N_ELEMENTS(kNamed); ++n) {
            double b[3];
            unit(kNamed[n].azimuth, kNamed[n].elevation, b);
            const double c = a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
            if (!taken[n] && c > bestCos + 1e-12) {
                best = static_cast<int>(n);
                bestCos = c;
            }
        }
        if (best < 0) return false;
        taken[best] = true;
        out[s] = kNamed[best].position;
    }
    return true;
}

// The caps channel mask of a rig: its positions' bits, or 0 when it goes unpositioned.
guint64 RigMask(const gstbformat::RigInfo& rig)
{
    GstAudioChannelPosition positions[kMaxOutChannels];
    if (!RigPositions(rig, positions)) return 0;
    guint64 mask = 0;
    for (size_t s = 0; s < rig.speakers.size(); ++s) mask |= G_GUINT64_CONSTANT(1) << positions[s];
    return mask;
}

// What the properties allow downstream to be offered, in order of preference: the rig's
// channel count and mask, then two channels (mask 0x3); either may be absent.
struct Offer {
    int channels;
    guint64 mask;
};
int Offers(GstBFormatDecode* self, Offer* offers)
{
    GST_OBJECT_LOCK(self);
    const OutputChoice output = self->impl->output;
    const gstbformat::RigInfo& rig = gstbformat::Rigs()[self->impl->rig];
    GST_OBJECT_UNLOCK(self);
    int n = 0;
    if (output == OUTPUT_AUTO || output == OUTPUT_SPEAKERS) {
        offers[n++] = {static_cast<int>(rig.speakers.size()), RigMask(rig)};
    }
    if (output != OUTPUT_SPEAKERS) offers[n++] = {2, 0x3};
    return n;
}

// The input convention a caps structure says, or the property's for raw audio.
Convention ConventionOf(GstBFormatDecode* self, const GstStructure* s)
{
    if (gst_structure_has_name(s, gstbformat::kStreamCaps)) {
        const gchar* name = gst_structure_get_string(s, "convention");
        return name && g_str_equal(name, "ambix") ? Convention::AmbiX : Convention::FuMa;
    }
    GST_OBJECT_LOCK(self);
    const InputConvention c = self->impl->inputConvention;
    GST_OBJECT_UNLOCK(self);
    return c == INPUT_AMBIX ? Convention::AmbiX : Convention::FuMa;
}

GstCaps* TransformCaps(GstBaseTransform* base, GstPadDirection direction, GstCaps* caps, GstCaps* filter)
{
    GstBFormatDecode* self = Self(base);
    GstCaps* result;
    if (direction == GST_PAD_SINK) {
        result = gst_caps_new_empty();
        Offer offers[2];
        const int offerCount = Offers(self, offers);
        for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
            const GstStructure* in = gst_caps_get_structure(caps, i);
            const Convention convention = ConventionOf(self, in);
            for (int o = 0; o < offerCount; ++o) {
                GstStructure* out = gst_structure_new("audio/x-raw", "layout", G_TYPE_STRING, "interleaved", "channels",
                                                      G_TYPE_INT, offers[o].channels, "channel-mask", GST_TYPE_BITMASK,
                                                      offers[o].mask, nullptr);
                const gchar* format = gst_structure_get_string(in, "format");
                const gstbformat::SampleFormat sf = gstbformat::FormatNamed(format);
                if (sf != gstbformat::SampleFormat::None) {
                    gst_structure_set(out, "format", G_TYPE_STRING,
                                      gstbformat::FormatName(gstbformat::RenderFormat(sf, convention)), nullptr);
                } else {
                    GValue list = G_VALUE_INIT;
                    gst_value_list_init(&list, 4);
                    for (const char* name : {"S16LE", "S24LE", "S32LE", "F32LE"}) {
                        GValue v = G_VALUE_INIT;
                        g_value_init(&v, G_TYPE_STRING);
                        g_value_set_string(&v, name);
                        gst_value_list_append_and_take_value(&list, &v);
                    }
                    gst_structure_take_value(out, "format", &list);
                }
                if (const GValue* rate = gst_structure_get_value(in, "rate")) gst_structure_set_value(out, "rate", rate);
                else gst_structure_set(out, "rate", GST_TYPE_INT_RANGE, 1, G_MAXINT, nullptr);
                gst_caps_append_structure(result, out);
            }
        }
    } else {
        // Any B-Format input at the output's rate.
        result = gst_caps_make_writable(gst_static_pad_template_get_caps(&sink_template));
        const GstStructure* out = gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
        const GValue* rate = out && gst_caps_get_size(caps) == 1 ? gst_structure_get_value(out, "rate") : nullptr;
        if (rate) {
            for (guint i = 0; i < gst_caps_get_size(result); ++i) {
                gst_structure_set_value(gst_caps_get_structure(result, i), "rate", rate);
            }
        }
    }
    if (filter) {
        GstCaps* both = gst_caps_intersect_full(filter, result, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(result);
        result = both;
    }
    return result;
}

// Output caps for input `caps`: the first offer (rig, then two channels) downstream can take.
GstCaps* FixateCaps(GstBaseTransform* base, GstPadDirection direction, GstCaps* caps, GstCaps* othercaps)
{
    GstBFormatDecode* self = Self(base);
    if (direction != GST_PAD_SINK || gst_caps_is_empty(othercaps)) {
        return GST_BASE_TRANSFORM_CLASS(gst_bformat_decode_parent_class)->fixate_caps(base, direction, caps, othercaps);
    }
    const GstStructure* in = gst_caps_get_structure(caps, 0);
    const gstbformat::SampleFormat sf = gstbformat::FormatNamed(gst_structure_get_string(in, "format"));
    gint rate = 0;
    gst_structure_get_int(in, "rate", &rate);
    Offer offers[2];
    const int offerCount = Offers(self, offers);
    for (int o = 0; o < offerCount && sf != gstbformat::SampleFormat::None && rate > 0; ++o) {
        GstCaps* candidate = gst_caps_new_simple(
            "audio/x-raw", "format", G_TYPE_STRING,
            gstbformat::FormatName(gstbformat::RenderFormat(sf, ConventionOf(self, in))), "rate", G_TYPE_INT, rate,
            "channels", G_TYPE_INT, offers[o].channels, "layout", G_TYPE_STRING, "interleaved", "channel-mask",
            GST_TYPE_BITMASK, offers[o].mask, nullptr);
        if (gst_caps_can_intersect(candidate, othercaps)) {
            gst_caps_unref(othercaps);
            return candidate;
        }
        gst_caps_unref(candidate);
    }
    return gst_caps_fixate(othercaps);
}

gboolean GetUnitSize(GstBaseTransform*, GstCaps* caps, gsize* size)
{
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    gint channels = 0;
    const unsigned bytes = gstbformat::SampleBytes(gstbformat::FormatNamed(gst_structure_get_string(s, "format")));
    if (!gst_structure_get_int(s, "channels", &channels) || channels <= 0 || bytes == 0) return FALSE;
    *size = static_cast<gsize>(channels) * bytes;
    return TRUE;
}

void PostError(GstBFormatDecode* self, const std::string& message)
{
    gst_element_message_full(GST_ELEMENT(self), GST_MESSAGE_ERROR, GST_STREAM_ERROR, GST_STREAM_ERROR_FORMAT,
                             g_strdup(message.c_str()), nullptr, __FILE__, GST_FUNCTION, __LINE__);
}

// Prepares the renderer for the negotiated caps.
gboolean SetCaps(GstBaseTransform* base, GstCaps* incaps, GstCaps* outcaps)
{
    GstBFormatDecode* self = Self(base);
    Impl& impl = *self->impl;
    const GstStructure* in = gst_caps_get_structure(incaps, 0);
    const GstStructure* out = gst_caps_get_structure(outcaps, 0);
    gint rate = 0, channels = 0, outChannels = 0;
    gstbformat::StreamSetup setup;
    setup.format = gstbformat::FormatNamed(gst_structure_get_string(in, "format"));
    if (!gst_structure_get_int(in, "rate", &rate) || !gst_structure_get_int(in, "channels", &channels) ||
        !gst_structure_get_int(out, "channels", &outChannels) || rate <= 0 || channels <= 0) {
        return FALSE;
    }
    setup.sampleRate = rate;
    setup.channels = static_cast<unsigned>(channels);
    setup.convention = ConventionOf(self, in);

    GST_OBJECT_LOCK(self);
    setup.rig = impl.rig;
    const OutputChoice output = impl.output;
    const TwoChannel twoChannel = impl.twoChannel;
    const std::string sofaFile = impl.sofaFile;
    setup.rotation = impl.rotation;
    GST_OBJECT_UNLOCK(self);

    const gstbformat::RigInfo& rig = gstbformat::Rigs()[setup.rig];
    if (output == OUTPUT_SPEAKERS || (output == OUTPUT_AUTO && outChannels != 2)) {
        setup.output = OutputKind::Speakers;
        if (static_cast<size_t>(outChannels) != rig.speakers.size()) return FALSE;
    } else {
        if (outChannels != 2) return FALSE;
        const bool uhj = output == OUTPUT_UHJ || (output == OUTPUT_AUTO && twoChannel == TWO_CHANNEL_UHJ);
        setup.output = uhj ? OutputKind::Uhj : OutputKind::Headphones;
    }

    std::string error;
    if (setup.output == OutputKind::Headphones && !sofaFile.empty()) {
        const std::string key = sofaFile + "@" + std::to_string(rate);
        if (impl.responsesKey != key) {
            impl.responses = gstbformat::LoadHeadphoneResponses(sofaFile, rate, error);
            impl.responsesKey = impl.responses ? key : std::string();
            if (!impl.responses) {
                PostError(self, error);
                return FALSE;
            }
        }
        setup.responses = impl.responses;
    }
    if (!impl.renderer.Prepare(setup, error)) {
        PostError(self, "cannot decode this stream: " + error);
        return FALSE;
    }

    impl.turned = setup.rotation;
    impl.rate = static_cast<guint>(rate);
    impl.inFrameBytes = setup.channels * gstbformat::SampleBytes(setup.format);
    impl.outChannels = impl.renderer.OutChannels();
    impl.outFrameBytes = impl.outChannels * gstbformat::SampleBytes(impl.renderer.Format());
    impl.outFormat = gst_audio_format_from_string(gstbformat::FormatName(impl.renderer.Format()));
    // Speaker feeds leave the engine in the rig's order; caps carry GStreamer's order of the
    // positions, so reorder when the two differ.
    impl.reorder = false;
    if (setup.output == OutputKind::Speakers && RigPositions(rig, impl.rigOrder)) {
        std::copy(impl.rigOrder, impl.rigOrder + impl.outChannels, impl.capsOrder);
        std::sort(impl.capsOrder, impl.capsOrder + impl.outChannels);
        impl.reorder = !std::equal(impl.rigOrder, impl.rigOrder + impl.outChannels, impl.capsOrder);
    }
    impl.latency = impl.renderer.LatencyFrames();
    impl.pendingDrop = impl.latency;
    impl.lastEnd = GST_CLOCK_TIME_NONE;
    GST_INFO_OBJECT(self, "decoding %d channels at %d Hz to %u channels", channels, rate, impl.outChannels);
    return TRUE;
}

GstClockTime FramesToTime(const Impl& impl, guint64 frames) { return gst_util_uint64_scale(frames, GST_SECOND, impl.rate); }

// Brings controlled properties (the rotation) to their values at the buffer's stream time.
void BeforeTransform(GstBaseTransform* base, GstBuffer* buffer)
{
    const GstClockTime time = gst_segment_to_stream_time(&base->segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
    if (GST_CLOCK_TIME_IS_VALID(time)) gst_object_sync_values(GST_OBJECT(base), time);
}

GstFlowReturn Transform(GstBaseTransform* base, GstBuffer* inbuf, GstBuffer* outbuf)
{
    GstBFormatDecode* self = Self(base);
    Impl& impl = *self->impl;
    if (!impl.renderer.IsReady()) return GST_FLOW_NOT_NEGOTIATED;
    GST_OBJECT_LOCK(self);
    const gstbformat::Rotation rotation = impl.rotation;
    GST_OBJECT_UNLOCK(self);
    if (rotation != impl.turned) {
        impl.renderer.SetRotation(rotation);
        impl.turned = rotation;
    }
    GstMapInfo inMap, outMap;
    if (!gst_buffer_map(inbuf, &inMap, GST_MAP_READ)) return GST_FLOW_ERROR;
    if (!gst_buffer_map(outbuf, &outMap, GST_MAP_WRITE)) {
        gst_buffer_unmap(inbuf, &inMap);
        return GST_FLOW_ERROR;
    }
    const guint64 frames = std::min<guint64>(inMap.size / impl.inFrameBytes, outMap.size / impl.outFrameBytes);
    impl.renderer.Render(inMap.data, outMap.data, frames);
    if (impl.reorder) {
        gst_audio_reorder_channels(outMap.data, frames * impl.outFrameBytes, impl.outFormat,
                                   static_cast<gint>(impl.outChannels), impl.rigOrder, impl.capsOrder);
    }
    gst_buffer_unmap(outbuf, &outMap);
    gst_buffer_unmap(inbuf, &inMap);

    const GstClockTime pts = GST_BUFFER_PTS(inbuf);
    if (GST_CLOCK_TIME_IS_VALID(pts)) impl.lastEnd = pts + FramesToTime(impl, frames);
    if (impl.latency == 0) return GST_FLOW_OK;

    // The headphone decode lags its input: drop the lag from the start of the output so that
    // the ears line up with the input, and time each buffer by the input frames it carries.
    const guint64 drop = std::min(impl.pendingDrop, frames);
    impl.pendingDrop -= drop;
    if (drop == frames) return GST_BASE_TRANSFORM_FLOW_DROPPED;
    gst_buffer_resize(outbuf, static_cast<gssize>(drop * impl.outFrameBytes),
                      static_cast<gssize>((frames - drop) * impl.outFrameBytes));
    if (GST_CLOCK_TIME_IS_VALID(pts)) {
        const GstClockTime start = pts + FramesToTime(impl, drop);
        const GstClockTime lag = FramesToTime(impl, impl.latency);
        GST_BUFFER_PTS(outbuf) = start > lag ? start - lag : 0;
        GST_BUFFER_DURATION(outbuf) = FramesToTime(impl, frames - drop);
    }
    return GST_FLOW_OK;
}

// At the end of the stream, the frames the headphone decode still holds.
void PushTail(GstBFormatDecode* self)
{
    Impl& impl = *self->impl;
    if (impl.latency == 0 || !impl.renderer.IsReady() || !GST_CLOCK_TIME_IS_VALID(impl.lastEnd)) return;
    const guint64 frames = impl.latency - impl.pendingDrop;
    GstBuffer* tail = gst_buffer_new_allocate(nullptr, impl.latency * impl.outFrameBytes, nullptr);
    if (!tail) return;
    GstMapInfo map;
    if (gst_buffer_map(tail, &map, GST_MAP_WRITE)) {
        impl.renderer.RenderTail(map.data, impl.latency);
        gst_buffer_unmap(tail, &map);
    }
    gst_buffer_resize(tail, static_cast<gssize>(impl.pendingDrop * impl.outFrameBytes),
                      static_cast<gssize>(frames * impl.outFrameBytes));
    const GstClockTime length = FramesToTime(impl, frames);
    GST_BUFFER_PTS(tail) = impl.lastEnd > length ? impl.lastEnd - length : 0;
    GST_BUFFER_DURATION(tail) = length;
    impl.lastEnd = GST_CLOCK_TIME_NONE;
    impl.pendingDrop = 0;
    if (frames > 0) gst_pad_push(GST_BASE_TRANSFORM_SRC_PAD(self), tail);
    else gst_buffer_unref(tail);
}

gboolean SinkEvent(GstBaseTransform* base, GstEvent* event)
{
    GstBFormatDecode* self = Self(base);
    Impl& impl = *self->impl;
    switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_EOS: PushTail(self); break;
    case GST_EVENT_FLUSH_STOP:
        // A new stretch of the stream (after a seek): the filters start from silence.
        impl.renderer.Reset();
        impl.pendingDrop = impl.latency;
        impl.lastEnd = GST_CLOCK_TIME_NONE;
        break;
    default: break;
    }
    return GST_BASE_TRANSFORM_CLASS(gst_bformat_decode_parent_class)->sink_event(base, event);
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec)
{
    GstBFormatDecode* self = reinterpret_cast<GstBFormatDecode*>(object);
    Impl& impl = *self->impl;
    GST_OBJECT_LOCK(self);
    switch (id) {
    case PROP_LAYOUT: {
        const gchar* name = g_value_get_string(value);
        const int rig = gstbformat::FindRig(name ? name : "");
        if (rig < 0) {
            g_warning("bformatdec: no rig called \"%s\"; the layout stays %s", name ? name : "", impl.layout.c_str());
        } else {
            impl.rig = rig;
            impl.layout = gstbformat::Rigs()[rig].name;
        }
        break;
    }
    case PROP_OUTPUT: impl.output = static_cast<OutputChoice>(g_value_get_enum(value)); break;
    case PROP_TWO_CHANNEL: impl.twoChannel = static_cast<TwoChannel>(g_value_get_enum(value)); break;
    case PROP_SOFA_FILE: {
        const gchar* path = g_value_get_string(value);
        impl.sofaFile = path ? path : "";
        break;
    }
    case PROP_INPUT_CONVENTION: impl.inputConvention = static_cast<InputConvention>(g_value_get_enum(value)); break;
    // The rotation reaches the renderer with the next buffer, without a new negotiation.
    case PROP_YAW: impl.rotation.yaw = g_value_get_double(value); break;
    case PROP_PITCH: impl.rotation.pitch = g_value_get_double(value); break;
    case PROP_ROLL: impl.rotation.roll = g_value_get_double(value); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
    GST_OBJECT_UNLOCK(self);
    // Settings that change the output take effect at the next negotiation.
    if (id != PROP_YAW && id != PROP_PITCH && id != PROP_ROLL) gst_base_transform_reconfigure_src(GST_BASE_TRANSFORM(self));
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec)
{
    GstBFormatDecode* self = reinterpret_cast<GstBFormatDecode*>(object);
    Impl& impl = *self->impl;
    GST_OBJECT_LOCK(self);
    switch (id) {
    case PROP_LAYOUT: g_value_set_string(value, impl.layout.c_str()); break;
    case PROP_OUTPUT: g_value_set_enum(value, impl.output); break;
    case PROP_TWO_CHANNEL: g_value_set_enum(value, impl.twoChannel); break;
    case PROP_SOFA_FILE: g_value_set_string(value, impl.sofaFile.empty() ? nullptr : impl.sofaFile.c_str()); break;
    case PROP_INPUT_CONVENTION: g_value_set_enum(value, impl.inputConvention); break;
    case PROP_YAW: g_value_set_double(value, impl.rotation.yaw); break;
    case PROP_PITCH: g_value_set_double(value, impl.rotation.pitch); break;
    case PROP_ROLL: g_value_set_double(value, impl.rotation.roll); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
    GST_OBJECT_UNLOCK(self);
}

void Finalize(GObject* object)
{
    delete reinterpret_cast<GstBFormatDecode*>(object)->impl;
    G_OBJECT_CLASS(gst_bformat_decode_parent_class)->finalize(object);
}

void gst_bformat_decode_class_init(GstBFormatDecodeClass* klass)
{
    GObjectClass* object = G_OBJECT_CLASS(klass);
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    GstBaseTransformClass* transform = GST_BASE_TRANSFORM_CLASS(klass);
    object->set_property = SetProperty;
    object->get_property = GetProperty;
    object->finalize = Finalize;

    std::string rigs;
    for (const gstbformat::RigInfo& rig : gstbformat::Rigs()) rigs += (rigs.empty() ? "" : ", ") + rig.name;
    const std::string layoutBlurb = "Speaker rig, by name or number (" + rigs + ")";
    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
    const auto playing = static_cast<GParamFlags>(flags | GST_PARAM_MUTABLE_PLAYING);
    g_object_class_install_property(object, PROP_LAYOUT,
        g_param_spec_string("layout", "Layout", g_intern_string(layoutBlurb.c_str()), gstbformat::Rigs().front().name.c_str(), playing));
    g_object_class_install_property(object, PROP_OUTPUT,
        g_param_spec_enum("output", "Output", "What the decoder sends on", OutputChoiceType(), OUTPUT_AUTO, playing));
    g_object_class_install_property(object, PROP_TWO_CHANNEL,
        g_param_spec_enum("two-channel", "Two-channel output",
                          "What output=auto sends when downstream takes only two channels", TwoChannelType(),
                          TWO_CHANNEL_HEADPHONES, playing));
    g_object_class_install_property(object, PROP_SOFA_FILE,
        g_param_spec_string("sofa-file", "SOFA file",
                            "Head-related responses (AES69 SOFA) for headphones; none: the built-in head model",
                            nullptr, playing));
    g_object_class_install_property(object, PROP_INPUT_CONVENTION,
        g_param_spec_enum("input-convention", "Input convention",
                          "Channel convention of raw audio that comes without B-Format caps", ConventionType(),
                          INPUT_FUMA, playing));
    const auto controllable = static_cast<GParamFlags>(playing | GST_PARAM_CONTROLLABLE);
    const char* const angles[3][3] = {
        {"yaw", "Yaw", "Turns the scene towards the left, in degrees"},
        {"pitch", "Pitch", "Raises the front of the scene, in degrees (applied before yaw)"},
        {"roll", "Roll", "Lowers the right side of the scene, in degrees (applied first)"},
    };
    for (guint axis = 0; axis < 3; ++axis) {
        g_object_class_install_property(object, PROP_YAW + axis,
            g_param_spec_double(angles[axis][0], angles[axis][1], angles[axis][2], -180.0, 180.0, 0.0, controllable));
    }

    gst_element_class_add_static_pad_template(element, &sink_template);
    gst_element_class_add_static_pad_template(element, &src_template);
    gst_element_class_set_static_metadata(element, "B-Format decoder", "Codec/Decoder/Audio",
                                          "Decodes first-order Ambisonic B-Format into speaker feeds, UHJ stereo or "
                                          "headphone signals",
                                          "DUrazOdo project <durazodo@durazodo.example>");
    transform->transform_caps = TransformCaps;
    transform->fixate_caps = FixateCaps;
    transform->get_unit_size = GetUnitSize;
    transform->set_caps = SetCaps;
    transform->before_transform = BeforeTransform;
    transform->transform = Transform;
    transform->sink_event = SinkEvent;
    transform->passthrough_on_same_caps = FALSE;

    gst_type_mark_as_plugin_api(OutputChoiceType(), static_cast<GstPluginAPIFlags>(0));
    gst_type_mark_as_plugin_api(TwoChannelType(), static_cast<GstPluginAPIFlags>(0));
    gst_type_mark_as_plugin_api(ConventionType(), static_cast<GstPluginAPIFlags>(0));
    GST_DEBUG_CATEGORY_INIT(bformat_decode_debug, "bformatdec", 0, "B-Format decoder");
}

void gst_bformat_decode_init(GstBFormatDecode* self) { self->impl = new Impl(); }

}  // namespace

namespace gstbformat {

gboolean RegisterDecode(GstPlugin* plugin)
{
    return gst_element_register(plugin, "bformatdec", GST_RANK_PRIMARY, gst_bformat_decode_get_type());
}

}  // namespace gstbformat
