// Internal to the native platform: the table of runtime classes that CoCreateInstance
// creates in process before it looks at classes registered by hosts or in the registry.
#pragma once

#include "platform/platform.h"

#include <new>

namespace platform {

// Creates an instance of a built-in class; `outer` is non-null for aggregation, in which
// case `riid` must be IID_IUnknown.
using CreateFunction = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

// Adds a class to the built-in table; used from static initialisers of the platform library.
struct BuiltinClass {
    BuiltinClass(const CLSID& clsid, CreateFunction create);
};

// Looks a class up in the built-in table; null when it is not built in.
CreateFunction FindBuiltinClass(REFCLSID clsid);

// The CreateFunction of a class that cannot be aggregated: a new `Object` (whose count starts
// at 1, the creator's reference) asked for `riid`, and the creator's reference dropped.
template <class Object>
HRESULT CreateUnaggregated(IUnknown* outer, REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) Object();
    if (!object) return E_OUTOFMEMORY;
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

}  // namespace platform
