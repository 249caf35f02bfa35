// How a module's entry routine (BOOL WINAPI entry(HINSTANCE, DWORD reason, LPVOID)) is run
// when the module is loaded and unloaded, and how its exports are marked.
//
// On Windows the loader calls DllMain after the C and C++ run-time start-up, and before the
// run-time shut-down; MODULE_ENTRY_POINT defines DllMain to call the entry routine, and the
// module's export list (.def) names its exports.
//
// Natively the module's constructor and destructor hooks call the entry routine with
// DLL_PROCESS_ATTACH and DLL_PROCESS_DETACH and the module's handle, its base address. The
// exports are the symbols marked MODULE_EXPORT, which the module's version script keeps
// global.
#pragma once

#include "platform/platform.h"

#if defined(_WIN32)

#define MODULE_EXPORT

#define MODULE_ENTRY_POINT(entry)                                                          \
    extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved) \
    {                                                                                      \
        return entry(hInstance, dwReason, lpReserved);                                     \
    }

#else

#define MODULE_EXPORT __attribute__((visibility("default")))

#define MODULE_ENTRY_POINT(entry)                                                                  \
    namespace {                                                                                    \
    __attribute__((constructor)) void ModuleLoadHook()                                             \
    {                                                                                              \
        entry(PlatformModuleFromAddress(reinterpret_cast<const void*>(&ModuleLoadHook)),           \
              DLL_PROCESS_ATTACH, nullptr);                                                        \
    }                                                                                              \
    __attribute__((destructor)) void ModuleUnloadHook()                                            \
    {                                                                                              \
        entry(PlatformModuleFromAddress(reinterpret_cast<const void*>(&ModuleUnloadHook)),         \
              DLL_PROCESS_DETACH, nullptr);                                                        \
    }                                                                                              \
    }

#endif
