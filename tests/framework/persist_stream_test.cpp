// The persistence base: the version field's text form, Save/Load framing, the dirty flag and
// how stream failures and truncated streams come back. Streams are the platform's memory
// streams, or scripted ones where a stream has to misbehave.
#include "framework/persist_stream.h"

#include <gtest/gtest.h>

#include "tests/support/fakes.h"

#include <climits>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;
using fakes::ScriptedStream;

Bytes Utf16(const std::u16string& text)
{
    Bytes bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<BYTE>(unit & 0xFF));
        bytes.push_back(static_cast<BYTE>(unit >> 8));
    }
    return bytes;
}

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

ULONGLONG Position(IStream* stream)
{
    LARGE_INTEGER zero{};
    ULARGE_INTEGER at{};
    EXPECT_EQ(stream->Seek(zero, STREAM_SEEK_CUR, &at), S_OK);
    return at.QuadPart;
}

void Rewind(IStream* stream)
{
    LARGE_INTEGER zero{};
    ASSERT_EQ(stream->Seek(zero, STREAM_SEEK_SET, nullptr), S_OK);
}

// A platform memory stream, released at the end of the scope.
class MemoryStream {
public:
    MemoryStream() { EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &m_stream), S_OK); }
    // A stream holding `bytes`, positioned at its start.
    explicit MemoryStream(const Bytes& bytes) : MemoryStream()
    {
        if (!bytes.empty()) {
            EXPECT_EQ(m_stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr), S_OK);
        }
        Rewind(m_stream);
    }
    ~MemoryStream()
    {
        if (m_stream) m_stream->Release();
    }
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;

    IStream* get() const { return m_stream; }

    Bytes Contents() const
    {
        STATSTG stat{};
        EXPECT_EQ(m_stream->Stat(&stat, STATFLAG_NONAME), S_OK);
        Bytes bytes(static_cast<size_t>(stat.cbSize.QuadPart));
        ULONGLONG at = Position(m_stream);
        Rewind(m_stream);
        ULONG read = 0;
        if (!bytes.empty()) m_stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
        EXPECT_EQ(read, bytes.size());
        LARGE_INTEGER back{};
        back.QuadPart = static_cast<LONGLONG>(at);
        m_stream->Seek(back, STREAM_SEEK_SET, nullptr);
        return bytes;
    }

private:
    IStream* m_stream = nullptr;
};

// A persistent object with a payload of `payload.size()` bytes that it writes and reads back.
class Settings final : public CPersistStream {
public:
    explicit Settings(DWORD version = 0) : CPersistStream(nullptr, nullptr), m_version(version) {}
    ~Settings() = default;

    Bytes payload;
    int sizeMax = 0;
    HRESULT writeResult = S_OK;
    HRESULT readResult = S_OK;

    // What ReadFromStream saw.
    int readCalls = 0;
    int writeCalls = 0;
    ULONGLONG readAt = 0;
    DWORD versionSeen = 0;
    Bytes payloadRead;

    DWORD FileVersion() const { return m_dwFileVersion; }
    void SetDirty(BOOL dirty) { m_fDirty = dirty; }

    STDMETHODIMP QueryInterface(REFIID, void** ppv) override
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetClassID(CLSID* clsid) override
    {
        *clsid = GUID_NULL;
        return S_OK;
    }

    DWORD GetSoftwareVersion() override { return m_version; }
    int SizeMax() override { return sizeMax; }
    HRESULT WriteToStream(IStream* stream) override
    {
        ++writeCalls;
        if (FAILED(writeResult)) return writeResult;
        return stream->Write(payload.data(), static_cast<ULONG>(payload.size()), nullptr);
    }
    HRESULT ReadFromStream(IStream* stream) override
    {
        ++readCalls;
        readAt = Position(stream);
        versionSeen = m_dwFileVersion;
        payloadRead.assign(payload.size(), 0);
        ULONG read = 0;
        stream->Read(payloadRead.data(), static_cast<ULONG>(payloadRead.size()), &read);
        payloadRead.resize(read);
        return readResult;
    }

private:
    DWORD m_version;
};

// ---- The version field ----------------------------------------------------------------

