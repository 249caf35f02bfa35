#include "framework/wide_string.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

WCHAR* WideCopyN(WCHAR* dst, const WCHAR* src, size_t n)
{
    if (n == 0) return dst;
    size_t i = 0;
    if (src) {
        for (; i + 1 < n && src[i]; ++i) dst[i] = src[i];
    }
    dst[i] = 0;
    return dst;
}

int WideCompare(const WCHAR* a, const WCHAR* b)
{
    static const WCHAR empty[1] = {0};
    if (!a) a = empty;
    if (!b) b = empty;
    for (;; ++a, ++b) {
        unsigned ua = static_cast<uint16_t>(*a);
        unsigned ub = static_cast<uint16_t>(*b);
        if (ua != ub) return static_cast<int>(ua) - static_cast<int>(ub);
        if (ua == 0) return 0;
    }
}

size_t WideLength(const WCHAR* s)
{
    size_t n = 0;
    if (s) {
        while (s[n]) ++n;
    }
    return n;
}

WCHAR* WideDuplicate(const WCHAR* src)
{
    if (!src) return nullptr;
    size_t units = WideLength(src) + 1;
    WCHAR* copy = new (std::nothrow) WCHAR[units];
    if (copy) std::memcpy(copy, src, units * sizeof(WCHAR));
    return copy;
}

namespace {

// Both ends of the conversion work in buffers of this many bytes (or units).
constexpr int kAnsiBuffer = 256;

int FormatWide(WCHAR* dst, size_t capacity, const WCHAR* format, va_list args)
{
    if (!dst || capacity == 0) return -1;
    dst[0] = 0;
    if (!format) return -1;

    char narrowFormat[kAnsiBuffer];
    if (WideCharToMultiByte(CP_ACP, 0, format, -1, narrowFormat, kAnsiBuffer, nullptr, nullptr) == 0) return -1;

    char text[kAnsiBuffer];
    int length = std::vsnprintf(text, sizeof text, narrowFormat, args);
    if (length < 0) return -1;
    bool truncated = length >= kAnsiBuffer;
    size_t textBytes = truncated ? std::strlen(text) : static_cast<size_t>(length);

    WCHAR wide[kAnsiBuffer];
    int units = 0;
    if (textBytes > 0) {
        units = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(textBytes), wide, kAnsiBuffer - 1);
        if (units == 0) return -1;
    }
    if (static_cast<size_t>(units) >= capacity) {
        units = static_cast<int>(capacity - 1);
        truncated = true;
    }
    std::memcpy(dst, wide, static_cast<size_t>(units) * sizeof(WCHAR));
    dst[units] = 0;
    return truncated ? -1 : units;
}

}  // namespace

int WideFormatN(WCHAR* dst, size_t capacity, const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = FormatWide(dst, capacity, format, args);
    va_end(args);
    return result;
}

int WideFormat(WCHAR* dst, const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = FormatWide(dst, kWideFormatMax, format, args);
    va_end(args);
    return result;
}

HRESULT AMGetWideString(LPCWSTR src, LPWSTR* out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!src) return E_POINTER;
    size_t bytes = (WideLength(src) + 1) * sizeof(WCHAR);
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (!copy) return E_OUTOFMEMORY;
    std::memcpy(copy, src, bytes);
    *out = copy;
    return S_OK;
}
