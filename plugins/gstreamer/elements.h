// The plugin's elements and type finder, and what they share: the caps they speak and the
// mapping between GStreamer's sample format names and the engine's.
#pragma once

#include <gst/gst.h>

#include "plugins/gstreamer/engine.h"

namespace gstbformat {

// A WAVE, RF64 or Wave64 file flagged as B-Format, as the type finder names it.
constexpr const char* kFileCaps = "audio/x-bformat-wav";
// Raw interleaved B-Format, with fields format, rate, channels, order and convention
// ("fuma" or "ambix").
constexpr const char* kStreamCaps = "audio/x-bformat";
// The sample formats the engine reads, as a caps field value.
#define GST_BFORMAT_FORMATS "{ S16LE, S24LE, S32LE, F32LE }"

// GStreamer's name of a sample format ("S16LE", ...); null for None.
const char* FormatName(SampleFormat format);
// The sample format called `name`; None for any other (or null).
SampleFormat FormatNamed(const char* name);
const char* ConventionName(Convention convention);

// Registrations with `plugin` (null: a static registration from the tests).
gboolean RegisterTypeFinder(GstPlugin* plugin);
gboolean RegisterParse(GstPlugin* plugin);
gboolean RegisterDecode(GstPlugin* plugin);

// Everything the plugin provides; the plugin's init function.
gboolean RegisterAll(GstPlugin* plugin);

}  // namespace gstbformat
