// Drawing of the native platform: device contexts, bitmaps, pens, brushes and fonts over
// pixel surfaces in memory.
//
// Objects live in one handle table; a device context holds its selected objects by shared
// ownership, so deleting an object that is still selected cannot leave a dangling one.
#include "platform/platform.h"
#include "platform/resources.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

enum class Kind { Pen, Brush, Font, Bitmap, Dc };

struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    Kind kind;
    bool stock = false;
};

struct Pen : Object {
    Pen(int s, int w, COLORREF c) : Object(Kind::Pen), style(s), width(w < 1 ? 1 : w), color(c) {}
    int style;
    int width;
    COLORREF color;
};

struct Brush : Object {
    Brush(bool n, COLORREF c) : Object(Kind::Brush), null(n), color(c) {}
    bool null;
    COLORREF color;
};

struct Font : Object {
    explicit Font(const LOGFONTW& l) : Object(Kind::Font), log(l) {}
    LOGFONTW log;
};

// Pixels as 24- or 32-bit rows, bottom-up or top-down, the layout of a DIB section.
struct Bitmap : Object {
    Bitmap(LONG w, LONG h, WORD b, bool down)
        : Object(Kind::Bitmap), width(w), height(h), bits(b), topDown(down),
          stride(((w * b + 31) / 32) * 4), pixels(static_cast<size_t>(stride) * static_cast<size_t>(h), 0)
    {
    }
    LONG width;
    LONG height;
    WORD bits;
    bool topDown;
    LONG stride;
    std::vector<uint8_t> pixels;

    uint8_t* At(LONG x, LONG y)
    {
        LONG row = topDown ? y : height - 1 - y;
        return pixels.data() + static_cast<size_t>(row) * stride + static_cast<size_t>(x) * (bits / 8);
    }
    bool Inside(LONG x, LONG y) const { return x >= 0 && y >= 0 && x < width && y < height; }
    COLORREF Get(LONG x, LONG y)
    {
        const uint8_t* p = At(x, y);
        return RGB(p[2], p[1], p[0]);
    }
    void Set(LONG x, LONG y, COLORREF c)
    {
        uint8_t* p = At(x, y);
        p[0] = GetBValue(c);
        p[1] = GetGValue(c);
        p[2] = GetRValue(c);
    }
};

struct Dc : Object {
    Dc() : Object(Kind::Dc) {}
    std::shared_ptr<Bitmap> surface;  // selected bitmap, or the window's scratch surface
    bool memory = false;
    std::shared_ptr<Pen> pen;
    std::shared_ptr<Brush> brush;
    std::shared_ptr<Font> font;
    COLORREF textColor = RGB(0, 0, 0);
    COLORREF bkColor = RGB(255, 255, 255);
    int bkMode = OPAQUE;
    uintptr_t initialBitmap = 0;  // a memory context's own one-pixel bitmap
};

std::mutex g_lock;
std::map<uintptr_t, std::shared_ptr<Object>>& Table()
{
    static auto* table = new std::map<uintptr_t, std::shared_ptr<Object>>;
    return *table;
}
uintptr_t g_next = 0x20010;

HGDIOBJ Add(std::shared_ptr<Object> object)
{
    std::lock_guard<std::mutex> lock(g_lock);
    uintptr_t handle = g_next;
    g_next += 4;
    Table()[handle] = std::move(object);
    return reinterpret_cast<HGDIOBJ>(handle);
}

template <typename T>
std::shared_ptr<T> Get(const void* handle, Kind kind)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = Table().find(reinterpret_cast<uintptr_t>(handle));
    if (it == Table().end() || it->second->kind != kind) return nullptr;
    return std::static_pointer_cast<T>(it->second);
}

std::shared_ptr<Dc> GetDcObject(HDC hdc) { return Get<Dc>(hdc, Kind::Dc); }

// Puts `object` in a context's slot for objects of its kind and answers the handle of the
// object it replaces, found back in the table (null when the slot was empty).
template <typename T>
HGDIOBJ Replace(std::shared_ptr<T>& slot, const std::shared_ptr<Object>& object)
{
    std::shared_ptr<Object> old = std::move(slot);
    slot = std::static_pointer_cast<T>(object);
    if (!old) return nullptr;
    std::lock_guard<std::mutex> lock(g_lock);
    for (auto& [handle, other] : Table())
        if (other == old) return reinterpret_cast<HGDIOBJ>(handle);
    return nullptr;
}

