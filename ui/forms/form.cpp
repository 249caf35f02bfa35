#include "ui/forms/form.h"

#include <cstring>

namespace forms {

namespace {

const WCHAR kClassName[] = WIDE("DUrazOdoForm");

HFONT MakeFont(const FontStyle& style)
{
    LOGFONTW lf{};
    lf.lfHeight = -style.height;
    lf.lfWeight = style.bold ? FW_BOLD : FW_NORMAL;
    lf.lfItalic = style.italic;
    lf.lfUnderline = style.underline;
    lf.lfCharSet = DEFAULT_CHARSET;
    size_t n = style.face.size() < LF_FACESIZE - 1 ? style.face.size() : LF_FACESIZE - 1;
    std::memcpy(lf.lfFaceName, style.face.data(), n * sizeof(WCHAR));
    lf.lfFaceName[n] = 0;
    return CreateFontIndirectW(&lf);
}

}  // namespace

Form::Form(HINSTANCE instance, int descriptionId) : m_instance(instance), m_left(0), m_top(0)
{
    HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(descriptionId), RT_RCDATA);
    const char* text = found ? static_cast<const char*>(LockResource(LoadResource(instance, found))) : nullptr;
    if (!text) {
        m_error = "form description resource not found";
        return;
    }
    if (!ParseDescription(text, SizeofResource(instance, found), m_description, m_error)) return;
    m_left = m_description.left;
    m_top = m_description.top;
    for (const auto& c : m_description.components) {
        Item item;
        item.component = c;
        item.rect = RECT{c.left, c.top, c.left + c.width, c.top + c.height};
        if (c.kind == Kind::Label) item.font = MakeFont(c.font);
        if (c.kind == Kind::Image && c.picture) {
            item.picture = static_cast<HBITMAP>(
                LoadImageW(instance, MAKEINTRESOURCEW(c.picture), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
            BITMAP info;
            if (item.picture && GetObjectW(item.picture, sizeof info, &info)) {
                item.pictureSize = SIZE{info.bmWidth, info.bmHeight};
                // The key colour of a transparent picture is its lower-left pixel.
                HDC dc = CreateCompatibleDC(nullptr);
                HGDIOBJ old = SelectObject(dc, item.picture);
                item.key = GetPixel(dc, 0, info.bmHeight - 1);
                SelectObject(dc, old);
                DeleteDC(dc);
            }
        }
        m_items.push_back(item);
    }
    Measure();
    m_valid = true;
}

Form::~Form()
{
    for (auto& item : m_items) {
        if (item.font) DeleteObject(item.font);
        if (item.picture) DeleteObject(item.picture);
    }
}

void Form::Bind(const std::string& name, std::function<void()> handler) { m_handlers[name] = std::move(handler); }

void Form::Loaded()
{
    if (!m_valid) return;
    auto check = [&](const std::string& name) {
        if (!name.empty() && !m_handlers.count(name)) {
            m_error = "the form has no handler " + name;
            m_valid = false;
        }
    };
    check(m_description.onClose);
    check(m_description.onDestroy);
    for (const auto& item : m_items) check(item.component.onClick);
}

void Form::Fire(const std::string& handler)
{
    if (handler.empty()) return;
    auto it = m_handlers.find(handler);
    if (it != m_handlers.end()) it->second();
}

// Labels that size themselves take the extent of their text in their font.
void Form::Measure()
{
    HDC dc = CreateCompatibleDC(nullptr);
    if (!dc) return;
    for (auto& item : m_items) {
        if (item.component.kind != Kind::Label || !item.component.autoSize) continue;
        HGDIOBJ old = SelectObject(dc, item.font);
        SIZE extent{0, 0};
        TEXTMETRICW tm;
        GetTextExtentPoint32W(dc, item.component.text.c_str(), static_cast<int>(item.component.text.size()), &extent);
        if (GetTextMetricsW(dc, &tm)) extent.cy = tm.tmHeight;
        SelectObject(dc, old);
        item.rect.right = item.rect.left + extent.cx;
        item.rect.bottom = item.rect.top + extent.cy;
    }
    DeleteDC(dc);
}

SIZE Form::OuterSize() const
{
    if (m_description.width > 0) return SIZE{m_description.width, m_description.height};
    RECT r{0, 0, m_description.clientWidth, m_description.clientHeight};
    DWORD style = m_description.border == Border::None ? 0 : WS_OVERLAPPEDWINDOW;
    if (m_description.border == Border::Single) style = WS_CAPTION | WS_SYSMENU;
    AdjustWindowRectEx(&r, style, FALSE, 0);
    return SIZE{r.right - r.left, r.bottom - r.top};
}

bool Form::CreateWindowWith(HWND parent)
{
    if (!m_valid) return false;
    if (m_hwnd) return true;
    WNDCLASSEXW existing;
    existing.cbSize = sizeof existing;
    if (!GetClassInfoExW(m_instance, kClassName, &existing)) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = m_instance;
        wc.lpszClassName = kClassName;
        if (!RegisterClassExW(&wc)) return false;
    }
    DWORD style = WS_CLIPSIBLINGS;
    if (parent)
        style |= WS_CHILD;
    else if (m_description.border == Border::Sizeable)
        style |= WS_OVERLAPPEDWINDOW;
    else if (m_description.border == Border::Single)
        style |= WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    else
        style |= WS_POPUP;
    // A child has no frame: unless the description gives an outer size, its window is its
    // client area.
    const SIZE size = parent && m_description.width == 0 ? SIZE{m_description.clientWidth, m_description.clientHeight}
                                                         : OuterSize();
    // Alpha blending is described but switched off: no layered window.
    DWORD exStyle = WS_EX_CONTROLPARENT;
    m_parentWindow.store(parent);
    HWND hwnd = CreateWindowExW(exStyle, kClassName, m_description.caption.c_str(), style, m_left, m_top, size.cx, size.cy,
                                parent, nullptr, m_instance, this);
    if (!hwnd) {
        m_parentWindow.store(nullptr);
        return false;
    }
    if (m_description.icon && !parent) {
        HANDLE icon = LoadImageW(m_instance, MAKEINTRESOURCEW(m_description.icon), IMAGE_ICON, 32, 32, LR_SHARED);
        if (icon) SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    }
    return true;
}

bool Form::CreateHandle() { return CreateWindowWith(nullptr); }

void Form::DestroyHandle()
{
    if (m_hwnd) DestroyWindow(m_hwnd);
    m_hwnd = nullptr;
}

void Form::SetParentWindow(HWND parent)
{
    if (!parent) {
        DestroyHandle();
        m_parentWindow.store(nullptr);
        return;
    }
    if (m_hwnd) {
        SetParent(m_hwnd, parent);
        m_parentWindow.store(parent);
        return;
    }
    CreateWindowWith(parent);
}

void Form::Show()
{
    if (!m_hwnd && !CreateHandle()) return;
    if (m_description.centreOnDesktop && !m_parentWindow.load()) {
        RECT desktop, own;
        GetWindowRect(GetDesktopWindow(), &desktop);
        GetWindowRect(m_hwnd, &own);
        int w = own.right - own.left, h = own.bottom - own.top;
        MoveTo(desktop.left + (desktop.right - desktop.left - w) / 2, desktop.top + (desktop.bottom - desktop.top - h) / 2);
    }
    ShowWindow(m_hwnd, SW_SHOW);
}

void Form::Hide()
{
    if (m_hwnd) ShowWindow(m_hwnd, SW_HIDE);
}

bool Form::Visible() const { return m_hwnd && IsWindowVisible(m_hwnd); }

void Form::Close()
{
    Fire(m_description.onClose);
    Hide();
}

void Form::SetBounds(int left, int top, int width, int height)
{
    m_left = left;
    m_top = top;
    if (m_hwnd) MoveWindow(m_hwnd, left, top, width, height, TRUE);
}

void Form::MoveTo(int left, int top)
{
    m_left = left;
    m_top = top;
    if (m_hwnd) SetWindowPos(m_hwnd, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool Form::ComponentRect(const std::string& name, RECT& rect) const
{
    for (const auto& item : m_items)
        if (item.component.name == name) {
            rect = item.rect;
            return true;
        }
    return false;
}

const Form::Item* Form::ItemAt(int x, int y) const
{
    for (auto it = m_items.rbegin(); it != m_items.rend(); ++it)
        if (x >= it->rect.left && x < it->rect.right && y >= it->rect.top && y < it->rect.bottom) return &*it;
    return nullptr;
}

const ComponentDescription* Form::ComponentAt(int x, int y) const
{
    const Item* item = ItemAt(x, y);
    return item ? &item->component : nullptr;
}

void Form::Paint(HDC dc)
{
    RECT client{0, 0, m_description.clientWidth, m_description.clientHeight};
    if (m_hwnd) GetClientRect(m_hwnd, &client);
    HBRUSH face = CreateSolidBrush(m_description.colour.Resolve());
    FillRect(dc, &client, face);
    DeleteObject(face);
    for (const auto& item : m_items) {
        const ComponentDescription& c = item.component;
        const RECT& r = item.rect;
        switch (c.kind) {
        case Kind::Shape: {
            HBRUSH brush = CreateSolidBrush(c.brush.Resolve());
            HPEN pen = c.hasPen ? CreatePen(PS_SOLID, c.penWidth, c.pen.Resolve()) : static_cast<HPEN>(GetStockObject(NULL_PEN));
            HGDIOBJ oldBrush = SelectObject(dc, brush);
            HGDIOBJ oldPen = SelectObject(dc, pen);
            Rectangle(dc, r.left, r.top, r.right, r.bottom);
            SelectObject(dc, oldPen);
            SelectObject(dc, oldBrush);
            DeleteObject(brush);
            if (c.hasPen) DeleteObject(pen);
            break;
        }
        case Kind::Label: {
            // A label paints its own area in the form's face colour, then its text.
            HBRUSH back = CreateSolidBrush(m_description.colour.Resolve());
            FillRect(dc, &r, back);
            DeleteObject(back);
            HGDIOBJ oldFont = SelectObject(dc, item.font);
            SetBkMode(dc, TRANSPARENT);
            SetTextColor(dc, c.font.colour.Resolve());
            RECT textRect = r;
            DrawTextW(dc, c.text.c_str(), static_cast<int>(c.text.size()), &textRect,
                      DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX | DT_NOCLIP);
            SelectObject(dc, oldFont);
            break;
        }
        case Kind::Image: {
            if (!item.picture) break;
            HDC source = CreateCompatibleDC(dc);
            HGDIOBJ old = SelectObject(source, item.picture);
            int w = item.pictureSize.cx, h = item.pictureSize.cy;
            if (c.transparent)
                TransparentBlt(dc, r.left, r.top, w, h, source, 0, 0, w, h, item.key);
            else
                BitBlt(dc, r.left, r.top, w, h, source, 0, 0, SRCCOPY);
            SelectObject(source, old);
            DeleteDC(source);
            break;
        }
        }
    }
}

void Form::PaintTo(HDC dc)
{
    if (!m_valid || !dc) return;
    Paint(dc);
}

LRESULT CALLBACK Form::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_NCCREATE) {
        auto cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        auto form = static_cast<Form*>(cs->lpCreateParams);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
        form->m_hwnd = hwnd;
    }
    auto form = reinterpret_cast<Form*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!form) return DefWindowProcW(hwnd, msg, wParam, lParam);
    ++form->m_busy;
    LRESULT result = form->HandleMessage(hwnd, msg, wParam, lParam);
    if (--form->m_busy == 0 && form->m_releasePending) {
        form->m_releasePending = false;
        form->Free();
    }
    return result;
}