TEST(PersistedVersionField, IsElevenZeroPaddedCharactersAndASpaceAndReadsBack)
{
    struct Case {
        int value;
        std::u16string text;
    };
    const Case cases[] = {
        {0, u"00000000000 "},           {7, u"00000000007 "},
        {-5, u"-0000000005 "},          {123456789, u"00123456789 "},
        {INT_MAX, u"02147483647 "},     {INT_MIN, u"-2147483648 "},
    };
    MemoryStream stream;
    Bytes expected;
    for (const auto& c : cases) {
        EXPECT_EQ(CPersistStream::WriteInt(stream.get(), c.value), S_OK) << c.value;
        expected = Concat(expected, Utf16(c.text));
    }
    EXPECT_EQ(stream.Contents(), expected);

    Rewind(stream.get());
    for (const auto& c : cases) {
        HRESULT hr = E_FAIL;
        EXPECT_EQ(CPersistStream::ReadInt(stream.get(), hr), c.value);
        EXPECT_EQ(hr, S_OK) << c.value;
    }
    EXPECT_EQ(Position(stream.get()), expected.size());
}

TEST(PersistedVersionField, ReaderAcceptsEveryTerminatorAndConsumesExactlyIt)
{
    struct Case {
        std::u16string text;
        int value;
        ULONGLONG consumedUnits;
    };
    const Case cases[] = {
        {u"42\tX", 42, 3},
        {u"42\rX", 42, 3},
        {u"42\nX", 42, 3},
        {std::u16string(u"42") + char16_t(0) + u"X", 42, 3},
        {u" 5 ", 0, 1},             // no white space is skipped: a lone terminator reads as 0
        {u"- ", 0, 2},              // a sign without digits reads as 0
        {u"4294967297 ", 1, 11},    // digits beyond 32 bits wrap
        {u"-0 ", 0, 3},
    };
    for (const auto& c : cases) {
        MemoryStream stream(Utf16(c.text));
        HRESULT hr = E_FAIL;
        EXPECT_EQ(CPersistStream::ReadInt(stream.get(), hr), c.value);
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(Position(stream.get()), 2 * c.consumedUnits);
    }
}

TEST(PersistedVersionField, ReaderRejectsAnyOtherUnitWhereTheNumberEnds)
{
    struct Case {
        std::u16string text;
        ULONGLONG consumedUnits;  // up to and including the offending unit
    };
    const Case cases[] = {{u"12a", 3}, {u"+5 ", 1}, {u"--1 ", 2}, {u"7,", 2}};
    for (const auto& c : cases) {
        MemoryStream stream(Utf16(c.text + u" 9 "));
        HRESULT hr = S_OK;
        EXPECT_EQ(CPersistStream::ReadInt(stream.get(), hr), 0);
        EXPECT_EQ(hr, VFW_E_INVALID_FILE_FORMAT);
        EXPECT_EQ(Position(stream.get()), 2 * c.consumedUnits);
    }
}

TEST(PersistedVersionField, StreamEndingBeforeTheTerminatorIsNotAVersionField)
{
    const Bytes truncated[] = {
        {},                                 // nothing at all
        Utf16(u"-"),                        // ends after the sign
        Utf16(u"0000000"),                  // ends inside the digits
        Concat(Utf16(u"12"), Bytes{'3'}),   // ends half way through a unit
    };
    for (const auto& bytes : truncated) {
        MemoryStream stream(bytes);
        HRESULT hr = S_OK;
        EXPECT_EQ(CPersistStream::ReadInt(stream.get(), hr), 0);
        EXPECT_EQ(hr, VFW_E_INVALID_FILE_FORMAT);
    }

    // Streams that report the end as S_OK with nothing delivered, or as S_FALSE, stop the
    // reader at the first short read.
    for (HRESULT end : {S_OK, S_FALSE}) {
        ScriptedStream stream(Utf16(u"123"));
        stream.endResult = end;
        HRESULT hr = S_OK;
        EXPECT_EQ(CPersistStream::ReadInt(&stream, hr), 0);
        EXPECT_EQ(hr, VFW_E_INVALID_FILE_FORMAT);
        EXPECT_EQ(stream.reads, 4);
    }
}

TEST(PersistedVersionField, ReadFailureEndsTheReadWithThatFailure)
{
    ScriptedStream stream(Utf16(u"12"));
    stream.failure = STG_E_READFAULT;
    HRESULT hr = S_OK;
    EXPECT_EQ(CPersistStream::ReadInt(&stream, hr), 0);
    EXPECT_EQ(hr, STG_E_READFAULT);
    EXPECT_EQ(stream.reads, 3);
}

// ---- IPersistStream -------------------------------------------------------------------

TEST(PersistStream, StartsCleanWithFileVersionZeroWhateverItsSoftwareVersion)
{
    Settings settings(9);
    EXPECT_EQ(settings.FileVersion(), 0u);
    EXPECT_EQ(settings.IsDirty(), S_FALSE);
    settings.SetDirty(TRUE);
    EXPECT_EQ(settings.IsDirty(), S_OK);
}

