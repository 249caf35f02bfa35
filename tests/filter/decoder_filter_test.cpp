// The decoder filter object on its own and between fake neighbours: its interfaces and
// persisted stream, the layouts and outputs a host chooses, the input types it accepts, the
// output type it proposes and the buffers it asks for.
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "decoder/coefficients.h"
#include "decoder/rig.h"
#include "durazodo/ambisonic_decoder.h"
#include "filter/Maincom.h"
#include "framework/transform_pins.h"
#include "framework/wide_string.h"
#include "tests/filter/bformat_types.h"
#include "tests/support/failing_new.h"
#include "tests/support/filter_between_fake_pins.h"
#include "tests/support/two_channel_reference.h"

namespace {

using namespace bformat_test;
using fakes::CallLog;
using fakes::FakeAllocator;
using fakes::FakePin;

// A filter created through CreateInstance, between the fakes, outside any graph.
class DecoderFilter : public ::testing::Test, public fakes::FilterBetweenFakePins<CVEvava> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        HRESULT hr = S_OK;
        CVEvava* made = fakes::CreateFilter<CVEvava>(&hr);
        ASSERT_NE(nullptr, made);
        Insert(made);
        inAlloc->granted = {4, 4096, 1, 0};
    }
    void TearDown() override
    {
        Dismantle();
        EXPECT_EQ(0, FakePin::live());
        EXPECT_EQ(0, FakeAllocator::live());
        CoUninitialize();
    }

    HRESULT ConnectInput(const TypeShape& shape)
    {
        CMediaType mt = MakeType(shape);
        HRESULT hr = Input()->ReceiveConnection(upstream, &mt);
        if (SUCCEEDED(hr)) Input()->NotifyAllocator(inAlloc, FALSE);
        return hr;
    }
    HRESULT ConnectOutput() { return Output()->Connect(downstream, ProposedType()); }
    const AM_MEDIA_TYPE* ProposedType()
    {
        EXPECT_EQ(S_OK, filter->GetMediaType(0, &m_proposed));
        return &m_proposed;
    }
    // The buffer request DecideBufferSize made of `alloc`.
    HRESULT Decide(ALLOCATOR_PROPERTIES* request)
    {
        *request = {0, 0, 1, 0};
        return filter->DecideBufferSize(outAlloc, request);
    }
    // Decides the buffers with each allocation failing in turn: every failure is
    // E_OUTOFMEMORY and keeps the planes decided before; the last run succeeds.
    void DecideThroughEveryAllocationFailure()
    {
        ALLOCATOR_PROPERTIES request;
        const int32_t before = filter->FramesPerBlock();
        test_support::WalkAllocations([&] { return Decide(&request); },
                                      [&](HRESULT hr, bool failed) {
                                          EXPECT_EQ(failed ? E_OUTOFMEMORY : S_OK, hr);
                                          if (failed) {
                                              EXPECT_EQ(before, filter->FramesPerBlock());
                                          }
                                      });
    }

private:
    CMediaType m_proposed;
};

// ---- Object and interfaces ------------------------------------------------------------

TEST_F(DecoderFilter, InterfacesLeadToEachOtherThroughTheFilter)
{
    IIPEffect* effect = nullptr;
    ISpecifyPropertyPages* pages = nullptr;
    IPersistStream* persist = nullptr;
    IBaseFilter* base = nullptr;
    IUnknown* identity = filter->GetNonDelegatingUnknown();
    ASSERT_EQ(S_OK, identity->QueryInterface(IID_IIPEffect, reinterpret_cast<void**>(&effect)));
    ASSERT_EQ(S_OK, effect->QueryInterface(IID_ISpecifyPropertyPages, reinterpret_cast<void**>(&pages)));
    ASSERT_EQ(S_OK, pages->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&persist)));
    ASSERT_EQ(S_OK, persist->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&base)));
    IUnknown* back = nullptr;
    ASSERT_EQ(S_OK, base->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&back)));
    EXPECT_EQ(identity, back);
    back->Release();
    IUnknown* none = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(E_NOINTERFACE, effect->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&none)));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(E_POINTER, identity->QueryInterface(IID_IIPEffect, nullptr));

    CLSID clsid = GUID_NULL;
    ASSERT_EQ(S_OK, persist->GetClassID(&clsid));
    EXPECT_TRUE(IsEqualGUID(clsid, CLSID_BFormatDecoder));
    clsid = GUID_NULL;
    ASSERT_EQ(S_OK, base->GetClassID(&clsid));
    EXPECT_TRUE(IsEqualGUID(clsid, CLSID_BFormatDecoder));

    CAUUID list = {};
    ASSERT_EQ(S_OK, pages->GetPages(&list));
    ASSERT_EQ(1u, list.cElems);
    EXPECT_TRUE(IsEqualGUID(list.pElems[0], CLSID_BFormatDecoderProperties));
    CoTaskMemFree(list.pElems);

    LONG value = 1234;
    EXPECT_EQ(S_OK, effect->GetParameter(&value));
    EXPECT_EQ(1234, value);
    EXPECT_EQ(S_OK, effect->SetParameter(99));
    effect->NotifyParameter(5);

    for (IUnknown* p : {static_cast<IUnknown*>(effect), static_cast<IUnknown*>(pages),
                        static_cast<IUnknown*>(persist), static_cast<IUnknown*>(base)})
        p->Release();
}

TEST(DecoderFilterObject, CreationWithoutMemoryReportsIt)
{
    HRESULT hr = S_OK;
    test_support::WalkAllocations([&] { return CVEvava::CreateInstance(nullptr, &hr); },
                                  [&](CUnknown* object, bool failed) {
                                      if (failed) {
                                          EXPECT_EQ(nullptr, object);
                                          EXPECT_EQ(E_OUTOFMEMORY, hr);
                                      } else {
                                          ASSERT_NE(nullptr, object);
                                          object->NonDelegatingAddRef();
                                          object->NonDelegatingRelease();
                                      }
                                  });
}

TEST_F(DecoderFilter, PersistedStreamIsTheVersionHeaderAlone)
{
    IPersistStream* persist = nullptr;
    ASSERT_EQ(S_OK, filter->GetNonDelegatingUnknown()->QueryInterface(IID_IPersistStream,
                                                                        reinterpret_cast<void**>(&persist)));
    ULARGE_INTEGER max = {};
    ASSERT_EQ(S_OK, persist->GetSizeMax(&max));
    EXPECT_EQ(24u, max.QuadPart);
    EXPECT_EQ(S_FALSE, persist->IsDirty());

    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &stream));
    ASSERT_EQ(S_OK, persist->Save(stream, TRUE));
    LARGE_INTEGER zero = {};
    ULARGE_INTEGER end = {};
    ASSERT_EQ(S_OK, stream->Seek(zero, STREAM_SEEK_CUR, &end));
    EXPECT_EQ(24u, end.QuadPart);

    // Something of someone else's after the header stays unread.
    const char16_t tail[] = u"xyz";
    ASSERT_EQ(S_OK, stream->Write(tail, sizeof tail, nullptr));
    ASSERT_EQ(S_OK, stream->Seek(zero, STREAM_SEEK_SET, nullptr));
    char16_t header[12] = {};
    ULONG read = 0;
    ASSERT_EQ(S_OK, stream->Read(header, sizeof header, &read));
    EXPECT_EQ(24u, read);
    EXPECT_EQ(0, std::memcmp(header, u"00000000000 ", sizeof header));

    ASSERT_EQ(S_OK, stream->Seek(zero, STREAM_SEEK_SET, nullptr));
    ASSERT_EQ(S_OK, persist->Load(stream));
    ULARGE_INTEGER at = {};
    ASSERT_EQ(S_OK, stream->Seek(zero, STREAM_SEEK_CUR, &at));
    EXPECT_EQ(24u, at.QuadPart);

    // Loading leaves the decoder as it was: it still proposes four speakers.
    ASSERT_EQ(S_OK, ConnectInput(TypeShape{}));
    EXPECT_EQ(4u, filter->Speakers());
    stream->Release();
    persist->Release();
}

