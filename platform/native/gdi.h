// Drawing for the native build: device contexts, bitmaps, pens, brushes and fonts with the
// Windows names, over 32-bit pixel surfaces in memory.
//
// A memory device context draws into the bitmap selected into it; a window's device context
// (GetDC, BeginPaint) draws into a scratch surface the size of the window's client area,
// since there is no screen. Text is measured with fixed metrics derived from the font's
// character height (so layouts that size themselves to text come out the same everywhere)
// and drawn as the filled cells of its characters.
#pragma once

#include "platform/native/base.h"
#include "platform/native/window.h"

PLATFORM_DECLARE_HANDLE(HPEN);

#define RGB(r, g, b) ((COLORREF)(((BYTE)(r) | ((WORD)((BYTE)(g)) << 8)) | (((DWORD)(BYTE)(b)) << 16)))
#define GetRValue(rgb) ((BYTE)(rgb))
#define GetGValue(rgb) ((BYTE)(((WORD)(rgb)) >> 8))
#define GetBValue(rgb) ((BYTE)((rgb) >> 16))
#define CLR_INVALID 0xFFFFFFFF

// ---- System colours -------------------------------------------------------------------

#define COLOR_SCROLLBAR 0
#define COLOR_BACKGROUND 1
#define COLOR_ACTIVECAPTION 2
#define COLOR_WINDOW 5
#define COLOR_WINDOWFRAME 6
#define COLOR_WINDOWTEXT 8
#define COLOR_CAPTIONTEXT 9
#define COLOR_BTNFACE 15
#define COLOR_BTNSHADOW 16
#define COLOR_GRAYTEXT 17
#define COLOR_BTNTEXT 18
#define COLOR_BTNHIGHLIGHT 20
#define COLOR_HOTLIGHT 26
// A fixed scheme: button face RGB(240, 240, 240), window text black, window white.
PLATFORM_API DWORD GetSysColor(int nIndex);
PLATFORM_API HBRUSH GetSysColorBrush(int nIndex);

// ---- Objects --------------------------------------------------------------------------

#define WHITE_BRUSH 0
#define LTGRAY_BRUSH 1
#define GRAY_BRUSH 2
#define DKGRAY_BRUSH 3
#define BLACK_BRUSH 4
#define NULL_BRUSH 5
#define HOLLOW_BRUSH NULL_BRUSH
#define WHITE_PEN 6
#define BLACK_PEN 7
#define NULL_PEN 8
#define SYSTEM_FONT 13
#define DEFAULT_GUI_FONT 17
#define DC_BRUSH 18
#define DC_PEN 19
PLATFORM_API HGDIOBJ GetStockObject(int i);
PLATFORM_API BOOL DeleteObject(HGDIOBJ ho);
// Returns the object of the same kind that was selected before; null on failure.
PLATFORM_API HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h);

#define PS_SOLID 0
#define PS_DASH 1
#define PS_DOT 2
#define PS_NULL 5
PLATFORM_API HPEN CreatePen(int iStyle, int cWidth, COLORREF color);
PLATFORM_API HBRUSH CreateSolidBrush(COLORREF color);

typedef struct tagBITMAP {
    LONG bmType;
    LONG bmWidth;
    LONG bmHeight;
    LONG bmWidthBytes;
    WORD bmPlanes;
    WORD bmBitsPixel;
    LPVOID bmBits;
} BITMAP, *PBITMAP, *LPBITMAP;

#pragma pack(push, 2)
typedef struct tagBITMAPFILEHEADER {
    WORD bfType;
    DWORD bfSize;
    WORD bfReserved1;
    WORD bfReserved2;
    DWORD bfOffBits;
} BITMAPFILEHEADER;
#pragma pack(pop)

typedef struct tagBITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
} BITMAPINFOHEADER, *PBITMAPINFOHEADER, *LPBITMAPINFOHEADER;

typedef struct tagRGBQUAD {
    BYTE rgbBlue;
    BYTE rgbGreen;
    BYTE rgbRed;
    BYTE rgbReserved;
} RGBQUAD;

typedef struct tagBITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[1];
} BITMAPINFO, *PBITMAPINFO, *LPBITMAPINFO;

#define BI_RGB 0L
#define DIB_RGB_COLORS 0

// Bitmaps are 32 bits per pixel inside; a DIB section of 24 or 32 bits keeps its own layout
// (bottom-up for a positive height) and is read and written in place.
PLATFORM_API HBITMAP CreateCompatibleBitmap(HDC hdc, int cx, int cy);
PLATFORM_API HBITMAP CreateDIBSection(HDC hdc, const BITMAPINFO* pbmi, UINT usage, void** ppvBits, HANDLE hSection,
                                      DWORD offset);
PLATFORM_API int GetObjectW(HANDLE h, int c, LPVOID pv);

#define IMAGE_BITMAP 0
#define IMAGE_ICON 1
#define LR_DEFAULTCOLOR 0x0000
#define LR_CREATEDIBSECTION 0x2000
#define LR_SHARED 0x8000
// Bitmaps from a module's RT_BITMAP resources (uncompressed 24- and 32-bit).
PLATFORM_API HANDLE LoadImageW(HINSTANCE hInst, LPCWSTR name, UINT type, int cx, int cy, UINT fuLoad);

