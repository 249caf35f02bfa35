// The B-Format decoder filter: a transform filter that turns first-order B-Format audio
// (W, X, Y and optionally Z) into speaker feeds, four in a square unless a host chooses
// another layout.
#pragma once

#include <cstdint>
#include <vector>

#include <memory>

#include "decoder/renderer.h"
#include "decoder/rig.h"
#include "decoder/transform.h"
#include "durazodo/ambisonic_decoder.h"
#include "filter/identifiers.h"
#include "filter/iipeffect.h"
#include "filter/rig_matrices.h"
#include "framework/lock.h"
#include "framework/media_type.h"
#include "framework/persist_stream.h"
#include "framework/transform_filter.h"
#include "platform/platform.h"

// The decoder filter object, CLSID_BFormatDecoder. Beyond the transform filter's interfaces
// it offers IIPEffect, ISpecifyPropertyPages (the decoder's property page), IPersistStream
// (the version header alone: no setting is persisted), IAmbisonicDecoderLayout and
// IAmbisonicDecoderRig, through which a host chooses the speakers or a two-channel output (UHJ
// stereo, headphones) before connecting, IAmbisonicDecoderInput, through which it announces
// input of a higher order or in the ACN conventions (the engine's input stage reads it; a host
// that never asks negotiates first-order FuMa as before), IAmbisonicDecoderRotation, which
// turns the scene at any time, and the module-internal IAmbisonicDecoderRigMatrices
// (filter/rig_matrices.h).
//
// The output is one renderer (decoder/renderer.h), made whenever the layout or the output is
// chosen: speaker feeds for the rig in force, UHJ stereo or headphones. Everything the output
// type, the buffers and the samples need comes from it, whatever its kind.
//
// Negotiation builds the decoder's state: the input type accepted while no pin is connected
// becomes the format in force (a copy of its format block and the input channel count); while
// a pin is connected the format stays fixed, and only types that decode exactly the same way
// are accepted. Deciding the output buffers prepares the renderer for that stream. The
// per-sample path only runs it and allocates nothing.
//
// Ownership: the filter owns the stored format block, the rig in force, the renderer and its
// copy of the headphone responses a host handed in. It decodes with decode type 0, four
// speakers in a square, until a host sets another layout or output through
// IAmbisonicDecoderLayout while no pin is connected.
//
// Threads: negotiation runs on the control thread under the filter lock, with the filter
// stopped; Transform runs on the upstream streaming thread under the receive lock and reads
// what negotiation wrote. A type accepted on the unconnected input from any thread changes
// the format in force under the filter lock. The IIPEffect methods take only their own lock;
// the IAmbisonicDecoderLayout and IAmbisonicDecoderRig methods take the filter lock, so a rig
// or output changes only while no connection can be made or broken. SetRotation takes only
// m_RotationLock, a leaf lock held for a copy of three angles; Transform reads them under it at
// the start of each sample and hands a change to the renderer outside it.
class CVEvava : public CTransformFilter,
                public IIPEffect,
                public ISpecifyPropertyPages,
                public CPersistStream,
                public IAmbisonicDecoderLayout,
                public IAmbisonicDecoderRig,
                public IAmbisonicDecoderRotation,
                public IAmbisonicDecoderInput,
                public IAmbisonicDecoderRigMatrices {
public:
    // A new filter aggregated by `pUnk` (or stand-alone for null), with no reference taken:
    // the caller takes the first. Null and *phr = E_OUTOFMEMORY when it cannot be allocated.
    static CUnknown* WINAPI CreateInstance(LPUNKNOWN pUnk, HRESULT* phr);

    CVEvava(const char* name, LPUNKNOWN pUnk, HRESULT* phr);
    ~CVEvava() override;

    DECLARE_IUNKNOWN

    // IIPEffect, ISpecifyPropertyPages, IPersistStream, the decoder's own interfaces, then the
    // base filter's interfaces.
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    // CLSID_BFormatDecoder, for IPersist and IPersistStream alike.
    STDMETHODIMP GetClassID(CLSID* pClsID) override;

    // Decodes one input sample into one output sample of the same sample format: speaker
    // feeds, or the two channels of UHJ or headphone output.
    HRESULT Transform(IMediaSample* pIn, IMediaSample* pOut) override;
    // Accepts B-Format in the extensible wave format: PCM of 16, 24 or 32 bits or IEEE float
    // of 32 bits, 3 or 4 channels (or, once a host chose its input with SetInputFormat, that
    // many channels, in the B-Format or the plain subtypes), at a sample rate the shelf
    // filters can be tuned for.
    // Everything else is VFW_E_TYPE_NOT_ACCEPTED; E_OUTOFMEMORY when the format cannot be
    // stored (the previous one stays). Headphone output also needs a rate the headphone
    // decode can be set up for and, with handed-in responses, the responses' rate.
    HRESULT CheckInputType(const CMediaType* mtIn) override;
    // B-Format PCM in with PCM out, or B-Format float in with float out, with the input
    // channel count in force and OutputChannels() out.
    HRESULT CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut) override;
    // Output buffers for as many frames as an input buffer holds: 2 buffers, alignment 1.
    // Prepares the renderer for the stream's rate, input channels and frames per buffer, turned
    // by the rotation in force from the first frame; on any failure the previous preparation
    // stays.
    HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProperties) override;
    // The one output type: the input type with OutputChannels(), its block size and rate,
    // the channel mask (the layout's for speakers, 0x3 for two channels) and the plain PCM or
    // float subformat.
    HRESULT GetMediaType(int iPosition, CMediaType* pMediaType) override;
    // First delivers what the renderer still holds after the last input (the headphone
    // decode's latency's worth of frames, in as many samples as the buffers need, timed on
    // from the last input sample's stop time when that had times); then end-of-stream.
    HRESULT EndOfStream() override;
    // The shelf, encoder and convolution memory carries over stops and pauses: nothing to do.
    HRESULT StartStreaming() override;
    HRESULT StopStreaming() override;

    // No settings are persisted beyond the version header.
    HRESULT WriteToStream(IStream* pStream) override;
    HRESULT ReadFromStream(IStream* pStream) override;

    // ISpecifyPropertyPages: the decoder's page alone.
    STDMETHODIMP GetPages(CAUUID* pPages) override;

    // IIPEffect
    STDMETHODIMP GetParameter(LONG* value) override;
    STDMETHODIMP SetParameter(LONG value) override;
    STDMETHODIMP_(void) NotifyParameter(LONG value) override;

    // IAmbisonicDecoderLayout (include/durazodo/ambisonic_decoder.h).
    STDMETHODIMP GetDecodeType(LONG* decodeType) override;
    STDMETHODIMP SetDecodeType(LONG decodeType) override;
    STDMETHODIMP GetOutput(LONG* output) override;
    STDMETHODIMP SetOutput(LONG output) override;
    STDMETHODIMP SetHeadphoneResponses(ULONG directions, const float* azimuthDegrees, const float* elevationDegrees,
                                       ULONG length, ULONG sampleRate, const float* left,
                                       const float* right) override;

    // IAmbisonicDecoderRig (include/durazodo/ambisonic_decoder.h).
    STDMETHODIMP SetPresetRig(LONG preset) override;
    STDMETHODIMP SetSpeakers(ULONG count, const float* azimuthDegrees, const float* elevationDegrees,
                             const float* distanceMetres, BOOL lfe) override;
    STDMETHODIMP GetRig(LONG* kind, LONG* preset, ULONG* channels) override;
    STDMETHODIMP SetLfeSilent(BOOL silent) override;
    STDMETHODIMP GetLfeSilent(BOOL* silent) override;

    // IAmbisonicDecoderRotation (include/durazodo/ambisonic_decoder.h).
    STDMETHODIMP SetRotation(float yawDegrees, float pitchDegrees, float rollDegrees) override;
    STDMETHODIMP GetRotation(float* yawDegrees, float* pitchDegrees, float* rollDegrees) override;

    // IAmbisonicDecoderRigMatrices (filter/rig_matrices.h).
    STDMETHODIMP SetRigMatrices(ULONG speakers, const double* azimuthDegrees, const double* elevationDegrees,
                                const double* distanceMetres, BOOL lfe, ULONG order, ULONG channels,
                                const double* low, const double* high, double crossoverHz) override;
    STDMETHODIMP SetRigSpeakers(ULONG speakers, const double* azimuthDegrees, const double* elevationDegrees,
                                const double* distanceMetres, const double* gains, BOOL lfe, ULONG imaginary,
                                const double* imaginaryAzimuthDegrees, const double* imaginaryElevationDegrees) override;

    // IAmbisonicDecoderInput (include/durazodo/ambisonic_decoder.h).
    STDMETHODIMP SetInputFormat(LONG convention, ULONG channels) override;
    STDMETHODIMP GetInputFormat(LONG* convention, ULONG* channels) override;
    STDMETHODIMP GetDecodedOrder(ULONG* order) override;

    // The format in force (null before an input type is accepted) and the counts it gives.
    const WAVEFORMATEXTENSIBLE* InputFormat() const
    {
        return reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(m_pInputFormat);
    }
    uint32_t InputChannels() const { return m_nInChannels; }
    // The rig's speakers once a format is in force; 0 before.
    uint32_t Speakers() const { return m_nInChannels ? m_Rig.Channels() : 0; }
    // Channels of the output type: the speaker count, or 2 for UHJ and headphones; 0 before
    // an input type is accepted.
    uint32_t OutputChannels() const;
    // Frames the renderer's blocks hold; 0 before the output buffers are decided.
    int32_t FramesPerBlock() const { return m_pRenderer->Stream().maxBlockFrames; }

