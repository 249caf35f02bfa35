// What the module registers: the decoder filter's setup record (filter, pins, media types)
// and, in com/factory.h, the factory template table g_Templates that names both classes.
#pragma once

#include "framework/base_filter.h"

// "ZAvovoz Evir Adivizu", merit MERIT_NORMAL: input pin "Input" taking B-Format PCM and
// B-Format IEEE float audio, output pin "Output" giving PCM and IEEE float audio.
extern const AMOVIESETUP_FILTER sudBFormatDecoder;
