// Shared by the tests of the media-graph runtime objects. The same tests run against our
// native objects and, in the Windows build under Wine, against the platform's own.
#pragma once

#include "platform/platform.h"

#include <gtest/gtest.h>

namespace runtime_test {

// Holds one reference on a COM object and releases it when it goes.
template <typename T>
class Ref {
public:
    Ref() = default;
    explicit Ref(T* p) : m_p(p) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : m_p(other.Detach()) {}
    ~Ref() { Reset(); }

    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    // Address for an out-parameter; drops what was held first.
    T** put()
    {
        Reset();
        return &m_p;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    void Reset()
    {
        if (m_p) m_p->Release();
        m_p = nullptr;
    }
    // Gives up the reference without releasing it.
    T* Detach()
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }

private:
    T* m_p = nullptr;
};

// COM is initialised for each test's thread, as a host does.
class ComTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    void TearDown() override { CoUninitialize(); }
};

// A fresh memory allocator with the given properties granted.
inline HRESULT MakeAllocator(Ref<IMemAllocator>& allocator, LONG count, LONG size, LONG align = 1, LONG prefix = 0)
{
    HRESULT hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                  allocator.put_void());
    if (FAILED(hr)) return hr;
    ALLOCATOR_PROPERTIES request = {count, size, align, prefix};
    ALLOCATOR_PROPERTIES actual = {};
    return allocator->SetProperties(&request, &actual);
}

}  // namespace runtime_test
