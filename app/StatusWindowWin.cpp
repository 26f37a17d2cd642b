#include "app/StatusWindow.h"

#include <commctrl.h>
#include <shobjidl.h>
#undef CreateStatusWindow  // the common controls' status bar, not ours

#include "app/Progress.h"
#include "app/Session.h"
#include "support/SystemLibrary.h"
#include "support/TextUtil.h"

HWND MainWnd;

namespace {

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

// The controls: the status line at the top, the bar under it with the Cancel
// button beside it, the detail line under the bar. Controls show the texts,
// so that a screen reader (and the tests' probe) reads what is painted.
HWND Line, Bar, Detail, Button;
UINT Dpi = 96;
// The stock font at 96 DPI; elsewhere, where it would be tiny, the system's
// message font at the window's DPI.
HFONT Font;
UINT(WINAPI* DpiForWindow)(HWND);
UINT ButtonCreated;  // the shell's word that the taskbar button exists
ITaskbarList3* Taskbar;
// What the controls show: set again only when it changes.
char shownLine[256];
char shownDetail[kDetailCapacity];
int32_t shownPhase = -1;
uint32_t shownPercent = ~0u;

int Scaled(int value) { return MulDiv(value, static_cast<int>(Dpi), 96); }

// The window's DPI; without a window, or where the system cannot say, the
// system's (the screen's, which the message font is made for).
UINT WindowDpi(HWND window) {
  UINT dpi = window && DpiForWindow ? DpiForWindow(window) : 0;
  if (dpi) return dpi;
  HDC screen = GetDC(nullptr);
  dpi = static_cast<UINT>(GetDeviceCaps(screen, LOGPIXELSY));
  ReleaseDC(nullptr, screen);
  return dpi ? dpi : 96;
}

void ApplyFont() {
  HFONT old = Font;
  Font = static_cast<HFONT>(GetStockObject(ANSI_VAR_FONT));
  NONCLIENTMETRICSA metrics;
  metrics.cbSize = sizeof metrics;
  if (Dpi != 96 && SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    // Given at the system's DPI; the window may show at another.
    metrics.lfMessageFont.lfHeight =
        MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(Dpi), static_cast<int>(WindowDpi(nullptr)));
    if (HFONT made = CreateFontIndirectA(&metrics.lfMessageFont)) Font = made;
  }
  HWND controls[] = {Line, Bar, Detail, Button};
  for (HWND control : controls) SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(Font), TRUE);
  if (old && old != GetStockObject(ANSI_VAR_FONT)) DeleteObject(old);
}

// Laid out in units of 96 DPI on the client's width.
void Layout(HWND window) {
  RECT client;
  GetClientRect(window, &client);
  int width = client.right;
  int button = Scaled(75), margin = Scaled(8);
  int bar = width - 3 * margin - button;
  MoveWindow(Line, 0, Scaled(4), width, Scaled(16), TRUE);
  MoveWindow(Bar, margin, Scaled(26), bar, Scaled(14), TRUE);
  MoveWindow(Button, width - margin - button, Scaled(23), button, Scaled(23), TRUE);
  MoveWindow(Detail, margin, Scaled(42), bar, Scaled(15), TRUE);
}

HWND MakeControl(HWND parent, const char* cls, const char* text, DWORD style, int id) {
  return CreateWindowExA(0, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr), nullptr);
}

}  // namespace

