#include "app/StatusWindow.h"

#include "app/Progress.h"
#include "app/Session.h"

HWND MainWnd;

namespace {
// Taken at the first paint and kept for the life of the process: the posted
// WM_PAINT carries no paint cycle, so there is no BeginPaint to give one.
HDC StatusDC;
}  // namespace

void CreateStatusWindow() {
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = StatusWndProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(1);
  windowClass.lpszClassName = "CN";
  RegisterClassA(&windowClass);
  MainWnd = CreateWindowExA(0, "CN", "Velorin Downloader", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 10, kStatusWidth,
                            kStatusHeight, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
}

LRESULT CALLBACK StatusWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_PAINT)
    PaintStatus(window);
  else if (message == WM_DESTROY)
    OnDestroy();
  return DefWindowProcA(window, message, wParam, lParam);
}

void PaintStatus(HWND window) {
  if (!StatusDC) {
    StatusDC = GetDC(window);
    SelectObject(StatusDC, GetStockObject(ANSI_VAR_FONT));
  }
  RECT rect;
  GetClientRect(window, &rect);
  RECT fill = {0, 0, kStatusWidth, kStatusHeight};
  FillRect(StatusDC, &fill, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
  DrawTextA(StatusDC, StatusText(), -1, &rect, DT_SINGLELINE | DT_VCENTER | DT_CENTER);
}
