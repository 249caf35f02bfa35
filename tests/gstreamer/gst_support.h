// Support for the GStreamer plugin's tests: GStreamer started once with the plugin's elements
// registered in-process, B-Format files in the three containers, and pipelines run to their
// end with what they produced and how they ended.
#pragma once

#include <gst/check/gstharness.h>
#include <gst/gst.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/tools/wave_builder.h"

namespace gst_test {

// Starts GStreamer and registers the plugin's elements (once per process).
void StartGStreamer();

// `frames` frames of `channels` channels of samples of `bits` bits (16 or 32; 32 is float),
// a deterministic broadband signal well inside full scale.
std::vector<uint8_t> Samples(uint32_t frames, uint16_t channels, uint16_t bits);

// A B-Format file holding `samples` in the RIFF, RF64 or Wave64 container.
enum class Container { Riff, Rf64, Wave64 };
std::vector<uint8_t> BFormatFile(Container container, uint16_t channels, uint16_t bits, const std::vector<uint8_t>& samples,
                                 uint32_t rate = 48000);

// How a pipeline ended and what its sink got.
struct RunResult {
    bool error = false;     // an error message reached the bus
    bool eos = false;       // the stream ended normally
    bool timedOut = false;  // neither within the time allowed
    std::string message;    // the error's text and its details
    std::string source;     // the name of the element that posted it
    GstCaps* caps = nullptr;  // the sink's caps (owned by the caller's RunResult; released by it)
    std::vector<uint8_t> bytes;   // everything the sink received, in order
    std::vector<GstClockTime> pts;  // each buffer's time stamp
    ~RunResult();
    RunResult() = default;
    RunResult(const RunResult&) = delete;
    RunResult& operator=(const RunResult&) = delete;
};

// Runs `description` (gst-launch syntax) to its end; a fakesink called "out" collects what it
// renders. With `seekTo` (a time), the pipeline prerolls, seeks there (flushing, accurate) and
// then plays, so only what follows the seek is collected. Waits at most `seconds`.
void RunPipeline(const std::string& description, RunResult& result, int seconds = 30, gint64 seekTo = -1);

}  // namespace gst_test
