// Shared by the tests of the media-graph runtime objects. The same tests run against our
// native objects and, in the Windows build under Wine, against the platform's own.
#pragma once

#include "framework/com_ref.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

namespace runtime_test {


// COM is initialised for each test's thread, as a host does.
class ComTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    void TearDown() override { CoUninitialize(); }
};

// A fresh memory allocator with the given properties granted.
inline HRESULT MakeAllocator(ComRef<IMemAllocator>& allocator, LONG count, LONG size, LONG align = 1, LONG prefix = 0)
{
    HRESULT hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                  allocator.put_void());
    if (FAILED(hr)) return hr;
    ALLOCATOR_PROPERTIES request = {count, size, align, prefix};
    ALLOCATOR_PROPERTIES actual = {};
    return allocator->SetProperties(&request, &actual);
}

}  // namespace runtime_test
