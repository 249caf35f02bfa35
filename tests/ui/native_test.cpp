// What only the native platform lets a test see: the message box hook, the desktop opener on
// PATH, and the window services' own rules (timer kill waits, cross-thread sends, resources).
#include "tests/ui/ui_support.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "filter/MaincomProp.h"
#include "ui/VEvavaForm.h"
#include "ui/resource_ids.h"

namespace {

using uitest::ParentWindow;
using uitest::Pump;

struct MessageBoxes {
    static int count;
    static std::u16string lastText;
    static std::function<void()> onShow;
    static int Hook(HWND, LPCWSTR text, LPCWSTR, UINT type)
    {
        ++count;
        lastText = text ? text : u"";
        EXPECT_EQ(type & 0xF, static_cast<UINT>(MB_OK));
        if (onShow) onShow();
        return IDOK;
    }
};
int MessageBoxes::count = 0;
std::u16string MessageBoxes::lastText;
std::function<void()> MessageBoxes::onShow;

// PATH set to a folder of our own for the length of a test, holding an xdg-open that
// records its argument when `withOpener` is set.
class ScopedPath {
public:
    explicit ScopedPath(bool withOpener)
    {
        char pattern[] = "/tmp/ui-path-XXXXXX";
        m_dir = mkdtemp(pattern);
        const char* old = getenv("PATH");
        m_old = old ? old : "";
        if (withOpener) {
            std::string script = m_dir + "/xdg-open";
            std::ofstream(script) << "#!/bin/sh\necho \"$1\" > " << m_dir << "/opened\n";
            chmod(script.c_str(), 0755);
        }
        setenv("PATH", m_dir.c_str(), 1);
        PlatformSetMessageBoxHook(&MessageBoxes::Hook);
        MessageBoxes::count = 0;
        MessageBoxes::onShow = nullptr;
    }
    ~ScopedPath()
    {
        setenv("PATH", m_old.c_str(), 1);
        PlatformSetMessageBoxHook(nullptr);
        MessageBoxes::onShow = nullptr;
        std::string cmd = "rm -rf " + m_dir;
        if (system(cmd.c_str()) != 0) ADD_FAILURE() << cmd;
    }
    std::string Opened() const
    {
        for (int i = 0; i < 200; ++i) {  // the opener runs in the background
            std::ifstream in(m_dir + "/opened");
            std::string line;
            if (std::getline(in, line)) return line;
            Sleep(10);
        }
        return std::string();
    }

private:
    std::string m_dir;
    std::string m_old;
};

void Click(HWND hwnd, int x, int y)
{
    SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
    SendMessageW(hwnd, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
}

TEST(AboutWindowClicks, TitleWithoutABrowserSaysSoOnce)
{
    ScopedPath path(false);
    ParentWindow parent;
    TForm1* form = TForm1::CreateParented(parent.Handle());
    ASSERT_NE(form, nullptr);
    Click(form->Handle(), 10, 12);
    EXPECT_EQ(MessageBoxes::count, 1);
    EXPECT_EQ(MessageBoxes::lastText, u"Unable to connect to Internet");
    form->Free();
}

TEST(AboutWindowClicks, TitleOpensTheWebAddressAndNothingElseReacts)
{
    ScopedPath path(true);
    ParentWindow parent;
    TForm1* form = TForm1::CreateParented(parent.Handle());
    ASSERT_NE(form, nullptr);
    HWND hwnd = form->Handle();
    RECT address, picture;
    ASSERT_TRUE(form->ComponentRect("Label10", address));
    ASSERT_TRUE(form->ComponentRect("Image1", picture));
    Click(hwnd, address.left + 3, address.top + 3);  // the address text is not a link
    Click(hwnd, picture.left + 40, picture.top + 40);
    Click(hwnd, 200, 190);                           // the bare panel
    // A press on the title released elsewhere is not a click.
    SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 12));
    SendMessageW(hwnd, WM_LBUTTONUP, 0, MAKELPARAM(200, 190));
    Sleep(100);
    EXPECT_EQ(path.Opened(), std::string()) << "something other than the title opened the address";
    Click(hwnd, 10, 12);
    EXPECT_EQ(path.Opened(), "http://durazodo.example/");
    EXPECT_EQ(MessageBoxes::count, 0);
    form->Free();
}

TEST(AboutWindowClicks, PageReleasedWhileTheMessageIsUpOutlivesTheClick)
{
    // The frame may be closed while the title's message box waits: the page goes, and
    // with it the about window, whose click handler has not returned yet.
    ScopedPath path(false);
    ParentWindow frame;
    uitest::FakeEffect filter;
    HRESULT hr = S_OK;
    CUnknown* object = CVEvavaProp::CreateInstance(nullptr, &hr);
    IPropertyPage* page = nullptr;
    object->NonDelegatingQueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(&page));
    IUnknown* objects[1] = {&filter};
    ASSERT_EQ(page->SetObjects(1, objects), S_OK);
    RECT rect{0, 0, 420, 210};
    ASSERT_EQ(page->Activate(frame.Handle(), &rect, TRUE), S_OK);
    HWND about = static_cast<CVEvavaProp*>(object)->AboutForm()->Handle();
    MessageBoxes::onShow = [&] {
        page->Deactivate();
        page->SetObjects(0, nullptr);
        page->Release();
    };
    Click(about, 10, 12);
    EXPECT_EQ(MessageBoxes::count, 1);
    EXPECT_FALSE(IsWindow(about));
    EXPECT_EQ(filter.refs, 1);
    Pump(150);
}