// ---- Layout interface -----------------------------------------------------------------

class DecoderLayout : public DecoderFilter {
protected:
    void SetUp() override
    {
        DecoderFilter::SetUp();
        ASSERT_EQ(S_OK, filter->GetNonDelegatingUnknown()->QueryInterface(IID_IAmbisonicDecoderLayout,
                                                                            reinterpret_cast<void**>(&layout)));
    }
    void TearDown() override
    {
        if (layout) layout->Release();
        DecoderFilter::TearDown();
    }
    LONG DecodeType()
    {
        LONG type = -99;
        EXPECT_EQ(S_OK, layout->GetDecodeType(&type));
        return type;
    }
    // The 40 bytes of the output type proposed for `shape`.
    std::vector<BYTE> ProposalFor(const TypeShape& shape)
    {
        if (ConnectInput(shape) != S_OK) return {};
        CMediaType mt;
        EXPECT_EQ(S_OK, filter->GetMediaType(0, &mt));
        std::vector<BYTE> bytes(mt.pbFormat, mt.pbFormat + mt.cbFormat);
        Input()->Disconnect();
        return bytes;
    }

    IAmbisonicDecoderLayout* layout = nullptr;
};

TEST_F(DecoderLayout, AFreshFilterDecodesTheSquareToSpeakersAndAnswersThroughItsIdentity)
{
    EXPECT_EQ(AMBISONIC_LAYOUT_SQUARE, DecodeType());
    LONG output = -1;
    EXPECT_EQ(S_OK, layout->GetOutput(&output));
    EXPECT_EQ(AMBISONIC_OUTPUT_SPEAKERS, output);
    EXPECT_EQ(E_POINTER, layout->GetDecodeType(nullptr));
    EXPECT_EQ(E_POINTER, layout->GetOutput(nullptr));

    IUnknown* back = nullptr;
    ASSERT_EQ(S_OK, layout->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&back)));
    EXPECT_EQ(filter->GetNonDelegatingUnknown(), back);
    back->Release();
    IIPEffect* effect = nullptr;
    ASSERT_EQ(S_OK, layout->QueryInterface(IID_IIPEffect, reinterpret_cast<void**>(&effect)));
    IAmbisonicDecoderLayout* again = nullptr;
    ASSERT_EQ(S_OK, effect->QueryInterface(IID_IAmbisonicDecoderLayout, reinterpret_cast<void**>(&again)));
    EXPECT_EQ(layout, again);
    again->Release();
    effect->Release();
}

// The output type of every layout: its speaker count, block size, rate and channel mask; the
// pair is accepted with that count and refused with the square's.
TEST_F(DecoderLayout, EachLayoutIsProposedWithItsSpeakersAndMask)
{
    for (int type = 0; type < decoder::kLayoutCount; ++type) {
        ASSERT_EQ(S_OK, layout->SetDecodeType(type));
        EXPECT_EQ(type, DecodeType());
        for (const TypeShape& shape : {TypeShape{}, TypeShape{}.Float()}) {
            ASSERT_EQ(S_OK, ConnectInput(shape)) << type;
            const WORD speakers = static_cast<WORD>(decoder::BuiltInRig(static_cast<decoder::LayoutId>(type)).Channels());
            EXPECT_EQ(speakers, filter->Speakers());
            CMediaType out;
            ASSERT_EQ(S_OK, filter->GetMediaType(0, &out));
            const WAVEFORMATEXTENSIBLE f = FormatOf(out);
            EXPECT_EQ(speakers, f.Format.nChannels) << type;
            EXPECT_EQ(speakers * shape.bits / 8, f.Format.nBlockAlign) << type;
            EXPECT_EQ(f.Format.nBlockAlign * shape.rate, f.Format.nAvgBytesPerSec) << type;
            EXPECT_EQ(type <= 1 ? 0x33u : 0u, f.dwChannelMask) << type;
            CMediaType in = MakeType(shape);
            EXPECT_EQ(S_OK, filter->CheckTransform(&in, &out)) << type;
            CMediaType square = out;
            WAVEFORMATEXTENSIBLE g = f;
            g.Format.nChannels = 4;
            std::memcpy(square.pbFormat, &g, sizeof g);
            EXPECT_EQ(type <= 1 ? S_OK : VFW_E_TYPE_NOT_ACCEPTED, filter->CheckTransform(&in, &square)) << type;
            ASSERT_EQ(S_OK, Input()->Disconnect());
        }
    }
}

// Speaker count and buffers follow a layout set after a type was accepted on the
// unconnected input.
TEST_F(DecoderLayout, ALayoutSetAfterATypeWasQueriedSizesTheConnection)
{
    CMediaType mt = MakeType(TypeShape{});
    ASSERT_EQ(S_OK, Input()->QueryAccept(&mt));
    ASSERT_EQ(4u, filter->Speakers());
    ASSERT_EQ(S_OK, layout->SetDecodeType(AMBISONIC_LAYOUT_OCTAGON));
    EXPECT_EQ(8u, filter->Speakers());
    ASSERT_EQ(S_OK, ConnectInput(TypeShape{}));
    ALLOCATOR_PROPERTIES request;
    ASSERT_EQ(S_OK, Decide(&request));
    EXPECT_EQ(8192, outAlloc->requested.cbBuffer);
    // Planes are sized from the output buffer in input frames: twice an input buffer's.
    EXPECT_EQ(1024, filter->FramesPerBlock());
}

