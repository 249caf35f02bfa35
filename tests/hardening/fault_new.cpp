// Replaces the global operator new and delete of a test program, so that the platform's
// fault injection (PLATFORM_FAULT_OPERATOR_NEW) reaches every allocation in the process: the
// program's own, the platform library's and those of a module it loads. The nothrow forms
// answer an injected fault with null, the others with std::bad_alloc.
//
// Memory comes from malloc and goes back to free, so every new here pairs with every delete
// here, with or without a sanitizer's allocator underneath. The aligned forms are not
// replaced: they keep their own matching pair.
#include <cstdlib>
#include <new>

#include "platform/platform.h"
#include "platform/native/fault.h"

namespace {

// malloc, with the new handler's help when memory runs out, as the default new does.
void* Obtain(std::size_t size)
{
    for (;;) {
        if (void* p = std::malloc(size ? size : 1)) return p;
        std::new_handler handler = std::get_new_handler();
        if (!handler) throw std::bad_alloc();
        handler();
    }
}

void* Throwing(std::size_t size)
{
    if (PlatformFaultNext(PLATFORM_FAULT_OPERATOR_NEW)) throw std::bad_alloc();
    return Obtain(size);
}

void* Nothrow(std::size_t size) noexcept
{
    if (PlatformFaultNext(PLATFORM_FAULT_OPERATOR_NEW)) return nullptr;
    try {
        return Obtain(size);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

void* operator new(std::size_t size) { return Throwing(size); }
void* operator new[](std::size_t size) { return Throwing(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Nothrow(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Nothrow(size); }

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
