// The pointer list: walking, finding by identity, appending lists, emptying and reuse.
#include "framework/list.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Item {
    int value;
};

std::vector<Item*> Contents(const CGenericList<Item>& list)
{
    std::vector<Item*> items;
    for (POSITION pos = list.GetHeadPosition(); pos;) items.push_back(list.GetNext(pos));
    return items;
}

TEST(PointerList, WalksAndFindsByIdentity)
{
    Item a{1}, b{2}, twinOfA{1};
    CGenericList<Item> list;
    EXPECT_EQ(list.GetHeadPosition(), nullptr);
    POSITION first = list.AddTail(&a);
    POSITION pb = list.AddTail(&b);
    POSITION last = list.AddTail(&a);
    EXPECT_EQ(list.GetCount(), 3);
    EXPECT_EQ(Contents(list), (std::vector<Item*>{&a, &b, &a}));

    EXPECT_EQ(list.Find(&a), first);  // the occurrence nearer the head
    EXPECT_EQ(list.Find(&b), pb);
    EXPECT_EQ(list.Find(&twinOfA), nullptr);

    POSITION pos = last;
    EXPECT_EQ(list.GetNext(pos), &a);
    EXPECT_EQ(pos, nullptr);
    EXPECT_EQ(list.GetNext(pos), nullptr);
    EXPECT_EQ(list.Get(nullptr), nullptr);
}

TEST(PointerList, AppendsAnotherListLeavingItAlone)
{
    Item a{1}, b{2}, c{3};
    CGenericList<Item> target, other, empty;
    target.AddTail(&a);
    other.AddTail(&b);
    other.AddTail(&c);

    EXPECT_TRUE(target.AddTail(&empty));
    EXPECT_EQ(target.GetCount(), 1);
    EXPECT_TRUE(target.AddTail(&other));
    EXPECT_EQ(Contents(target), (std::vector<Item*>{&a, &b, &c}));
    EXPECT_EQ(Contents(other), (std::vector<Item*>{&b, &c}));

    // Appended to itself, a list gains each element once and the walk ends.
    EXPECT_TRUE(other.AddTail(&other));
    EXPECT_EQ(Contents(other), (std::vector<Item*>{&b, &c, &b, &c}));
    EXPECT_FALSE(target.AddTail(static_cast<CGenericList<Item>*>(nullptr)));
}

TEST(PointerList, RemoveAllEmptiesTheListForReuse)
{
    Item a{1}, b{2};
    CGenericList<Item> list;
    list.AddTail(&a);
    list.AddTail(&b);
    list.RemoveAll();
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(list.GetHeadPosition(), nullptr);
    list.AddTail(&b);
    EXPECT_EQ(Contents(list), (std::vector<Item*>{&b}));
}

}  // namespace