TEST_F(DecoderLayout, RefusalsChangeNothing)
{
    ASSERT_EQ(S_OK, layout->SetDecodeType(AMBISONIC_LAYOUT_HEXAGON));
    for (LONG bad : {LONG{-1}, LONG{7}, LONG{100}, LONG{256}, LONG{-2147483647 - 1}, LONG{2147483647}})
        EXPECT_EQ(E_INVALIDARG, layout->SetDecodeType(bad)) << bad;
    EXPECT_EQ(AMBISONIC_LAYOUT_HEXAGON, DecodeType());

    // Connected, on the input alone and on both pins: the layout and proposal stay.
    ASSERT_EQ(S_OK, ConnectInput(TypeShape{}));
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, layout->SetDecodeType(AMBISONIC_LAYOUT_SQUARE));
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, layout->SetDecodeType(AMBISONIC_LAYOUT_HEXAGON));
    EXPECT_EQ(E_INVALIDARG, layout->SetDecodeType(9));
    ASSERT_EQ(S_OK, ConnectOutput());
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, layout->SetDecodeType(AMBISONIC_LAYOUT_TWO_LAYER));
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, layout->SetOutput(AMBISONIC_OUTPUT_SPEAKERS));
    EXPECT_EQ(AMBISONIC_LAYOUT_HEXAGON, DecodeType());
    EXPECT_EQ(6u, filter->Speakers());
    EXPECT_EQ(6, FormatOf(Output()->CurrentMediaType()).Format.nChannels);

    // With only the output connected the layout is still fixed.
    ASSERT_EQ(S_OK, Input()->Disconnect());
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, layout->SetDecodeType(AMBISONIC_LAYOUT_SQUARE));
    ASSERT_EQ(S_OK, Output()->Disconnect());
    EXPECT_EQ(S_OK, layout->SetDecodeType(AMBISONIC_LAYOUT_SQUARE));
}

// ---- Rigs and rotation ----------------------------------------------------------------

class DecoderRig : public DecoderLayout {
protected:
    void SetUp() override
    {
        DecoderLayout::SetUp();
        IUnknown* unknown = filter->GetNonDelegatingUnknown();
        ASSERT_EQ(S_OK, unknown->QueryInterface(IID_IAmbisonicDecoderRig, reinterpret_cast<void**>(&rig)));
        ASSERT_EQ(S_OK, unknown->QueryInterface(IID_IAmbisonicDecoderRotation, reinterpret_cast<void**>(&rotation)));
    }
    void TearDown() override
    {
        if (rig) rig->Release();
        if (rotation) rotation->Release();
        DecoderLayout::TearDown();
    }
    // The rig in force as "kind preset channels".
    std::string RigInForce()
    {
        LONG kind = -9, preset = -9;
        ULONG channels = 0;
        EXPECT_EQ(S_OK, rig->GetRig(&kind, &preset, &channels));
        return std::to_string(kind) + " " + std::to_string(preset) + " " + std::to_string(channels);
    }
    // Channels and mask of the speaker feeds proposed for 16-bit input.
    std::pair<WORD, DWORD> Proposal()
    {
        const std::vector<BYTE> bytes = ProposalFor(TypeShape{});
        WAVEFORMATEXTENSIBLE f{};
        if (bytes.size() >= sizeof f) std::memcpy(&f, bytes.data(), sizeof f);
        return {f.Format.nChannels, f.dwChannelMask};
    }

    IAmbisonicDecoderRig* rig = nullptr;
    IAmbisonicDecoderRotation* rotation = nullptr;
};

// Every preset is proposed with its channels and mask, speakers handed in with theirs (mask 0,
// LFE counted), and a decode type brings the layouts back. A two-channel output keeps the rig
// for when speakers are chosen again.
TEST_F(DecoderRig, PresetsAndHandedInSpeakersAreProposedWithTheirChannelsAndMask)
{
    EXPECT_EQ("0 -1 4", RigInForce());
    const std::vector<decoder::Rig>& presets = decoder::PresetRigs();
    for (LONG p = AMBISONIC_RIG_STEREO; p <= AMBISONIC_RIG_7_1_4; ++p) {
        const decoder::Rig& expected = presets[static_cast<size_t>(p)];
        ASSERT_EQ(S_OK, rig->SetPresetRig(p)) << p;
        EXPECT_EQ("1 " + std::to_string(p) + " " + std::to_string(expected.Channels()), RigInForce());
        EXPECT_EQ(std::make_pair(static_cast<WORD>(expected.Channels()), DWORD{expected.channelMask}), Proposal())
            << expected.name;
    }
    EXPECT_EQ(0x2D63Fu, presets[AMBISONIC_RIG_7_1_4].channelMask);

    const float az[] = {0, 72, 144, -144, -72}, el[] = {0, 0, 0, 0, 0};
    ASSERT_EQ(S_OK, rig->SetSpeakers(5, az, el, nullptr, TRUE));
    EXPECT_EQ("2 -1 6", RigInForce());
    EXPECT_EQ(std::make_pair(WORD{6}, DWORD{0}), Proposal());

    ASSERT_EQ(S_OK, layout->SetOutput(AMBISONIC_OUTPUT_UHJ_STEREO));
    EXPECT_EQ(WORD{2}, Proposal().first);
    EXPECT_EQ("2 -1 6", RigInForce());
    ASSERT_EQ(S_OK, layout->SetOutput(AMBISONIC_OUTPUT_SPEAKERS));
    EXPECT_EQ(WORD{6}, Proposal().first);

    ASSERT_EQ(S_OK, layout->SetDecodeType(AMBISONIC_LAYOUT_HEXAGON));
    EXPECT_EQ("0 -1 6", RigInForce());
    EXPECT_EQ(AMBISONIC_LAYOUT_HEXAGON, DecodeType());
    EXPECT_EQ(std::make_pair(WORD{6}, DWORD{0}), Proposal());
}

// Values outside the bounds, rigs that cannot be designed and anything while a pin is connected
// are refused, and the rig, its LFE setting and the proposal stay as they were.
TEST_F(DecoderRig, RefusedRigsChangeNothing)
{
    ASSERT_EQ(S_OK, rig->SetPresetRig(AMBISONIC_RIG_5_1));
    const std::string before = RigInForce();
    const auto proposal = Proposal();
    std::vector<float> az(65), el(65, 0.0f), dist(65, 2.0f);
    for (size_t i = 0; i < az.size(); ++i) az[i] = static_cast<float>(i * 5);
    // A count out of bounds, or one bad value at speaker 3 of 5: azimuth (0), elevation (1) or
    // distance (2); an azimuth of 5 puts it where speaker 1 stands.
    const std::tuple<ULONG, int, float> bad[] = {{1, -1, 0.0f},       {65, -1, 0.0f},      {5, 0, NAN},
                                                 {5, 0, 360.5f},      {5, 1, -90.5f},      {5, 1, INFINITY},
                                                 {5, 2, -1.0f},       {5, 2, 1000.5f},     {5, 0, 5.0f}};
    for (const auto& [count, field, value] : bad) {
        std::vector<float> v[3] = {az, el, dist};
        if (field >= 0) v[field][3] = value;
        EXPECT_EQ(E_INVALIDARG, rig->SetSpeakers(count, v[0].data(), v[1].data(), v[2].data(), FALSE))
            << count << " speakers, field " << field << " = " << value;
    }
    EXPECT_EQ(E_INVALIDARG, rig->SetSpeakers(64, az.data(), el.data(), nullptr, TRUE));  // 65 channels
    EXPECT_EQ(E_POINTER, rig->SetSpeakers(5, nullptr, el.data(), nullptr, FALSE));
    // The internal interface for rig files: a gain out of range, an imaginary speaker out of
    // range or where a real one stands, a missing array of imaginary directions.
    IAmbisonicDecoderRigMatrices* files = nullptr;
    ASSERT_EQ(S_OK, filter->GetNonDelegatingUnknown()->QueryInterface(IID_IAmbisonicDecoderRigMatrices,
                                                                      reinterpret_cast<void**>(&files)));
    const std::vector<double> azd(az.begin(), az.begin() + 5), eld(5, 0.0);
    const double gains[] = {1, 1, 10.5, 1, 1}, imAz[] = {2.5, 10.0}, imEl[] = {0.0, 90.5};
    EXPECT_EQ(E_INVALIDARG, files->SetRigSpeakers(5, azd.data(), eld.data(), nullptr, gains, FALSE, 0, nullptr, nullptr));
    EXPECT_EQ(E_INVALIDARG, files->SetRigSpeakers(5, azd.data(), eld.data(), nullptr, nullptr, FALSE, 2, imAz, imEl));
    EXPECT_EQ(E_INVALIDARG, files->SetRigSpeakers(5, azd.data(), eld.data(), nullptr, nullptr, FALSE, 1, imAz + 1, eld.data()));
    EXPECT_EQ(E_POINTER, files->SetRigSpeakers(5, azd.data(), eld.data(), nullptr, nullptr, FALSE, 1, nullptr, imEl));
    files->Release();
    EXPECT_EQ(E_INVALIDARG, rig->SetPresetRig(-1));
    EXPECT_EQ(E_INVALIDARG, rig->SetPresetRig(AMBISONIC_RIG_7_1_4 + 1));
    ASSERT_EQ(S_OK, ConnectInput(TypeShape{}));
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, rig->SetPresetRig(AMBISONIC_RIG_STEREO));
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, rig->SetSpeakers(5, az.data(), el.data(), nullptr, FALSE));
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, rig->SetLfeSilent(TRUE));
    ASSERT_EQ(S_OK, Input()->Disconnect());
    BOOL silent = TRUE;
    ASSERT_EQ(S_OK, rig->GetLfeSilent(&silent));
    EXPECT_FALSE(silent);
    EXPECT_EQ(before, RigInForce());
    EXPECT_EQ(proposal, Proposal());
}

