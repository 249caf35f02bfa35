// Window services for the native build: a headless window system with the Windows names.
//
// Windows are objects with a class, parent, style, extended style, rectangle (relative to the
// parent's client area), user slots and a window procedure. They belong to the thread that
// created them; every thread has its own message queue. Dialogs are created from the dialog
// templates in a module's resources, which the module makes known to the platform when it
// loads (PlatformRegisterModuleResources). Dialog units convert to pixels with the metrics of
// the system font at 96 dpi (8 x 16 base units), as Windows does for a dialog without a font.
// Multimedia timers run on a timer thread; ShellExecuteW opens documents and web addresses
// with the desktop's opener (xdg-open); MessageBoxW reports through a hook.
#pragma once

#include "platform/native/base.h"
#include "platform/native/property.h"  // MSG

// ---- Resources ------------------------------------------------------------------------

#define MAKEINTRESOURCEW(i) ((LPWSTR)(ULONG_PTR)(WORD)(i))
#define MAKEINTRESOURCEA(i) ((LPSTR)(ULONG_PTR)(WORD)(i))
#define MAKEINTRESOURCE MAKEINTRESOURCEW
#define IS_INTRESOURCE(p) ((((ULONG_PTR)(p)) >> 16) == 0)

#define RT_CURSOR MAKEINTRESOURCEW(1)
#define RT_BITMAP MAKEINTRESOURCEW(2)
#define RT_ICON MAKEINTRESOURCEW(3)
#define RT_MENU MAKEINTRESOURCEW(4)
#define RT_DIALOG MAKEINTRESOURCEW(5)
#define RT_STRING MAKEINTRESOURCEW(6)
#define RT_RCDATA MAKEINTRESOURCEW(10)
#define RT_GROUP_ICON MAKEINTRESOURCEW(14)

// One resource of a module, in the binary layout the Windows resource compiler produces
// (dialog templates as DLGTEMPLATE, string tables as blocks of 16 counted strings, bitmaps
// as a BITMAPINFOHEADER followed by the palette and the pixels, raw data as is). Types and
// names are numeric ids.
typedef struct tagPLATFORM_RESOURCE {
    WORD type;
    WORD name;
    const void* data;
    DWORD size;
} PLATFORM_RESOURCE;

// Makes a module's resources known under its handle; the table must outlive the
// registration. A second registration for the same module replaces the first.
PLATFORM_API BOOL PlatformRegisterModuleResources(HMODULE module, const PLATFORM_RESOURCE* resources, UINT count);
// Forgets a module's resources (at unload).
PLATFORM_API void PlatformUnregisterModuleResources(HMODULE module);

// A null module stands for the executable. Only numeric names and types are found.
PLATFORM_API HRSRC FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType);
PLATFORM_API HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo);
PLATFORM_API LPVOID LockResource(HGLOBAL hResData);
PLATFORM_API DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo);

// String resources. LoadStringW with a buffer size of 0 stores a read-only pointer to the
// resource text in *lpBuffer and returns its length.
PLATFORM_API int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);
PLATFORM_API int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);

// ---- Messages -------------------------------------------------------------------------

#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_MOVE 0x0003
#define WM_SIZE 0x0005
#define WM_ACTIVATE 0x0006
#define WM_SETFOCUS 0x0007
#define WM_KILLFOCUS 0x0008
#define WM_ENABLE 0x000A
#define WM_SETREDRAW 0x000B
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_ERASEBKGND 0x0014
#define WM_SYSCOLORCHANGE 0x0015
#define WM_SHOWWINDOW 0x0018
#define WM_SETCURSOR 0x0020
#define WM_WINDOWPOSCHANGING 0x0046
#define WM_WINDOWPOSCHANGED 0x0047
#define WM_STYLECHANGING 0x007C
#define WM_STYLECHANGED 0x007D
#define WM_SETICON 0x0080
#define ICON_SMALL 0
#define ICON_BIG 1
#define WM_NCCREATE 0x0081
#define WM_NCDESTROY 0x0082
#define WM_KEYDOWN 0x0100
#define WM_KEYUP 0x0101
#define WM_CHAR 0x0102
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_SYSCOMMAND 0x0112
#define WM_TIMER 0x0113
#define WM_MOUSEMOVE 0x0200
#define WM_LBUTTONDOWN 0x0201
#define WM_LBUTTONUP 0x0202
#define WM_LBUTTONDBLCLK 0x0203
#define WM_RBUTTONDOWN 0x0204
#define WM_RBUTTONUP 0x0205
#define WM_PRINT 0x0317
#define WM_PRINTCLIENT 0x0318
#define WM_USER 0x0400
#define WM_APP 0x8000

