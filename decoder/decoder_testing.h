// Access to the decode kernels for tests and benchmarks: which kernel a state runs, every
// instruction set this build and processor can run, and a way to make a state run another
// kernel. Product code never uses these; a state decodes with the kernel that Prepare()
// chose.
#pragma once

#include <cstdint>
#include <vector>

#include "decoder/decoder_state.h"
#include "decoder/kernels/kernels.h"

namespace decoder {

using kernels::InstructionSet;

// The kernel `state` runs; null before Prepare().
const kernels::DecodeKernel* KernelOf(const DecoderState& state);

// Makes `state` run `kernel` until the next Prepare() (which chooses afresh). The kernel
// must handle the state's layout.
void SetKernelForTesting(DecoderState& state, const kernels::DecodeKernel* kernel);

// The kernel of `set` for a layout, or null when this build or processor has none for it.
const kernels::DecodeKernel* KernelFor(InstructionSet set, uint32_t inChannels, uint32_t speakers);

// Makes a ready `state` run the kernel of `set` for its layout; false (state unchanged) when
// there is none here or the state is not ready.
bool UseInstructionSet(DecoderState& state, InstructionSet set);

// The instruction sets with kernels on this build and processor, Scalar first.
std::vector<InstructionSet> AvailableInstructionSets();

const char* NameOf(InstructionSet set);

// A speaker decode of the built-in rig of `decodeType` prepared for `stream`, as a reference to
// hold the filter and the tool to; not ready when the preparation fails.
inline DecoderState PreparedDecoder(int decodeType, const StreamDescription& stream)
{
    DecoderState state(BuiltInRig(static_cast<LayoutId>(decodeType)));
    state.Prepare(stream);
    return state;
}

}  // namespace decoder
