// Media types: ownership of the format block and pUnk, assignment, and partial matching.
#include "framework/media_type.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

GUID TestGuid(uint32_t n) { return {n, 0x0001, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}}; }
const GUID kMajor = TestGuid(1), kOtherMajor = TestGuid(2), kSub = TestGuid(3), kOtherSub = TestGuid(4),
           kFormat = TestGuid(5), kOtherFormat = TestGuid(6);

// Stands in for the object a media type may carry; counts the references held on it.
class CountingUnknown : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    ULONG refs = 1;
};

void GiveFormat(AM_MEDIA_TYPE& mt, const char* bytes)
{
    mt.cbFormat = static_cast<ULONG>(std::strlen(bytes));
    mt.pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(mt.cbFormat));
    std::memcpy(mt.pbFormat, bytes, mt.cbFormat);
}

CMediaType Complete(const char* format)
{
    CMediaType mt;
    mt.majortype = kMajor;
    mt.subtype = kSub;
    mt.formattype = kFormat;
    GiveFormat(mt, format);
    return mt;
}

TEST(MediaType, CopyOwnsItsFormatBlockAndAReferenceOnPUnk)
{
    CountingUnknown unk;
    AM_MEDIA_TYPE source{};
    source.majortype = kMajor;
    source.pUnk = &unk;
    GiveFormat(source, "wave");

    AM_MEDIA_TYPE target;
    std::memset(&target, 0xCD, sizeof target);  // old contents are overwritten, not freed
    ASSERT_EQ(CopyMediaType(&target, &source), S_OK);
    EXPECT_TRUE(IsEqualGUID(target.majortype, kMajor));
    EXPECT_EQ(unk.refs, 2u);
    ASSERT_EQ(target.cbFormat, 4u);
    EXPECT_NE(target.pbFormat, source.pbFormat);
    EXPECT_EQ(std::memcmp(target.pbFormat, "wave", 4), 0);

    FreeMediaType(target);
    FreeMediaType(target);  // the second finds nothing left to release
    EXPECT_EQ(unk.refs, 1u);
    EXPECT_EQ(target.pbFormat, nullptr);
    EXPECT_EQ(target.pUnk, nullptr);

    auto* handed = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    ASSERT_EQ(CopyMediaType(handed, &source), S_OK);
    DeleteMediaType(handed);
    EXPECT_EQ(unk.refs, 1u);

    // Onto itself, a copy neither duplicates the block nor adds a reference.
    BYTE* block = source.pbFormat;
    EXPECT_EQ(CopyMediaType(&source, &source), S_OK);
    EXPECT_EQ(source.pbFormat, block);
    EXPECT_EQ(unk.refs, 1u);
    FreeMediaType(source);
    EXPECT_EQ(unk.refs, 0u);
}

TEST(MediaType, FormatPointerWithoutLengthIsNeverFreedAndMissingBlockIsNotTrusted)
{
    BYTE notOwned[4] = {1, 2, 3, 4};  // on the stack: freeing it would be caught at once
    AM_MEDIA_TYPE record{};
    record.pbFormat = notOwned;
    {
        CMediaType copy(record);
        EXPECT_EQ(copy.pbFormat, notOwned);
    }

    record.pbFormat = nullptr;
    record.majortype = kMajor;
    record.formattype = kFormat;
    record.cbFormat = 4;  // claims a block it does not have
    CMediaType copy;
    EXPECT_EQ(copy.Set(record), E_INVALIDARG);
    EXPECT_TRUE(IsEqualGUID(copy.majortype, kMajor));
    EXPECT_EQ(copy.cbFormat, 0u);
    copy.cbFormat = 4;
    EXPECT_FALSE(Complete("abcd").MatchesPartial(&copy));
}

TEST(MediaType, CopiesAndAssignmentsAreIndependent)
{
    CountingUnknown unk;
    {
        CMediaType original = Complete("abc");
        EXPECT_EQ(original.lSampleSize, 1u);
        EXPECT_EQ(original.bFixedSizeSamples, TRUE);
        original.pUnk = &unk;
        unk.AddRef();

        CMediaType copy(original);
        CMediaType assigned;
        assigned = original;
        EXPECT_EQ(unk.refs, 4u);
        copy.pbFormat[0] = 'x';
        EXPECT_EQ(original.pbFormat[0], 'a');
        EXPECT_EQ(assigned.pbFormat[0], 'a');

        assigned = Complete("defg");  // releases what it held before
        EXPECT_EQ(unk.refs, 3u);

        BYTE* block = original.pbFormat;
        CMediaType& same = original;
        original = same;
        EXPECT_EQ(original.pbFormat, block);
        EXPECT_EQ(unk.refs, 3u);
    }
    EXPECT_EQ(unk.refs, 1u);
}

TEST(MediaType, PartialMatchDecidesInOrder)
{
    const CMediaType complete = Complete("fmt1");
    CMediaType partial;
    EXPECT_TRUE(partial.IsPartiallySpecified());
    EXPECT_TRUE(complete.MatchesPartial(&partial));  // nothing specified: anything fits

    partial.majortype = kOtherMajor;
    EXPECT_FALSE(complete.MatchesPartial(&partial));
    partial.majortype = kMajor;
    partial.subtype = kOtherSub;
    EXPECT_FALSE(complete.MatchesPartial(&partial));
    partial.subtype = kSub;

    GiveFormat(partial, "fmt2");
    EXPECT_TRUE(complete.MatchesPartial(&partial));  // no format type: bytes not looked at
    partial.formattype = kOtherFormat;
    EXPECT_FALSE(complete.MatchesPartial(&partial));
    partial.formattype = kFormat;
    EXPECT_FALSE(complete.MatchesPartial(&partial));
    partial.pbFormat[3] = '1';
    EXPECT_TRUE(complete.MatchesPartial(&partial));
    partial.subtype = GUID_NULL;
    EXPECT_FALSE(partial.IsPartiallySpecified());  // a null subtype alone does not count

    partial = Complete("fmt12");
    EXPECT_FALSE(complete.MatchesPartial(&partial));
}

}  // namespace
