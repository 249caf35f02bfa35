// Platform declarations that the module needs on both builds but that the MinGW-w64
// headers do not carry, or carry without a library that defines them.
#pragma once

#if defined(_WIN32)

// mmreg.h and ksmedia.h declare the extensible wave format's PCM and float subformats, but
// their values live in the kernel-streaming GUID library, which nothing else here needs.
// Define them in every unit that includes this header; the linker keeps one copy.
extern "C" const GUID DECLSPEC_SELECTANY KSDATAFORMAT_SUBTYPE_PCM =
    {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
extern "C" const GUID DECLSPEC_SELECTANY KSDATAFORMAT_SUBTYPE_IEEE_FLOAT =
    {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

#endif