COLORREF SystemColor(int index)
{
    switch (index) {
    case COLOR_WINDOW: return RGB(255, 255, 255);
    case COLOR_WINDOWTEXT:
    case COLOR_BTNTEXT:
    case COLOR_CAPTIONTEXT:
    case COLOR_WINDOWFRAME: return RGB(0, 0, 0);
    case COLOR_BTNFACE: return RGB(240, 240, 240);
    case COLOR_BTNSHADOW: return RGB(160, 160, 160);
    case COLOR_GRAYTEXT: return RGB(109, 109, 109);
    case COLOR_BTNHIGHLIGHT: return RGB(255, 255, 255);
    case COLOR_BACKGROUND: return RGB(0, 0, 0);
    case COLOR_ACTIVECAPTION: return RGB(153, 180, 209);
    case COLOR_HOTLIGHT: return RGB(0, 102, 204);
    default: return RGB(0, 0, 0);
    }
}

// Stock objects and system-colour brushes, made once.
struct Stock {
    HGDIOBJ objects[20] = {};
    HBRUSH sysBrushes[31] = {};
    Stock()
    {
        auto stock = [](std::shared_ptr<Object> o) {
            o->stock = true;
            return Add(std::move(o));
        };
        objects[WHITE_BRUSH] = stock(std::make_shared<Brush>(false, RGB(255, 255, 255)));
        objects[LTGRAY_BRUSH] = stock(std::make_shared<Brush>(false, RGB(192, 192, 192)));
        objects[GRAY_BRUSH] = stock(std::make_shared<Brush>(false, RGB(128, 128, 128)));
        objects[DKGRAY_BRUSH] = stock(std::make_shared<Brush>(false, RGB(64, 64, 64)));
        objects[BLACK_BRUSH] = stock(std::make_shared<Brush>(false, RGB(0, 0, 0)));
        objects[NULL_BRUSH] = stock(std::make_shared<Brush>(true, 0));
        objects[WHITE_PEN] = stock(std::make_shared<Pen>(PS_SOLID, 1, RGB(255, 255, 255)));
        objects[BLACK_PEN] = stock(std::make_shared<Pen>(PS_SOLID, 1, RGB(0, 0, 0)));
        objects[NULL_PEN] = stock(std::make_shared<Pen>(PS_NULL, 1, 0));
        LOGFONTW system{};
        system.lfHeight = -13;
        system.lfWeight = FW_BOLD;
        objects[SYSTEM_FONT] = stock(std::make_shared<Font>(system));
        LOGFONTW gui{};
        gui.lfHeight = -11;
        gui.lfWeight = FW_NORMAL;
        objects[DEFAULT_GUI_FONT] = stock(std::make_shared<Font>(gui));
        objects[DC_BRUSH] = objects[WHITE_BRUSH];
        objects[DC_PEN] = objects[BLACK_PEN];
        for (int i = 0; i < 31; ++i)
            sysBrushes[i] = reinterpret_cast<HBRUSH>(stock(std::make_shared<Brush>(false, SystemColor(i))));
    }
};

Stock& Stocks()
{
    static auto* stock = new Stock;
    return *stock;
}

// Fixed text metrics from the character height: an 11-pixel face gives 13-pixel lines and
// 5-pixel characters, as the classic dialog font does at 96 dpi.
struct Metrics {
    LONG charHeight, height, ascent, advance;
};

Metrics MetricsOf(const std::shared_ptr<Font>& font)
{
    LONG lf = font ? font->log.lfHeight : -11;
    LONG charHeight = lf < 0 ? -lf : lf > 0 ? lf - (lf + 6) / 7 : 11;
    if (charHeight < 1) charHeight = 1;
    LONG leading = (charHeight + 4) / 6;
    LONG height = charHeight + leading;
    LONG advance = (charHeight * 5 + 5) / 11;
    if (font && font->log.lfWeight >= FW_BOLD) ++advance;
    if (advance < 1) advance = 1;
    return {charHeight, height, height * 4 / 5, advance};
}

