#include "decoder/decoder_testing.h"

namespace decoder {

const kernels::DecodeKernel* KernelOf(const DecoderState& state) { return state.m_pKernel; }

void SetKernelForTesting(DecoderState& state, const kernels::DecodeKernel* kernel) { state.m_pKernel = kernel; }

const kernels::DecodeKernel* KernelFor(kernels::InstructionSet set, uint32_t inChannels, uint32_t speakers)
{
    switch (set) {
    case kernels::InstructionSet::Scalar: return kernels::ScalarKernel(inChannels, speakers);
    case kernels::InstructionSet::Sse2: return kernels::Sse2Kernel(inChannels, speakers);
    case kernels::InstructionSet::Avx2: return kernels::Avx2Kernel(inChannels, speakers);
    case kernels::InstructionSet::Avx512: return kernels::Avx512Kernel(inChannels, speakers);
    }
    return nullptr;
}

bool UseInstructionSet(DecoderState& state, kernels::InstructionSet set)
{
    const kernels::DecodeKernel* kernel = KernelFor(set, state.m_nInChannels, state.m_nSpeakers);
    if (!kernel || !state.IsReady()) return false;
    SetKernelForTesting(state, kernel);
    return true;
}

std::vector<kernels::InstructionSet> AvailableInstructionSets()
{
    std::vector<kernels::InstructionSet> sets;
    for (kernels::InstructionSet set :
         {kernels::InstructionSet::Scalar, kernels::InstructionSet::Sse2, kernels::InstructionSet::Avx2,
          kernels::InstructionSet::Avx512})
        if (KernelFor(set, 4, 4)) sets.push_back(set);
    return sets;
}

const char* NameOf(kernels::InstructionSet set)
{
    switch (set) {
    case kernels::InstructionSet::Scalar: return "Scalar";
    case kernels::InstructionSet::Sse2: return "Sse2";
    case kernels::InstructionSet::Avx2: return "Avx2";
    case kernels::InstructionSet::Avx512: return "Avx512";
    }
    return "?";
}

}  // namespace decoder
