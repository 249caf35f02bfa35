// The about window and the debug window: layout from their descriptions, painting, the
// refresh timer's notifications, and teardown while the timer fires.
#include "tests/ui/ui_support.h"

#include <cstring>
#include <memory>
#include <random>
#include <thread>

#include "ui/Debug_form.h"
#include "ui/VEvavaForm.h"
#include "ui/resource_ids.h"

namespace {

using uitest::ParentWindow;
using uitest::Pump;

// Renders a form's client area into a 32-bit top-down bitmap and reads its pixels.
class Capture {
public:
    Capture(HWND hwnd, int width, int height) : m_width(width)
    {
        BITMAPINFO bmi{};
        bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
        bmi.bmiHeader.biWidth = width;
        bmi.bmiHeader.biHeight = -height;
        bmi.bmiHeader.biPlanes = 1;
        bmi.bmiHeader.biBitCount = 32;
        bmi.bmiHeader.biCompression = BI_RGB;
        m_dc = CreateCompatibleDC(nullptr);
        m_bitmap = CreateDIBSection(m_dc, &bmi, DIB_RGB_COLORS, &m_bits, nullptr, 0);
        m_old = SelectObject(m_dc, m_bitmap);
        SendMessageW(hwnd, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(m_dc), 0);
        GdiFlushIfAny();
    }
    ~Capture()
    {
        SelectObject(m_dc, m_old);
        DeleteObject(m_bitmap);
        DeleteDC(m_dc);
    }
    COLORREF At(int x, int y) const
    {
        const auto* p = static_cast<const uint8_t*>(m_bits) + (static_cast<size_t>(y) * m_width + x) * 4;
        return RGB(p[2], p[1], p[0]);
    }

private:
    static void GdiFlushIfAny()
    {
#if defined(_WIN32)
        GdiFlush();
#endif
    }
    int m_width;
    HDC m_dc;
    HBITMAP m_bitmap;
    HGDIOBJ m_old;
    void* m_bits = nullptr;
};

// The product picture's own pixel, read from the resource.
COLORREF PicturePixel(int x, int y)
{
    HBITMAP picture = static_cast<HBITMAP>(LoadImageW(ModuleInstance, MAKEINTRESOURCEW(IDB_PICTURE), IMAGE_BITMAP, 0, 0,
                                                      LR_CREATEDIBSECTION));
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, picture);
    COLORREF c = GetPixel(dc, x, y);
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(picture);
    return c;
}

TEST(AboutWindow, IsBuiltFromItsDescription)
{
    ParentWindow parent;
    TForm1* form = TForm1::CreateParented(parent.Handle());
    ASSERT_NE(form, nullptr) << "the description did not load";
    EXPECT_TRUE(form->IsValid()) << form->Error();
    HWND hwnd = form->Handle();
    EXPECT_EQ(GetParent(hwnd), parent.Handle());
    EXPECT_TRUE(GetWindowLongPtrW(hwnd, GWL_STYLE) & WS_CHILD);
    EXPECT_FALSE(GetWindowLongPtrW(hwnd, GWL_STYLE) & (WS_CAPTION | WS_THICKFRAME));
    RECT client;
    GetClientRect(hwnd, &client);
    EXPECT_EQ(client.right, 409);
    EXPECT_EQ(client.bottom, 201);
    EXPECT_FALSE(IsWindowVisible(hwnd));  // shown by the page, not by creation

    // Labels take the size of their text in their own font; everything else keeps its size.
    RECT title;
    ASSERT_TRUE(form->ComponentRect("Label1", title));
    EXPECT_EQ(title.left, 2);
    EXPECT_EQ(title.top, 8);
    HDC dc = CreateCompatibleDC(nullptr);
    LOGFONTW lf{};
    lf.lfHeight = -15;
    lf.lfWeight = FW_BOLD;
    lf.lfUnderline = TRUE;
    lf.lfCharSet = DEFAULT_CHARSET;
    std::memcpy(lf.lfFaceName, WIDE("MS Sans Serif"), sizeof(WIDE("MS Sans Serif")));
    HFONT font = CreateFontIndirectW(&lf);
    HGDIOBJ old = SelectObject(dc, font);
    const WCHAR text[] = WIDE("Tessaly Ambisonic Decoder - A Direct Show Plugin v 0.3.1");
    SIZE extent;
    GetTextExtentPoint32W(dc, text, static_cast<int>(sizeof text / sizeof text[0]) - 1, &extent);
    SelectObject(dc, old);
    DeleteObject(font);
    DeleteDC(dc);
    EXPECT_EQ(title.right - title.left, extent.cx);

    RECT image;
    ASSERT_TRUE(form->ComponentRect("Image1", image));
    EXPECT_EQ(image.left, 304);
    EXPECT_EQ(image.top, 48);
    EXPECT_EQ(image.right - image.left, 97);
    EXPECT_EQ(image.bottom - image.top, 105);
    form->Free();
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST(AboutWindow, PaintsThePictureWithItsBackgroundKeyedOut)
{
    ParentWindow parent;
    TForm1* form = TForm1::CreateParented(parent.Handle());
    ASSERT_NE(form, nullptr);
    Capture capture(form->Handle(), 409, 201);
    COLORREF face = GetSysColor(COLOR_BTNFACE);
    COLORREF key = PicturePixel(0, 98);
    ASSERT_NE(key, PicturePixel(5, 4));
    // The picture sits at 304, 48: its own colours where it has them ...
    EXPECT_EQ(capture.At(304 + 5, 48 + 4), PicturePixel(5, 4));
    EXPECT_EQ(capture.At(304 + 48, 48 + 49), PicturePixel(48, 49));
    // ... and the face wherever it has its background colour.
    EXPECT_EQ(capture.At(304 + 0, 48 + 98), face);
    EXPECT_EQ(capture.At(304 + 95, 48 + 0), face);
    // The panel's outline and its face.
    EXPECT_EQ(capture.At(0, 0), RGB(0, 0, 0));
    EXPECT_EQ(capture.At(408, 200), RGB(0, 0, 0));
    EXPECT_EQ(capture.At(150, 120), face);
    form->Free();
}

TEST(AboutWindow, AnnouncesItselfOnceBeforeAnyRefresh)
{
    ParentWindow parent;
    TForm1* form = TForm1::CreateParented(parent.Handle());
    ASSERT_NE(form, nullptr);
    form->StartRefreshTimer();
    Pump(400);
    const auto& seen = parent.Notifications();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), static_cast<UINT>(WM_USER + 12));
    EXPECT_EQ(parent.Count(WM_USER + 12), 1);
    EXPECT_GT(parent.Count(WM_USER + 11), 0);
    form->Free();
}

