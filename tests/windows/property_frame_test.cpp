// The platform's own property frame shows the decoder's page: the page's dialog fills the
// frame's page area, the about window sits at its top-left corner with its 409 x 201 client
// area, and the product picture's pixels reach the screen. The frame is modal, so a second
// thread inspects it, hands the screenshot's expectations to the wrapper, and cancels it.
#include "tests/ui/ui_support.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "filter/MaincomProp.h"
#include "filter/identifiers.h"
#include "ui/resource_ids.h"

namespace {

// Creates the decoder's page for the frame, as the module's class factory will.
class PageFactory : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        HRESULT hr = S_OK;
        CUnknown* page = CVEvavaProp::CreateInstance(nullptr, &hr);
        if (!page) return hr;
        IUnknown* identity = page->GetNonDelegatingUnknown();
        identity->AddRef();
        hr = identity->QueryInterface(riid, ppv);
        identity->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

struct Found {
    DWORD thread = 0;
    HWND frame = nullptr;
    HWND about = nullptr;
};

BOOL CALLBACK FindAbout(HWND hwnd, LPARAM param)
{
    auto* found = reinterpret_cast<Found*>(param);
    WCHAR name[64] = {};
    GetClassNameW(hwnd, name, 64);
    if (std::wstring(name) == L"DUrazOdoForm") {
        found->about = hwnd;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindFrame(HWND hwnd, LPARAM param)
{
    auto* found = reinterpret_cast<Found*>(param);
    if (GetWindowThreadProcessId(hwnd, nullptr) != found->thread || !IsWindowVisible(hwnd)) return TRUE;
    found->frame = hwnd;
    return FALSE;
}

COLORREF PicturePixel(HBITMAP picture, int x, int y)
{
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, picture);
    COLORREF c = GetPixel(dc, x, y);
    SelectObject(dc, old);
    DeleteDC(dc);
    return c;
}

TEST(PropertyFrame, ShowsTheDecoderPageWithTheAboutWindow)
{
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    PageFactory factory;
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_BFormatDecoderProperties, &factory, CLSCTX_INPROC_SERVER,
                                    REGCLS_MULTIPLEUSE, &cookie),
              S_OK);
    uitest::FakeEffect filter;
    LONG objectsBefore = CBaseObject::ObjectsActive();

    const char* shotVariable = std::getenv("UI_SCREENSHOT");
    std::string shot = shotVariable ? shotVariable : "";

    Found found;
    found.thread = GetCurrentThreadId();
    bool inspected = false;
    std::thread inspector([&] {
        for (int i = 0; i < 300 && !found.frame; ++i) {
            Sleep(100);
            EnumWindows(FindFrame, reinterpret_cast<LPARAM>(&found));
        }
        if (!found.frame) return;
        for (int i = 0; i < 100 && !found.about; ++i) {
            Sleep(100);
            EnumChildWindows(found.frame, FindAbout, reinterpret_cast<LPARAM>(&found));
        }
        if (found.about) {
            Sleep(800);  // painted by now
            HWND dialog = GetParent(found.about);
            RECT aboutRect, dialogRect, client;
            GetWindowRect(found.about, &aboutRect);
            GetWindowRect(dialog, &dialogRect);
            GetClientRect(found.about, &client);
            EXPECT_EQ(aboutRect.left, dialogRect.left);
            EXPECT_EQ(aboutRect.top, dialogRect.top);
            EXPECT_EQ(client.right, 409);
            EXPECT_EQ(client.bottom, 201);
            EXPECT_TRUE(IsWindowVisible(found.about));
            EXPECT_EQ(GetWindowLongPtrW(dialog, GWL_STYLE) & WS_CHILD, static_cast<LONG_PTR>(WS_CHILD));

            // The picture's own pixels, where it has them, are on the screen.
            HBITMAP picture = static_cast<HBITMAP>(LoadImageW(ModuleInstance, MAKEINTRESOURCEW(IDB_PICTURE),
                                                              IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
            const POINT samples[] = {{5, 4}, {48, 49}, {12, 12}, {30, 49}, {85, 90}};
            std::string expectations;
            HDC screen = GetDC(nullptr);
            for (const POINT& p : samples) {
                COLORREF want = PicturePixel(picture, p.x, p.y);
                int x = aboutRect.left + 304 + p.x, y = aboutRect.top + 48 + p.y;
                EXPECT_EQ(GetPixel(screen, x, y), want) << "picture pixel " << p.x << "," << p.y;
                char line[64];
                std::snprintf(line, sizeof line, "%d %d %d %d %d\n", x, y, GetRValue(want), GetGValue(want),
                              GetBValue(want));
                expectations += line;
            }
            ReleaseDC(nullptr, screen);
            DeleteObject(picture);
            inspected = true;

            if (!shot.empty()) {
                // Hand over to the wrapper for the screenshot and wait until it is taken.
                if (FILE* f = std::fopen((shot + ".ready").c_str(), "w")) {
                    std::fputs(expectations.c_str(), f);
                    std::fclose(f);
                }
                for (int i = 0; i < 300; ++i) {
                    if (FILE* f = std::fopen((shot + ".taken").c_str(), "r")) {
                        std::fclose(f);
                        break;
                    }
                    Sleep(100);
                }
            }
        }
        // Cancel, as a user would.
        PostMessageW(found.frame, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        for (int i = 0; i < 50 && IsWindow(found.frame); ++i) Sleep(100);
        if (IsWindow(found.frame)) PostMessageW(found.frame, WM_CLOSE, 0, 0);
    });

    IUnknown* objects[1] = {&filter};
    CLSID pages[1] = {CLSID_BFormatDecoderProperties};
    HRESULT hr = OleCreatePropertyFrame(nullptr, 40, 40, L"ZAvovoz Evir Adivizu", 1, objects, 1, pages, 0, 0, nullptr);
    inspector.join();
    EXPECT_EQ(hr, S_OK);
    EXPECT_NE(found.frame, nullptr) << "no property frame appeared";
    EXPECT_NE(found.about, nullptr) << "the frame shows no about window";
    EXPECT_TRUE(inspected);
    uitest::Pump(100);
    // The frame let the page and its hold on the filter go.
    EXPECT_EQ(filter.refs, 1);
    EXPECT_EQ(CBaseObject::ObjectsActive(), objectsBefore);
    CoRevokeClassObject(cookie);
    CoUninitialize();
}

}  // namespace
