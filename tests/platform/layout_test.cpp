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