#define MK_LBUTTON 0x0001

#define MAKELONG(a, b) ((LONG)(((WORD)(((DWORD_PTR)(a)) & 0xffff)) | ((DWORD)((WORD)(((DWORD_PTR)(b)) & 0xffff))) << 16))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))
#define MAKELPARAM(l, h) ((LPARAM)(DWORD)MAKELONG(l, h))
#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define GET_X_LPARAM(lp) ((int)(short)LOWORD(lp))
#define GET_Y_LPARAM(lp) ((int)(short)HIWORD(lp))

typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);

// Posts to the window's thread; a null window posts a thread message to the calling thread.
PLATFORM_API BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
// On the window's own thread the procedure is called directly; from another thread the
// message waits in the owner's queue until the owner next reads its queue, and the caller
// waits for the result.
PLATFORM_API LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
// Waits for the next message of the calling thread; 0 for WM_QUIT, -1 for an invalid
// window filter. WM_PAINT is generated, as on Windows, when nothing else is waiting and a
// window of the thread has an update region.
PLATFORM_API BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
PLATFORM_API BOOL PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg);
PLATFORM_API BOOL TranslateMessage(const MSG* lpMsg);
PLATFORM_API LRESULT DispatchMessageW(const MSG* lpMsg);
PLATFORM_API void PostQuitMessage(int nExitCode);

// ---- Windows --------------------------------------------------------------------------

#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_MINIMIZE 0x20000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_CLIPSIBLINGS 0x04000000L
#define WS_CLIPCHILDREN 0x02000000L
#define WS_MAXIMIZE 0x01000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_DLGFRAME 0x00400000L
#define WS_VSCROLL 0x00200000L
#define WS_HSCROLL 0x00100000L
#define WS_SYSMENU 0x00080000L
#define WS_THICKFRAME 0x00040000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define WS_MINIMIZEBOX 0x00020000L
#define WS_MAXIMIZEBOX 0x00010000L
#define WS_OVERLAPPEDWINDOW (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX)
#define WS_POPUPWINDOW (WS_POPUP | WS_BORDER | WS_SYSMENU)

#define WS_EX_DLGMODALFRAME 0x00000001L
#define WS_EX_NOPARENTNOTIFY 0x00000004L
#define WS_EX_TOPMOST 0x00000008L
#define WS_EX_TRANSPARENT 0x00000020L
#define WS_EX_TOOLWINDOW 0x00000080L
#define WS_EX_WINDOWEDGE 0x00000100L
#define WS_EX_CLIENTEDGE 0x00000200L
#define WS_EX_CONTROLPARENT 0x00010000L
#define WS_EX_STATICEDGE 0x00020000L
#define WS_EX_APPWINDOW 0x00040000L
#define WS_EX_LAYERED 0x00080000L

#define DS_SETFONT 0x40L
#define DS_MODALFRAME 0x80L
#define DS_CONTROL 0x0400L
#define DS_CENTER 0x0800L

#define CW_USEDEFAULT ((int)0x80000000)

#define CS_VREDRAW 0x0001
#define CS_HREDRAW 0x0002
#define CS_DBLCLKS 0x0008
#define CS_OWNDC 0x0020
#define CS_PARENTDC 0x0080

// Window slots. The user slot of a dialog sits after the message result and the dialog
// procedure, as on 64-bit Windows.
#define GWLP_WNDPROC (-4)
#define GWLP_HINSTANCE (-6)
#define GWLP_HWNDPARENT (-8)
#define GWLP_ID (-12)
#define GWL_STYLE (-16)
#define GWL_EXSTYLE (-20)
#define GWLP_USERDATA (-21)
#define DWLP_MSGRESULT 0
#define DWLP_DLGPROC (DWLP_MSGRESULT + (int)sizeof(LRESULT))
#define DWLP_USER (DWLP_DLGPROC + (int)sizeof(DLGPROC))
#define DLGWINDOWEXTRA 30

#define GCLP_HBRBACKGROUND (-10)
#define GCLP_HCURSOR (-12)
#define GCLP_HICON (-14)
#define GCLP_WNDPROC (-24)

typedef struct tagWNDCLASSEXW {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
    HICON hIconSm;
} WNDCLASSEXW, *PWNDCLASSEXW, *LPWNDCLASSEXW;

typedef struct tagCREATESTRUCTW {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCWSTR lpszName;
    LPCWSTR lpszClass;
    DWORD dwExStyle;
} CREATESTRUCTW, *LPCREATESTRUCTW;

typedef struct tagSTYLESTRUCT {
    DWORD styleOld;
    DWORD styleNew;
} STYLESTRUCT, *LPSTYLESTRUCT;

