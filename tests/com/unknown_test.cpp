// Reference counting, identity and aggregation of the COM object base.
#include "com/unknown.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "com_test_support.h"

namespace {

// {5D8E3F7A-0B1C-4E2D-9A6F-3C4B5D6E7F80}
const IID IID_ITestValue = {0x5d8e3f7a, 0x0b1c, 0x4e2d, {0x9a, 0x6f, 0x3c, 0x4b, 0x5d, 0x6e, 0x7f, 0x80}};

struct ITestValue : public IUnknown {
    STDMETHOD_(int, Value)() PURE;
};

// An object with one interface of its own that counts its destructions.
class CValueObject : public CUnknown, public ITestValue {
public:
    CValueObject(IUnknown* outer, std::atomic<int>* destroyed) : CUnknown("value", outer), m_pDestroyed(destroyed) {}
    ~CValueObject() override
    {
        ++*m_pDestroyed;
        if (m_bTouchSelfWhileDying) {
            NonDelegatingAddRef();
            NonDelegatingRelease();
        }
    }
    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv && IsEqualGUID(riid, IID_ITestValue)) return GetInterface(static_cast<ITestValue*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    STDMETHODIMP_(int) Value() override { return 42; }

    bool m_bTouchSelfWhileDying = false;

private:
    std::atomic<int>* m_pDestroyed;
};

TEST(ObjectBase, StandAloneObjectLivesUntilItsLastReleaseAndIsItsOwnIdentity)
{
    LONG before = CBaseObject::ObjectsActive();
    std::atomic<int> destroyed{0};
    auto* object = new CValueObject(nullptr, &destroyed);
    IUnknown* identity = object->GetNonDelegatingUnknown();
    EXPECT_EQ(object->GetOwner(), identity);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before + 1);
    EXPECT_EQ(object->NonDelegatingAddRef(), 1u);

    void* unk = nullptr;
    ASSERT_EQ(object->NonDelegatingQueryInterface(IID_IUnknown, &unk), S_OK);
    EXPECT_EQ(unk, identity);
    ITestValue* value = nullptr;
    ASSERT_EQ(identity->QueryInterface(IID_ITestValue, reinterpret_cast<void**>(&value)), S_OK);
    void* again = nullptr;
    ASSERT_EQ(value->QueryInterface(IID_IUnknown, &again), S_OK);
    EXPECT_EQ(again, identity);
    EXPECT_EQ(value->AddRef(), 5u);  // creator, three queries, this one: all on the object

    int dummy = 0;
    void* out = &dummy;
    EXPECT_EQ(object->NonDelegatingQueryInterface(IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(object->NonDelegatingQueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(GetInterface(value, nullptr), E_POINTER);

    for (int i = 0; i < 4; ++i) EXPECT_NE(value->Release(), 0u);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(identity->Release(), 0u);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
}

TEST(ObjectBase, AggregatedObjectDelegatesToItsOuterObject)
{
    std::atomic<int> destroyed{0};
    com_test::Outer outer;
    auto* inner = new CValueObject(&outer, &destroyed);
    EXPECT_EQ(inner->GetOwner(), static_cast<IUnknown*>(&outer));
    outer.inner = inner->GetNonDelegatingUnknown();
    EXPECT_EQ(outer.inner->AddRef(), 1u);

    // Interfaces handed out count on the outer object, and IUnknown through them is the outer's.
    ITestValue* value = nullptr;
    ASSERT_EQ(inner->NonDelegatingQueryInterface(IID_ITestValue, reinterpret_cast<void**>(&value)), S_OK);
    EXPECT_EQ(outer.refs, 2);
    void* unk = nullptr;
    ASSERT_EQ(value->QueryInterface(IID_IUnknown, &unk), S_OK);
    EXPECT_EQ(unk, static_cast<IUnknown*>(&outer));
    EXPECT_EQ(value->Release(), 2u);
    value->Release();

    // The inner identity still acts on the inner object alone.
    ASSERT_EQ(inner->NonDelegatingQueryInterface(IID_IUnknown, &unk), S_OK);
    EXPECT_EQ(unk, outer.inner);
    EXPECT_EQ(outer.refs, 1);
    EXPECT_EQ(outer.inner->Release(), 1u);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(outer.inner->Release(), 0u);
    EXPECT_EQ(destroyed, 1);
}

TEST(ObjectBase, ReferenceTakenDuringDestructionDoesNotDestroyAgain)
{
    std::atomic<int> destroyed{0};
    auto* object = new CValueObject(nullptr, &destroyed);
    object->m_bTouchSelfWhileDying = true;
    object->NonDelegatingAddRef();
    EXPECT_EQ(object->NonDelegatingRelease(), 0u);
    EXPECT_EQ(destroyed, 1);
}

TEST(ObjectBase, CountsStayExactUnderConcurrentUse)
{
    constexpr int kThreads = 8, kRounds = 20000;
    LONG before = CBaseObject::ObjectsActive();
    std::atomic<int> destroyed{0}, privateDestroyed{0}, zeroResults{0};
    auto* shared = new CValueObject(nullptr, &destroyed);
    ITestValue* value = shared;
    for (int i = 0; i < kThreads; ++i) shared->NonDelegatingAddRef();  // one reference per thread

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                value->AddRef();
                shared->NonDelegatingAddRef();
                value->Release();
                shared->NonDelegatingRelease();
                if (i % 64 == 0) {  // objects born and dying on several threads at once
                    auto* own = new CValueObject(nullptr, &privateDestroyed);
                    own->NonDelegatingAddRef();
                    own->NonDelegatingRelease();
                }
            }
            if (value->Release() == 0) ++zeroResults;
        });
    }
    for (auto& thread : threads) thread.join();

    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(zeroResults, 1);
    EXPECT_EQ(privateDestroyed, kThreads * ((kRounds + 63) / 64));
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
}

}  // namespace
