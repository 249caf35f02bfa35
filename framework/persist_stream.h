// The persistence base of a filter: IPersistStream over a stream that starts with the
// format version as text, followed by whatever payload the derived class writes.
//
// Stream layout:
//   version  GetSoftwareVersion() as written by WriteInt: 24 bytes
//   payload  WriteToStream's bytes, at most SizeMax() by the derived class's own account
//
// An integer is stored as the characters of "%011d " (eleven characters, zero-padded, a
// minus sign counted among the eleven, then one space) in little-endian UTF-16: always
// exactly 24 bytes. 7 is "00000000007 ", -5 is "-0000000005 ".
#pragma once

#include "platform/platform.h"

class CPersistStream : public IPersistStream {
public:
    // Both arguments are accepted and unused. The object starts clean, with a file version
    // of 0: the value this class's GetSoftwareVersion gives, whatever a derived class's says.
    CPersistStream(IUnknown* outer, HRESULT* phr);

    CPersistStream(const CPersistStream&) = delete;
    CPersistStream& operator=(const CPersistStream&) = delete;

    // QueryInterface, AddRef, Release and GetClassID are the derived class's: it exposes
    // this interface through its own object.

    // S_OK when dirty, S_FALSE when clean.
    STDMETHODIMP IsDirty() override;

    // Reads the version field into the file version (stored even when the read fails, as 0)
    // and returns its failure; otherwise hands the stream, positioned after the field, to
    // ReadFromStream and returns its result. The file version is not compared with
    // GetSoftwareVersion(), and the dirty flag is not changed. E_POINTER for a null stream.
    STDMETHODIMP Load(IStream* stream) override;

    // Writes the version field with GetSoftwareVersion(), then the payload. A failure of
    // either is returned at once, with the dirty flag untouched and what was written left in
    // the stream. On success the dirty flag becomes !clearDirty: a save that does not clear
    // the flag leaves the object dirty even if it was clean. E_POINTER for a null stream.
    STDMETHODIMP Save(IStream* stream, BOOL clearDirty) override;

    // 24 + SizeMax(), computed in 32 bits; the upper half of *size is zero.
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;

    // Hooks for the derived class, in slot order after IPersistStream's.

    // The version of the format this code writes. Default 0.
    virtual DWORD GetSoftwareVersion();
    // The most bytes WriteToStream writes. Default 0.
    virtual int SizeMax();
    // Writes the payload. Default: writes nothing and returns S_OK.
    virtual HRESULT WriteToStream(IStream* stream);
    // Reads the payload; the file version of the stream is already known. Default: reads
    // nothing and returns S_OK.
    virtual HRESULT ReadFromStream(IStream* stream);

    // Writes `value` as one 24-byte field with a single Write and returns that Write's result.
    static HRESULT WriteInt(IStream* stream, int value);

    // Reads one integer field, one UTF-16 unit at a time, and returns it; `hr` tells whether
    // it could be read. The text is an optional "-", then decimal digits, then one
    // terminator: space, tab, carriage return, line feed or NUL, which is consumed. No white
    // space is skipped ahead of it (a field that is only a terminator reads as 0), "+" is not
    // a sign, "-" alone reads as 0, and digits beyond 32 bits wrap modulo 2^32.
    //
    //  - A read that fails ends the call at once: result 0, `hr` = that failure.
    //  - Any other unit where the terminator belongs (after consuming it):
    //    result 0, `hr` = VFW_E_INVALID_FILE_FORMAT.
    //  - The stream ending before the terminator, that is a read that delivers fewer than
    //    two bytes, whether the stream calls that S_OK or S_FALSE: result 0,
    //    `hr` = VFW_E_INVALID_FILE_FORMAT. A field is complete only with its terminator, so
    //    an empty stream, or one that stops inside the digits, is not a version field; and
    //    the number of bytes read, not the result code, is what shows the end, so a stream
    //    that keeps answering S_OK at its end cannot hold the reader.
    //  - Otherwise `hr` is the result of the last read, a success.
    static int ReadInt(IStream* stream, HRESULT& hr);

protected:
    ~CPersistStream() = default;

    // The version read from the last stream loaded.
    DWORD m_dwFileVersion;
    // Whether the object has changes that are not saved. The derived class sets and reads it;
    // this class changes it only in Save.
    BOOL m_fDirty;
};
