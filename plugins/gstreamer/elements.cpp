#include "plugins/gstreamer/elements.h"

#include <cstring>

#include "plugins/gstreamer/wave_header.h"

namespace gstbformat {

namespace {

struct FormatNameEntry {
    SampleFormat format;
    const char* name;
};
constexpr FormatNameEntry kFormatNames[] = {
    {SampleFormat::Pcm16, "S16LE"},
    {SampleFormat::Pcm24, "S24LE"},
    {SampleFormat::Pcm32, "S32LE"},
    {SampleFormat::Float32, "F32LE"},
};

// Reads the first bytes of a stream for the fmt chunk of a WAVE file in any of its
// containers, and names the file ours when the chunk carries a B-Format subformat. Ranked
// above the stock WAVE type finder, so that decodebin hands these files to our parser.
void FindBFormatWave(GstTypeFind* find, gpointer)
{
    // Peeks just what the header reader asks for, chunk by chunk up to the fmt chunk.
    guint64 want = 12;
    for (;;) {
        const guint8* data = gst_type_find_peek(find, 0, static_cast<guint>(want));
        if (!data) return;
        WaveHeader header;
        const ScanResult result = ScanWaveHeader(data, static_cast<size_t>(want), header);
        if (header.haveFormat) {
            if (IsBFormat(header.format)) {
                GstCaps* caps = gst_caps_new_simple(kFileCaps, "container", G_TYPE_STRING,
                                                    ContainerName(header.container), nullptr);
                gst_type_find_suggest(find, GST_TYPE_FIND_MAXIMUM, caps);
                gst_caps_unref(caps);
            }
            return;
        }
        if (result.status != ScanStatus::NeedMore || result.needed <= want || result.needed > (1u << 20)) return;
        want = result.needed;
    }
}

}  // namespace

const char* FormatName(SampleFormat format)
{
    for (const FormatNameEntry& e : kFormatNames) {
        if (e.format == format) return e.name;
    }
    return nullptr;
}

SampleFormat FormatNamed(const char* name)
{
    if (!name) return SampleFormat::None;
    for (const FormatNameEntry& e : kFormatNames) {
        if (std::strcmp(e.name, name) == 0) return e.format;
    }
    return SampleFormat::None;
}

const char* ConventionName(Convention convention) { return convention == Convention::AmbiX ? "ambix" : "fuma"; }

gboolean RegisterTypeFinder(GstPlugin* plugin)
{
    GstCaps* caps = gst_caps_new_empty_simple(kFileCaps);
    const gboolean ok = gst_type_find_register(plugin, "bformat-wav", GST_RANK_PRIMARY + 1, FindBFormatWave,
                                               "amb,wav,rf64,w64", caps, nullptr, nullptr);
    gst_caps_unref(caps);
    return ok;
}

gboolean RegisterAll(GstPlugin* plugin)
{
    return RegisterTypeFinder(plugin) && RegisterParse(plugin) && RegisterDecode(plugin);
}

}  // namespace gstbformat