// The rotation is taken at any time, connected or not; refused angles leave the one in force.
// A change while streaming costs the transform no allocation.
TEST_F(DecoderRig, RotationIsTakenAtAnyTimeAndTurnsWithoutAllocating)
{
    ASSERT_EQ(S_OK, rotation->SetRotation(-30, 15, 360));
    for (const auto& a : {std::array<float, 3>{NAN, 0, 0}, {0, 361, 0}, {0, 0, -INFINITY}})
        EXPECT_EQ(E_INVALIDARG, rotation->SetRotation(a[0], a[1], a[2]));
    float yaw = 0, pitch = 0, roll = 0;
    ASSERT_EQ(S_OK, rotation->GetRotation(&yaw, &pitch, &roll));
    EXPECT_EQ((std::array<float, 3>{-30, 15, 360}), (std::array<float, 3>{yaw, pitch, roll}));
    EXPECT_EQ(E_POINTER, rotation->GetRotation(&yaw, nullptr, &roll));

    ASSERT_EQ(S_OK, rig->SetPresetRig(AMBISONIC_RIG_7_1_4));
    ASSERT_EQ(S_OK, ConnectInput(TypeShape{}));
    ASSERT_EQ(S_OK, ConnectOutput());
    ALLOCATOR_PROPERTIES request;
    ASSERT_EQ(S_OK, Decide(&request));
    const LONG frames = 300;
    fakes::FakeSample in(frames * 8), out(frames * 12 * 2);
    for (LONG i = 0; i < in.GetSize(); ++i) in.data()[i] = static_cast<BYTE>(i * 37);
    in.SetActualDataLength(in.GetSize());
    // Allocations of one transform: only the fake samples' call logs, the same every time.
    auto allocations = [&] {
        in.calls.clear();
        out.calls.clear();
        test_support::FailNthNew(1000000000L);  // counts, never reached
        EXPECT_EQ(S_OK, filter->Transform(&in, &out));
        const long counted = test_support::NewCallsCounted();
        test_support::FailNthNew(0);
        return counted;
    };
    allocations();
    const long steady = allocations();
    ASSERT_EQ(S_OK, rotation->SetRotation(90, -45, 10));
    EXPECT_EQ(steady, allocations());
}

// ---- Higher-order input ------------------------------------------------------------------

// A host that announces its input gets that channel count alone, in the B-Format or the plain
// subtypes, decoded at the order the output carries; refusals and connected pins change nothing.
TEST_F(DecoderLayout, AnnouncedInputIsTheOnlyOneAcceptedAndDecodesAtItsOrder)
{
    IAmbisonicDecoderInput* input = nullptr;
    ASSERT_EQ(S_OK, filter->GetNonDelegatingUnknown()->QueryInterface(IID_IAmbisonicDecoderInput,
                                                                        reinterpret_cast<void**>(&input)));
    LONG convention = -1;
    ULONG channels = 99, order = 0;
    EXPECT_EQ(S_OK, input->GetInputFormat(&convention, &channels));
    EXPECT_EQ(AMBISONIC_CONVENTION_FUMA, convention);
    EXPECT_EQ(0u, channels);
    EXPECT_EQ(S_OK, input->GetDecodedOrder(&order));
    EXPECT_EQ(1u, order);
    TypeShape third;
    third.channels = 16;
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, ConnectInput(third));

    const std::pair<LONG, ULONG> refused[] = {{3, 16}, {-1, 4}, {AMBISONIC_CONVENTION_FUMA, 10}, {AMBISONIC_CONVENTION_FUMA, 25},
                                              {AMBISONIC_CONVENTION_AMBIX, 3}, {AMBISONIC_CONVENTION_N3D, 65},
                                              {AMBISONIC_CONVENTION_AMBIX, 0}, {AMBISONIC_CONVENTION_AMBIX, 0xFFFFFFFFu}};
    for (const auto& r : refused) EXPECT_EQ(E_INVALIDARG, input->SetInputFormat(r.first, r.second)) << r.first << " " << r.second;
    EXPECT_EQ(S_OK, input->GetInputFormat(&convention, &channels));
    EXPECT_EQ(0u, channels);

    ASSERT_EQ(S_OK, input->SetInputFormat(AMBISONIC_CONVENTION_AMBIX, 16));
    EXPECT_EQ(S_OK, input->GetDecodedOrder(&order));
    EXPECT_EQ(1u, order);  // the square takes the first-order part
    ASSERT_EQ(S_OK, layout->SetOutput(AMBISONIC_OUTPUT_HEADPHONES_HEAD_MODEL));
    EXPECT_EQ(S_OK, input->GetDecodedOrder(&order));
    EXPECT_EQ(3u, order);
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, ConnectInput(TypeShape{}));
    // The plain float subtype is read as B-Format float, and proposed as plain float out.
    TypeShape plain = third;
    plain.subformat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    plain.bits = 32;
    ASSERT_EQ(S_OK, ConnectInput(plain));
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, input->SetInputFormat(AMBISONIC_CONVENTION_FUMA, 4));
    const WAVEFORMATEXTENSIBLE proposed = FormatOf(*ProposedType());
    EXPECT_EQ(2, proposed.Format.nChannels);
    EXPECT_TRUE(IsEqualGUID(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, proposed.SubFormat));
    ALLOCATOR_PROPERTIES request;
    ASSERT_EQ(S_OK, Decide(&request));
    // 4096 bytes of 16-channel float frames become 64 frames of 2 channels, held in blocks
    // of the narrower output's frames.
    EXPECT_EQ(512, request.cbBuffer);
    EXPECT_EQ(64, filter->FramesPerBlock());
    ASSERT_EQ(S_OK, Input()->Disconnect());
    EXPECT_EQ(S_OK, input->SetInputFormat(AMBISONIC_CONVENTION_FUMA, 4));
    input->Release();
}

