// Builds WAVE files byte by byte, well-formed or broken in one chosen way, and splits them
// into their chunks, for the tests of bformat-decode (on Linux and Windows).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/bformat-decode/wave_format.h"

namespace wave_test {

struct WaveShape {
    uint16_t tag = bformat::kFormatExtensible;
    uint16_t channels = 4;
    uint32_t rate = 48000;
    uint16_t bits = 16;
    uint16_t validBits = 0;   // 0: the same as bits
    uint16_t blockAlign = 0;  // 0: channels × container bytes
    uint16_t cbSize = 22;
    uint32_t fmtSize = 40;    // the fmt chunk's size field and body length
    bformat::Guid subFormat = bformat::kBFormatPcm;
    uint32_t frames = 64;
    std::vector<uint8_t> samples;  // the data chunk's body; empty: a ramp of `frames` frames
    uint32_t dataSizeExtra = 0;    // added to the data chunk's size field only (a truncated file)
    bool junkBeforeFmt = false;    // a LIST chunk of odd length, padded, before fmt
    bool dataBeforeFmt = false;
};

inline void Put16(std::vector<uint8_t>& b, uint16_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
inline void Put32(std::vector<uint8_t>& b, uint32_t v)
{
    Put16(b, uint16_t(v));
    Put16(b, uint16_t(v >> 16));
}
inline void PutFloat(std::vector<uint8_t>& b, float v)
{
    uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    Put32(b, u);
}
inline void PutId(std::vector<uint8_t>& b, const char* id) { b.insert(b.end(), id, id + 4); }

inline uint16_t ContainerBytes(uint16_t bits) { return uint16_t((bits + 7) / 8); }

inline std::vector<uint8_t> BuildWave(const WaveShape& s)
{
    const uint16_t align = s.blockAlign ? s.blockAlign : uint16_t(s.channels * ContainerBytes(s.bits));
    std::vector<uint8_t> fmt;
    Put16(fmt, s.tag);
    Put16(fmt, s.channels);
    Put32(fmt, s.rate);
    Put32(fmt, s.rate * align);
    Put16(fmt, align);
    Put16(fmt, s.bits);
    Put16(fmt, s.cbSize);
    Put16(fmt, s.validBits ? s.validBits : s.bits);
    Put32(fmt, 0);
    fmt.insert(fmt.end(), s.subFormat.begin(), s.subFormat.end());
    fmt.resize(s.fmtSize, 0);

    std::vector<uint8_t> data = s.samples;
    if (data.empty()) {
        data.resize(size_t(s.frames) * align);
        for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + 3);
    }

    std::vector<uint8_t> body;
    PutId(body, "WAVE");
    auto putFmt = [&] {
        PutId(body, "fmt ");
        Put32(body, uint32_t(fmt.size()));
        body.insert(body.end(), fmt.begin(), fmt.end());
        if (fmt.size() & 1) body.push_back(0);
    };
    auto putData = [&] {
        PutId(body, "data");
        Put32(body, uint32_t(data.size()) + s.dataSizeExtra);
        body.insert(body.end(), data.begin(), data.end());
    };
    if (s.junkBeforeFmt) {
        PutId(body, "LIST");
        Put32(body, 5);
        body.insert(body.end(), {'I', 'N', 'F', 'O', 'x', 0});
    }
    if (s.dataBeforeFmt) {
        putData();
        putFmt();
    } else {
        putFmt();
        putData();
    }
    std::vector<uint8_t> file;
    PutId(file, "RIFF");
    Put32(file, uint32_t(body.size()));
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

// The default shape with one change made, for tables of broken files.
inline WaveShape ShapeWith(void (*change)(WaveShape&))
{
    WaveShape shape;
    change(shape);
    return shape;
}

// The format block of a shape, as its fmt chunk holds it.
inline std::vector<uint8_t> FormatBlock(const WaveShape& shape)
{
    const std::vector<uint8_t> file = BuildWave(shape);
    return std::vector<uint8_t>(file.begin() + 20, file.begin() + 20 + shape.fmtSize);
}

inline bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

inline std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::vector<uint8_t> bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return bytes;
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    std::fclose(f);
    return bytes;
}

// The fmt and data chunks of a RIFF/WAVE file in memory (other chunks skipped).
struct WaveChunks {
    std::vector<uint8_t> format, data;
};

inline bool SplitWave(const std::vector<uint8_t>& file, WaveChunks& chunks)
{
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) || std::memcmp(file.data() + 8, "WAVE", 4)) return false;
    size_t at = 12;
    while (at + 8 <= file.size()) {
        const uint32_t size = file[at + 4] | file[at + 5] << 8 | file[at + 6] << 16 | uint32_t(file[at + 7]) << 24;
        if (at + 8 + size > file.size()) return false;
        const auto body = file.begin() + static_cast<long>(at + 8);
        if (!std::memcmp(&file[at], "fmt ", 4)) chunks.format.assign(body, body + size);
        if (!std::memcmp(&file[at], "data", 4)) chunks.data.assign(body, body + size);
        at += 8 + size + (size & 1);
    }
    return !chunks.format.empty();
}

}  // namespace wave_test
