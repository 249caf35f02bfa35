#include "plugins/gstreamer/wave_header.h"

#include <cstring>

namespace gstbformat {

namespace {

// Headers larger than this are refused: no real writer puts megabytes of chunks before the audio.
constexpr uint64_t kMaxHeaderBytes = 16u << 20;

// Sony Wave64 identifies chunks by GUID: the four-letter name followed by one of two tails.
constexpr uint8_t kW64RiffTail[12] = {0x2E, 0x91, 0xCF, 0x11, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
constexpr uint8_t kW64Tail[12] = {0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};

uint64_t Le64(const uint8_t* p)
{
    return uint64_t{decoder::ReadLittle32(p)} | (uint64_t{decoder::ReadLittle32(p + 4)} << 32);
}

bool W64Id(const uint8_t* p, const char* name, const uint8_t* tail)
{
    return std::memcmp(p, name, 4) == 0 && std::memcmp(p + 4, tail, 12) == 0;
}

ScanResult Need(uint64_t bytes)
{
    if (bytes > kMaxHeaderBytes) return {ScanStatus::Broken, 0, "the chunks before the audio are too large"};
    return {ScanStatus::NeedMore, bytes, {}};
}

ScanResult Broken(const std::string& problem) { return {ScanStatus::Broken, 0, problem}; }

// Reads a fmt chunk body of `size` bytes.
ScanResult ReadFormat(const uint8_t* body, uint64_t size, WaveHeader& header)
{
    if (size < 16) return Broken("the format chunk is shorter than 16 bytes");
    bformat::ReadWaveFormat(body, static_cast<size_t>(size), header.format);
    header.haveFormat = true;
    return {ScanStatus::Done, 0, {}};
}

}  // namespace

ScanResult ScanWaveHeader(const uint8_t* b, size_t size, WaveHeader& header)
{
    header = WaveHeader{};
    if (size < 12) return Need(12);
    uint64_t at;
    bool w64 = false;
    if (std::memcmp(b, "RIFF", 4) == 0 || std::memcmp(b, "RF64", 4) == 0) {
        if (std::memcmp(b + 8, "WAVE", 4) != 0) return {ScanStatus::NotWave, 0, {}};
        header.container = b[1] == 'I' ? Container::Riff : Container::Rf64;
        header.declaredSize = uint64_t{decoder::ReadLittle32(b + 4)} + 8;
        at = 12;
    } else if (W64Id(b, "riff", kW64RiffTail)) {
        if (size < 40) return Need(40);
        if (!W64Id(b + 24, "wave", kW64Tail)) return {ScanStatus::NotWave, 0, {}};
        header.container = Container::Wave64;
        header.declaredSize = Le64(b + 16);
        at = 40;
        w64 = true;
    } else {
        return {ScanStatus::NotWave, 0, {}};
    }

    uint64_t rf64Data = 0;
    bool haveDs64 = false;
    for (;;) {
        const uint64_t headBytes = w64 ? 24 : 8;
        if (size < at + headBytes) return Need(at + headBytes);
        const uint8_t* id = b + at;
        uint64_t bodySize = w64 ? Le64(id + 16) : decoder::ReadLittle32(id + 4);
        if (w64) {
            if (bodySize < 24) return Broken("a chunk's size is smaller than its own header");
            bodySize -= 24;
        }
        const uint64_t body = at + headBytes;
        const bool isData = w64 ? W64Id(id, "data", kW64Tail) : std::memcmp(id, "data", 4) == 0;
        const bool isFmt = w64 ? W64Id(id, "fmt ", kW64Tail) : std::memcmp(id, "fmt ", 4) == 0;
        if (isData) {
            if (!header.haveFormat) return Broken("the audio comes before the format chunk");
            if (header.container == Container::Rf64) {
                if (!haveDs64) return Broken("an RF64 file without its ds64 chunk");
                if (bodySize == 0xFFFFFFFFu) bodySize = rf64Data;
            }
            header.dataOffset = body;
            header.dataSize = bodySize;
            return {ScanStatus::Done, 0, {}};
        }
        // Every other chunk is read whole (the few that matter are small) or stepped over.
        const bool wanted = isFmt || (!w64 && std::memcmp(id, "ds64", 4) == 0);
        if (wanted) {
            if (bodySize > kMaxHeaderBytes) return Broken("a header chunk is too large");
            if (size < body + bodySize) return Need(body + bodySize);
            if (isFmt) {
                const ScanResult r = ReadFormat(b + body, bodySize, header);
                if (r.status != ScanStatus::Done) return r;
            } else {
                if (bodySize < 28) return Broken("the ds64 chunk is shorter than 28 bytes");
                header.declaredSize = Le64(b + body) + 8;
                rf64Data = Le64(b + body + 8);
                haveDs64 = true;
            }
        }
        // RIFF chunks are padded to an even length, Wave64 ones to a multiple of 8.
        const uint64_t padded = w64 ? (bodySize + 7) & ~uint64_t{7} : bodySize + (bodySize & 1);
        at = body + padded;
        if (at > kMaxHeaderBytes) return Broken("the chunks before the audio are too large");
    }
}

bool IsBFormat(const bformat::WaveFormat& format)
{
    return format.formatTag == bformat::kFormatExtensible &&
           (format.subFormat == bformat::kBFormatPcm || format.subFormat == bformat::kBFormatFloat);
}

const char* ContainerName(Container container)
{
    switch (container) {
    case Container::Riff: return "RIFF";
    case Container::Rf64: return "RF64";
    default: return "Wave64";
    }
}

}  // namespace gstbformat
