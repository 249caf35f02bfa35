// Routines on null-terminated UTF-16 strings (WCHAR on both builds). Pin and filter names,
// pin identifiers and the textual integers of persisted streams go through them; nothing
// here calls the C library's wide-character functions. A null string reads as empty.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// Copies `src` into `dst`, writing at most `n` units, the terminator included, so the result
// is always terminated; n = 0 writes nothing. Returns `dst`.
WCHAR* WideCopyN(WCHAR* dst, const WCHAR* src, size_t n);

// Ordinal, case-sensitive comparison: the difference of the first pair of units that differ
// (as unsigned values), 0 when the strings are equal.
int WideCompare(const WCHAR* a, const WCHAR* b);

// Number of units before the terminator.
size_t WideLength(const WCHAR* s);

// A copy of `src` in memory from new[], the caller's to delete[]; null for a null `src` or
// when the memory cannot be had.
WCHAR* WideDuplicate(const WCHAR* src);

// The most units WideFormat writes, the terminator included.
constexpr size_t kWideFormatMax = 256;

// printf-style formatting into a wide buffer, by way of the ANSI code page (so wide string
// arguments need "%ls"). Writes at most `capacity` units including the terminator and
// returns the number of units before it; -1 when the format is too long (over 255 bytes in
// the ANSI code page) or the result did not fit, in which case `dst` holds what fitted.
int WideFormatN(WCHAR* dst, size_t capacity, const WCHAR* format, ...);

// WideFormatN with a capacity of kWideFormatMax: `dst` must hold the formatted text and its
// terminator, and never receives more than kWideFormatMax units.
int WideFormat(WCHAR* dst, const WCHAR* format, ...);

// Hands a copy of `src` to a caller through COM task memory; the caller frees it with
// CoTaskMemFree. E_POINTER for a null `out` or `src`; E_OUTOFMEMORY (with *out null) when
// the copy could not be allocated.
HRESULT AMGetWideString(LPCWSTR src, LPWSTR* out);