void CreateStatusWindow() {
  // The common controls of the system folder; the manifest asks for their
  // version 6, which draws the marquee.
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  BOOL(WINAPI * initControls)(const INITCOMMONCONTROLSEX*);
  if (BindExport(LoadSystemLibrary("comctl32.dll"), initControls, "InitCommonControlsEx")) initControls(&controls);
  BindExport(GetModuleHandleA("user32.dll"), DpiForWindow, "GetDpiForWindow");
  Dpi = WindowDpi(nullptr);
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = StatusWndProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = "CN";
  RegisterClassA(&windowClass);
  MainWnd = CreateWindowExA(0, "CN", "Velorin Downloader", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 10, Scaled(kStatusWidth),
                            Scaled(kStatusHeight), nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  if (!MainWnd) return;
  Line = MakeControl(MainWnd, "STATIC", "", SS_CENTER | SS_CENTERIMAGE | SS_NOPREFIX, 0);
  Bar = MakeControl(MainWnd, PROGRESS_CLASSA, "", 0, 0);
  Detail = MakeControl(MainWnd, "STATIC", "", SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0);
  Button = MakeControl(MainWnd, "BUTTON", "Cancel", WS_TABSTOP | BS_DEFPUSHBUTTON, IDCANCEL);
  // Made at the DPI of the screen; the window may show at another.
  UINT shown = WindowDpi(MainWnd);
  if (shown != Dpi) {
    Dpi = shown;
    SetWindowPos(MainWnd, nullptr, 0, 0, Scaled(kStatusWidth), Scaled(kStatusHeight), SWP_NOMOVE | SWP_NOZORDER);
  }
  ApplyFont();
  Layout(MainWnd);
  // The shell tells an elevated program of its taskbar button only when let.
  ButtonCreated = RegisterWindowMessageA("TaskbarButtonCreated");
  ChangeWindowMessageFilterEx(MainWnd, ButtonCreated, MSGFLT_ALLOW, nullptr);
  PaintStatus(MainWnd);  // shown whole from the first moment
}

LRESULT CALLBACK StatusWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT:
      PaintStatus(window);
      break;
    case WM_DESTROY:
      OnDestroy();
      break;
    case WM_SIZE:
      Layout(window);
      break;
    case WM_SETFOCUS:
      SetFocus(Button);
      return 0;
    case WM_COMMAND:
      // Cancel, Enter or Escape: what closing the window does.
      if (LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == IDOK) PostMessageA(window, WM_CLOSE, 0, 0);
      return 0;
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetBkColor(dc, GetSysColor(COLOR_WINDOW));
      if (reinterpret_cast<HWND>(lParam) == Detail) SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    }
    case WM_DPICHANGED: {
      Dpi = HIWORD(wParam);
      ApplyFont();
      const RECT* r = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(window, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    default:
      if (message == ButtonCreated && ButtonCreated) {
        // Again after the shell restarted: the old button is gone.
        if (Taskbar) Taskbar->Release();
        Taskbar = nullptr;
        CoInitialize(nullptr);
        if (SUCCEEDED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                       reinterpret_cast<void**>(&Taskbar))) &&
            FAILED(Taskbar->HrInit())) {
          Taskbar->Release();
          Taskbar = nullptr;
        }
        shownPhase = -1;  // shown anew on the button
      }
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

void PaintStatus(HWND window) {
  const char* line = StatusText();
  if (!TextEquals(line, shownLine)) {
    TextCopyMax(shownLine, line, sizeof shownLine);
    SetWindowTextA(Line, line);
  }
  char detail[kDetailCapacity];
  if (!TextEquals(StatusDetail(detail, GetTickCount()), shownDetail)) {
    TextCopy(shownDetail, detail);
    SetWindowTextA(Detail, detail);
  }
  // A marquee while nothing can be measured; red once the run ended short.
  int32_t phase = TransferStats.Phase;
  bool busy = phase == kPhaseInitializing || phase == kPhaseFinalizing;
  if (phase != shownPhase) {
    shownPhase = phase;
    // The marquee message needs the style: set before it starts, cleared
    // after it stops.
    LONG style = GetWindowLongA(Bar, GWL_STYLE);
    if (busy) SetWindowLongA(Bar, GWL_STYLE, style | PBS_MARQUEE);
    SendMessageA(Bar, PBM_SETMARQUEE, busy, 30);
    if (!busy) SetWindowLongA(Bar, GWL_STYLE, style & ~PBS_MARQUEE);
    shownPercent = ~0u;
    if (phase == kPhaseEnded) SendMessageA(Bar, PBM_SETSTATE, PBST_ERROR, 0);
    if (Taskbar)
      Taskbar->SetProgressState(window, busy ? TBPF_INDETERMINATE : phase == kPhaseEnded ? TBPF_ERROR : TBPF_NORMAL);
  }
  uint32_t percent = ProgressPercent();
  if (busy || percent == shownPercent) return;
  shownPercent = percent;
  SendMessageA(Bar, PBM_SETPOS, percent, 0);
  // A call to the shell's process: only when the bar moves.
  if (Taskbar) Taskbar->SetProgressValue(window, percent, 100);
}