std::shared_ptr<Dc> NewDc()
{
    auto dc = std::make_shared<Dc>();
    auto& stock = Stocks();
    dc->pen = Get<Pen>(stock.objects[BLACK_PEN], Kind::Pen);
    dc->brush = Get<Brush>(stock.objects[WHITE_BRUSH], Kind::Brush);
    dc->font = Get<Font>(stock.objects[SYSTEM_FONT], Kind::Font);
    return dc;
}

void Fill(Bitmap& b, RECT r, COLORREF c)
{
    r.left = std::max<LONG>(r.left, 0);
    r.top = std::max<LONG>(r.top, 0);
    r.right = std::min<LONG>(r.right, b.width);
    r.bottom = std::min<LONG>(r.bottom, b.height);
    for (LONG y = r.top; y < r.bottom; ++y)
        for (LONG x = r.left; x < r.right; ++x) b.Set(x, y, c);
}

// A blank bitmap of the size and layout a DIB header gives; null for a layout not drawn here
// (anything but uncompressed 24- or 32-bit pixels) or a size past 32768 either way.
std::shared_ptr<Bitmap> BitmapForHeader(const BITMAPINFOHEADER& h)
{
    if (h.biCompression != BI_RGB || h.biWidth <= 0 || h.biHeight == 0 || (h.biBitCount != 24 && h.biBitCount != 32))
        return nullptr;
    // Bounded before the sign is dropped: negating the most negative height would overflow.
    if (h.biWidth > 32768 || h.biHeight > 32768 || h.biHeight < -32768) return nullptr;
    const LONG height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
    return std::make_shared<Bitmap>(h.biWidth, height, h.biBitCount, h.biHeight < 0);
}

std::shared_ptr<Bitmap> BitmapFromDib(const BITMAPINFOHEADER* info, const uint8_t* end)
{
    if (info->biSize < sizeof(BITMAPINFOHEADER) || info->biPlanes != 1) return nullptr;
    auto bitmap = BitmapForHeader(*info);
    if (!bitmap) return nullptr;
    // The pixels follow the header and the colour table; both sizes come from the file, so
    // they are measured against what is there before any pointer is formed from them.
    const uint64_t offset = uint64_t{info->biSize} + uint64_t{info->biClrUsed} * 4u;
    const auto available = static_cast<uint64_t>(end - reinterpret_cast<const uint8_t*>(info));
    if (offset > available || available - offset < bitmap->pixels.size()) return nullptr;
    std::memcpy(bitmap->pixels.data(), reinterpret_cast<const uint8_t*>(info) + offset, bitmap->pixels.size());
    return bitmap;
}

}  // namespace

DWORD GetSysColor(int nIndex) { return SystemColor(nIndex); }

HBRUSH GetSysColorBrush(int nIndex)
{
    if (nIndex < 0 || nIndex >= 31) return nullptr;
    return Stocks().sysBrushes[nIndex];
}

HGDIOBJ GetStockObject(int i)
{
    if (i < 0 || i >= 20) return nullptr;
    return Stocks().objects[i];
}

BOOL DeleteObject(HGDIOBJ ho)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = Table().find(reinterpret_cast<uintptr_t>(ho));
    if (it == Table().end() || it->second->kind == Kind::Dc) return FALSE;
    if (it->second->stock) return TRUE;
    Table().erase(it);
    return TRUE;
}

HPEN CreatePen(int iStyle, int cWidth, COLORREF color)
{
    return reinterpret_cast<HPEN>(Add(std::make_shared<Pen>(iStyle, cWidth, color)));
}

HBRUSH CreateSolidBrush(COLORREF color) { return reinterpret_cast<HBRUSH>(Add(std::make_shared<Brush>(false, color))); }

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h)
{
    auto dc = GetDcObject(hdc);
    if (!dc || !h) return nullptr;
    std::shared_ptr<Object> object;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto it = Table().find(reinterpret_cast<uintptr_t>(h));
        if (it == Table().end()) return nullptr;
        object = it->second;
    }
    switch (object->kind) {
    case Kind::Pen: return Replace(dc->pen, object);
    case Kind::Brush: return Replace(dc->brush, object);
    case Kind::Font: return Replace(dc->font, object);
    case Kind::Bitmap: return dc->memory ? Replace(dc->surface, object) : nullptr;
    default: return nullptr;
    }
}

