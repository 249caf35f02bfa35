// Form descriptions: the text from which the form library builds a window.
//
// A description is UTF-8 text, one statement a line; '#' starts a comment line. It opens
// with the form and continues with its components, in painting order (later ones paint
// over earlier ones). Property lines (conventionally indented) belong to the form or the
// component above them.
//
//   form NAME CLASS
//     border none|single|sizeable      client WIDTH HEIGHT     size WIDTH HEIGHT
//     position LEFT TOP                placement stored|desktopcenter
//     caption "TEXT"                   color COLOUR            icon RESOURCE_ID
//     font "FACE" HEIGHT [bold] [italic] [underline] [regular] COLOUR
//     doublebuffered yes|no            alphablend VALUE on|off  pixelsperinch N
//     onclose HANDLER                  ondestroy HANDLER
//   shape NAME LEFT TOP WIDTH HEIGHT   brush COLOUR    pen COLOUR WIDTH
//   label NAME LEFT TOP WIDTH HEIGHT   text "TEXT"     font ...   autosize yes|no   onclick HANDLER
//   image NAME LEFT TOP WIDTH HEIGHT   picture RESOURCE_ID       transparent yes|no onclick HANDLER
//
// Colours are system colours (btnface, windowtext, window), plain names (black, white, blue,
// red, green) or #RRGGBB. Heights of fonts are character heights in pixels at 96 dpi.
// Strings are double-quoted; \" and \\ stand for a quote and a backslash.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace forms {

// Text in the platform's UTF-16 characters.
using WideString = std::basic_string<WCHAR>;

struct Colour {
    bool system = false;
    int index = 0;        // a COLOR_ index, when system
    COLORREF rgb = 0;     // otherwise

    COLORREF Resolve() const { return system ? static_cast<COLORREF>(GetSysColor(index)) : rgb; }
};

struct FontStyle {
    WideString face;
    int height = 11;
    bool bold = false;
    bool italic = false;
    bool underline = false;
    Colour colour;
};

enum class Kind { Shape, Label, Image };

struct ComponentDescription {
    Kind kind = Kind::Label;
    std::string name;
    int left = 0, top = 0, width = 0, height = 0;
    WideString text;
    bool ownFont = false;  // otherwise the form's font
    FontStyle font;
    Colour brush;
    bool hasPen = false;
    Colour pen;
    int penWidth = 1;
    int picture = 0;
    bool transparent = false;
    bool autoSize = true;
    std::string onClick;
};

enum class Border { None, Single, Sizeable };

struct FormDescription {
    std::string name;
    std::string className;
    Border border = Border::Sizeable;
    int clientWidth = 0, clientHeight = 0;  // used when no outer size is given
    int width = 0, height = 0;              // outer size, 0 when the client size rules
    int left = 0, top = 0;
    bool centreOnDesktop = false;
    WideString caption;
    int icon = 0;
    Colour colour;
    FontStyle font;
    bool doubleBuffered = false;
    int alphaBlendValue = 255;
    bool alphaBlend = false;
    int pixelsPerInch = 96;
    std::string onClose;
    std::string onDestroy;
    std::vector<ComponentDescription> components;
};

// Parses `size` bytes of description. On failure returns false and sets `error` to the
// line and what is wrong with it; `form` is then unspecified.
bool ParseDescription(const char* text, size_t size, FormDescription& form, std::string& error);

}  // namespace forms
