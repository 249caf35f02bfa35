// Where a decode's threads run when the process may use several processors: the thread that
// runs the decoder keeps one processor to itself and the threads that read and write the files
// share the others. Left alone, a scheduler that packs threads onto few processors puts the
// reading or writing thread, each time the decoder wakes it, on the decoder's processor, where
// the two take turns while another processor idles; the decode, the longest of the three jobs,
// then waits for the file work instead of overlapping it.
//
// Built once before the graph runs; its methods are called by the threads themselves as they
// start, and change nothing when the process may use only one processor.
#pragma once

namespace bformat {

class ThreadPlacement {
public:
    // Reads the processors this process may use and picks the last of them for decoding.
    ThreadPlacement();

    bool Active() const { return m_decodingProcessor >= 0; }
    // Keeps the calling thread on the decoding processor.
    void KeepOnDecodingProcessor() const;
    // Keeps the calling thread on the process's other processors.
    void KeepOffDecodingProcessor() const;

private:
    int m_decodingProcessor = -1;
};

}  // namespace bformat