TEST(AboutWindow, RefreshesAboutFifteenTimesASecondAndNotAfterClosing)
{
    ParentWindow parent;
    TForm1* form = TForm1::CreateParented(parent.Handle());
    ASSERT_NE(form, nullptr);
    form->StartRefreshTimer();
    RECT placed;
    GetWindowRect(form->Handle(), &placed);
    POINT origin{placed.left, placed.top};
    ScreenToClient(parent.Handle(), &origin);
    EXPECT_EQ(origin.x, 0);
    EXPECT_EQ(origin.y, 0);
    form->Show();
    Pump(100);
    parent.Clear();
    Pump(1000);
    int perSecond = parent.Count(WM_USER + 11);
    EXPECT_GE(perSecond, 8);
    EXPECT_LE(perSecond, 22);

    SendMessageW(form->Handle(), WM_CLOSE, 0, 0);
    EXPECT_EQ(form->TimerId(), 0u);
    EXPECT_FALSE(IsWindowVisible(form->Handle()));
    EXPECT_TRUE(IsWindow(form->Handle()));  // closing hides, it does not destroy
    Pump(50);                               // what was posted before the close
    parent.Clear();
    Pump(400);
    EXPECT_EQ(parent.Count(WM_USER + 11), 0);
    form->Free();
}

TEST(AboutWindow, StoppingTheTimerTwiceOrNeverStartedDoesNothing)
{
    ParentWindow parent;
    TForm1* form = TForm1::CreateParented(parent.Handle());
    ASSERT_NE(form, nullptr);
    form->StopRefreshTimer();
    EXPECT_EQ(form->TimerId(), 0u);
    form->StartRefreshTimer();
    UINT first = form->TimerId();
    EXPECT_NE(first, 0u);
    // Starting again replaces the timer rather than leaving a second one running.
    form->StartRefreshTimer();
    EXPECT_NE(form->TimerId(), 0u);
    form->StopRefreshTimer();
    form->StopRefreshTimer();
    EXPECT_EQ(form->TimerId(), 0u);
    Pump(50);
    parent.Clear();
    Pump(300);
    EXPECT_EQ(parent.Count(WM_USER + 11), 0);
    form->Free();
}

TEST(AboutWindow, ClosingOrFreeingWhileTheTimerFiresIsSafe)
{
    ParentWindow parent;
    std::mt19937 random(7);
    for (int round = 0; round < 24; ++round) {
        TForm1* form = TForm1::CreateParented(parent.Handle());
        ASSERT_NE(form, nullptr);
        form->StartRefreshTimer();
        // Land anywhere in the 66 ms period, including inside a callback.
        Sleep(static_cast<DWORD>(random() % 80));
        if (round % 2) SendMessageW(form->Handle(), WM_CLOSE, 0, 0);
        form->Free();
    }
    Pump(200);
}

TEST(AboutWindow, LeftWithoutAWindowWhenItsParentGoes)
{
    auto parent = std::make_unique<ParentWindow>();
    TForm1* form = TForm1::CreateParented(parent->Handle());
    ASSERT_NE(form, nullptr);
    HWND hwnd = form->Handle();
    parent.reset();
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(form->Handle(), nullptr);
    form->StopRefreshTimer();
    form->SetParentWindow(nullptr);
    form->Release();
}

TEST(DebugWindow, DescriptionShipsAndBuildsAFramedWindow)
{
    TDB_Form* form = TDB_Form::Create();
    ASSERT_NE(form, nullptr);
    EXPECT_TRUE(form->IsValid()) << form->Error();
    EXPECT_EQ(form->Description().name, "DB_Form");
    EXPECT_EQ(form->Description().components.size(), 14u);
    EXPECT_FALSE(form->Description().alphaBlend);
    EXPECT_EQ(form->Description().alphaBlendValue, 196);
    ASSERT_TRUE(form->CreateHandle());
    HWND hwnd = form->Handle();
    EXPECT_TRUE(GetWindowLongPtrW(hwnd, GWL_STYLE) & WS_THICKFRAME);
    EXPECT_FALSE(GetWindowLongPtrW(hwnd, GWL_EXSTYLE) & WS_EX_LAYERED);
    RECT outer;
    GetWindowRect(hwnd, &outer);
    EXPECT_EQ(outer.right - outer.left, 425);
    EXPECT_EQ(outer.bottom - outer.top, 235);
    WCHAR caption[32] = {};
    GetWindowTextW(hwnd, caption, 32);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(caption)), u"DB_Form");
    RECT row;
    ASSERT_TRUE(form->ComponentRect("Label9", row));
    EXPECT_EQ(row.top, 152);
    form->Free();
}

}  // namespace
