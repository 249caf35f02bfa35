// Struct layouts that cross the interface boundary must be the platform's on every target.
#include "platform/platform.h"

#include <gtest/gtest.h>

static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");
static_assert(sizeof(LONG) == 4 && sizeof(DWORD) == 4 && sizeof(ULONG) == 4, "LLP64 integer widths");
static_assert(sizeof(WCHAR) == 2, "wide characters are UTF-16 code units");
static_assert(sizeof(HRESULT) == 4, "HRESULT is 32 bits");

TEST(PlatformLayout, GuidsCompareByTheirSixteenBytes)
{
    GUID a = IID_IUnknown;
    EXPECT_TRUE(IsEqualGUID(a, IID_IUnknown));
    a.Data4[7] ^= 1;
    EXPECT_FALSE(IsEqualGUID(a, IID_IUnknown));
    EXPECT_FALSE(IsEqualGUID(GUID_NULL, IID_IClassFactory));
}

TEST(PlatformLayout, GuidRendersInRegistryForm)
{
    OLECHAR text[39];
    ASSERT_EQ(StringFromGUID2(IID_IClassFactory, text, 39), 39);
    const char* expected = "{00000001-0000-0000-C000-000000000046}";
    for (int i = 0; i < 39; ++i) EXPECT_EQ(text[i], static_cast<OLECHAR>(expected[i])) << i;
    EXPECT_EQ(StringFromGUID2(IID_IClassFactory, text, 38), 0);
}

// ---- Records that cross the interface boundary ----------------------------------------

#define PLATFORM_AT(type, field, offset) static_assert(offsetof(type, field) == (offset), #type "::" #field)

// Wave formats are byte-packed on every target.
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is 18 bytes");
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40, "WAVEFORMATEXTENSIBLE is 40 bytes");
PLATFORM_AT(WAVEFORMATEX, nSamplesPerSec, 4);
PLATFORM_AT(WAVEFORMATEX, cbSize, 16);
PLATFORM_AT(WAVEFORMATEXTENSIBLE, Samples, 18);
PLATFORM_AT(WAVEFORMATEXTENSIBLE, dwChannelMask, 20);
PLATFORM_AT(WAVEFORMATEXTENSIBLE, SubFormat, 24);

static_assert(sizeof(ALLOCATOR_PROPERTIES) == 16, "ALLOCATOR_PROPERTIES is four LONGs");
static_assert(sizeof(Quality) == 24, "Quality is 24 bytes");
PLATFORM_AT(Quality, Late, 8);

// The two pin lists of a version 1 and a version 2 filter record share their storage.
PLATFORM_AT(REGFILTER2, cPins, 8);
static_assert(offsetof(REGFILTER2, cPins2) == offsetof(REGFILTER2, cPins), "REGFILTER2 pin count");
static_assert(offsetof(REGFILTER2, rgPins2) == offsetof(REGFILTER2, rgPins), "REGFILTER2 pin list");

constexpr size_t P = sizeof(void*);
static_assert(sizeof(REGPINTYPES) == 2 * P, "REGPINTYPES is two pointers");
PLATFORM_AT(REGFILTERPINS, bRendered, P);
PLATFORM_AT(REGFILTERPINS, clsConnectsToFilter, P == 4 ? 20 : 24);
static_assert(sizeof(REGFILTERPINS) == (P == 4 ? 36 : 56), "REGFILTERPINS");
static_assert(sizeof(REGFILTERPINS2) == (P == 4 ? 28 : 48), "REGFILTERPINS2");
static_assert(sizeof(REGFILTER2) == (P == 4 ? 16 : 24), "REGFILTER2");
PLATFORM_AT(PIN_INFO, achName, P == 4 ? 8 : 12);
static_assert(sizeof(PIN_INFO) == (P == 4 ? 264 : 272), "PIN_INFO");
static_assert(sizeof(FILTER_INFO) == (P == 4 ? 260 : 264), "FILTER_INFO");
static_assert(sizeof(STATSTG) == (P == 4 ? 72 : 80), "STATSTG");
static_assert(sizeof(CAUUID) == 2 * P, "CAUUID");

