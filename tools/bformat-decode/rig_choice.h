// The speaker rigs the command line describes beyond the built-in layouts: a preset
// (--layout 5.1), speakers given by position (--speakers) or a rig file (--rig), each made
// into a rig with its own decoder, which the decoder filter runs (ApplyOutputChoice hands it
// over through the filter's rig interface).
#pragma once

#include <memory>
#include <string>

#include "decoder/rig.h"

namespace bformat {

// A rig the tool decodes for, and how its decoder came about.
struct RigChoice {
    std::shared_ptr<const decoder::Rig> rig;
    std::string design;  // "all-round decoder designed for 7 speakers + LFE", ...
    std::string source;  // "5.1", "--speakers", the rig file's name
    int preset = -1;     // the preset's number (decoder::PresetRigs() order), -1 for none
    // The decoder's matrices came with the rig (an AmbDec file) rather than being designed
    // from its positions.
    bool matricesGiven = false;
};

// The preset called `name` (decoder::PresetRigs()); false when there is none.
bool PresetChoice(const std::string& name, RigChoice& out);

// Speakers "AZ[/EL[/DIST]],..." (degrees, metres), output channels in the order given, an LFE
// channel after them with `lfe`. False with one line in `error` naming what is wrong.
bool SpeakersChoice(const std::string& text, bool lfe, RigChoice& out, std::string& error);

// The rig of an AmbDec preset (its matrices used as given, with its crossover, and its
// distances when it asks for delay or level compensation) or a JSON layout (its real speakers in
// channel order, designed as --speakers would be). False with one line in `error`, which
// names the file.
bool RigFileChoice(const std::string& path, bool lfe, RigChoice& out, std::string& error);

// "all-round decoder designed for 5 speakers + LFE"
std::string DesignSentence(const decoder::Rig& rig);

}  // namespace bformat