// ---- Fonts ----------------------------------------------------------------------------

#define LF_FACESIZE 32
typedef struct tagLOGFONTW {
    LONG lfHeight;
    LONG lfWidth;
    LONG lfEscapement;
    LONG lfOrientation;
    LONG lfWeight;
    BYTE lfItalic;
    BYTE lfUnderline;
    BYTE lfStrikeOut;
    BYTE lfCharSet;
    BYTE lfOutPrecision;
    BYTE lfClipPrecision;
    BYTE lfQuality;
    BYTE lfPitchAndFamily;
    WCHAR lfFaceName[LF_FACESIZE];
} LOGFONTW, *PLOGFONTW, *LPLOGFONTW;

#define FW_DONTCARE 0
#define FW_NORMAL 400
#define FW_BOLD 700
#define ANSI_CHARSET 0
#define DEFAULT_CHARSET 1
#define OUT_DEFAULT_PRECIS 0
#define CLIP_DEFAULT_PRECIS 0
#define DEFAULT_QUALITY 0
#define DEFAULT_PITCH 0
#define FF_DONTCARE 0

typedef struct tagTEXTMETRICW {
    LONG tmHeight;
    LONG tmAscent;
    LONG tmDescent;
    LONG tmInternalLeading;
    LONG tmExternalLeading;
    LONG tmAveCharWidth;
    LONG tmMaxCharWidth;
    LONG tmWeight;
    LONG tmOverhang;
    LONG tmDigitizedAspectX;
    LONG tmDigitizedAspectY;
    WCHAR tmFirstChar;
    WCHAR tmLastChar;
    WCHAR tmDefaultChar;
    WCHAR tmBreakChar;
    BYTE tmItalic;
    BYTE tmUnderlined;
    BYTE tmStruckOut;
    BYTE tmPitchAndFamily;
    BYTE tmCharSet;
} TEXTMETRICW, *PTEXTMETRICW, *LPTEXTMETRICW;

PLATFORM_API HFONT CreateFontIndirectW(const LOGFONTW* lplf);
PLATFORM_API BOOL GetTextMetricsW(HDC hdc, LPTEXTMETRICW lptm);
PLATFORM_API BOOL GetTextExtentPoint32W(HDC hdc, LPCWSTR lpString, int c, LPSIZE psizl);

// ---- Device contexts ------------------------------------------------------------------

typedef struct tagPAINTSTRUCT {
    HDC hdc;
    BOOL fErase;
    RECT rcPaint;
    BOOL fRestore;
    BOOL fIncUpdate;
    BYTE rgbReserved[32];
} PAINTSTRUCT, *PPAINTSTRUCT, *LPPAINTSTRUCT;

PLATFORM_API HDC GetDC(HWND hWnd);
PLATFORM_API int ReleaseDC(HWND hWnd, HDC hDC);
// Carries out a pending erase, validates the window and gives a device context for it.
PLATFORM_API HDC BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint);
PLATFORM_API BOOL EndPaint(HWND hWnd, const PAINTSTRUCT* lpPaint);
PLATFORM_API HDC CreateCompatibleDC(HDC hdc);
PLATFORM_API BOOL DeleteDC(HDC hdc);

#define TRANSPARENT 1
#define OPAQUE 2
PLATFORM_API COLORREF SetTextColor(HDC hdc, COLORREF color);
PLATFORM_API int SetBkMode(HDC hdc, int mode);

PLATFORM_API int FillRect(HDC hDC, const RECT* lprc, HBRUSH hbr);
// Outlined with the selected pen, filled with the selected brush; right and bottom excluded.
PLATFORM_API BOOL Rectangle(HDC hdc, int left, int top, int right, int bottom);
PLATFORM_API COLORREF GetPixel(HDC hdc, int x, int y);

#define SRCCOPY 0x00CC0020
PLATFORM_API BOOL BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1, DWORD rop);
// Copies every source pixel except those of the key colour (no stretching).
PLATFORM_API BOOL TransparentBlt(HDC hdcDest, int xoriginDest, int yoriginDest, int wDest, int hDest, HDC hdcSrc,
                                 int xoriginSrc, int yoriginSrc, int wSrc, int hSrc, UINT crTransparent);

PLATFORM_API BOOL TextOutW(HDC hdc, int x, int y, LPCWSTR lpString, int c);
#define DT_LEFT 0x00000000
#define DT_TOP 0x00000000
#define DT_CENTER 0x00000001
#define DT_RIGHT 0x00000002
#define DT_SINGLELINE 0x00000020
#define DT_NOCLIP 0x00000100
#define DT_CALCRECT 0x00000400
#define DT_NOPREFIX 0x00000800
// Single lines only; DT_CALCRECT measures into the rectangle without drawing.
PLATFORM_API int DrawTextW(HDC hdc, LPCWSTR lpchText, int cchText, LPRECT lprc, UINT format);
