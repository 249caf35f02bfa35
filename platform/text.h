// Internal to the native platform: strings between the ANSI code page (UTF-8 here) and
// UTF-16, through MultiByteToWideChar and WideCharToMultiByte.
#pragma once

#include "platform/platform.h"

#include <string>

namespace platform {

// The first `length` units of `text`; a length of -1 takes every unit up to the terminator,
// which the result does not keep. Empty when there is nothing to convert.
std::u16string Widen(const char* text, int length);
std::string Narrow(const WCHAR* text, int length);

}  // namespace platform
