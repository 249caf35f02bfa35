// Shared by the fuzz targets: turning the fuzzer's bytes into media types and sample
// formats, and a check that stops the run with a message when an invariant breaks.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "filter/identifiers.h"
#include "framework/media_type.h"
#include "platform/platform.h"

// Stops the run (the fuzzer records the input) when `cond` does not hold.
#define FUZZ_CHECK(cond, ...)                                                                 \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #cond);     \
            std::fprintf(stderr, __VA_ARGS__);                                                \
            std::fputc('\n', stderr);                                                         \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

namespace fuzz {

// Reads values off the front of the fuzzer's input. Once it is used up every value is the
// smallest allowed (zero bytes, false, the low end of a range), so any input is complete.
class Input {
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    size_t remaining_bytes() const { return m_size; }

    template <typename T>
    T ConsumeIntegral()
    {
        return ConsumeIntegralInRange<T>(std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
    }

    // A value in [lo, hi], from as few bytes as the range needs.
    template <typename T>
    T ConsumeIntegralInRange(T lo, T hi)
    {
        static_assert(std::is_integral<T>::value, "integers only");
        using U = typename std::make_unsigned<T>::type;
        const uint64_t range = static_cast<U>(static_cast<U>(hi) - static_cast<U>(lo));
        uint64_t raw = 0;
        for (uint64_t seen = 0; seen < range && m_size > 0; seen = (seen << 8) | 0xFF) {
            raw = (raw << 8) | *m_data++;
            --m_size;
        }
        const uint64_t offset = range == std::numeric_limits<uint64_t>::max() ? raw : raw % (range + 1);
        return static_cast<T>(static_cast<U>(static_cast<U>(lo) + static_cast<U>(offset)));
    }

    bool ConsumeBool() { return (ConsumeIntegral<uint8_t>() & 1) != 0; }

    // Up to `n` bytes (fewer when the input runs out).
    template <typename T>
    std::vector<T> ConsumeBytes(size_t n)
    {
        static_assert(sizeof(T) == 1, "bytes only");
        const size_t take = n < m_size ? n : m_size;
        std::vector<T> bytes(m_data, m_data + take);
        m_data += take;
        m_size -= take;
        return bytes;
    }

    std::vector<uint8_t> ConsumeRemainingBytes() { return ConsumeBytes<uint8_t>(m_size); }

private:
    const uint8_t* m_data;
    size_t m_size;
};

// The sample formats the decoder takes, as they appear in a format block.
struct AcceptedFormat {
    bool isFloat;
    WORD bits;
};
inline constexpr AcceptedFormat kAcceptedFormats[] = {{false, 16}, {false, 24}, {false, 32}, {true, 32}};

inline GUID ConsumeGuid(Input& in)
{
    GUID g;
    std::memset(&g, 0, sizeof g);
    std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(sizeof g);
    if (!bytes.empty()) std::memcpy(&g, bytes.data(), bytes.size());
    return g;
}

// One of a few GUIDs that matter to the decoder, or (rarely) any 16 bytes.
inline GUID ConsumeChoice(Input& in, std::initializer_list<GUID> likely)
{
    const size_t pick = in.ConsumeIntegralInRange<size_t>(0, likely.size());
    if (pick < likely.size()) return likely.begin()[pick];
    return ConsumeGuid(in);
}

// A well-formed B-Format extensible record for one accepted format.
inline WAVEFORMATEXTENSIBLE BFormatRecord(const AcceptedFormat& f, WORD channels, DWORD rate)
{
    WAVEFORMATEXTENSIBLE w;
    std::memset(&w, 0, sizeof w);
    w.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    w.Format.nChannels = channels;
    w.Format.nSamplesPerSec = rate;
    w.Format.wBitsPerSample = f.bits;
    w.Format.nBlockAlign = static_cast<WORD>(channels * f.bits / 8);
    w.Format.nAvgBytesPerSec = w.Format.nBlockAlign * rate;
    w.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    w.Samples.wValidBitsPerSample = f.bits;
    w.SubFormat = f.isFloat ? KSDATAFORMAT_SUBTYPE_BFORMAT_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_BFORMAT_PCM;
    return w;
}

inline DWORD ConsumeRate(Input& in)
{
    static constexpr DWORD kRates[] = {44100, 48000, 96000, 8000, 1001, 1000, 999, 1, 0, 0xFFFFFFFFu, 192000};
    const size_t pick = in.ConsumeIntegralInRange<size_t>(0, sizeof kRates / sizeof kRates[0]);
    return pick < sizeof kRates / sizeof kRates[0] ? kRates[pick] : in.ConsumeIntegral<DWORD>();
}

// Gives `mt` a format block of exactly `size` bytes: `record` (as much as fits), then the
// fuzzer's bytes, then zeros.
inline void SetFormatBlock(CMediaType& mt, const void* record, size_t recordSize, DWORD size, Input& in)
{
    FreeMediaType(mt);
    if (size == 0) return;
    BYTE* block = static_cast<BYTE*>(CoTaskMemAlloc(size));
    FUZZ_CHECK(block != nullptr, "no memory for a %u-byte format block", static_cast<unsigned>(size));
    std::memset(block, 0, size);
    const size_t head = recordSize < size ? recordSize : size;
    if (head) std::memcpy(block, record, head);
    std::vector<uint8_t> tail = in.ConsumeBytes<uint8_t>(size - head);
    if (!tail.empty()) std::memcpy(block + head, tail.data(), tail.size());
    mt.pbFormat = block;
    mt.cbFormat = size;
}

// A media type from the fuzzer's bytes. Most start as a well-formed B-Format type with some
// fields changed, so that the checks past the first few are reached; others are a raw block.
inline void ConsumeMediaType(Input& in, CMediaType& mt)
{
    FreeMediaType(mt);
    mt.InitMediaType();
    mt.majortype = ConsumeChoice(in, {MEDIATYPE_Audio, MEDIATYPE_Video, GUID_NULL});
    mt.subtype = ConsumeChoice(in, {MEDIASUBTYPE_PCM, MEDIASUBTYPE_IEEE_FLOAT, GUID_NULL});
    mt.formattype = ConsumeChoice(in, {FORMAT_WaveFormatEx, GUID_NULL});
    mt.bFixedSizeSamples = in.ConsumeBool();
    mt.lSampleSize = in.ConsumeIntegral<ULONG>();

    const uint8_t shape = in.ConsumeIntegralInRange<uint8_t>(0, 7);
    if (shape == 0) {
        // A raw block of any size up to a little past the record.
        const DWORD size = in.ConsumeIntegralInRange<DWORD>(0, 96);
        SetFormatBlock(mt, nullptr, 0, size, in);
        return;
    }
    if (shape == 1) {
        // A record that claims a block but has no pointer to it.
        mt.cbFormat = in.ConsumeIntegralInRange<DWORD>(1, 64);
        mt.pbFormat = nullptr;
        return;
    }

    const AcceptedFormat f = kAcceptedFormats[in.ConsumeIntegralInRange<size_t>(0, 3)];
    const WORD channels = in.ConsumeBool() ? 4 : 3;
    WAVEFORMATEXTENSIBLE w = BFormatRecord(f, channels, ConsumeRate(in));
    // Change up to four fields of the record.
    const int changes = in.ConsumeIntegralInRange<int>(0, 4);
    for (int i = 0; i < changes; ++i) {
        switch (in.ConsumeIntegralInRange<int>(0, 8)) {
        case 0: w.Format.wFormatTag = in.ConsumeIntegral<WORD>(); break;
        case 1: w.Format.nChannels = in.ConsumeIntegralInRange<WORD>(0, 9); break;
        case 2: w.Format.wBitsPerSample = in.ConsumeIntegralInRange<WORD>(0, 40); break;
        case 3: w.Format.cbSize = in.ConsumeIntegral<WORD>(); break;
        case 4: w.Format.nBlockAlign = in.ConsumeIntegral<WORD>(); break;
        case 5: w.SubFormat = ConsumeChoice(in, {KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT,
                                                 KSDATAFORMAT_SUBTYPE_BFORMAT_PCM,
                                                 KSDATAFORMAT_SUBTYPE_BFORMAT_IEEE_FLOAT});
            break;
        case 6: w.Format.nSamplesPerSec = ConsumeRate(in); break;
        case 7: w.dwChannelMask = in.ConsumeIntegral<DWORD>(); break;
        default: w.Format.nAvgBytesPerSec = in.ConsumeIntegral<DWORD>(); break;
        }
    }
    // The block: as long as the record says, exactly a bare record, shorter, or longer.
    DWORD size = DWORD{w.Format.cbSize} + sizeof(WAVEFORMATEX);
    switch (shape) {
    case 2: size = sizeof w; break;
    case 3: size = in.ConsumeIntegralInRange<DWORD>(0, sizeof w - 1); break;
    case 4: size = sizeof w + in.ConsumeIntegralInRange<DWORD>(1, 64); break;
    default: break;
    }
    // Blocks of tens of kilobytes say nothing the short ones do not.
    if (size > 4096) size = 4096;
    SetFormatBlock(mt, &w, sizeof w, size, in);
}

// An HRESULT as eight hex digits, for messages.
inline std::string Hr(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(hr));
    return text;
}

// A new directory of our own named `prefix` and six random characters, on a memory file system
// when there is one (the targets write a file for every input), else under $TMPDIR or /tmp.
inline std::string MakeTemporaryDirectory(const char* prefix)
{
    std::string base = "/dev/shm";
    if (access(base.c_str(), W_OK) != 0) {
        const char* tmp = std::getenv("TMPDIR");
        base = tmp && *tmp ? tmp : "/tmp";
    }
    std::string dir = base + "/" + prefix + "-XXXXXX";
    FUZZ_CHECK(mkdtemp(&dir[0]) != nullptr, "no temporary directory under %s", base.c_str());
    return dir;
}

// Writes `size` bytes as the whole of the file at `path`.
inline void WriteFile(const std::string& path, const void* bytes, size_t size)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr, "cannot write %s", path.c_str());
    if (size) FUZZ_CHECK(std::fwrite(bytes, 1, size, f) == size, "short write");
    FUZZ_CHECK(std::fclose(f) == 0, "cannot close %s", path.c_str());
}

// COM for the fuzzing thread, once per process.
inline void InitializeComOnce()
{
    static const bool initialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    FUZZ_CHECK(initialized, "COM did not start");
}

}  // namespace fuzz