// ---- Two-channel outputs --------------------------------------------------------------

class DecoderOutput : public DecoderLayout {
protected:
    LONG OutputMode()
    {
        LONG output = -99;
        EXPECT_EQ(S_OK, layout->GetOutput(&output));
        return output;
    }
    HRESULT HandIn(const two_channel_test::HostResponses& r) { return two_channel_test::HandIn(layout, r); }

    const two_channel_test::HostResponses responses = two_channel_test::MakeResponses(44100);
};

// Each two-channel output is proposed as two channels with mask 0x3 in the input's sample
// format and rate, accepted only with two; buffers hold an input buffer's frames. The
// decode type stays and speakers bring its proposal back byte for byte.
TEST_F(DecoderOutput, TwoChannelOutputsProposeTwoChannelsWithMask3)
{
    ASSERT_EQ(S_OK, layout->SetDecodeType(AMBISONIC_LAYOUT_OCTAGON));
    const std::vector<BYTE> octagon = ProposalFor(TypeShape{});
    ASSERT_EQ(S_OK, HandIn(responses));
    EXPECT_EQ(AMBISONIC_OUTPUT_HEADPHONES_RESPONSES, OutputMode());
    for (LONG output : {LONG{AMBISONIC_OUTPUT_UHJ_STEREO}, LONG{AMBISONIC_OUTPUT_HEADPHONES_HEAD_MODEL},
                        LONG{AMBISONIC_OUTPUT_HEADPHONES_RESPONSES}}) {
        ASSERT_EQ(S_OK, layout->SetOutput(output));
        EXPECT_EQ(output, OutputMode());
        TypeShape three = TypeShape{}.Float();
        three.channels = 3;
        for (const TypeShape& shape : {TypeShape{}, three}) {
            ASSERT_EQ(S_OK, ConnectInput(shape)) << output;
            EXPECT_EQ(2u, filter->OutputChannels());
            CMediaType out;
            ASSERT_EQ(S_OK, filter->GetMediaType(0, &out));
            const WAVEFORMATEXTENSIBLE f = FormatOf(out);
            EXPECT_EQ(2, f.Format.nChannels) << output;
            EXPECT_EQ(0x3u, f.dwChannelMask) << output;
            EXPECT_EQ(shape.rate, f.Format.nSamplesPerSec) << output;
            EXPECT_EQ(shape.bits, f.Format.wBitsPerSample) << output;
            EXPECT_EQ(2 * shape.bits / 8, f.Format.nBlockAlign) << output;
            EXPECT_EQ(f.Format.nBlockAlign * shape.rate, f.Format.nAvgBytesPerSec) << output;
            EXPECT_TRUE(IsEqualGUID(f.SubFormat, IsFloat(shape) ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT
                                                                : KSDATAFORMAT_SUBTYPE_PCM));
            CMediaType in = MakeType(shape);
            EXPECT_EQ(S_OK, filter->CheckTransform(&in, &out)) << output;
            WAVEFORMATEXTENSIBLE g = f;
            g.Format.nChannels = 8;
            CMediaType speakers = out;
            std::memcpy(speakers.pbFormat, &g, sizeof g);
            EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, filter->CheckTransform(&in, &speakers)) << output;

            // Input buffers of 4096 bytes: output buffers of 2 channels in the input's
            // proportion, which hold as many frames; planes for all of them.
            ALLOCATOR_PROPERTIES request;
            ASSERT_EQ(S_OK, Decide(&request)) << output;
            const LONG inFrames = 4096 / (shape.channels * shape.bits / 8);
            EXPECT_EQ(4096 * 2 / shape.channels, outAlloc->requested.cbBuffer) << output;
            EXPECT_EQ(inFrames, filter->FramesPerBlock()) << output;
            ASSERT_EQ(S_OK, Input()->Disconnect());
        }
    }
    EXPECT_EQ(AMBISONIC_LAYOUT_OCTAGON, DecodeType());
    ASSERT_EQ(S_OK, layout->SetOutput(AMBISONIC_OUTPUT_SPEAKERS));
    EXPECT_EQ(octagon, ProposalFor(TypeShape{}));
}