LRESULT Form::HandleMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_ERASEBKGND:
        return 1;  // painting covers the whole client area
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        if (!dc) return 0;
        RECT client;
        GetClientRect(hwnd, &client);
        int w = client.right, h = client.bottom;
        HDC buffer = m_description.doubleBuffered && w > 0 && h > 0 ? CreateCompatibleDC(dc) : nullptr;
        HBITMAP bitmap = buffer ? CreateCompatibleBitmap(dc, w, h) : nullptr;
        if (bitmap) {
            HGDIOBJ old = SelectObject(buffer, bitmap);
            Paint(buffer);
            BitBlt(dc, 0, 0, w, h, buffer, 0, 0, SRCCOPY);
            SelectObject(buffer, old);
            DeleteObject(bitmap);
        } else {
            Paint(dc);
        }
        if (buffer) DeleteDC(buffer);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_PRINTCLIENT:
        Paint(reinterpret_cast<HDC>(wParam));
        return 0;
    case WM_LBUTTONDOWN:
        m_pressed = ItemAt(static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)));
        SetCapture(hwnd);
        return 0;
    case WM_LBUTTONUP: {
        const Item* pressed = m_pressed;
        m_pressed = nullptr;
        if (GetCapture() == hwnd) ReleaseCapture();
        // A click is a press and release on the same component.
        if (pressed && ItemAt(static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))) == pressed)
            Fire(pressed->component.onClick);
        return 0;
    }
    case WM_CLOSE:
        Close();
        return 0;
    case WM_NCDESTROY:
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        if (m_hwnd == hwnd) m_hwnd = nullptr;
        m_pressed = nullptr;
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    default:
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

void Form::Free()
{
    Fire(m_description.onDestroy);
    DestroyHandle();
    delete this;
}

void Form::Release()
{
    if (m_busy > 0)
        m_releasePending = true;
    else
        Free();
}

}  // namespace forms
