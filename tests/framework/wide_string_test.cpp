// The wide-string routines: bounded copy, ordinal comparison, formatting and task-memory copies.
#include "framework/wide_string.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

constexpr WCHAR kUntouched = 0x7777;

std::u16string Text(const WCHAR* s)
{
    std::u16string text;
    for (; *s; ++s) text.push_back(static_cast<char16_t>(*s));
    return text;
}

TEST(WideStrings, BoundedCopyWritesAtMostNUnitsAndTerminates)
{
    struct Case {
        size_t n;
        const char16_t* expected;  // null: nothing written
    } cases[] = {{0, nullptr}, {1, u""}, {5, u"0123"}, {16, u"0123456789"}};
    for (const Case& c : cases) {
        WCHAR buffer[16];
        for (auto& unit : buffer) unit = kUntouched;
        EXPECT_EQ(WideCopyN(buffer, WIDE("0123456789"), c.n), buffer);
        size_t written = c.expected ? std::u16string(c.expected).size() + 1 : 0;
        if (c.expected) {
            EXPECT_EQ(Text(buffer), c.expected) << c.n;
        }
        if (written < 16) {
            EXPECT_EQ(buffer[written], kUntouched) << c.n;
        }
    }
}

TEST(WideStrings, ComparisonIsOrdinalOverUnsignedUnits)
{
    EXPECT_LT(WideCompare(WIDE("In"), WIDE("Input")), 0);
    EXPECT_EQ(WideCompare(WIDE("Out"), WIDE("Out")), 0);
    EXPECT_EQ(WideCompare(WIDE("a"), WIDE("A")), 'a' - 'A');
    const WCHAR high[] = {0xFFFF, 0};
    EXPECT_GT(WideCompare(high, WIDE("z")), 0);
}

TEST(WideStrings, FormatsPersistedIntegersWithoutOverrun)
{
    struct Case {
        int value;
        const char16_t* text;
    } cases[] = {{7, u"00000000007 "}, {-5, u"-0000000005 "}, {INT_MAX, u"02147483647 "}, {INT_MIN, u"-2147483648 "}};
    for (const Case& c : cases) {
        WCHAR buffer[16];
        for (auto& unit : buffer) unit = kUntouched;
        EXPECT_EQ(WideFormat(buffer, WIDE("%011d "), c.value), 12);
        EXPECT_EQ(Text(buffer), c.text);
        EXPECT_EQ(buffer[13], kUntouched);
    }

    WCHAR small[8];
    for (auto& unit : small) unit = kUntouched;
    EXPECT_EQ(WideFormatN(small, 5, WIDE("%011d "), 7), -1);
    EXPECT_EQ(Text(small), u"0000");
    EXPECT_EQ(small[5], kUntouched);

    WCHAR big[kWideFormatMax + 8];
    for (auto& unit : big) unit = kUntouched;
    EXPECT_EQ(WideFormat(big, WIDE("%300d"), 1), -1);
    EXPECT_EQ(WideLength(big), kWideFormatMax - 1);
    EXPECT_EQ(big[kWideFormatMax], kUntouched);
}

TEST(WideStrings, TaskMemoryCopyIsTheCallersToFree)
{
    LPWSTR copy = nullptr;
    ASSERT_EQ(AMGetWideString(WIDE(""), &copy), S_OK);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy[0], 0);
    CoTaskMemFree(copy);

    ASSERT_EQ(AMGetWideString(WIDE("In"), &copy), S_OK);
    EXPECT_EQ(Text(copy), u"In");
    CoTaskMemFree(copy);
    EXPECT_EQ(AMGetWideString(WIDE("In"), nullptr), E_POINTER);
}

}  // namespace