// Settings refused for their values, or while a pin is connected, change neither the output
// nor the responses held: the stream then renders as it was set up.
TEST_F(DecoderOutput, RefusedOutputsAndResponsesChangeNothing)
{
    EXPECT_EQ(E_INVALIDARG, layout->SetOutput(-1));
    EXPECT_EQ(E_INVALIDARG, layout->SetOutput(4));
    EXPECT_EQ(E_INVALIDARG, layout->SetOutput(AMBISONIC_OUTPUT_HEADPHONES_RESPONSES));  // nothing handed in
    EXPECT_EQ(AMBISONIC_OUTPUT_SPEAKERS, OutputMode());
    ASSERT_EQ(S_OK, HandIn(responses));
    ASSERT_EQ(S_OK, layout->SetOutput(AMBISONIC_OUTPUT_UHJ_STEREO));

    const two_channel_test::HostResponses& r = responses;
    const ULONG n = r.Directions();
    auto refused = [&](const char* what, HRESULT expected, ULONG directions, const float* az, const float* el,
                       ULONG length, ULONG rate, const float* left, const float* right) {
        EXPECT_EQ(expected, layout->SetHeadphoneResponses(directions, az, el, length, rate, left, right)) << what;
        EXPECT_EQ(AMBISONIC_OUTPUT_UHJ_STEREO, OutputMode()) << what;
    };
    const float *az = r.azimuth.data(), *el = r.elevation.data(), *L = r.left.data(), *R = r.right.data();
    refused("null azimuths", E_POINTER, n, nullptr, el, r.length, r.rate, L, R);
    refused("null elevations", E_POINTER, n, az, nullptr, r.length, r.rate, L, R);
    refused("null left", E_POINTER, n, az, el, r.length, r.rate, nullptr, R);
    refused("null right", E_POINTER, n, az, el, r.length, r.rate, L, nullptr);
    refused("no directions", E_INVALIDARG, 0, az, el, r.length, r.rate, L, R);
    refused("too many directions", E_INVALIDARG, AMBISONIC_MAX_RESPONSE_DIRECTIONS + 1, az, el, r.length, r.rate, L,
            R);
    refused("empty responses", E_INVALIDARG, n, az, el, 0, r.rate, L, R);
    refused("responses too long", E_INVALIDARG, 1, az, el, AMBISONIC_MAX_RESPONSE_LENGTH + 1, r.rate, L, R);
    refused("a set larger than the bound", E_INVALIDARG, AMBISONIC_MAX_RESPONSE_DIRECTIONS,
            az, el, AMBISONIC_MAX_RESPONSE_SAMPLES / AMBISONIC_MAX_RESPONSE_DIRECTIONS + 1, r.rate, L, R);
    refused("too few directions for a design", E_INVALIDARG, 3, az, el, r.length, r.rate, L, R);
    refused("rate too low", E_INVALIDARG, n, az, el, r.length, AMBISONIC_MIN_RESPONSE_RATE - 1, L, R);
    refused("rate too high", E_INVALIDARG, n, az, el, r.length, AMBISONIC_MAX_RESPONSE_RATE + 1, L, R);
    const float nan = std::nanf(""), inf = INFINITY;
    for (float bad : {nan, inf, 360.5f, -361.0f}) {
        std::vector<float> angles(r.azimuth);
        angles[5] = bad;
        refused("bad azimuth", E_INVALIDARG, n, angles.data(), el, r.length, r.rate, L, R);
    }
    for (float bad : {nan, -inf, 90.5f, -91.0f}) {
        std::vector<float> angles(r.elevation);
        angles[n - 1] = bad;
        refused("bad elevation", E_INVALIDARG, n, az, angles.data(), r.length, r.rate, L, R);
    }
    for (float bad : {nan, inf}) {
        std::vector<float> samples(r.right);
        samples.back() = bad;
        refused("sample not finite", E_INVALIDARG, n, az, el, r.length, r.rate, L, samples.data());
    }

    // Connected with UHJ: neither another output nor new responses are taken.
    ASSERT_EQ(S_OK, ConnectInput(TypeShape{}));
    ASSERT_EQ(S_OK, ConnectOutput());
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, layout->SetOutput(AMBISONIC_OUTPUT_SPEAKERS));
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, layout->SetOutput(AMBISONIC_OUTPUT_HEADPHONES_RESPONSES));
    const two_channel_test::HostResponses other = two_channel_test::MakeResponses(48000);
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, HandIn(other));
    EXPECT_EQ(AMBISONIC_OUTPUT_UHJ_STEREO, OutputMode());
    EXPECT_EQ(2, FormatOf(Output()->CurrentMediaType()).Format.nChannels);
    ASSERT_EQ(S_OK, Input()->Disconnect());
    ASSERT_EQ(S_OK, Output()->Disconnect());

    // The responses held are still the first ones, at 44100 Hz: a 48 kHz stream is refused.
    ASSERT_EQ(S_OK, layout->SetOutput(AMBISONIC_OUTPUT_HEADPHONES_RESPONSES));
    TypeShape at48k;
    at48k.rate = 48000;
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, ConnectInput(at48k));
    EXPECT_EQ(S_OK, ConnectInput(TypeShape{}));
}

// Responses are not resampled: with handed-in responses the stream must be at their rate.
// The built-in head needs a rate the headphone decode takes; UHJ any the shelves take.
TEST_F(DecoderOutput, HeadphonesRefuseRatesTheyCannotRender)
{
    TypeShape at48k;
    at48k.rate = 48000;
    TypeShape tooLow;
    tooLow.rate = 999;
    ASSERT_EQ(S_OK, HandIn(responses));
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, ConnectInput(at48k));
    EXPECT_EQ(S_OK, ConnectInput(TypeShape{}));
    ASSERT_EQ(S_OK, Input()->Disconnect());

    ASSERT_EQ(S_OK, layout->SetOutput(AMBISONIC_OUTPUT_HEADPHONES_HEAD_MODEL));
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, ConnectInput(tooLow));
    EXPECT_EQ(S_OK, ConnectInput(at48k));
    ASSERT_EQ(S_OK, Input()->Disconnect());

    ASSERT_EQ(S_OK, layout->SetOutput(AMBISONIC_OUTPUT_UHJ_STEREO));
    EXPECT_EQ(S_OK, ConnectInput(tooLow));
}

// Memory running out while the responses are copied, or while the headphone decode is built,
// leaves what was there before.
TEST_F(DecoderOutput, OutOfMemoryKeepsThePreviousResponsesAndDecode)
{
    test_support::WalkAllocations([&] { return HandIn(responses); },
                                  [&](HRESULT hr, bool failed) {
                                      EXPECT_EQ(failed ? E_OUTOFMEMORY : S_OK, hr);
                                      if (failed) {
                                          EXPECT_EQ(AMBISONIC_OUTPUT_SPEAKERS, OutputMode());
                                          EXPECT_EQ(E_INVALIDARG,
                                                    layout->SetOutput(AMBISONIC_OUTPUT_HEADPHONES_RESPONSES));
                                      }
                                  });
    EXPECT_EQ(AMBISONIC_OUTPUT_HEADPHONES_RESPONSES, OutputMode());

    ASSERT_EQ(S_OK, ConnectInput(TypeShape{}));
    ALLOCATOR_PROPERTIES request;
    ASSERT_EQ(S_OK, Decide(&request));
    ASSERT_EQ(512, filter->FramesPerBlock());
    inAlloc->granted.cbBuffer = 8192;
    DecideThroughEveryAllocationFailure();
    EXPECT_EQ(1024, filter->FramesPerBlock());
}

// What a host that never asks sees, byte for byte, is also what the square set explicitly
// gives; and no layout reaches the persisted stream.
TEST_F(DecoderLayout, TheSquareIsTheUnaskedFilterAndNoLayoutIsPersisted)
{
    const std::vector<BYTE> unasked = ProposalFor(TypeShape{});
    const BYTE expected[40] = {0xFE, 0xFF, 0x04, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x20, 0x62, 0x05, 0x00, 0x08, 0x00,
                               0x10, 0x00, 0x16, 0x00, 0x10, 0x00, 0x33, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                               0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    ASSERT_EQ(sizeof expected, unasked.size());
    EXPECT_EQ(0, std::memcmp(expected, unasked.data(), sizeof expected));
    ASSERT_EQ(S_OK, layout->SetDecodeType(AMBISONIC_LAYOUT_OCTAGON_ROTATED));
    ASSERT_EQ(S_OK, layout->SetDecodeType(AMBISONIC_LAYOUT_SQUARE));
    EXPECT_EQ(unasked, ProposalFor(TypeShape{}));

    IPersistStream* persist = nullptr;
    ASSERT_EQ(S_OK, layout->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&persist)));
    ASSERT_EQ(S_OK, layout->SetDecodeType(AMBISONIC_LAYOUT_TWO_LAYER));
    EXPECT_EQ(S_FALSE, persist->IsDirty());
    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &stream));
    ASSERT_EQ(S_OK, persist->Save(stream, TRUE));
    // The version header alone, as an unasked filter saves it.
    LARGE_INTEGER zero = {};
    ASSERT_EQ(S_OK, stream->Seek(zero, STREAM_SEEK_SET, nullptr));
    char16_t saved[32] = {};
    ULONG read = 0;
    stream->Read(saved, sizeof saved, &read);
    EXPECT_EQ(24u, read);
    EXPECT_EQ(0, std::memcmp(saved, u"00000000000 ", 24));
    // Loading keeps the layout in force: the stream carries none to restore.
    ASSERT_EQ(S_OK, stream->Seek(zero, STREAM_SEEK_SET, nullptr));
    ASSERT_EQ(S_OK, persist->Load(stream));
    EXPECT_EQ(AMBISONIC_LAYOUT_TWO_LAYER, DecodeType());
    stream->Release();
    persist->Release();
}

