// The decoder filter asked whether a type fits the format in force while other threads
// disconnect its input and negotiate a new format: the check never reads a format that is
// being replaced; and a host switching outputs while the control thread connects and
// disconnects gets each setting either taken whole or refused, never half of it.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "filter/Maincom.h"
#include "framework/output_pin.h"
#include "framework/transform_pins.h"
#include "tests/filter/bformat_types.h"
#include "tests/support/one_pin_filter.h"
#include "tests/support/two_channel_reference.h"

namespace {

using bformat_test::MakeType;
using bformat_test::TypeShape;

// {4A7B2C31-6D8E-4F90-A1B2-C3D4E5F60718}
const CLSID kConnectorClsid = {0x4A7B2C31, 0x6D8E, 0x4F90, {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18}};

// An output pin the decoder's input can be connected to; it never streams.
class ConnectorPin : public CBaseOutputPin {
public:
    ConnectorPin(CBaseFilter* filter, CCritSec* lock) : CBaseOutputPin("connector", filter, lock, nullptr, WIDE("Out"))
    {
    }
    HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
    HRESULT GetMediaType(int, CMediaType*) override { return VFW_S_NO_MORE_ITEMS; }
    HRESULT DecideBufferSize(IMemAllocator*, ALLOCATOR_PROPERTIES*) override { return E_FAIL; }
};

// A fresh decoder filter and a filter whose pin its input can be connected to, in a
// multithreaded apartment; the input is left unconnected at the end.
class DecoderFormatRace : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        HRESULT hr = S_OK;
        CUnknown* object = CVEvava::CreateInstance(nullptr, &hr);
        ASSERT_NE(object, nullptr);
        object->NonDelegatingAddRef();
        decoder = static_cast<CVEvava*>(object);
        connector = new test_support::OnePinFilter<ConnectorPin>("connector", kConnectorClsid);
        connector->NonDelegatingAddRef();
    }
    void TearDown() override
    {
        if (decoder) decoder->GetPin(0)->Disconnect();
        if (connector) connector->NonDelegatingRelease();
        if (decoder) decoder->NonDelegatingRelease();
        CoUninitialize();
    }

    CVEvava* decoder = nullptr;
    test_support::OnePinFilter<ConnectorPin>* connector = nullptr;
};

TEST_F(DecoderFormatRace, CheckingAgainstTheFormatInForceWhileANewOneIsNegotiated)
{

    TypeShape pcm16, pcm24;
    pcm24.bits = 24;
    const CMediaType types[2] = {MakeType(pcm16), MakeType(pcm24)};
    IPin* input = decoder->GetPin(0);
    ASSERT_EQ(input->ReceiveConnection(connector->pin, &types[0]), S_OK);

    // A host thread keeps asking the input whether a 16-bit type would do.
    std::atomic<bool> done{false};
    std::atomic<int> checks{0};
    std::thread checker([&] {
        while (!done.load()) {
            HRESULT answer = input->QueryAccept(&types[0]);
            EXPECT_TRUE(answer == S_OK || answer == S_FALSE) << std::hex << answer;
            ++checks;
        }
    });
    // Meanwhile the control thread reconnects with a 24-bit and a 16-bit format in turn.
    for (int round = 0; round < 400; ++round) {
        ASSERT_EQ(input->Disconnect(), S_OK) << round;
        ASSERT_EQ(input->ReceiveConnection(connector->pin, &types[(round + 1) % 2]), S_OK) << round;
    }
    while (checks.load() < 10) std::this_thread::yield();
    done = true;
    checker.join();

    // The format in force is the last one negotiated.
    ASSERT_NE(decoder->InputFormat(), nullptr);
    EXPECT_EQ(decoder->InputFormat()->Format.wBitsPerSample, 16);
}

TEST_F(DecoderFormatRace, OutputsChosenWhileTheInputConnectsAndDisconnects)
{
    IAmbisonicDecoderLayout* layout = decoder;
    const CMediaType type = MakeType(TypeShape{});
    const two_channel_test::HostResponses responses = two_channel_test::MakeResponses(44100);

    // A host thread keeps choosing outputs and handing in responses at the stream's rate.
    std::atomic<bool> done{false};
    std::atomic<int> taken{0};
    std::thread host([&] {
        for (int i = 0; !done.load(); ++i) {
            const HRESULT answer = i % 4 == 3 ? two_channel_test::HandIn(layout, responses) : layout->SetOutput(i % 3);
            EXPECT_TRUE(answer == S_OK || answer == VFW_E_ALREADY_CONNECTED) << std::hex << answer;
            if (answer == S_OK) ++taken;
        }
    });
    // Connected, the output stays as it was when the connection was made.
    IPin* input = decoder->GetPin(0);
    for (int round = 0; round < 400; ++round) {
        ASSERT_EQ(input->ReceiveConnection(connector->pin, &type), S_OK) << round;
        LONG output = -1;
        ASSERT_EQ(layout->GetOutput(&output), S_OK);
        EXPECT_EQ(decoder->OutputChannels(), output == AMBISONIC_OUTPUT_SPEAKERS ? 4u : 2u) << round;
        ASSERT_EQ(input->Disconnect(), S_OK) << round;
    }
    while (taken.load() < 10) std::this_thread::yield();
    done = true;
    host.join();

}

}  // namespace
