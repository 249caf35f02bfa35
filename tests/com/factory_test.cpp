// The class factory and the logic behind the module's entry points, over a template table
// of test classes: which factory DllGetClassObject hands out, when the module may be
// unloaded, creation with and without aggregation, and the failures of creation functions.
#include "com/factory.h"

#include <gtest/gtest.h>

#include <new>
#include <utility>
#include <vector>

#include "com_test_support.h"

namespace {

const CLSID kThing = {0x5E1F0001, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x01}};
const CLSID kOther = {0x5E1F0002, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x02}};
const CLSID kNullSuccess = {0x5E1F0003, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x03}};
const CLSID kNullFailure = {0x5E1F0004, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x04}};
const CLSID kHalfMade = {0x5E1F0005, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x05}};
const CLSID kThrows = {0x5E1F0006, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x06}};
const CLSID kPrepared = {0x5E1F0007, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x07}};
const CLSID kNotInTable = {0x5E1F00FF, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0xFF}};

int g_creations = 0;
int g_destructions = 0;
std::vector<std::pair<BOOL, const CLSID*>> g_initCalls;

// A test class with one interface besides IUnknown.
class CThing : public CUnknown, public IPersist {
public:
    explicit CThing(LPUNKNOWN outer, const CLSID& clsid = kThing) : CUnknown("thing", outer), m_clsid(clsid) {}
    ~CThing() override { ++g_destructions; }

    DECLARE_IUNKNOWN

    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualGUID(riid, IID_IPersist)) return GetInterface(static_cast<IPersist*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    STDMETHODIMP GetClassID(CLSID* clsid) override
    {
        *clsid = m_clsid;
        return S_OK;
    }

private:
    CLSID m_clsid;
};

CUnknown* WINAPI CreateThing(LPUNKNOWN outer, HRESULT* phr)
{
    ++g_creations;
    auto* thing = new (std::nothrow) CThing(outer);
    if (!thing) *phr = E_OUTOFMEMORY;
    return thing;
}

CUnknown* WINAPI CreateOther(LPUNKNOWN outer, HRESULT*) { return new CThing(outer, kOther); }
CUnknown* WINAPI CreateNothingButSucceed(LPUNKNOWN, HRESULT*) { return nullptr; }
CUnknown* WINAPI CreateNothingAndFail(LPUNKNOWN, HRESULT* phr)
{
    *phr = E_ACCESSDENIED;
    return nullptr;
}
CUnknown* WINAPI CreateButFail(LPUNKNOWN outer, HRESULT* phr)
{
    *phr = E_ABORT;
    return new CThing(outer);
}
CUnknown* WINAPI CreateAndThrow(LPUNKNOWN, HRESULT*) { throw std::bad_alloc(); }

void WINAPI RecordInit(BOOL loading, const CLSID* clsid) { g_initCalls.emplace_back(loading, clsid); }

// Readies a new object through its own interfaces, or refuses it as `g_prepareResult` says.
HRESULT g_prepareResult = S_OK;
HRESULT PrepareThing(IUnknown* identity)
{
    IPersist* persist = nullptr;
    if (identity->QueryInterface(IID_IPersist, reinterpret_cast<void**>(&persist)) != S_OK) return E_FAIL;
    persist->Release();
    return g_prepareResult;
}

const CFactoryTemplate kTemplates[] = {
    {WIDE("Thing"), &kThing, CreateThing, RecordInit, nullptr},
    {WIDE("Thing again"), &kThing, CreateOther, nullptr, nullptr},  // shadowed by the first
    {WIDE("Other"), &kOther, CreateOther, RecordInit, nullptr},
    {WIDE("Nothing"), &kNullSuccess, CreateNothingButSucceed, nullptr, nullptr},
    {WIDE("Refused"), &kNullFailure, CreateNothingAndFail, nullptr, nullptr},
    {WIDE("Half made"), &kHalfMade, CreateButFail, nullptr, nullptr},
    {WIDE("Throws"), &kThrows, CreateAndThrow, nullptr, nullptr},
    {WIDE("Prepared"), &kPrepared, CreateThing, nullptr, nullptr, PrepareThing},
};
const int kCount = sizeof kTemplates / sizeof kTemplates[0];

ComRef<IClassFactory> FactoryFor(REFCLSID clsid)
{
    ComRef<IClassFactory> factory;
    EXPECT_EQ(GetClassObjectFromTemplates(kTemplates, kCount, clsid, IID_IClassFactory, factory.put_void()), S_OK);
    return factory;
}

