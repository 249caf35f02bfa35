// The module's entry points: the four exports through which COM and registration tools
// reach the module, and its load/unload routine, all over the module's template table.
#include "com/factory.h"
#include "com/setup.h"
#include "platform/module_entry.h"

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE hInstance, ULONG ulReason, LPVOID pv);

BOOL WINAPI DllEntryPoint(HINSTANCE hInstance, ULONG ulReason, LPVOID)
{
    return ModuleEntryPoint(g_Templates, g_cTemplates, hInstance, ulReason);
}

MODULE_ENTRY_POINT(DllEntryPoint)

HRESULT AMovieDllRegisterServer2(BOOL bRegister) { return AMovieDllRegisterServer2(g_Templates, g_cTemplates, bRegister); }

STDAPI MODULE_EXPORT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    return GetClassObjectFromTemplates(g_Templates, g_cTemplates, rclsid, riid, ppv);
}

STDAPI MODULE_EXPORT DllCanUnloadNow() { return CanUnloadModule(); }

STDAPI MODULE_EXPORT DllRegisterServer() { return AMovieDllRegisterServer2(TRUE); }

STDAPI MODULE_EXPORT DllUnregisterServer() { return AMovieDllRegisterServer2(FALSE); }
