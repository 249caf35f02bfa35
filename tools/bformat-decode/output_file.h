// Files that appear whole or not at all: written under a temporary name in the destination's
// folder and renamed over the destination only when complete, so a failed or interrupted run
// leaves nothing behind. The WAVE writer on top fills in the header's sizes at the end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/bformat-decode/wave_format.h"

namespace bformat {

class AtomicFile {
public:
    AtomicFile() = default;
    // Removes the temporary file unless Commit succeeded.
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary file ".<name>.XXXXXX" beside `path`, with the permissions a new
    // file gets. `error` says why not, in one line.
    bool Create(const std::string& path, std::string& error);
    bool Write(const void* data, size_t size, std::string& error);
    bool WriteAt(uint64_t offset, const void* data, size_t size, std::string& error);
    // Closes the file and renames it to the destination.
    bool Commit(std::string& error);
    // Closes and removes the temporary file; harmless when there is none.
    void Discard();

    // The open temporary file, for writers that take a descriptor; -1 when none is open.
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
    std::string m_path;
    std::string m_tempPath;
};

// A WAVE file: the fmt chunk is the format block given, unchanged; the samples follow in one
// data chunk whose size, and the RIFF size, are written when the file is finished.
class WaveFileWriter {
public:
    bool Begin(const std::string& path, const std::vector<uint8_t>& formatBlock, std::string& error);
    // Appends sample bytes; refuses to grow the data chunk past what a RIFF header can state.
    bool Append(const void* data, size_t size, std::string& error);
    // Writes the sizes and the pad byte, then makes the file appear under its name.
    bool Finish(std::string& error);
    void Discard() { m_file.Discard(); }

private:
    AtomicFile m_file;
    std::vector<uint8_t> m_formatBlock;
    uint64_t m_dataBytes = 0;
    bool m_begun = false;
};

}  // namespace bformat