// ---- Input types ----------------------------------------------------------------------

TEST_F(DecoderFilter, AcceptsBFormatItCanDecode)
{
    struct Case {
        const char* what;
        TypeShape shape;
    };
    TypeShape pcm24;
    pcm24.bits = 24;
    TypeShape pcm32;
    pcm32.bits = 32;
    pcm32.channels = 3;
    TypeShape float3 = TypeShape{}.Float();
    float3.channels = 3;
    TypeShape longer;
    longer.cbSize = 30;
    longer.cbFormat = 64;
    TypeShape oddRate;
    oddRate.rate = 7;
    for (const Case& c : {Case{"4-channel 16-bit PCM", TypeShape{}}, Case{"24-bit PCM", pcm24},
                          Case{"3-channel 32-bit PCM", pcm32}, Case{"3-channel float", float3},
                          Case{"extra format bytes", longer}, Case{"a low rate", oddRate}}) {
        CMediaType mt = MakeType(c.shape);
        EXPECT_EQ(S_OK, filter->CheckInputType(&mt)) << c.what;
        EXPECT_EQ(c.shape.channels, filter->InputChannels()) << c.what;
        EXPECT_EQ(4u, filter->Speakers()) << c.what;
        ASSERT_NE(nullptr, filter->InputFormat());
        EXPECT_EQ(0, std::memcmp(filter->InputFormat(), mt.pbFormat, c.shape.cbSize + 18u)) << c.what;
    }
}

TEST_F(DecoderFilter, RefusesWhatItCannotDecodeAndKeepsTheFormatInForce)
{
    TypeShape kept;
    kept.channels = 3;
    CMediaType keptType = MakeType(kept);
    ASSERT_EQ(S_OK, filter->CheckInputType(&keptType));

    struct Case {
        const char* what;
        TypeShape shape;
    };
    std::vector<Case> cases;
    auto add = [&](const char* what, auto change) {
        TypeShape s;
        change(s);
        cases.push_back({what, s});
    };
    add("20 bits", [](TypeShape& s) { s.bits = 20; });
    add("8 bits", [](TypeShape& s) { s.bits = 8; });
    add("2 channels", [](TypeShape& s) { s.channels = 2; });
    add("5 channels", [](TypeShape& s) { s.channels = 5; });
    add("plain PCM tag", [](TypeShape& s) { s.tag = WAVE_FORMAT_PCM; });
    add("video", [](TypeShape& s) { s.majortype = MEDIATYPE_Video; });
    add("other format type", [](TypeShape& s) { s.formattype = FORMAT_None; });
    add("plain PCM subformat", [](TypeShape& s) { s.subformat = KSDATAFORMAT_SUBTYPE_PCM; });
    add("cbSize below the extensible part", [](TypeShape& s) {
        s.cbSize = 21;
        s.cbFormat = 40;
    });
    add("block shorter than the extensible record", [](TypeShape& s) {
        s.cbSize = 0;
        s.cbFormat = 39;
    });
    add("no format block", [](TypeShape& s) { s.noBlock = true; });
    add("cbSize beyond the block", [](TypeShape& s) {
        s.cbSize = 500;
        s.cbFormat = 40;
    });
    add("16-bit float", [](TypeShape& s) {
        s.Float();
        s.bits = 16;
    });
    add("24-bit float", [](TypeShape& s) {
        s.Float();
        s.bits = 24;
    });
    add("rate 0", [](TypeShape& s) { s.rate = 0; });

    for (const Case& c : cases) {
        CMediaType mt = MakeType(c.shape);
        EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, filter->CheckInputType(&mt)) << c.what;
        EXPECT_EQ(3u, filter->InputChannels()) << c.what;
        EXPECT_EQ(0, std::memcmp(filter->InputFormat(), keptType.pbFormat, 40)) << c.what;
    }
}

TEST_F(DecoderFilter, OutOfMemoryStoringTheFormatKeepsThePreviousOne)
{
    CMediaType first = MakeType(TypeShape{});
    ASSERT_EQ(S_OK, filter->CheckInputType(&first));
    TypeShape big;
    big.channels = 3;
    big.cbSize = 1022;  // 1040 bytes to store
    CMediaType second = MakeType(big);
    test_support::WalkAllocations([&] { return filter->CheckInputType(&second); },
                                  [&](HRESULT hr, bool failed) {
                                      if (!failed) {
                                          EXPECT_EQ(S_OK, hr);
                                          return;
                                      }
                                      EXPECT_EQ(E_OUTOFMEMORY, hr);
                                      EXPECT_EQ(4u, filter->InputChannels());
                                      EXPECT_EQ(0, std::memcmp(filter->InputFormat(), first.pbFormat, 40));
                                  });
    EXPECT_EQ(3u, filter->InputChannels());
}

// ---- Output type ----------------------------------------------------------------------

TEST_F(DecoderFilter, ProposesSpeakerFeedsFor16BitInput)
{
    CMediaType mt;
    EXPECT_EQ(E_UNEXPECTED, filter->GetMediaType(0, &mt));
    ASSERT_EQ(S_OK, ConnectInput(TypeShape{}));
    EXPECT_EQ(E_INVALIDARG, filter->GetMediaType(-1, &mt));
    EXPECT_EQ(VFW_S_NO_MORE_ITEMS, filter->GetMediaType(1, &mt));
    ASSERT_EQ(S_OK, filter->GetMediaType(0, &mt));

    EXPECT_TRUE(IsEqualGUID(mt.majortype, MEDIATYPE_Audio));
    EXPECT_TRUE(IsEqualGUID(mt.subtype, KSDATAFORMAT_SUBTYPE_PCM));
    EXPECT_TRUE(IsEqualGUID(mt.formattype, FORMAT_WaveFormatEx));
    EXPECT_EQ(1234, mt.lSampleSize);
    ASSERT_EQ(40u, mt.cbFormat);
    WAVEFORMATEXTENSIBLE f = FormatOf(mt);
    EXPECT_EQ(WAVE_FORMAT_EXTENSIBLE, f.Format.wFormatTag);
    EXPECT_EQ(4, f.Format.nChannels);
    EXPECT_EQ(44100u, f.Format.nSamplesPerSec);
    EXPECT_EQ(8, f.Format.nBlockAlign);
    EXPECT_EQ(352800u, f.Format.nAvgBytesPerSec);
    EXPECT_EQ(16, f.Format.wBitsPerSample);
    EXPECT_EQ(22, f.Format.cbSize);
    EXPECT_EQ(16, f.Samples.wValidBitsPerSample);
    EXPECT_EQ(0x33u, f.dwChannelMask);
    EXPECT_TRUE(IsEqualGUID(f.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));

    // The proposal is what the output pin offers downstream.
    IEnumMediaTypes* types = nullptr;
    ASSERT_EQ(S_OK, Output()->EnumMediaTypes(&types));
    AM_MEDIA_TYPE* offered = nullptr;
    ASSERT_EQ(S_OK, types->Next(1, &offered, nullptr));
    EXPECT_EQ(0, std::memcmp(offered->pbFormat, mt.pbFormat, 40));
    DeleteMediaType(offered);
    types->Release();
}