HBITMAP CreateCompatibleBitmap(HDC, int cx, int cy)
{
    if (cx <= 0 || cy <= 0 || cx > 32768 || cy > 32768) return nullptr;
    return reinterpret_cast<HBITMAP>(Add(std::make_shared<Bitmap>(cx, cy, 32, true)));
}

HBITMAP CreateDIBSection(HDC, const BITMAPINFO* pbmi, UINT usage, void** ppvBits, HANDLE, DWORD)
{
    if (ppvBits) *ppvBits = nullptr;
    if (!pbmi || usage != DIB_RGB_COLORS) return nullptr;
    auto bitmap = BitmapForHeader(pbmi->bmiHeader);
    if (!bitmap) return nullptr;
    if (ppvBits) *ppvBits = bitmap->pixels.data();
    return reinterpret_cast<HBITMAP>(Add(bitmap));
}

int GetObjectW(HANDLE h, int c, LPVOID pv)
{
    if (auto bitmap = Get<Bitmap>(h, Kind::Bitmap)) {
        if (!pv) return sizeof(BITMAP);
        if (c < static_cast<int>(sizeof(BITMAP))) return 0;
        BITMAP info{0, bitmap->width, bitmap->height, bitmap->stride, 1, bitmap->bits, bitmap->pixels.data()};
        std::memcpy(pv, &info, sizeof info);
        return sizeof(BITMAP);
    }
    if (auto font = Get<Font>(h, Kind::Font)) {
        if (!pv) return sizeof(LOGFONTW);
        if (c < static_cast<int>(sizeof(LOGFONTW))) return 0;
        std::memcpy(pv, &font->log, sizeof(LOGFONTW));
        return sizeof(LOGFONTW);
    }
    return 0;
}

HANDLE LoadImageW(HINSTANCE hInst, LPCWSTR name, UINT type, int, int, UINT)
{
    if (type != IMAGE_BITMAP) return nullptr;
    DWORD size = 0;
    auto data = static_cast<const uint8_t*>(platform::FindModuleResource(hInst, name, RT_BITMAP, size));
    if (!data || size < sizeof(BITMAPINFOHEADER)) return nullptr;
    std::vector<uint8_t> copy(data, data + size);  // aligned copy of the resource
    auto bitmap = BitmapFromDib(reinterpret_cast<const BITMAPINFOHEADER*>(copy.data()), copy.data() + copy.size());
    return bitmap ? reinterpret_cast<HANDLE>(Add(bitmap)) : nullptr;
}

HFONT CreateFontIndirectW(const LOGFONTW* lplf)
{
    if (!lplf) return nullptr;
    return reinterpret_cast<HFONT>(Add(std::make_shared<Font>(*lplf)));
}

BOOL GetTextMetricsW(HDC hdc, LPTEXTMETRICW lptm)
{
    auto dc = GetDcObject(hdc);
    if (!dc || !lptm) return FALSE;
    Metrics m = MetricsOf(dc->font);
    *lptm = TEXTMETRICW{};
    lptm->tmHeight = m.height;
    lptm->tmAscent = m.ascent;
    lptm->tmDescent = m.height - m.ascent;
    lptm->tmInternalLeading = m.height - m.charHeight;
    lptm->tmAveCharWidth = m.advance;
    lptm->tmMaxCharWidth = m.advance;
    lptm->tmWeight = dc->font ? dc->font->log.lfWeight : FW_NORMAL;
    lptm->tmDigitizedAspectX = lptm->tmDigitizedAspectY = 96;
    lptm->tmFirstChar = 0x20;
    lptm->tmLastChar = 0xFFFC;
    lptm->tmDefaultChar = 0x1F;
    lptm->tmBreakChar = 0x20;
    lptm->tmUnderlined = dc->font ? dc->font->log.lfUnderline : 0;
    lptm->tmCharSet = DEFAULT_CHARSET;
    return TRUE;
}

BOOL GetTextExtentPoint32W(HDC hdc, LPCWSTR lpString, int c, LPSIZE psizl)
{
    auto dc = GetDcObject(hdc);
    if (!dc || !psizl || c < 0 || (c > 0 && !lpString)) return FALSE;
    Metrics m = MetricsOf(dc->font);
    psizl->cx = m.advance * c;
    psizl->cy = m.height;
    return TRUE;
}