typedef struct tagWINDOWPOS {
    HWND hwnd;
    HWND hwndInsertAfter;
    int x;
    int y;
    int cx;
    int cy;
    UINT flags;
} WINDOWPOS, *LPWINDOWPOS, *PWINDOWPOS;

// Classes are registered per module instance. Registering a name twice for one module
// fails with ERROR_CLASS_ALREADY_EXISTS.
#define ERROR_CLASS_ALREADY_EXISTS 1410L
#define ERROR_CLASS_DOES_NOT_EXIST 1411L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define ERROR_TLW_WITH_WSCHILD 1406L
PLATFORM_API ATOM RegisterClassExW(const WNDCLASSEXW* lpwcx);
PLATFORM_API BOOL GetClassInfoExW(HINSTANCE hInstance, LPCWSTR lpszClass, LPWNDCLASSEXW lpwcx);
PLATFORM_API ULONG_PTR GetClassLongPtrW(HWND hWnd, int nIndex);
PLATFORM_API int GetClassNameW(HWND hWnd, LPWSTR lpClassName, int nMaxCount);

PLATFORM_API HWND CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle, int X,
                                  int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance,
                                  LPVOID lpParam);
// Only the owning thread may destroy a window. WM_DESTROY reaches the window before its
// children, WM_NCDESTROY after them; the handle is invalid afterwards.
PLATFORM_API BOOL DestroyWindow(HWND hWnd);
PLATFORM_API LRESULT DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);

PLATFORM_API BOOL IsWindow(HWND hWnd);
PLATFORM_API BOOL IsWindowVisible(HWND hWnd);
PLATFORM_API BOOL IsChild(HWND hWndParent, HWND hWnd);
PLATFORM_API HWND GetParent(HWND hWnd);
PLATFORM_API HWND SetParent(HWND hWndChild, HWND hWndNewParent);
PLATFORM_API HWND GetDesktopWindow(void);
#define GW_HWNDFIRST 0
#define GW_HWNDLAST 1
#define GW_HWNDNEXT 2
#define GW_HWNDPREV 3
#define GW_OWNER 4
#define GW_CHILD 5
PLATFORM_API HWND GetWindow(HWND hWnd, UINT uCmd);

PLATFORM_API LONG_PTR GetWindowLongPtrW(HWND hWnd, int nIndex);
// Changing GWL_STYLE or GWL_EXSTYLE sends WM_STYLECHANGING (whose handler may change the new
// style in the STYLESTRUCT) before the change and WM_STYLECHANGED after it.
PLATFORM_API LONG_PTR SetWindowLongPtrW(HWND hWnd, int nIndex, LONG_PTR dwNewLong);

PLATFORM_API int GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount);

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_NORMAL 1
#define SW_SHOWMINIMIZED 2
#define SW_SHOWMAXIMIZED 3
#define SW_MAXIMIZE 3
#define SW_SHOWNOACTIVATE 4
#define SW_SHOW 5
#define SW_MINIMIZE 6
#define SW_SHOWMINNOACTIVE 7
#define SW_SHOWNA 8
#define SW_RESTORE 9
#define SW_SHOWDEFAULT 10
// Returns whether the window was visible before.
PLATFORM_API BOOL ShowWindow(HWND hWnd, int nCmdShow);

#define SWP_NOSIZE 0x0001
#define SWP_NOMOVE 0x0002
#define SWP_NOZORDER 0x0004
#define SWP_NOREDRAW 0x0008
#define SWP_NOACTIVATE 0x0010
#define SWP_FRAMECHANGED 0x0020
#define SWP_SHOWWINDOW 0x0040
#define SWP_HIDEWINDOW 0x0080
#define SWP_NOOWNERZORDER 0x0200
#define HWND_TOP ((HWND)0)
#define HWND_BOTTOM ((HWND)1)
#define HWND_TOPMOST ((HWND)-1)
#define HWND_NOTOPMOST ((HWND)-2)
PLATFORM_API BOOL SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy, UINT uFlags);
PLATFORM_API BOOL MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL bRepaint);

// Rectangles: the window rectangle in screen coordinates; the client rectangle from 0, 0.
// A framed window (WS_CAPTION, WS_THICKFRAME or WS_BORDER) has a frame of fixed thickness.
PLATFORM_API BOOL GetWindowRect(HWND hWnd, LPRECT lpRect);
PLATFORM_API BOOL GetClientRect(HWND hWnd, LPRECT lpRect);
PLATFORM_API BOOL ScreenToClient(HWND hWnd, LPPOINT lpPoint);
PLATFORM_API BOOL AdjustWindowRectEx(LPRECT lpRect, DWORD dwStyle, BOOL bMenu, DWORD dwExStyle);

