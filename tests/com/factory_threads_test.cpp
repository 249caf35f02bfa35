// The class factory from many threads at once, as COM may use a "Both" server: the object
// and lock counts come back to rest with every factory and object gone.
#include "com/factory.h"

#include <gtest/gtest.h>

#include <new>
#include <thread>
#include <vector>

namespace {

const CLSID kWorker = {0x5E1F0101, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x11}};

class CWorker : public CUnknown {
public:
    explicit CWorker(LPUNKNOWN outer) : CUnknown("worker", outer) {}
};

CUnknown* WINAPI CreateWorker(LPUNKNOWN outer, HRESULT* phr)
{
    auto* worker = new (std::nothrow) CWorker(outer);
    if (!worker) *phr = E_OUTOFMEMORY;
    return worker;
}

const CFactoryTemplate kTemplates[] = {{WIDE("Worker"), &kWorker, CreateWorker, nullptr, nullptr}};

TEST(ClassFactoryThreads, CountsComeBackToRestAfterConcurrentUse)
{
    ASSERT_EQ(CanUnloadModule(), S_OK);
    LONG before = CBaseObject::ObjectsActive();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 300; ++i) {
                IClassFactory* factory = nullptr;
                if (FAILED(GetClassObjectFromTemplates(kTemplates, 1, kWorker, IID_IClassFactory,
                                                       reinterpret_cast<void**>(&factory))))
                    continue;
                factory->LockServer(TRUE);
                IUnknown* object = nullptr;
                if (SUCCEEDED(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)))) {
                    object->AddRef();
                    object->Release();
                    object->Release();
                }
                factory->LockServer(FALSE);
                factory->Release();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
    EXPECT_EQ(ServerLockCount, 0);
    EXPECT_EQ(CanUnloadModule(), S_OK);
}

}  // namespace
