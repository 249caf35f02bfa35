// The test program stands in for the module: its own resources are the module's, and the
// module-wide values are set as the module's load routine sets them.
#include "tests/ui/ui_support.h"

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

namespace uitest {

namespace {

class ModuleEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
#if defined(_WIN32)
        ModuleInstance = GetModuleHandleW(nullptr);
        OSVERSIONINFOA info{};
        info.dwOSVersionInfoSize = sizeof info;
        PlatformId = 1;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        if (GetVersionExA(&info)) PlatformId = info.dwPlatformId;
#pragma GCC diagnostic pop
#else
        Dl_info info;
        ASSERT_NE(dladdr(reinterpret_cast<const void*>(&ModuleInstance), &info), 0);
        ModuleInstance = reinterpret_cast<HINSTANCE>(info.dli_fbase);
        PlatformId = VER_PLATFORM_WIN32_NT;
#endif
    }
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new ModuleEnvironment);

const WCHAR kParentClass[] = WIDE("UiTestParent");

// QueryInterface of a fake that offers IUnknown and, when `own` is given, one interface more.
HRESULT QueryFake(IUnknown* self, const IID* own, REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown) || (own && IsEqualGUID(riid, *own))) {
        *ppv = self;
        self->AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

}  // namespace

ParentWindow::ParentWindow()
{
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = Proc;
    wc.hInstance = ModuleInstance;
    wc.lpszClassName = kParentClass;
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    RegisterClassExW(&wc);  // fails harmlessly when already registered
    m_hwnd = CreateWindowExW(0, kParentClass, WIDE("Parent"), WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 10, 10, 600, 400,
                             nullptr, nullptr, ModuleInstance, this);
    ShowWindow(m_hwnd, SW_SHOW);
}

ParentWindow::~ParentWindow()
{
    if (IsWindow(m_hwnd)) DestroyWindow(m_hwnd);
    Pump(0);
}

int ParentWindow::Count(UINT message) const
{
    int n = 0;
    for (UINT m : m_notifications) n += m == message;
    return n;
}

LRESULT CALLBACK ParentWindow::Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_NCCREATE)
        SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    auto* self = reinterpret_cast<ParentWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self && msg >= WM_USER && msg < WM_APP) self->m_notifications.push_back(msg);
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

STDMETHODIMP FakeSite::QueryInterface(REFIID riid, void** ppv)
{
    return QueryFake(this, &IID_IPropertyPageSite, riid, ppv);
}

STDMETHODIMP FakeEffect::QueryInterface(REFIID riid, void** ppv) { return QueryFake(this, &IID_IIPEffect, riid, ppv); }

STDMETHODIMP PlainObject::QueryInterface(REFIID riid, void** ppv) { return QueryFake(this, nullptr, riid, ppv); }

std::vector<HWND> FormWindowsUnder(HWND parent)
{
    std::vector<HWND> found;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        WCHAR name[64] = {};
        if (GetClassNameW(child, name, 64) && name[0] == u'D' && name[1] == u'U' && name[2] == u'r') found.push_back(child);
    }
    return found;
}

}  // namespace uitest