TEST(ClassFactory, HandsOutAFreshFactoryForAKnownClassThatCountsWhileItLives)
{
    LONG before = CBaseObject::ObjectsActive();
    IClassFactory* first = nullptr;
    IUnknown* second = nullptr;
    ASSERT_EQ(GetClassObjectFromTemplates(kTemplates, kCount, kThing, IID_IClassFactory, reinterpret_cast<void**>(&first)),
              S_OK);
    ASSERT_EQ(GetClassObjectFromTemplates(kTemplates, kCount, kThing, IID_IUnknown, reinterpret_cast<void**>(&second)),
              S_OK);
    EXPECT_NE(static_cast<void*>(first), static_cast<void*>(second)) << "a new factory on every call";
    EXPECT_EQ(CBaseObject::ObjectsActive(), before + 2);
    EXPECT_EQ(first->AddRef(), 2u) << "handed out with one reference";
    EXPECT_EQ(first->Release(), 1u);

    IClassFactory* viaQuery = nullptr;
    ASSERT_EQ(second->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&viaQuery)), S_OK);
    EXPECT_EQ(static_cast<void*>(viaQuery), static_cast<void*>(second));
    viaQuery->Release();
    void* none = &none;
    EXPECT_EQ(second->QueryInterface(IID_IPersist, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);

    EXPECT_EQ(first->Release(), 0u);
    EXPECT_EQ(second->Release(), 0u);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
}

TEST(ClassFactory, RefusesOtherInterfacesAndUnknownClassesWithoutTouchingTheOutPointer)
{
    LONG before = CBaseObject::ObjectsActive();
    void* untouched = &untouched;
    EXPECT_EQ(GetClassObjectFromTemplates(kTemplates, kCount, kThing, IID_IPersist, &untouched), E_NOINTERFACE);
    EXPECT_EQ(untouched, &untouched);
    EXPECT_EQ(GetClassObjectFromTemplates(kTemplates, kCount, kNotInTable, IID_IClassFactory, &untouched),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(untouched, &untouched);
    EXPECT_EQ(GetClassObjectFromTemplates(kTemplates, 0, kThing, IID_IClassFactory, &untouched),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(GetClassObjectFromTemplates(kTemplates, kCount, kThing, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
}

TEST(ClassFactory, TheFirstTemplateWithTheClassIdCreatesTheObject)
{
    ComRef<IClassFactory> factory = FactoryFor(kThing);
    ComRef<IPersist> thing;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPersist, thing.put_void()), S_OK);
    CLSID clsid = GUID_NULL;
    thing->GetClassID(&clsid);
    EXPECT_TRUE(IsEqualGUID(clsid, kThing));
}

TEST(ClassFactory, TheModuleMayUnloadOnlyWithNoObjectAndNoServerLock)
{
    ASSERT_EQ(CanUnloadModule(), S_OK);
    {
        ComRef<IClassFactory> factory = FactoryFor(kThing);
        EXPECT_EQ(CanUnloadModule(), S_FALSE) << "a live factory";
        ComRef<IPersist> thing;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPersist, thing.put_void()), S_OK);
        EXPECT_EQ(factory->LockServer(TRUE), S_OK);
        factory.Reset();
        EXPECT_EQ(CanUnloadModule(), S_FALSE) << "a live object and a lock";
        thing.Reset();
        EXPECT_EQ(CanUnloadModule(), S_FALSE) << "a server lock";
    }
    ComRef<IClassFactory> factory = FactoryFor(kThing);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    EXPECT_EQ(CanUnloadModule(), S_OK);

    // More unlocks than locks leave the count below zero, where it no longer holds the module.
    factory = FactoryFor(kThing);
    factory->LockServer(FALSE);
    factory.Reset();
    EXPECT_EQ(ServerLockCount, -1);
    EXPECT_EQ(CanUnloadModule(), S_OK);
    InterlockedIncrement(&ServerLockCount);
}

TEST(ClassFactory, CreatingForAMissingInterfaceDestroysTheNewObject)
{
    LONG before = CBaseObject::ObjectsActive();
    int destroyed = g_destructions;
    ComRef<IClassFactory> factory = FactoryFor(kThing);
    void* result = &result;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IStream, &result), E_NOINTERFACE);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(g_destructions, destroyed + 1);
    factory.Reset();
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
    EXPECT_EQ(FactoryFor(kThing)->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
}

