// The form library: windows built from form descriptions (ui/forms/description.h).
//
// A form is one window; its components (shapes, labels, pictures) have no windows of their
// own: the form paints them in description order and hit-tests clicks against them, the
// topmost component under the pointer taking the click. Painting goes through an
// off-screen bitmap when the description asks for double buffering. Labels size themselves
// to their text, pictures marked transparent let the face show through wherever they have
// the colour of their lower-left pixel.
//
// Forms free themselves: Free() runs the destroy event, destroys the window and deletes the
// object; Release() does the same once the form's current message has been handled, so a
// form may be released from inside one of its own event handlers.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "ui/forms/description.h"

namespace forms {

class Form {
public:
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;

    // False when the description could not be loaded or names an event the form lacks;
    // such a form creates no window.
    bool IsValid() const { return m_valid; }
    const std::string& Error() const { return m_error; }
    const FormDescription& Description() const { return m_description; }

    HWND Handle() const { return m_hwnd; }
    // The window the form is a child of; null for a top-level form.
    HWND ParentWindow() const { return m_parentWindow.load(); }
    // Makes the form a child of `parent`, creating its window if needed. Null destroys the
    // form's window (the object stays until it is freed).
    void SetParentWindow(HWND parent);

    // Creates the window as a top-level window (for a form without a parent window).
    bool CreateHandle();
    void Show();
    void Hide();
    bool Visible() const;
    // The close event, then the close action: the window is hidden.
    void Close();
    void SetBounds(int left, int top, int width, int height);
    void MoveTo(int left, int top);

    // The component's rectangle in client coordinates, after labels have sized themselves.
    bool ComponentRect(const std::string& name, RECT& rect) const;
    // The topmost component at a client point, or null.
    const ComponentDescription* ComponentAt(int x, int y) const;

    // Paints the whole client area into `dc` (what WM_PAINT and WM_PRINTCLIENT do).
    void PaintTo(HDC dc);

    void Free();
    void Release();

protected:
    // Loads the description from the module's RCDATA resource `descriptionId`.
    Form(HINSTANCE instance, int descriptionId);
    virtual ~Form();

    // Names an event handler that descriptions may refer to.
    void Bind(const std::string& name, std::function<void()> handler);
    // Call at the end of the derived constructor: checks that every event is bound.
    void Loaded();

    HINSTANCE Instance() const { return m_instance; }

private:
    struct Item {
        ComponentDescription component;
        RECT rect{};
        HFONT font = nullptr;
        HBITMAP picture = nullptr;
        SIZE pictureSize{};
        COLORREF key = 0;
    };

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    bool CreateWindowWith(HWND parent);
    void DestroyHandle();
    void Fire(const std::string& handler);
    // The topmost item at a client point, or null.
    const Item* ItemAt(int x, int y) const;
    void Measure();
    void Paint(HDC dc);
    SIZE OuterSize() const;

    HINSTANCE m_instance;
    FormDescription m_description;
    std::vector<Item> m_items;
    std::map<std::string, std::function<void()>> m_handlers;
    bool m_valid = false;
    std::string m_error;
    HWND m_hwnd = nullptr;
    std::atomic<HWND> m_parentWindow{nullptr};
    int m_left, m_top;
    const Item* m_pressed = nullptr;
    int m_busy = 0;              // depth of messages being handled
    bool m_releasePending = false;
};

}  // namespace forms
