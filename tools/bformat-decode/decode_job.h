// One decode: an Ambisonic file through the decoder filter into a file of speaker feeds, in a
// filter graph of the platform's: file source -> decoder -> file writer.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/bformat-decode/bformat_reader.h"
#include "tools/bformat-decode/output_choice.h"
#include "tools/bformat-decode/wave_format.h"

namespace bformat {

struct DecodeRequest {
    std::string input;
    std::string output;
    std::string modulePath;  // empty: the registered filter, else the module beside the program
    Convention convention = Convention::Unspecified;  // of inputs not flagged as B-Format
    // The output's sample format; None: the input's.
    decoder::SampleFormat outputFormat = decoder::SampleFormat::None;
    OutputChoice outputChoice;  // layout and output set on the filter; none: the filter's own
    // The scene's rotation, set on the decoder filter through its rotation interface (which
    // turns in double precision, integer input as well as float); none by default.
    decoder::SceneRotation rotation;
    // Frames per media sample the source delivers: large samples mean few reads, writes and
    // thread hand-offs; memory stays a few MiB (six source buffers and two decoder buffers
    // of this many frames).
    uint32_t framesPerSample = 65536;
};

struct DecodeResult {
    InputDescription input;
    decoder::SampleFormat decodedFormat = decoder::SampleFormat::None;  // between the filters
    unsigned decodedOrder = 1;   // the Ambisonic order the output decodes the input at
    WaveFormat output;  // the decoder's output as it proposed it
    decoder::SampleFormat outputFormat = decoder::SampleFormat::None;  // of the file written
    std::string decoderSource;   // where the decoder filter came from
    std::string responses;       // the head-related responses of a headphone output
    uint64_t frames = 0;         // frames written
    double seconds = 0;          // audio duration written
    double wallSeconds = 0;      // time the graph ran
    std::vector<double> peaks;   // per speaker, fraction of full scale
    std::vector<uint64_t> clipped;  // per speaker, samples at the integer full scale
};

// Called about ten times a second while the graph runs, with the frames written so far.
using ProgressFunction =
    std::function<void(uint64_t framesDone, uint64_t framesTotal, uint32_t sampleRate, double wallSeconds)>;

// Runs the decode. The output appears only when every frame has been decoded and written;
// on failure nothing is left under its name or beside it, and `error` says why in one line.
// `interrupt` becoming true stops the run as a failure ("interrupted").
bool RunDecode(const DecodeRequest& request, DecodeResult& result, std::string& error,
               const ProgressFunction& progress, const std::atomic<bool>* interrupt);

}  // namespace bformat
