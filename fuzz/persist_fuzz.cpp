// Persisted streams from the fuzzer into the decoder filter's IPersistStream::Load: either the
// platform's in-memory stream holding the bytes, or a stream that hands the bytes out in
// pieces of the fuzzer's choosing and answers with success, S_FALSE or a failure as it says.
//
// Load must answer S_OK exactly for a well-formed version field (an optional minus, digits,
// one terminator), VFW_E_INVALID_FILE_FORMAT for anything else, or the stream's own failure;
// read exactly the field and nothing past it; and end however the stream behaves, including
// one that keeps answering S_OK with nothing. Afterwards the filter still saves and loads its
// own stream.
#include <cstring>

#include "filter/Maincom.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/fakes.h"

namespace {

using fakes::ScriptedStream;
using fuzz::Hr;

// What Load makes of a stream that hands over every byte asked for while there are any:
// the result, and how many bytes the version field takes.
HRESULT ExpectedLoad(const std::vector<uint8_t>& data, size_t& consumed)
{
    size_t pos = 0;
    auto next = [&](uint16_t& unit) {
        if (pos + 2 > data.size()) {
            // A unit cut short is read (and so consumed) all the same.
            pos = data.size();
            return false;
        }
        unit = static_cast<uint16_t>(data[pos] | (data[pos + 1] << 8));
        pos += 2;
        return true;
    };
    uint16_t unit = 0;
    HRESULT hr = VFW_E_INVALID_FILE_FORMAT;
    if (next(unit) && (unit != '-' || next(unit))) {
        bool ended = false;
        while (unit >= '0' && unit <= '9') {
            if (!next(unit)) {
                ended = true;
                break;
            }
        }
        if (!ended && (unit == ' ' || unit == '\t' || unit == '\r' || unit == '\n' || unit == 0)) hr = S_OK;
    }
    consumed = pos;
    return hr;
}

void CheckStillPersists(IPersistStream* persist)
{
    IStream* stream = nullptr;
    FUZZ_CHECK(CreateStreamOnHGlobal(nullptr, TRUE, &stream) == S_OK, "no memory stream");
    HRESULT hr = persist->Save(stream, TRUE);
    FUZZ_CHECK(hr == S_OK, "Save gave %s", Hr(hr).c_str());
    FUZZ_CHECK(persist->IsDirty() == S_FALSE, "dirty after a clearing save");
    ULARGE_INTEGER size = {};
    FUZZ_CHECK(persist->GetSizeMax(&size) == S_OK && size.QuadPart == 24, "size %llu",
               static_cast<unsigned long long>(size.QuadPart));
    LARGE_INTEGER zero = {};
    ULARGE_INTEGER end = {};
    stream->Seek(zero, STREAM_SEEK_CUR, &end);
    FUZZ_CHECK(end.QuadPart == 24, "saved %llu bytes", static_cast<unsigned long long>(end.QuadPart));
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    hr = persist->Load(stream);
    FUZZ_CHECK(hr == S_OK, "the filter's own stream loads with %s", Hr(hr).c_str());
    stream->Release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::InitializeComOnce();
    fuzz::Input in(data, size);

    HRESULT hr = S_OK;
    CUnknown* object = CVEvava::CreateInstance(nullptr, &hr);
    FUZZ_CHECK(object != nullptr, "the filter could not be created");
    object->NonDelegatingAddRef();
    IPersistStream* persist = nullptr;
    FUZZ_CHECK(object->NonDelegatingQueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&persist)) == S_OK,
               "no IPersistStream");

    if (in.ConsumeBool()) {
        // The platform's memory stream: the result and the bytes read are exactly determined.
        const std::vector<uint8_t> bytes = in.ConsumeRemainingBytes();
        IStream* stream = nullptr;
        FUZZ_CHECK(CreateStreamOnHGlobal(nullptr, TRUE, &stream) == S_OK, "no memory stream");
        if (!bytes.empty()) stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
        LARGE_INTEGER zero = {};
        stream->Seek(zero, STREAM_SEEK_SET, nullptr);
        hr = persist->Load(stream);
        size_t consumed = 0;
        const HRESULT expected = ExpectedLoad(bytes, consumed);
        FUZZ_CHECK(hr == expected, "Load gave %s where %s was due", Hr(hr).c_str(), Hr(expected).c_str());
        ULARGE_INTEGER position = {};
        stream->Seek(zero, STREAM_SEEK_CUR, &position);
        FUZZ_CHECK(position.QuadPart == consumed, "read %llu bytes of a %zu-byte field",
                   static_cast<unsigned long long>(position.QuadPart), consumed);
        stream->Release();
    } else {
        // A stream of the fuzzer's behaviour: short reads, S_FALSE, failures.
        std::vector<ScriptedStream::Step> script(in.ConsumeIntegralInRange<size_t>(0, 16));
        static constexpr HRESULT kResults[] = {S_OK, S_FALSE, E_FAIL, STG_E_READFAULT, E_UNEXPECTED};
        for (auto& step : script) {
            step.bytes = in.ConsumeIntegralInRange<ULONG>(0, 3);
            step.result = kResults[in.ConsumeIntegralInRange<size_t>(0, 4)];
        }
        // With `endless`, reads past the script keep answering S_OK with nothing.
        const bool endless = in.ConsumeBool();
        if (endless) script.resize(script.size() + 1000, ScriptedStream::Step{0, S_OK});
        const std::vector<uint8_t> bytes = in.ConsumeRemainingBytes();
        ScriptedStream stream(bytes, script);
        hr = persist->Load(&stream);
        bool scripted = hr == S_OK || hr == VFW_E_INVALID_FILE_FORMAT;
        for (HRESULT failure : kResults) scripted = scripted || (FAILED(failure) && hr == failure);
        FUZZ_CHECK(scripted, "Load gave %s", Hr(hr).c_str());
        // One read per UTF-16 unit at most: no stream can hold the reader.
        FUZZ_CHECK(stream.readsIntoNothing == 0, "read into nothing");
        FUZZ_CHECK(static_cast<size_t>(stream.reads) <= bytes.size() / 2 + 2, "%d reads of %zu bytes", stream.reads,
                   bytes.size());
        FUZZ_CHECK(stream.refs == 1, "the filter kept the stream");
    }

    CheckStillPersists(persist);
    persist->Release();
    object->NonDelegatingRelease();
    return 0;
}
