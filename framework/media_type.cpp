#include "framework/media_type.h"

#include <cstring>

void FreeMediaType(AM_MEDIA_TYPE& mt)
{
    if (mt.cbFormat != 0) {
        CoTaskMemFree(mt.pbFormat);
        mt.cbFormat = 0;
        mt.pbFormat = nullptr;
    }
    if (mt.pUnk) {
        mt.pUnk->Release();
        mt.pUnk = nullptr;
    }
}

void DeleteMediaType(AM_MEDIA_TYPE* pmt)
{
    if (!pmt) return;
    FreeMediaType(*pmt);
    CoTaskMemFree(pmt);
}

HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source)
{
    if (!target || !source) return E_POINTER;
    // Onto itself the copy would replace the owned block with a duplicate and leak it.
    if (target == source) return S_OK;

    HRESULT hr = S_OK;
    *target = *source;
    if (source->cbFormat != 0) {
        if (!source->pbFormat) {
            hr = E_INVALIDARG;
        } else {
            target->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(source->cbFormat));
            if (target->pbFormat) {
                std::memcpy(target->pbFormat, source->pbFormat, source->cbFormat);
            } else {
                hr = E_OUTOFMEMORY;
            }
        }
        if (FAILED(hr)) {
            target->pbFormat = nullptr;
            target->cbFormat = 0;
        }
    }
    if (target->pUnk) target->pUnk->AddRef();
    return hr;
}

CMediaType::CMediaType(const CMediaType& other) : AM_MEDIA_TYPE()
{
    CopyMediaType(this, &other);
}

CMediaType::CMediaType(const AM_MEDIA_TYPE& other) : AM_MEDIA_TYPE()
{
    CopyMediaType(this, &other);
}

CMediaType& CMediaType::operator=(const AM_MEDIA_TYPE& other)
{
    Set(other);
    return *this;
}

CMediaType& CMediaType::operator=(const CMediaType& other)
{
    return *this = static_cast<const AM_MEDIA_TYPE&>(other);
}

HRESULT CMediaType::Set(const AM_MEDIA_TYPE& other)
{
    if (&other == this) return S_OK;
    FreeMediaType(*this);
    return CopyMediaType(this, &other);
}

void CMediaType::InitMediaType()
{
    std::memset(static_cast<AM_MEDIA_TYPE*>(this), 0, sizeof(AM_MEDIA_TYPE));
    lSampleSize = 1;
    bFixedSizeSamples = TRUE;
}

bool CMediaType::IsPartiallySpecified() const
{
    return IsEqualGUID(majortype, GUID_NULL) || IsEqualGUID(formattype, GUID_NULL);
}

bool CMediaType::MatchesPartial(const CMediaType* partial) const
{
    if (!partial) return false;
    if (!IsEqualGUID(partial->majortype, GUID_NULL) && !IsEqualGUID(partial->majortype, majortype)) return false;
    if (!IsEqualGUID(partial->subtype, GUID_NULL) && !IsEqualGUID(partial->subtype, subtype)) return false;
    if (IsEqualGUID(partial->formattype, GUID_NULL)) return true;
    if (!IsEqualGUID(formattype, partial->formattype)) return false;
    if (cbFormat != partial->cbFormat) return false;
    if (cbFormat == 0 || pbFormat == partial->pbFormat) return true;
    // A record that claims a block it does not have matches nothing.
    if (!pbFormat || !partial->pbFormat) return false;
    return std::memcmp(pbFormat, partial->pbFormat, cbFormat) == 0;
}
