#include "ui/forms/description.h"

#include <cstdlib>

namespace forms {

namespace {

// Descriptions are small; anything far larger is not one of ours.
constexpr size_t kMaxDescription = 64 * 1024;
constexpr size_t kMaxComponents = 256;
constexpr size_t kMaxText = 256;
constexpr long kMaxCoordinate = 10000;

struct Token {
    std::string text;
    bool quoted = false;
};

bool Tokenise(const std::string& line, std::vector<Token>& tokens, std::string& error)
{
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '"') {
            Token t;
            t.quoted = true;
            ++i;
            for (;;) {
                if (i >= line.size()) {
                    error = "unterminated string";
                    return false;
                }
                char d = line[i++];
                if (d == '"') break;
                if (d == '\\') {
                    if (i >= line.size() || (line[i] != '"' && line[i] != '\\')) {
                        error = "unknown escape in string";
                        return false;
                    }
                    d = line[i++];
                }
                t.text += d;
            }
            tokens.push_back(t);
        } else {
            size_t start = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '"') ++i;
            tokens.push_back(Token{line.substr(start, i - start), false});
        }
    }
    return true;
}

bool Utf8ToUtf16(const std::string& in, WideString& out)
{
    out.clear();
    for (size_t i = 0; i < in.size();) {
        uint32_t c = static_cast<unsigned char>(in[i]);
        size_t extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 9;
        if (extra == 9 || i + extra >= in.size() + (extra == 0)) return false;
        if (extra) c &= 0x3Fu >> extra;
        for (size_t k = 1; k <= extra; ++k) {
            unsigned char b = static_cast<unsigned char>(in[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            c = (c << 6) | (b & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode are refused.
        static const uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (c < minimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        i += extra + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<WCHAR>(0xD800 + (c >> 10)));
            out.push_back(static_cast<WCHAR>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<WCHAR>(c));
        }
    }
    return true;
}

bool Number(const Token& t, long low, long high, int& value)
{
    if (t.quoted || t.text.empty() || t.text.size() > 9) return false;
    char* end = nullptr;
    long v = std::strtol(t.text.c_str(), &end, 10);
    if (*end || v < low || v > high) return false;
    value = static_cast<int>(v);
    return true;
}

bool YesNo(const Token& t, bool& value)
{
    if (t.quoted) return false;
    if (t.text == "yes" || t.text == "on") return value = true, true;
    if (t.text == "no" || t.text == "off") return value = false, true;
    return false;
}

bool ParseColour(const Token& t, Colour& colour)
{
    if (t.quoted) return false;
    struct Named {
        const char* name;
        bool system;
        int index;
        COLORREF rgb;
    };
    static const Named names[] = {
        {"btnface", true, COLOR_BTNFACE, 0},       {"windowtext", true, COLOR_WINDOWTEXT, 0},
        {"window", true, COLOR_WINDOW, 0},         {"black", false, 0, RGB(0, 0, 0)},
        {"white", false, 0, RGB(255, 255, 255)},   {"blue", false, 0, RGB(0, 0, 255)},
        {"red", false, 0, RGB(255, 0, 0)},         {"green", false, 0, RGB(0, 128, 0)},
    };
    for (const auto& n : names)
        if (t.text == n.name) {
            colour = Colour{n.system, n.index, n.rgb};
            return true;
        }
    if (t.text.size() == 7 && t.text[0] == '#') {
        char* end = nullptr;
        unsigned long v = std::strtoul(t.text.c_str() + 1, &end, 16);
        if (*end) return false;
        colour = Colour{false, 0, RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF)};
        return true;
    }
    return false;
}

bool Identifier(const Token& t)
{
    if (t.quoted || t.text.empty() || t.text.size() > 64) return false;
    for (char c : t.text)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
    return true;
}

bool Text(const Token& t, WideString& out)
{
    return t.quoted && t.text.size() <= kMaxText * 4 && Utf8ToUtf16(t.text, out) && out.size() <= kMaxText;
}

// font "FACE" HEIGHT [styles...] COLOUR
bool ParseFont(const std::vector<Token>& t, FontStyle& font)
{
    if (t.size() < 4 || !Text(t[1], font.face) || font.face.empty() || font.face.size() >= 32) return false;
    if (!Number(t[2], 1, 200, font.height)) return false;
    font.bold = font.italic = font.underline = false;
    for (size_t i = 3; i + 1 < t.size(); ++i) {
        const std::string& s = t[i].text;
        if (t[i].quoted) return false;
        if (s == "bold")
            font.bold = true;
        else if (s == "italic")
            font.italic = true;
        else if (s == "underline")
            font.underline = true;
        else if (s != "regular")
            return false;
    }
    return ParseColour(t.back(), font.colour);
}

bool FormProperty(const std::vector<Token>& t, FormDescription& f)
{
    const std::string& key = t[0].text;
    size_t n = t.size();
    if (key == "border" && n == 2) {
        if (t[1].text == "none") return f.border = Border::None, true;
        if (t[1].text == "single") return f.border = Border::Single, true;
        if (t[1].text == "sizeable") return f.border = Border::Sizeable, true;
        return false;
    }
    if (key == "client" && n == 3)
        return Number(t[1], 1, kMaxCoordinate, f.clientWidth) && Number(t[2], 1, kMaxCoordinate, f.clientHeight);
    if (key == "size" && n == 3) return Number(t[1], 1, kMaxCoordinate, f.width) && Number(t[2], 1, kMaxCoordinate, f.height);
    if (key == "position" && n == 3)
        return Number(t[1], -kMaxCoordinate, kMaxCoordinate, f.left) && Number(t[2], -kMaxCoordinate, kMaxCoordinate, f.top);
    if (key == "placement" && n == 2) {
        if (t[1].text == "stored") return f.centreOnDesktop = false, true;
        if (t[1].text == "desktopcenter") return f.centreOnDesktop = true, true;
        return false;
    }
    if (key == "caption" && n == 2) return Text(t[1], f.caption);
    if (key == "color" && n == 2) return ParseColour(t[1], f.colour);
    if (key == "icon" && n == 2) return Number(t[1], 1, 0xFFFF, f.icon);
    if (key == "font") return ParseFont(t, f.font);
    if (key == "doublebuffered" && n == 2) return YesNo(t[1], f.doubleBuffered);
    if (key == "alphablend" && n == 3) return Number(t[1], 0, 255, f.alphaBlendValue) && YesNo(t[2], f.alphaBlend);
    if (key == "pixelsperinch" && n == 2) return Number(t[1], 1, 1000, f.pixelsPerInch);
    if (key == "onclose" && n == 2) return Identifier(t[1]) && (f.onClose = t[1].text, true);
    if (key == "ondestroy" && n == 2) return Identifier(t[1]) && (f.onDestroy = t[1].text, true);
    return false;
}

bool ComponentProperty(const std::vector<Token>& t, ComponentDescription& c)
{
    const std::string& key = t[0].text;
    size_t n = t.size();
    switch (c.kind) {
    case Kind::Shape:
        if (key == "brush" && n == 2) return ParseColour(t[1], c.brush);
        if (key == "pen" && n == 3) return ParseColour(t[1], c.pen) && Number(t[2], 1, 100, c.penWidth) && (c.hasPen = true);
        return false;
    case Kind::Label:
        if (key == "text" && n == 2) return Text(t[1], c.text);
        if (key == "font") return ParseFont(t, c.font) && (c.ownFont = true);
        if (key == "autosize" && n == 2) return YesNo(t[1], c.autoSize);
        if (key == "onclick" && n == 2) return Identifier(t[1]) && (c.onClick = t[1].text, true);
        return false;
    case Kind::Image:
        if (key == "picture" && n == 2) return Number(t[1], 1, 0xFFFF, c.picture);
        if (key == "transparent" && n == 2) return YesNo(t[1], c.transparent);
        if (key == "onclick" && n == 2) return Identifier(t[1]) && (c.onClick = t[1].text, true);
        return false;
    }
    return false;
}

}  // namespace

bool ParseDescription(const char* text, size_t size, FormDescription& form, std::string& error)
{
    form = FormDescription{};
    form.colour = Colour{true, COLOR_BTNFACE, 0};
    form.font.face = WIDE("MS Sans Serif");
    form.font.colour = Colour{true, COLOR_WINDOWTEXT, 0};
    if (!text || size > kMaxDescription) {
        error = "description missing or too large";
        return false;
    }
    bool haveForm = false;
    ComponentDescription* current = nullptr;
    size_t lineNumber = 0;
    for (size_t pos = 0; pos < size;) {
        size_t end = pos;
        while (end < size && text[end] != '\n') ++end;
        std::string line(text + pos, end - pos);
        pos = end + 1;
        ++lineNumber;
        auto fail = [&](const std::string& what) {
            error = "line " + std::to_string(lineNumber) + ": " + what;
            return false;
        };
        if (line.find('\0') != std::string::npos) return fail("NUL character");
        size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        std::vector<Token> t;
        std::string tokenError;
        if (!Tokenise(line, t, tokenError)) return fail(tokenError);
        if (t[0].quoted) return fail("statement expected");
        const std::string& key = t[0].text;
        if (key == "form") {
            if (haveForm) return fail("second form");
            if (t.size() != 3 || !Identifier(t[1]) || !Identifier(t[2])) return fail("expected: form NAME CLASS");
            form.name = t[1].text;
            form.className = t[2].text;
            haveForm = true;
            continue;
        }
        if (!haveForm) return fail("the description must start with a form");
        if (key == "shape" || key == "label" || key == "image") {
            ComponentDescription c;
            c.kind = key == "shape" ? Kind::Shape : key == "label" ? Kind::Label : Kind::Image;
            if (t.size() != 6 || !Identifier(t[1]) || !Number(t[2], -kMaxCoordinate, kMaxCoordinate, c.left) ||
                !Number(t[3], -kMaxCoordinate, kMaxCoordinate, c.top) || !Number(t[4], 0, kMaxCoordinate, c.width) ||
                !Number(t[5], 0, kMaxCoordinate, c.height))
                return fail("expected: " + key + " NAME LEFT TOP WIDTH HEIGHT");
            for (const auto& other : form.components)
                if (other.name == t[1].text) return fail("a second component named " + t[1].text);
            if (form.components.size() >= kMaxComponents) return fail("too many components");
            c.name = t[1].text;
            c.brush = Colour{true, COLOR_BTNFACE, 0};
            c.pen = Colour{false, 0, RGB(0, 0, 0)};
            form.components.push_back(c);
            current = &form.components.back();
            continue;
        }
        bool ok = current ? ComponentProperty(t, *current) : FormProperty(t, form);
        if (!ok) return fail("bad or unknown property: " + key);
    }
    if (!haveForm) {
        error = "no form in the description";
        return false;
    }
    for (auto& c : form.components)
        if (!c.ownFont) c.font = form.font;
    return true;
}

}  // namespace forms