// Update regions are kept as one bounding rectangle per window.
PLATFORM_API BOOL InvalidateRect(HWND hWnd, const RECT* lpRect, BOOL bErase);
PLATFORM_API BOOL ValidateRect(HWND hWnd, const RECT* lpRect);
// With bErase TRUE a pending erase is carried out first (WM_ERASEBKGND).
PLATFORM_API BOOL GetUpdateRect(HWND hWnd, LPRECT lpRect, BOOL bErase);

PLATFORM_API HWND SetCapture(HWND hWnd);
PLATFORM_API BOOL ReleaseCapture(void);
PLATFORM_API HWND GetCapture(void);

// ---- Dialogs --------------------------------------------------------------------------

#pragma pack(push, 2)
typedef struct {
    DWORD style;
    DWORD dwExtendedStyle;
    WORD cdit;
    short x;
    short y;
    short cx;
    short cy;
} DLGTEMPLATE, *LPDLGTEMPLATE;
typedef const DLGTEMPLATE* LPCDLGTEMPLATEW;
#pragma pack(pop)

// A dialog from the template with this id in the module's resources. The dialog procedure
// receives WM_INITDIALOG with the creation parameter before the call returns; a dialog
// procedure that returns FALSE leaves the message to the default handling.
PLATFORM_API HWND CreateDialogParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                                     LPARAM dwInitParam);
PLATFORM_API LRESULT DefDlgProcW(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam);
// Dialog units to pixels for the dialog's font (the system font: 8 x 16 base units).
PLATFORM_API LONG GetDialogBaseUnits(void);

// ---- Message boxes --------------------------------------------------------------------

#define MB_OK 0x00000000L
#define MB_OKCANCEL 0x00000001L
#define MB_YESNO 0x00000004L
#define MB_ICONHAND 0x00000010L
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONINFORMATION 0x00000040L
#define MB_APPLMODAL 0x00000000L
#define MB_TASKMODAL 0x00002000L
#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7

// A message box has no screen to appear on: it is handed to the hook that the host (or a
// test) set, whose answer is the result. With no hook it is written to standard error and
// answered with the first button of its kind (IDOK for MB_OK).
typedef int (*PLATFORM_MESSAGEBOX_HOOK)(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);
// Returns the hook it replaces; null removes the hook.
PLATFORM_API PLATFORM_MESSAGEBOX_HOOK PlatformSetMessageBoxHook(PLATFORM_MESSAGEBOX_HOOK hook);
PLATFORM_API int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);

// ---- Shell ----------------------------------------------------------------------------

#define SE_ERR_FNF 2
#define SE_ERR_PNF 3
#define SE_ERR_ACCESSDENIED 5
#define SE_ERR_OOM 8
#define SE_ERR_NOASSOC 31

// The "open" verb (or none) on a document or web address starts the desktop's opener,
// xdg-open, found on PATH, without waiting for it. Returns a value above 32 on success and
// an SE_ERR_ code when no opener could be started or the verb is not known.
PLATFORM_API HINSTANCE ShellExecuteW(HWND hwnd, LPCWSTR lpOperation, LPCWSTR lpFile, LPCWSTR lpParameters,
                                     LPCWSTR lpDirectory, INT nShowCmd);

// ---- Multimedia timers ----------------------------------------------------------------

typedef UINT MMRESULT;
typedef void(CALLBACK* LPTIMECALLBACK)(UINT uTimerID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);
typedef LPTIMECALLBACK TIMECALLBACK;
#define TIMERR_NOERROR 0
#define TIMERR_NOCANDO 97
#define MMSYSERR_NOERROR 0
#define MMSYSERR_INVALPARAM 11
#define TIME_ONESHOT 0x0000
#define TIME_PERIODIC 0x0001
#define TIME_CALLBACK_FUNCTION 0x0000
#define TIME_CALLBACK_EVENT_SET 0x0010
#define TIME_CALLBACK_EVENT_PULSE 0x0020
#define TIME_KILL_SYNCHRONOUS 0x0100

// Callbacks run on the platform's timer thread, one at a time. Only function callbacks are
// supported. Returns the timer's id (never 0), or 0 when the timer could not be started.
PLATFORM_API MMRESULT timeSetEvent(UINT uDelay, UINT uResolution, LPTIMECALLBACK fptc, DWORD_PTR dwUser, UINT fuEvent);
// Stops the timer. Called from outside the timer thread it returns only once no callback of
// the timer is running, so what the callback uses may be freed afterwards.
PLATFORM_API MMRESULT timeKillEvent(UINT uTimerID);
