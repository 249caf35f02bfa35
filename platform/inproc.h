// Internal to the native platform: in-process servers named in the registry store, loaded
// on demand by CoGetClassObject/CoCreateInstance and unloaded by CoFreeUnusedLibraries.
#pragma once

#include "platform/platform.h"

namespace platform {

// Looks the class up under HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32, loads the module
// named there (once per process) and asks its DllGetClassObject for `riid`.
// REGDB_E_CLASSNOTREG when the class has no server entry.
HRESULT GetRegisteredClassObject(REFCLSID clsid, REFIID riid, void** ppv);

// Unloads every module loaded by GetRegisteredClassObject whose DllCanUnloadNow answers S_OK.
void FreeUnusedModules();

}  // namespace platform