#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
static_assert(sizeof(AM_MEDIA_TYPE) == 72, "AM_MEDIA_TYPE is 72 bytes");
PLATFORM_AT(AM_MEDIA_TYPE, majortype, 0);
PLATFORM_AT(AM_MEDIA_TYPE, subtype, 16);
PLATFORM_AT(AM_MEDIA_TYPE, bFixedSizeSamples, 32);
PLATFORM_AT(AM_MEDIA_TYPE, bTemporalCompression, 36);
PLATFORM_AT(AM_MEDIA_TYPE, lSampleSize, 40);
PLATFORM_AT(AM_MEDIA_TYPE, formattype, 44);
PLATFORM_AT(AM_MEDIA_TYPE, pUnk, 60);
PLATFORM_AT(AM_MEDIA_TYPE, cbFormat, 64);
PLATFORM_AT(AM_MEDIA_TYPE, pbFormat, 68);
static_assert(sizeof(AM_SAMPLE2_PROPERTIES) == 48, "AM_SAMPLE2_PROPERTIES is 48 bytes");
PLATFORM_AT(AM_SAMPLE2_PROPERTIES, tStart, 16);
PLATFORM_AT(AM_SAMPLE2_PROPERTIES, tStop, 24);
PLATFORM_AT(AM_SAMPLE2_PROPERTIES, dwStreamId, 32);
PLATFORM_AT(AM_SAMPLE2_PROPERTIES, pMediaType, 36);
PLATFORM_AT(AM_SAMPLE2_PROPERTIES, cbBuffer, 44);
static_assert(sizeof(PROPPAGEINFO) == 28, "PROPPAGEINFO is 28 bytes");
PLATFORM_AT(PROPPAGEINFO, size, 8);
PLATFORM_AT(PROPPAGEINFO, dwHelpContext, 24);
#else
static_assert(sizeof(AM_MEDIA_TYPE) == 88, "AM_MEDIA_TYPE is 88 bytes");
PLATFORM_AT(AM_MEDIA_TYPE, formattype, 44);
PLATFORM_AT(AM_MEDIA_TYPE, pUnk, 64);
PLATFORM_AT(AM_MEDIA_TYPE, cbFormat, 72);
PLATFORM_AT(AM_MEDIA_TYPE, pbFormat, 80);
static_assert(sizeof(AM_SAMPLE2_PROPERTIES) == 64, "AM_SAMPLE2_PROPERTIES is 64 bytes");
PLATFORM_AT(AM_SAMPLE2_PROPERTIES, pMediaType, 40);
PLATFORM_AT(AM_SAMPLE2_PROPERTIES, cbBuffer, 56);
static_assert(sizeof(PROPPAGEINFO) == 48, "PROPPAGEINFO is 48 bytes");
#endif

// ---- Codes the module returns or sends, at their published values ----------------------

#define PLATFORM_CODE(name, value) static_assert((name) == (HRESULT)(value), #name)
PLATFORM_CODE(VFW_S_NO_MORE_ITEMS, 0x00040103);
PLATFORM_CODE(VFW_S_STATE_INTERMEDIATE, 0x00040237);
PLATFORM_CODE(VFW_E_INVALIDMEDIATYPE, 0x80040200);
PLATFORM_CODE(VFW_E_ENUM_OUT_OF_SYNC, 0x80040203);
PLATFORM_CODE(VFW_E_ALREADY_CONNECTED, 0x80040204);
PLATFORM_CODE(VFW_E_NO_ACCEPTABLE_TYPES, 0x80040207);
PLATFORM_CODE(VFW_E_INVALID_DIRECTION, 0x80040208);
PLATFORM_CODE(VFW_E_NOT_CONNECTED, 0x80040209);
PLATFORM_CODE(VFW_E_NO_ALLOCATOR, 0x8004020A);
PLATFORM_CODE(VFW_E_RUNTIME_ERROR, 0x8004020B);
PLATFORM_CODE(VFW_E_BADALIGN, 0x8004020E);
PLATFORM_CODE(VFW_E_ALREADY_COMMITTED, 0x8004020F);
PLATFORM_CODE(VFW_E_BUFFERS_OUTSTANDING, 0x80040210);
PLATFORM_CODE(VFW_E_NOT_COMMITTED, 0x80040211);
PLATFORM_CODE(VFW_E_SIZENOTSET, 0x80040212);
PLATFORM_CODE(VFW_E_NO_CLOCK, 0x80040213);
PLATFORM_CODE(VFW_E_NOT_FOUND, 0x80040216);
PLATFORM_CODE(VFW_E_CANNOT_CONNECT, 0x80040217);
PLATFORM_CODE(VFW_E_NOT_STOPPED, 0x80040224);
PLATFORM_CODE(VFW_E_NOT_PAUSED, 0x80040225);
PLATFORM_CODE(VFW_E_NOT_RUNNING, 0x80040226);
PLATFORM_CODE(VFW_E_WRONG_STATE, 0x80040227);
PLATFORM_CODE(VFW_E_TYPE_NOT_ACCEPTED, 0x8004022A);
PLATFORM_CODE(VFW_E_INVALID_FILE_FORMAT, 0x8004022F);
PLATFORM_CODE(VFW_E_SAMPLE_TIME_NOT_SET, 0x80040249);
PLATFORM_CODE(VFW_E_MEDIA_TIME_NOT_SET, 0x80040251);
static_assert(EC_COMPLETE == 1 && EC_USERABORT == 2 && EC_ERRORABORT == 3 && EC_QUALITY_CHANGE == 0x0B,
              "event codes");
static_assert(AM_SAMPLE_SPLICEPOINT == 1 && AM_SAMPLE_PREROLL == 2 && AM_SAMPLE_DATADISCONTINUITY == 4 &&
                  AM_SAMPLE_TYPECHANGED == 8 && AM_SAMPLE_TIMEVALID == 0x10 && AM_SAMPLE_STOPVALID == 0x100,
              "sample flags");
static_assert(MERIT_NORMAL == 0x600000 && MERIT_DO_NOT_USE == 0x200000, "merits");