TEST(WindowServices, TimerKillWaitsForTheCallbackInProgress)
{
    struct State {
        std::atomic<bool> inside{false};
        std::atomic<bool> finished{false};
    } state;
    auto callback = [](UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
        auto* s = reinterpret_cast<State*>(user);
        s->inside = true;
        Sleep(150);
        s->finished = true;
    };
    UINT id = timeSetEvent(10, 1, callback, reinterpret_cast<DWORD_PTR>(&state), TIME_PERIODIC | TIME_KILL_SYNCHRONOUS);
    ASSERT_NE(id, 0u);
    while (!state.inside) Sleep(1);
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_TRUE(state.finished);
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(timeSetEvent(0, 1, callback, 0, TIME_PERIODIC), 0u);
}

TEST(WindowServices, DibSectionsOfImpossibleSizesAreRefused)
{
    HDC dc = CreateCompatibleDC(nullptr);
    BITMAPINFO bmi{};
    bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    bmi.bmiHeader.biWidth = 4;
    // Top-down and bottom-up at the largest height taken; past it, including the most
    // negative height, which has no positive counterpart.
    for (LONG height : {LONG{-32768}, LONG{32768}, LONG{-32769}, LONG{32769}, LONG{INT32_MIN}}) {
        bmi.bmiHeader.biHeight = height;
        void* bits = nullptr;
        HBITMAP bitmap = CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
        EXPECT_EQ(bitmap != nullptr, height == -32768 || height == 32768) << height;
        if (bitmap) DeleteObject(bitmap);
    }
    DeleteDC(dc);
}

TEST(WindowServices, MessagesCrossThreadsAndPaintIsGeneratedLast)
{
    ParentWindow parent;
    HWND hwnd = parent.Handle();
    std::atomic<bool> done{false};
    std::thread other([hwnd, &done] {
        EXPECT_TRUE(PostMessageW(hwnd, WM_USER + 1, 0, 0));
        // Sent from another thread, it runs when the owner reads its queue.
        EXPECT_EQ(SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0), 6);
        EXPECT_FALSE(DestroyWindow(hwnd));  // only the owner may
        done = true;
    });
    // Keep reading the queue until the other thread is through: its sent message waits for it.
    while (!done) Pump(5);
    other.join();
    EXPECT_EQ(parent.Count(WM_USER + 1), 1);
    InvalidateRect(hwnd, nullptr, TRUE);
    PostMessageW(hwnd, WM_USER + 2, 0, 0);
    MSG msg;
    ASSERT_TRUE(GetMessageW(&msg, nullptr, 0, 0));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 2));
    ASSERT_TRUE(GetMessageW(&msg, nullptr, 0, 0));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_PAINT));
    DispatchMessageW(&msg);  // the default handling validates the window
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    PostQuitMessage(3);
    EXPECT_FALSE(GetMessageW(&msg, nullptr, 0, 0));
    EXPECT_EQ(msg.wParam, 3u);
}

TEST(WindowServices, ModuleResourcesAreFoundByHandleAndId)
{
    WCHAR title[32];
    EXPECT_EQ(LoadStringW(ModuleInstance, IDS_PAGE_TITLE, title, 32), 13);
    EXPECT_EQ(std::u16string(title), u"VEvava Filter");
    EXPECT_EQ(LoadStringW(ModuleInstance, IDS_PAGE_TITLE, title, 4), 3);
    EXPECT_EQ(std::u16string(title), u"VEv");
    const WCHAR* direct = nullptr;
    EXPECT_EQ(LoadStringW(ModuleInstance, IDS_PAGE_TITLE, reinterpret_cast<LPWSTR>(&direct), 0), 13);
    char narrow[8];
    EXPECT_EQ(LoadStringA(ModuleInstance, IDS_PAGE_TITLE, narrow, 8), 7);
    EXPECT_STREQ(narrow, "VEvava ");
    EXPECT_EQ(LoadStringW(ModuleInstance, 1014, title, 32), 0);
    EXPECT_EQ(title[0], 0);
    // Another module's handle finds nothing of ours.
    EXPECT_EQ(LoadStringW(reinterpret_cast<HINSTANCE>(&title), IDS_PAGE_TITLE, title, 32), 0);

    struct Init {
        static INT_PTR CALLBACK Proc(HWND hwnd, UINT msg, WPARAM, LPARAM lParam)
        {
            if (msg == WM_INITDIALOG) SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
            return msg == WM_INITDIALOG;
        }
    };
    HWND dialog = CreateDialogParamW(ModuleInstance, MAKEINTRESOURCEW(IDD_PAGE), GetDesktopWindow(), Init::Proc, 1234);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(GetWindowLongPtrW(dialog, DWLP_USER), 1234);
    EXPECT_EQ(GetWindowLongPtrW(dialog, GWL_STYLE), static_cast<LONG_PTR>(WS_CHILD));
    RECT r;
    GetWindowRect(dialog, &r);
    EXPECT_EQ(r.right - r.left, 416);
    EXPECT_EQ(r.bottom - r.top, 200);
    DestroyWindow(dialog);
}

}  // namespace