TEST(PersistStream, SaveWritesVersionFieldThenPayloadAndLoadReadsThemBack)
{
    Settings saved(2);
    saved.payload = {0xDE, 0xAD, 0xBE, 0xEF};
    MemoryStream stream;
    EXPECT_EQ(saved.Save(stream.get(), TRUE), S_OK);
    EXPECT_EQ(stream.Contents(), Concat(Utf16(u"00000000002 "), saved.payload));

    Settings loaded(5);
    loaded.payload.assign(4, 0);
    loaded.readResult = S_FALSE;  // Load answers with ReadFromStream's result
    Rewind(stream.get());
    EXPECT_EQ(loaded.Load(stream.get()), S_FALSE);
    EXPECT_EQ(loaded.FileVersion(), 2u);
    EXPECT_EQ(loaded.readCalls, 1);
    EXPECT_EQ(loaded.readAt, 24u);
    EXPECT_EQ(loaded.versionSeen, 2u);
    EXPECT_EQ(loaded.payloadRead, saved.payload);
}

TEST(PersistStream, SaveLeavesTheObjectDirtyUnlessAskedToClearAndLoadNeverChangesIt)
{
    for (BOOL wasDirty : {FALSE, TRUE}) {
        for (BOOL clear : {FALSE, TRUE}) {
            Settings settings;
            settings.SetDirty(wasDirty);
            MemoryStream stream;
            EXPECT_EQ(settings.Save(stream.get(), clear), S_OK);
            EXPECT_EQ(settings.IsDirty(), clear ? S_FALSE : S_OK) << wasDirty << clear;

            settings.SetDirty(wasDirty);
            Rewind(stream.get());
            EXPECT_EQ(settings.Load(stream.get()), S_OK);
            EXPECT_EQ(settings.IsDirty(), wasDirty ? S_OK : S_FALSE);
        }
    }
}

TEST(PersistStream, SizeMaxIsTheVersionFieldPlusThePayloadIn32Bits)
{
    Settings settings;
    ULARGE_INTEGER size;
    size.QuadPart = ~0ull;
    EXPECT_EQ(settings.GetSizeMax(&size), S_OK);
    EXPECT_EQ(size.QuadPart, 24u);

    settings.sizeMax = 1000;
    EXPECT_EQ(settings.GetSizeMax(&size), S_OK);
    EXPECT_EQ(size.QuadPart, 1024u);

    settings.sizeMax = INT_MAX;
    EXPECT_EQ(settings.GetSizeMax(&size), S_OK);
    EXPECT_EQ(size.u.HighPart, 0u);
    EXPECT_EQ(size.u.LowPart, 0x80000017u);

    EXPECT_EQ(settings.GetSizeMax(nullptr), E_POINTER);
}

TEST(PersistStream, SaveFailureIsReturnedBeforeTheDirtyFlagIsTouched)
{
    for (BOOL wasDirty : {FALSE, TRUE}) {
        Settings settings;
        settings.SetDirty(wasDirty);
        ScriptedStream failing;
        failing.writeResult = STG_E_MEDIUMFULL;
        EXPECT_EQ(settings.Save(&failing, wasDirty), STG_E_MEDIUMFULL);
        EXPECT_EQ(settings.writeCalls, 0);
        EXPECT_EQ(settings.IsDirty(), wasDirty ? S_OK : S_FALSE);

        settings.writeResult = E_OUTOFMEMORY;
        MemoryStream stream;
        EXPECT_EQ(settings.Save(stream.get(), wasDirty), E_OUTOFMEMORY);
        EXPECT_EQ(settings.IsDirty(), wasDirty ? S_OK : S_FALSE);
        EXPECT_EQ(stream.Contents(), Utf16(u"00000000000 "));  // what was written stays
    }
}

TEST(PersistStream, LoadOfABadVersionFieldFailsWithoutReadingThePayload)
{
    Settings settings;
    MemoryStream good(Utf16(u"00000000007 "));
    EXPECT_EQ(settings.Load(good.get()), S_OK);
    EXPECT_EQ(settings.FileVersion(), 7u);
    settings.readCalls = 0;

    MemoryStream garbled(Utf16(u"12a"));
    EXPECT_EQ(settings.Load(garbled.get()), VFW_E_INVALID_FILE_FORMAT);
    EXPECT_EQ(settings.FileVersion(), 0u);  // stored even when the read fails

    MemoryStream truncated(Utf16(u"0000000"));
    EXPECT_EQ(settings.Load(truncated.get()), VFW_E_INVALID_FILE_FORMAT);

    ScriptedStream failing(Utf16(u"000"));
    failing.failure = STG_E_READFAULT;
    EXPECT_EQ(settings.Load(&failing), STG_E_READFAULT);
    EXPECT_EQ(settings.readCalls, 0);

    EXPECT_EQ(settings.Load(nullptr), E_POINTER);
    EXPECT_EQ(settings.Save(nullptr, TRUE), E_POINTER);
}