TEST_F(DecoderFilter, ProposesFloatFeedsForFloatInput)
{
    TypeShape shape = TypeShape{}.Float();
    shape.channels = 3;
    shape.rate = 48000;
    ASSERT_EQ(S_OK, ConnectInput(shape));
    CMediaType mt;
    ASSERT_EQ(S_OK, filter->GetMediaType(0, &mt));
    EXPECT_TRUE(IsEqualGUID(mt.subtype, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));
    WAVEFORMATEXTENSIBLE f = FormatOf(mt);
    EXPECT_TRUE(IsEqualGUID(f.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));
    EXPECT_EQ(4, f.Format.nChannels);
    EXPECT_EQ(16, f.Format.nBlockAlign);
    EXPECT_EQ(16u * 48000u, f.Format.nAvgBytesPerSec);
    EXPECT_EQ(0x33u, f.dwChannelMask);
}

TEST_F(DecoderFilter, AcceptsOnlyMatchingPairs)
{
    ASSERT_EQ(S_OK, ConnectInput(TypeShape{}));
    CMediaType in = MakeType(TypeShape{});
    CMediaType out;
    ASSERT_EQ(S_OK, filter->GetMediaType(0, &out));
    EXPECT_EQ(S_OK, filter->CheckTransform(&in, &out));

    WAVEFORMATEXTENSIBLE f = FormatOf(out);
    f.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    std::memcpy(out.pbFormat, &f, sizeof f);
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, filter->CheckTransform(&in, &out));
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    f.Format.nChannels = 6;
    std::memcpy(out.pbFormat, &f, sizeof f);
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, filter->CheckTransform(&in, &out));
    f.Format.nChannels = 4;
    std::memcpy(out.pbFormat, &f, sizeof f);
    CMediaType in3 = MakeType([] {
        TypeShape s;
        s.channels = 3;
        return s;
    }());
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, filter->CheckTransform(&in3, &out));
    CMediaType shortOut = MakeType(TypeShape{});
    shortOut.cbFormat = 39;
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, filter->CheckTransform(&in, &shortOut));
    shortOut.cbFormat = 40;
}

TEST_F(DecoderFilter, QueriesOnAConnectedPinLeaveTheFormatInForce)
{
    ASSERT_EQ(S_OK, ConnectInput(TypeShape{}));
    ASSERT_EQ(S_OK, ConnectOutput());
    const int32_t frames = filter->FramesPerBlock();
    ASSERT_GT(frames, 0);

    TypeShape three;
    three.channels = 3;
    CMediaType other = MakeType(three);
    EXPECT_EQ(S_FALSE, Input()->QueryAccept(&other));
    TypeShape wider;
    wider.bits = 24;
    CMediaType widerType = MakeType(wider);
    EXPECT_EQ(S_FALSE, Input()->QueryAccept(&widerType));
    EXPECT_EQ(4u, filter->InputChannels());
    EXPECT_EQ(16, filter->InputFormat()->Format.wBitsPerSample);

    // A type that decodes the same way fits, but its longer block is not taken over: the
    // proposal stays the size of the input connection's block.
    TypeShape longer;
    longer.cbSize = 200;
    CMediaType longerType = MakeType(longer);
    EXPECT_EQ(S_OK, Input()->QueryAccept(&longerType));
    CMediaType proposal;
    ASSERT_EQ(S_OK, filter->GetMediaType(0, &proposal));
    EXPECT_EQ(40u, proposal.cbFormat);
    EXPECT_EQ(frames, filter->FramesPerBlock());

    // With only the output connected, a new input connection must fit what it was built for.
    ASSERT_EQ(S_OK, Input()->Disconnect());
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, ConnectInput(three));
    EXPECT_EQ(S_OK, ConnectInput(TypeShape{}));
}

// ---- Buffers --------------------------------------------------------------------------

TEST_F(DecoderFilter, OutputBuffersHoldAnInputBuffersFrames)
{
    ALLOCATOR_PROPERTIES request;
    EXPECT_EQ(E_UNEXPECTED, Decide(&request));

    ASSERT_EQ(S_OK, ConnectInput(TypeShape{}));
    ASSERT_EQ(S_OK, Decide(&request));
    EXPECT_EQ(2, outAlloc->requested.cBuffers);
    EXPECT_EQ(4096, outAlloc->requested.cbBuffer);
    EXPECT_EQ(1, outAlloc->requested.cbAlign);
    EXPECT_EQ(512, filter->FramesPerBlock());
    ASSERT_EQ(S_OK, Input()->Disconnect());

    TypeShape three;
    three.channels = 3;
    ASSERT_EQ(S_OK, ConnectInput(three));
    request = {0, 0, 1, 16};
    ASSERT_EQ(S_OK, filter->DecideBufferSize(outAlloc, &request));
    EXPECT_EQ(2, outAlloc->requested.cBuffers);
    EXPECT_EQ(5461, outAlloc->requested.cbBuffer);
    EXPECT_EQ(16, outAlloc->requested.cbPrefix);
    // 5461 bytes of 3-channel 16-bit frames: 910 frames for the shelves and planes.
    EXPECT_EQ(910, filter->FramesPerBlock());
}

TEST_F(DecoderFilter, ShortGrantOrAllocatorFailureKeepsThePreviousBuffers)
{
    ASSERT_EQ(S_OK, ConnectInput(TypeShape{}));
    ALLOCATOR_PROPERTIES request;
    ASSERT_EQ(S_OK, Decide(&request));
    ASSERT_EQ(512, filter->FramesPerBlock());
    inAlloc->granted.cbBuffer = 8192;

    outAlloc->grantCount = 1;
    EXPECT_EQ(E_FAIL, Decide(&request));
    outAlloc->grantCount = -1;
    outAlloc->grantSize = 8191;
    EXPECT_EQ(E_FAIL, Decide(&request));
    outAlloc->grantSize = -1;
    outAlloc->setPropertiesResult = VFW_E_ALREADY_COMMITTED;
    EXPECT_EQ(VFW_E_ALREADY_COMMITTED, Decide(&request));
    outAlloc->setPropertiesResult = S_OK;
    inAlloc->getPropertiesResult = VFW_E_SIZENOTSET;
    EXPECT_EQ(VFW_E_SIZENOTSET, Decide(&request));
    inAlloc->getPropertiesResult = S_OK;
    // Any allocation for the planes of 1024 frames failing.
    DecideThroughEveryAllocationFailure();
    EXPECT_EQ(1024, filter->FramesPerBlock());
}

TEST_F(DecoderFilter, InputBuffersTooSmallForAFrameAreRefused)
{
    ASSERT_EQ(S_OK, ConnectInput(TypeShape{}));
    inAlloc->granted.cbBuffer = 7;
    ALLOCATOR_PROPERTIES request;
    EXPECT_EQ(E_FAIL, Decide(&request));
    EXPECT_EQ(0, filter->FramesPerBlock());
}

}  // namespace
