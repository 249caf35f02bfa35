// The ANSI code page round trip that resource strings and registry values go through.
#include "platform/platform.h"

#include <gtest/gtest.h>

TEST(PlatformStrings, AnsiRoundTripKeepsTextAndTerminator)
{
    const char* text = "Input \xC3\xA9\xE2\x82\xAC";  // "Input é€"
    WCHAR wide[32];
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 32);
#if defined(_WIN32)
    // Windows' ANSI code page is a legacy single-byte one; only the ASCII part is common.
    ASSERT_GT(n, 6);
#else
    ASSERT_EQ(n, 9);
    EXPECT_EQ(wide[6], 0x00E9);
    EXPECT_EQ(wide[7], 0x20AC);
    EXPECT_EQ(wide[8], 0);
    char back[32];
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, back, 32, nullptr, nullptr), 12);
    EXPECT_STREQ(back, text);
#endif
    EXPECT_EQ(wide[0], WIDE("I")[0]);
}

TEST(PlatformStrings, ConversionReportsAShortBuffer)
{
    WCHAR wide[3];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "Output", -1, wide, 3), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "Output", -1, nullptr, 0), 7);
}
