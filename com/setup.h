// Self-registration: the server keys of the module's classes under HKEY_CLASSES_ROOT and
// the filter database entries of its filters.
//
// Like the class factory, the routines take the template table as an argument; the module's
// DllRegisterServer and DllUnregisterServer bind them to g_Templates.
#pragma once

#include "com/factory.h"
#include "framework/filter_setup.h"
#include "platform/platform.h"

// Registers (bRegister TRUE) or unregisters every class of the table. Registering writes
// the server keys of all templates and then enters every template that has a filter setup
// record with the filter mapper (IFilterMapper2, or the first-generation IFilterMapper when
// that class is not there; any other failure to create IFilterMapper2 is returned). Unregistering removes the filters from the mapper first and the
// server keys only when that succeeded. Stops at the first failure and returns it.
HRESULT AMovieDllRegisterServer2(const CFactoryTemplate* templates, int count, BOOL bRegister);
// The same over the module's own table, g_Templates (com/module.cpp).
HRESULT AMovieDllRegisterServer2(BOOL bRegister);

// For each template in order, WriteServerKey (register) or RemoveServerKey (unregister),
// stopping at the first failure.
HRESULT RegisterServerEntries(const CFactoryTemplate* templates, int count, LPCWSTR szFileName, BOOL bRegister);

// Writes "CLSID\{clsid}" with `description` as its default value, and its subkey
// `serverType` with `serverPath` as default value and "ThreadingModel" = `threadingModel`.
// All values are REG_SZ, written as narrow strings in the system code page.
HRESULT WriteServerKey(CLSID clsid, LPCWSTR description, LPCWSTR serverPath, LPCWSTR threadingModel,
                       LPCWSTR serverType);

// Removes "CLSID\{clsid}" with everything below it, whoever put it there. S_OK when the key
// is gone afterwards, including when it was never there.
HRESULT RemoveServerKey(CLSID clsid);

// Removes the key `subKey` of `parent` with all its subkeys. E_FAIL for an empty path; S_OK
// when the key does not exist. A subkey that cannot be removed is stepped over (the rest are
// still removed) and the first such subkey's failure is returned; otherwise the failure to
// remove the key itself.
HRESULT DeleteKeyTree(HKEY parent, LPCSTR subKey);