HDC GetDC(HWND hWnd)
{
    // The window's client area, or the whole screen for the desktop.
    RECT client;
    if (!GetClientRect(hWnd ? hWnd : GetDesktopWindow(), &client)) return nullptr;
    auto dc = NewDc();
    dc->surface = std::make_shared<Bitmap>(std::max<LONG>(client.right, 1), std::max<LONG>(client.bottom, 1), 32, true);
    return reinterpret_cast<HDC>(Add(dc));
}

int ReleaseDC(HWND, HDC hDC) { return DeleteDC(hDC); }

HDC BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint)
{
    if (!lpPaint) return nullptr;
    *lpPaint = PAINTSTRUCT{};
    if (!GetUpdateRect(hWnd, &lpPaint->rcPaint, TRUE) && !IsWindow(hWnd)) return nullptr;
    ValidateRect(hWnd, nullptr);
    lpPaint->hdc = GetDC(hWnd);
    return lpPaint->hdc;
}

BOOL EndPaint(HWND hWnd, const PAINTSTRUCT* lpPaint)
{
    if (lpPaint && lpPaint->hdc) ReleaseDC(hWnd, lpPaint->hdc);
    return TRUE;
}

HDC CreateCompatibleDC(HDC)
{
    auto dc = NewDc();
    dc->memory = true;
    auto initial = std::make_shared<Bitmap>(1, 1, 32, true);
    dc->surface = initial;
    dc->initialBitmap = reinterpret_cast<uintptr_t>(Add(initial));
    return reinterpret_cast<HDC>(Add(dc));
}

BOOL DeleteDC(HDC hdc)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = Table().find(reinterpret_cast<uintptr_t>(hdc));
    if (it == Table().end() || it->second->kind != Kind::Dc) return FALSE;
    uintptr_t initial = std::static_pointer_cast<Dc>(it->second)->initialBitmap;
    Table().erase(it);
    if (initial) Table().erase(initial);
    return TRUE;
}

COLORREF SetTextColor(HDC hdc, COLORREF color)
{
    auto dc = GetDcObject(hdc);
    if (!dc) return CLR_INVALID;
    COLORREF old = dc->textColor;
    dc->textColor = color;
    return old;
}

int SetBkMode(HDC hdc, int mode)
{
    auto dc = GetDcObject(hdc);
    if (!dc || (mode != TRANSPARENT && mode != OPAQUE)) return 0;
    int old = dc->bkMode;
    dc->bkMode = mode;
    return old;
}

int FillRect(HDC hDC, const RECT* lprc, HBRUSH hbr)
{
    auto dc = GetDcObject(hDC);
    if (!dc || !lprc || !dc->surface) return 0;
    auto value = reinterpret_cast<uintptr_t>(hbr);
    COLORREF color;
    if (value > 0 && value <= 31) {
        color = SystemColor(static_cast<int>(value - 1));  // COLOR_xxx + 1
    } else {
        auto brush = Get<Brush>(hbr, Kind::Brush);
        if (!brush) return 0;
        if (brush->null) return 1;
        color = brush->color;
    }
    Fill(*dc->surface, *lprc, color);
    return 1;
}

BOOL Rectangle(HDC hdc, int left, int top, int right, int bottom)
{
    auto dc = GetDcObject(hdc);
    if (!dc || !dc->surface) return FALSE;
    if (right < left) std::swap(left, right);
    if (bottom < top) std::swap(top, bottom);
    Bitmap& b = *dc->surface;
    if (dc->brush && !dc->brush->null) Fill(b, RECT{left, top, right, bottom}, dc->brush->color);
    if (dc->pen && dc->pen->style != PS_NULL) {
        int w = dc->pen->width;
        COLORREF c = dc->pen->color;
        Fill(b, RECT{left, top, right, top + w}, c);
        Fill(b, RECT{left, bottom - w, right, bottom}, c);
        Fill(b, RECT{left, top, left + w, bottom}, c);
        Fill(b, RECT{right - w, top, right, bottom}, c);
    }
    return TRUE;
}

COLORREF GetPixel(HDC hdc, int x, int y)
{
    auto dc = GetDcObject(hdc);
    if (!dc || !dc->surface || !dc->surface->Inside(x, y)) return CLR_INVALID;
    return dc->surface->Get(x, y);
}

