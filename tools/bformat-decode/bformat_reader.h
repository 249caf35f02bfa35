// Reading a B-Format file for decoding: its header checked twice, by our own RIFF reader
// (which knows the B-Format subformats byte for byte and finds truncated data) and by
// libsndfile (which must agree on what the file is and on where its samples lie), then its
// samples read as raw bytes, so that they enter the decoder exactly as they lie in the file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/bformat-decode/wave_format.h"

struct sf_private_tag;

namespace bformat {

class BFormatReader {
public:
    BFormatReader() = default;
    ~BFormatReader();
    BFormatReader(const BFormatReader&) = delete;
    BFormatReader& operator=(const BFormatReader&) = delete;

    // Opens and checks `path`. On failure `error` says in one line what is wrong (without the
    // path, which the caller names) and nothing stays open.
    bool Open(const std::string& path, std::string& error);

    const BFormatFile& File() const { return m_file; }

    // Reads up to `maxFrames` whole frames into `buffer` (maxFrames × block align bytes).
    // Returns the frames read, 0 once every frame of the data chunk has been read, or -1 when
    // the file cannot be read (see Error). Any thread, one at a time.
    int64_t Read(uint8_t* buffer, uint64_t maxFrames);

    uint64_t FramesRead() const { return m_framesRead; }
    const std::string& Error() const { return m_error; }

private:
    // Closes libsndfile's handle and the stream, whichever are open.
    void Close();

    // libsndfile reads through this stream of ours, so that the reader sees where from.
    std::FILE* m_stream = nullptr;
    sf_private_tag* m_sndfile = nullptr;
    BFormatFile m_file;
    uint64_t m_framesRead = 0;
    std::string m_error;
};

}  // namespace bformat
