// Fault injection, a native platform extra for tests: makes the n-th call of one kind fail
// as if the resource behind it had run out, so that a test can walk a scenario through every
// failure it can meet. Nothing here has a Windows counterpart, and module code never calls it.
//
// Kinds and how their calls fail:
//   PLATFORM_FAULT_TASK_MEMORY       CoTaskMemAlloc returns null.
//   PLATFORM_FAULT_OPERATOR_NEW      operator new in a process whose replacement operator new
//                                    asks PlatformFaultNext (a test support library does):
//                                    the nothrow forms return null, the others throw
//                                    std::bad_alloc.
//   PLATFORM_FAULT_ALLOCATOR_BUFFER  IMemAllocator::GetBuffer of the memory allocator
//                                    (CLSID_MemoryAllocator) answers E_OUTOFMEMORY, with no
//                                    sample.
//   PLATFORM_FAULT_REGISTRY_WRITE    a registry change answers ERROR_CANTWRITE and leaves the
//                                    store as it was.
//
// Every kind is counted on its own and from any thread; a kind counts its calls only while
// it is armed.
#pragma once

#include "platform/native/base.h"

#define PLATFORM_FAULT_TASK_MEMORY 1
#define PLATFORM_FAULT_OPERATOR_NEW 2
#define PLATFORM_FAULT_ALLOCATOR_BUFFER 3
#define PLATFORM_FAULT_REGISTRY_WRITE 4

// Arms `kind` so that the n-th call from now (n >= 1) fails, once; n = 0 disarms it. Either
// way the kind's count starts again from zero. Unknown kinds are ignored.
PLATFORM_API void PlatformSetFaultInjection(DWORD kind, LONG n);

// The calls of `kind` counted since it was last armed or disarmed (they stop being counted
// when it is disarmed). A walk is complete when a run's count stays below the n it armed.
PLATFORM_API LONG PlatformFaultCalls(DWORD kind);

// Counts one call of `kind` and answers TRUE when that call is the one to fail. The
// platform's own calls of the kinds above ask this; a test's replacement operator new asks
// it for PLATFORM_FAULT_OPERATOR_NEW.
PLATFORM_API BOOL PlatformFaultNext(DWORD kind);
