#include "framework/persist_stream.h"

#include <cstdint>

#include "framework/wide_string.h"

namespace {

// Characters in an integer field: eleven for the number, one space.
constexpr int kFieldUnits = 12;
constexpr ULONG kFieldBytes = kFieldUnits * sizeof(WCHAR);

// Reads one UTF-16 unit. False when the stream failed (`hr` holds the failure) or ended
// before a whole unit (`hr` = VFW_E_INVALID_FILE_FORMAT).
bool ReadUnit(IStream* stream, uint16_t& unit, HRESULT& hr)
{
    BYTE bytes[2] = {0, 0};
    ULONG read = 0;
    hr = stream->Read(bytes, sizeof bytes, &read);
    if (FAILED(hr)) return false;
    if (read < sizeof bytes) {
        hr = VFW_E_INVALID_FILE_FORMAT;
        return false;
    }
    unit = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
    return true;
}

bool IsTerminator(uint16_t unit) { return unit == ' ' || unit == '\t' || unit == '\r' || unit == '\n' || unit == 0; }

}  // namespace

CPersistStream::CPersistStream(IUnknown*, HRESULT*)
    : m_dwFileVersion(CPersistStream::GetSoftwareVersion()), m_fDirty(FALSE)
{
}

STDMETHODIMP CPersistStream::IsDirty() { return m_fDirty ? S_OK : S_FALSE; }

STDMETHODIMP CPersistStream::Load(IStream* stream)
{
    if (!stream) return E_POINTER;
    HRESULT hr = S_OK;
    m_dwFileVersion = static_cast<DWORD>(ReadInt(stream, hr));
    if (FAILED(hr)) return hr;
    return ReadFromStream(stream);
}

STDMETHODIMP CPersistStream::Save(IStream* stream, BOOL clearDirty)
{
    if (!stream) return E_POINTER;
    HRESULT hr = WriteInt(stream, static_cast<int>(GetSoftwareVersion()));
    if (FAILED(hr)) return hr;
    hr = WriteToStream(stream);
    if (FAILED(hr)) return hr;
    m_fDirty = !clearDirty;
    return hr;
}

STDMETHODIMP CPersistStream::GetSizeMax(ULARGE_INTEGER* size)
{
    if (!size) return E_POINTER;
    // 32-bit arithmetic, wrapping rather than overflowing for absurd SizeMax values.
    uint32_t total = static_cast<uint32_t>(kFieldBytes) + static_cast<uint32_t>(SizeMax());
    size->QuadPart = total;
    return S_OK;
}

DWORD CPersistStream::GetSoftwareVersion() { return 0; }

int CPersistStream::SizeMax() { return 0; }

HRESULT CPersistStream::WriteToStream(IStream*) { return S_OK; }

HRESULT CPersistStream::ReadFromStream(IStream*) { return S_OK; }

HRESULT CPersistStream::WriteInt(IStream* stream, int value)
{
    WCHAR text[kWideFormatMax];
    if (WideFormat(text, WIDE("%011d "), value) != kFieldUnits) return E_UNEXPECTED;

    BYTE bytes[kFieldBytes];
    for (int i = 0; i < kFieldUnits; ++i) {
        uint16_t unit = static_cast<uint16_t>(text[i]);
        bytes[2 * i] = static_cast<BYTE>(unit & 0xFF);
        bytes[2 * i + 1] = static_cast<BYTE>(unit >> 8);
    }
    return stream->Write(bytes, kFieldBytes, nullptr);
}

int CPersistStream::ReadInt(IStream* stream, HRESULT& hr)
{
    uint16_t unit = 0;
    if (!ReadUnit(stream, unit, hr)) return 0;

    bool negative = false;
    if (unit == '-') {
        negative = true;
        if (!ReadUnit(stream, unit, hr)) return 0;
    }

    uint32_t value = 0;
    while (unit >= '0' && unit <= '9') {
        value = value * 10u + static_cast<uint32_t>(unit - '0');
        if (!ReadUnit(stream, unit, hr)) return 0;
    }

    if (!IsTerminator(unit)) {
        hr = VFW_E_INVALID_FILE_FORMAT;
        return 0;
    }

    // Two's complement negation modulo 2^32 also gives -2147483648 for "-2147483648".
    if (negative) value = 0u - value;
    return static_cast<int>(value);
}
