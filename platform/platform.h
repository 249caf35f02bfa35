// The one header through which module code reaches the operating system.
//
// On Windows it is the platform's own published headers and nothing of ours. Elsewhere it is
// platform/native/, written from the published Windows API with the same names, method
// order and struct layouts, backed by the native platform library (one shared library, so
// a process has one COM runtime shared by the host and every module it loads).
//
// Wide strings are UTF-16 on both builds: WCHAR is wchar_t on Windows and char16_t
// elsewhere. Write wide literals with WIDE("text") so the same line compiles on both.
#pragma once

#if defined(_WIN32)
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <windows.h>
#  include <ole2.h>
#  include <olectl.h>
#  include <objidl.h>
#  include <ocidl.h>
#  include <strmif.h>
#  include <control.h>
#  include <uuids.h>
#  include <evcode.h>
#  include <vfwmsgs.h>
#  include <mmreg.h>
#  include <mmsystem.h>
#  include <ks.h>
#  include <ksmedia.h>
#  include <shellapi.h>
#  define WIDE_LITERAL_(s) L##s
#else
#  include "platform/native/native.h"
#  define WIDE_LITERAL_(s) u##s
#endif

// A UTF-16 string literal of type const WCHAR[].
#define WIDE(s) WIDE_LITERAL_(s)

#include "platform/extra.h"