private:
    bool AnyPinConnected();
    // Makes and installs the renderer for `output` (one of AMBISONIC_OUTPUT) with `rig` (of
    // `rigKind`, one of AMBISONIC_RIG_KIND, and `preset` or -1), for handed-in responses
    // `measured`, with the LFE silent or not (DecideBufferSize gives it the rotation). E_INVALIDARG
    // when the renderer cannot be made (no responses handed in, a rig too wide), E_OUTOFMEMORY;
    // nothing changes then. Filter lock held.
    HRESULT ChooseOutput(LONG output, const decoder::Rig& rig, LONG rigKind, LONG preset,
                         const decoder::MeasuredResponses& measured, bool silentLfe);
    // ChooseOutput() for a new rig with the output, responses and LFE setting in force, unless
    // a pin is connected (VFW_E_ALREADY_CONNECTED). Takes the filter lock.
    HRESULT ChooseRig(const decoder::Rig& rig, LONG rigKind, LONG preset);
    // Designs a custom rig of checked speakers (and imaginary directions) and chooses it: what
    // SetSpeakers and SetRigSpeakers share. E_INVALIDARG for a rig no decoder suits.
    HRESULT ChooseDesignedRig(const std::vector<decoder::Speaker>& speakers, BOOL lfe,
                              const std::vector<decoder::SpeakerDirection>& imaginary);
    // Hands the renderer a rotation set since it last took one: on the streaming thread before
    // each sample, and before the renderer is prepared.
    void PickUpRotation();
    // The renderer's tail, for EndOfStream.
    HRESULT DeliverTail();
    // The engine's name for the input convention in force.
    decoder::InputConvention InputConvention() const;
    // Whether `format` has a conversion path and the input's channels; a plain PCM or float
    // subtype of a host that chose its input becomes the B-Format one there. Filter lock or
    // m_FormatLock held.
    bool AcceptsInput(WAVEFORMATEXTENSIBLE& format) const;

    // Owned copy of the format in force, m_cbInputFormat (its cbSize + 18) bytes. Replaced
    // under the filter lock and m_FormatLock; read under either.
    BYTE* m_pInputFormat;
    DWORD m_cbInputFormat;
    // The speaker rig in force, its kind (AMBISONIC_RIG_KIND) and preset (-1 for none), the
    // output (one of AMBISONIC_OUTPUT), whether an LFE channel stays silent, and the renderer
    // (never null once constructed); changed together under the filter lock while no pin is
    // connected.
    decoder::Rig m_Rig;
    LONG m_RigKind;
    LONG m_Preset;
    LONG m_Output;
    bool m_SilentLfe;
    std::unique_ptr<decoder::Renderer> m_pRenderer;
    uint32_t m_nInChannels;
    // The measurements a host handed in, all of them in the order handed in, and their rate;
    // empty until then. Changed under the filter lock.
    decoder::MeasuredResponses m_Responses;
    // The rotation a host set (identity until then), under m_RotationLock alone.
    decoder::SceneRotation m_Rotation;
    CCritSec m_RotationLock;
    // Streaming thread only: where the renderer's tail goes on in time.
    decoder::TailClock m_TailClock;
    CCritSec m_ParamLock;
    // Held only around reading or replacing m_pInputFormat, never while taking another lock:
    // the streaming thread checks a type change against the format with the receive lock held,
    // so it cannot take the filter lock there.
    CCritSec m_FormatLock;
    // The input a host chose with SetInputFormat (one of AMBISONIC_CONVENTION and the channel
    // count; 0 channels: never asked). Changed under the filter lock and m_FormatLock while no
    // pin is connected.
    LONG m_InputConvention;
    ULONG m_InputChannels;
};