namespace {

BOOL Copy(HDC hdcDest, int xd, int yd, int wd, int hd, HDC hdcSrc, int xs, int ys, int ws, int hs, bool keyed,
          COLORREF key)
{
    auto dst = GetDcObject(hdcDest);
    auto src = GetDcObject(hdcSrc);
    if (!dst || !src || !dst->surface || !src->surface || wd < 0 || hd < 0 || ws <= 0 || hs <= 0) return FALSE;
    Bitmap& d = *dst->surface;
    Bitmap& s = *src->surface;
    // Copy through a buffer, so that a context copying onto itself reads unchanged pixels.
    std::vector<COLORREF> row(static_cast<size_t>(wd));
    for (int y = 0; y < hd; ++y) {
        int sy = ys + static_cast<int>(static_cast<long long>(y) * hs / (hd ? hd : 1));
        for (int x = 0; x < wd; ++x) {
            int sx = xs + static_cast<int>(static_cast<long long>(x) * ws / (wd ? wd : 1));
            row[static_cast<size_t>(x)] = s.Inside(sx, sy) ? s.Get(sx, sy) : CLR_INVALID;
        }
        for (int x = 0; x < wd; ++x) {
            COLORREF c = row[static_cast<size_t>(x)];
            if (c == CLR_INVALID || (keyed && c == (key & 0xFFFFFF)) || !d.Inside(xd + x, yd + y)) continue;
            d.Set(xd + x, yd + y, c);
        }
    }
    return TRUE;
}

}  // namespace

BOOL BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1, DWORD rop)
{
    if (rop != SRCCOPY) return FALSE;
    return Copy(hdc, x, y, cx, cy, hdcSrc, x1, y1, cx, cy, false, 0);
}

BOOL TransparentBlt(HDC hdcDest, int xoriginDest, int yoriginDest, int wDest, int hDest, HDC hdcSrc, int xoriginSrc,
                    int yoriginSrc, int wSrc, int hSrc, UINT crTransparent)
{
    return Copy(hdcDest, xoriginDest, yoriginDest, wDest, hDest, hdcSrc, xoriginSrc, yoriginSrc, wSrc, hSrc, true,
                crTransparent);
}

BOOL TextOutW(HDC hdc, int x, int y, LPCWSTR lpString, int c)
{
    auto dc = GetDcObject(hdc);
    if (!dc || c < 0 || (c > 0 && !lpString)) return FALSE;
    if (!dc->surface) return TRUE;
    Metrics m = MetricsOf(dc->font);
    if (dc->bkMode == OPAQUE) Fill(*dc->surface, RECT{x, y, x + m.advance * c, y + m.height}, dc->bkColor);
    // Each visible character is the block of its cell between the baseline and the cap height.
    LONG top = y + (m.height - m.charHeight);
    for (int i = 0; i < c; ++i) {
        if (lpString[i] == u' ') continue;
        LONG left = x + m.advance * i;
        Fill(*dc->surface, RECT{left, top, left + m.advance - 1, y + m.ascent}, dc->textColor);
    }
    if (dc->font && dc->font->log.lfUnderline)
        Fill(*dc->surface, RECT{x, y + m.ascent + 1, x + m.advance * c, y + m.ascent + 2}, dc->textColor);
    return TRUE;
}

int DrawTextW(HDC hdc, LPCWSTR lpchText, int cchText, LPRECT lprc, UINT format)
{
    auto dc = GetDcObject(hdc);
    if (!dc || !lprc || !lpchText) return 0;
    int n = cchText;
    if (n < 0)
        for (n = 0; lpchText[n]; ++n) {
        }
    SIZE size;
    GetTextExtentPoint32W(hdc, lpchText, n, &size);
    if (format & DT_CALCRECT) {
        lprc->right = lprc->left + size.cx;
        lprc->bottom = lprc->top + size.cy;
        return size.cy;
    }
    int x = lprc->left;
    if (format & DT_CENTER)
        x = lprc->left + (lprc->right - lprc->left - size.cx) / 2;
    else if (format & DT_RIGHT)
        x = lprc->right - size.cx;
    TextOutW(hdc, x, lprc->top, lpchText, n);
    return size.cy;
}
