// Media types: the platform's AM_MEDIA_TYPE record, the functions that copy and release it,
// and CMediaType, which owns what its record points to.
//
// A record owns its format block exactly when cbFormat is non-zero; owned blocks come from
// CoTaskMemAlloc. A non-null pUnk carries one reference held by the record.
#pragma once

#include "platform/platform.h"

// Releases the format block (when owned) and the pUnk reference, clearing both; the other
// fields stay. Harmless on a record already freed.
void FreeMediaType(AM_MEDIA_TYPE& mt);

// Frees a record allocated with CoTaskMemAlloc, and what it owns. Null is ignored.
void DeleteMediaType(AM_MEDIA_TYPE* pmt);

// Copies every field of `source` over `target` (whose old contents are overwritten, not
// freed), gives `target` its own copy of an owned format block, and adds a reference to
// pUnk. When the block cannot be copied the target has none (cbFormat 0, pbFormat null)
// but every other field: E_OUTOFMEMORY when allocation failed, E_INVALIDARG when the source
// claims a block but has no pointer to it. Copying a record onto itself changes nothing.
HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source);

// An AM_MEDIA_TYPE that releases its format block and pUnk when it goes, and copies them
// when it is copied. It adds no fields and no virtual functions, so it can go wherever an
// AM_MEDIA_TYPE is expected.
class CMediaType : public AM_MEDIA_TYPE {
public:
    CMediaType() { InitMediaType(); }
    CMediaType(const CMediaType& other);
    explicit CMediaType(const AM_MEDIA_TYPE& other);
    ~CMediaType() { FreeMediaType(*this); }

    // Assignment frees this type's block and reference, then copies the source's. A failed
    // copy of the format block leaves this type without one; use Set to learn of it.
    CMediaType& operator=(const AM_MEDIA_TYPE& other);
    CMediaType& operator=(const CMediaType& other);
    HRESULT Set(const AM_MEDIA_TYPE& other);

    // Zeroes the record, with lSampleSize 1 and bFixedSizeSamples TRUE. It does not free
    // what the record held.
    void InitMediaType();

    void SetSubtype(const GUID* subtype) { this->subtype = *subtype; }

    // True when the major type or the format type is GUID_NULL.
    bool IsPartiallySpecified() const;

    // True when this complete type fits `partial`: its non-null major type and subtype must
    // be equal, and when it names a format type, format type and format bytes must be too.
    bool MatchesPartial(const CMediaType* partial) const;
};

static_assert(sizeof(CMediaType) == sizeof(AM_MEDIA_TYPE), "CMediaType adds nothing to the record");
