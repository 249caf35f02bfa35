// B-Format media types for the decoder filter's tests, built field by field so that tests
// can offer the filter well-formed and malformed types alike.
#pragma once

#include <algorithm>
#include <cstring>

#include "filter/identifiers.h"
#include "framework/media_type.h"
#include "platform/platform.h"

namespace bformat_test {

struct TypeShape {
    GUID majortype = MEDIATYPE_Audio;
    GUID formattype = FORMAT_WaveFormatEx;
    GUID subformat = KSDATAFORMAT_SUBTYPE_BFORMAT_PCM;
    WORD tag = WAVE_FORMAT_EXTENSIBLE;
    WORD channels = 4;
    WORD bits = 16;
    DWORD rate = 44100;
    WORD cbSize = 22;
    // Bytes in the format block; 0 for cbSize + 18.
    DWORD cbFormat = 0;
    // No format block at all.
    bool noBlock = false;

    TypeShape& Float()
    {
        subformat = KSDATAFORMAT_SUBTYPE_BFORMAT_IEEE_FLOAT;
        bits = 32;
        return *this;
    }
};

inline bool IsFloat(const TypeShape& s) { return IsEqualGUID(s.subformat, KSDATAFORMAT_SUBTYPE_BFORMAT_IEEE_FLOAT) != 0; }

// The extensible record a shape describes, with consistent block size and rate fields.
inline WAVEFORMATEXTENSIBLE Extensible(const TypeShape& s)
{
    WAVEFORMATEXTENSIBLE f;
    std::memset(&f, 0, sizeof f);
    f.Format.wFormatTag = s.tag;
    f.Format.nChannels = s.channels;
    f.Format.nSamplesPerSec = s.rate;
    f.Format.wBitsPerSample = s.bits;
    f.Format.nBlockAlign = static_cast<WORD>(s.channels * s.bits / 8);
    f.Format.nAvgBytesPerSec = f.Format.nBlockAlign * s.rate;
    f.Format.cbSize = s.cbSize;
    f.Samples.wValidBitsPerSample = s.bits;
    f.dwChannelMask = 0;
    f.SubFormat = s.subformat;
    return f;
}

// A media type whose format block holds exactly cbFormat bytes: the extensible record (as
// much of it as fits), then bytes counting up from 0xA0.
inline CMediaType MakeType(const TypeShape& s)
{
    CMediaType mt;
    mt.majortype = s.majortype;
    mt.subtype = IsFloat(s) ? MEDIASUBTYPE_IEEE_FLOAT : MEDIASUBTYPE_PCM;
    mt.formattype = s.formattype;
    mt.bFixedSizeSamples = TRUE;
    mt.lSampleSize = 1234;
    if (s.noBlock) return mt;
    const DWORD size = s.cbFormat ? s.cbFormat : DWORD{s.cbSize} + sizeof(WAVEFORMATEX);
    BYTE* block = static_cast<BYTE*>(CoTaskMemAlloc(size));
    const WAVEFORMATEXTENSIBLE f = Extensible(s);
    std::memcpy(block, &f, std::min<DWORD>(size, sizeof f));
    for (DWORD i = sizeof f; i < size; ++i) block[i] = static_cast<BYTE>(0xA0 + i);
    mt.cbFormat = size;
    mt.pbFormat = block;
    return mt;
}

// The extensible record at the start of a type's format block.
inline WAVEFORMATEXTENSIBLE FormatOf(const AM_MEDIA_TYPE& mt)
{
    WAVEFORMATEXTENSIBLE f;
    std::memset(&f, 0, sizeof f);
    if (mt.pbFormat) std::memcpy(&f, mt.pbFormat, std::min<DWORD>(mt.cbFormat, sizeof f));
    return f;
}

}  // namespace bformat_test
