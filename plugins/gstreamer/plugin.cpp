// The plugin's entry point: GStreamer loads this module and calls RegisterAll.
#include "plugins/gstreamer/elements.h"
#include "project_version.h"

#define PACKAGE "durazodo"

static gboolean plugin_init(GstPlugin* plugin) { return gstbformat::RegisterAll(plugin); }

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, durazodo,
                  "Ambisonic B-Format: type finding, a WAVE parser and a decoder to speakers, UHJ or headphones",
                  plugin_init, DURAZODO_VERSION, "Proprietary", "DUrazOdo", "http://durazodo.example/")
