// The identifiers this module defines: its two classes, the filter's parameter interface
// and the two subformats of the extensible wave format that carry B-Format audio. The layout
// interface's IID_IAmbisonicDecoderLayout is in the host header,
// include/durazodo/ambisonic_decoder.h.
#pragma once

#include "decoder/transform.h"
#include "platform/platform.h"

// The decoder filter, {A4BFE317-D4A4-41BC-9926-20C0432AA2CF}.
extern "C" const CLSID CLSID_BFormatDecoder;
// The decoder filter's property page, {67919353-1CA9-4F07-B462-12694EC670D2}.
extern "C" const CLSID CLSID_BFormatDecoderProperties;
// The filter's parameter interface IIPEffect, {C9560079-9332-4A44-B627-E3EE3C65CF5F}.
extern "C" const IID IID_IIPEffect;
// B-Format in integer PCM samples, {00000001-0721-11D3-8644-C8C1CA000000}, and in IEEE
// float samples, {00000003-0721-11D3-8644-C8C1CA000000}: the subformats the decoder's
// transform converts (decoder/transform.h).
using decoder::KSDATAFORMAT_SUBTYPE_BFORMAT_PCM;
using decoder::KSDATAFORMAT_SUBTYPE_BFORMAT_IEEE_FLOAT;