TEST(ClassFactory, AnAggregatedObjectIsCreatedOnlyForItsIdentity)
{
    ComRef<IClassFactory> factory = FactoryFor(kThing);
    com_test::Outer outer;
    int created = g_creations;
    void* result = &result;
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IPersist, &result), E_NOINTERFACE);
    EXPECT_EQ(g_creations, created) << "nothing created";
    EXPECT_EQ(result, nullptr);

    IUnknown* inner = nullptr;
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    ASSERT_NE(inner, nullptr);
    EXPECT_NE(inner, static_cast<IUnknown*>(&outer));
    EXPECT_EQ(outer.refs, 1) << "creating the inner object leaves the outer count alone";
    outer.inner = inner;

    // The inner identity acts on the inner object; its other interfaces act on the outer one.
    EXPECT_EQ(inner->AddRef(), 2u);
    EXPECT_EQ(inner->Release(), 1u);
    IPersist* persist = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_IPersist, reinterpret_cast<void**>(&persist)), S_OK);
    EXPECT_EQ(outer.refs, 2);
    IUnknown* identity = nullptr;
    ASSERT_EQ(persist->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&outer)) << "the aggregate's identity is the outer object";
    identity->Release();
    persist->Release();
    EXPECT_EQ(outer.refs, 1);

    int destroyed = g_destructions;
    EXPECT_EQ(inner->Release(), 0u);
    EXPECT_EQ(g_destructions, destroyed + 1);
}

TEST(ClassFactory, CreationFunctionFailuresComeBackWithNothingLeftBehind)
{
    LONG before = CBaseObject::ObjectsActive();
    void* result = &result;

    EXPECT_EQ(FactoryFor(kNullSuccess)->CreateInstance(nullptr, IID_IUnknown, &result), E_OUTOFMEMORY)
        << "no object and no failure code";
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(FactoryFor(kNullFailure)->CreateInstance(nullptr, IID_IUnknown, &result), E_ACCESSDENIED);

    int destroyed = g_destructions;
    EXPECT_EQ(FactoryFor(kHalfMade)->CreateInstance(nullptr, IID_IUnknown, &result), E_ABORT);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(g_destructions, destroyed + 1) << "an object that came with a failure is destroyed";

    // An allocation failure escaping a creation function is reported, not thrown on.
    EXPECT_EQ(FactoryFor(kThrows)->CreateInstance(nullptr, IID_IUnknown, &result), E_OUTOFMEMORY);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
}

TEST(ClassFactory, TheTemplatesPreparationRunsOnTheHeldObjectAndItsFailureFailsTheCreation)
{
    LONG before = CBaseObject::ObjectsActive();
    ComRef<IPersist> made;
    ASSERT_EQ(FactoryFor(kPrepared)->CreateInstance(nullptr, IID_IPersist, made.put_void()), S_OK)
        << "querying and releasing during preparation leaves the new object alive";
    made.Reset();

    g_prepareResult = E_OUTOFMEMORY;
    void* result = &result;
    const int destroyed = g_destructions;
    EXPECT_EQ(FactoryFor(kPrepared)->CreateInstance(nullptr, IID_IPersist, &result), E_OUTOFMEMORY);
    g_prepareResult = S_OK;
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(g_destructions, destroyed + 1);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
}

TEST(ModuleEntry, AttachRecordsTheModuleAndPlatformAndStartsTheClassesInOrder)
{
    g_initCalls.clear();
    HINSTANCE savedInstance = ModuleInstance;
    DWORD savedPlatform = PlatformId;
    auto fakeInstance = reinterpret_cast<HINSTANCE>(static_cast<UINT_PTR>(0x10000));

    EXPECT_TRUE(ModuleEntryPoint(kTemplates, kCount, fakeInstance, DLL_PROCESS_ATTACH));
    EXPECT_EQ(ModuleInstance, fakeInstance);
    EXPECT_EQ(PlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    ASSERT_EQ(g_initCalls.size(), 2u) << "only templates with a routine";
    EXPECT_TRUE(g_initCalls[0].first);
    EXPECT_EQ(g_initCalls[0].second, &kThing);
    EXPECT_EQ(g_initCalls[1].second, &kOther);

    g_initCalls.clear();
    EXPECT_TRUE(ModuleEntryPoint(kTemplates, kCount, fakeInstance, DLL_THREAD_ATTACH));
    EXPECT_TRUE(ModuleEntryPoint(kTemplates, kCount, fakeInstance, DLL_THREAD_DETACH));
    EXPECT_TRUE(g_initCalls.empty());

    EXPECT_TRUE(ModuleEntryPoint(kTemplates, kCount, fakeInstance, DLL_PROCESS_DETACH));
    ASSERT_EQ(g_initCalls.size(), 2u);
    EXPECT_FALSE(g_initCalls[0].first);
    EXPECT_FALSE(g_initCalls[1].first);

    ModuleInstance = savedInstance;
    PlatformId = savedPlatform;
}

}  // namespace