// ---- The memory stream persistence is tested over ------------------------------------

TEST(PersistenceMemoryStream, WritesGrowReadsStopAtTheEndAndClonesShareTheBytes)
{
    MemoryStream stream(Utf16(u"abcd"));
    BYTE buffer[16] = {};
    ULONG read = 0;
    HRESULT hr = stream.get()->Read(buffer, sizeof buffer, &read);
    EXPECT_TRUE(SUCCEEDED(hr));
#if !defined(_WIN32)
    EXPECT_EQ(hr, S_FALSE);  // fewer bytes than asked for
#endif
    EXPECT_EQ(read, 8u);

    // Seeking before the start fails and leaves the pointer alone; past the end is allowed
    // and a write there grows the stream over the gap (ours fills it with zeros; what the
    // gap holds is not defined on every platform).
    LARGE_INTEGER move{};
    move.QuadPart = -9;
    EXPECT_TRUE(FAILED(stream.get()->Seek(move, STREAM_SEEK_END, nullptr)));
    EXPECT_EQ(Position(stream.get()), 8u);
    move.QuadPart = 2;
    EXPECT_EQ(stream.get()->Seek(move, STREAM_SEEK_CUR, nullptr), S_OK);
    const BYTE tail[] = {'z'};
    EXPECT_EQ(stream.get()->Write(tail, 1, nullptr), S_OK);
    Bytes grown = stream.Contents();
    ASSERT_EQ(grown.size(), 11u);
    EXPECT_EQ(Bytes(grown.begin(), grown.begin() + 8), Utf16(u"abcd"));
    EXPECT_EQ(grown[10], 'z');
#if !defined(_WIN32)
    EXPECT_EQ(grown[8], 0);
    EXPECT_EQ(grown[9], 0);
#endif

    // Size changes keep the pointer where it is.
    ULARGE_INTEGER size{};
    size.QuadPart = 2;
    EXPECT_EQ(stream.get()->SetSize(size), S_OK);
    EXPECT_EQ(Position(stream.get()), 11u);
    EXPECT_EQ(stream.Contents(), Utf16(u"a"));

    MemoryStream copy;
    ULARGE_INTEGER all{}, copiedIn{}, copiedOut{};
    all.QuadPart = 100;
    Rewind(stream.get());
    EXPECT_EQ(stream.get()->CopyTo(copy.get(), all, &copiedIn, &copiedOut), S_OK);
    EXPECT_EQ(copiedIn.QuadPart, 2u);
    EXPECT_EQ(copiedOut.QuadPart, 2u);
    EXPECT_EQ(copy.Contents(), Utf16(u"a"));

    IStream* clone = nullptr;
    Rewind(stream.get());
    ASSERT_EQ(stream.get()->Clone(&clone), S_OK);
    EXPECT_EQ(stream.get()->Write(Utf16(u"xy").data(), 4, nullptr), S_OK);
    EXPECT_EQ(Position(clone), 0u);
    BYTE first[4] = {};
    EXPECT_EQ(clone->Read(first, 4, &read), S_OK);
    EXPECT_EQ(Bytes(first, first + 4), Utf16(u"xy"));
    clone->Release();
}

#if !defined(_WIN32)
TEST(PersistenceMemoryStream, ReportsWhatItDoesNotSupport)
{
    IStream* stream = nullptr;
    EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, nullptr), E_INVALIDARG);
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, FALSE, &stream), S_OK);
    ULARGE_INTEGER offset{}, length{};
    length.QuadPart = 1;
    EXPECT_EQ(stream->LockRegion(offset, length, LOCK_WRITE), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(stream->UnlockRegion(offset, length, LOCK_WRITE), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(stream->Commit(STGC_DEFAULT), S_OK);
    EXPECT_EQ(stream->Revert(), S_OK);
    LARGE_INTEGER move{};
    EXPECT_EQ(stream->Seek(move, 3, nullptr), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(stream->Read(nullptr, 1, nullptr), STG_E_INVALIDPOINTER);
    STATSTG stat{};
    EXPECT_EQ(stream->Stat(&stat, STATFLAG_DEFAULT), S_OK);
    EXPECT_EQ(stat.type, static_cast<DWORD>(STGTY_STREAM));
    EXPECT_EQ(stat.pwcsName, nullptr);
    EXPECT_EQ(stream->Release(), 0u);
}
#endif

}  // namespace
