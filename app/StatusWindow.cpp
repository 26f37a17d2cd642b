#include <windows.h>

#include "app/Progress.h"
#include "app/Session.h"

void UpdateSpeed() { UpdateSpeedAt(GetTickCount()); }

void UpdateProgress(int32_t bytesDone) {
  if (bytesDone >= 0) Stats.BytesDone = static_cast<uint32_t>(bytesDone);
  if (Stats.Phase == 1) UpdateSpeed();
  PostMessageA(MainWnd, WM_PAINT, 0, 0);
}

void PaintStatus(HWND window) {
  static HDC statusDC;
  if (!statusDC) {
    statusDC = GetDC(window);
    SelectObject(statusDC, GetStockObject(ANSI_VAR_FONT));
  }
  RECT rect;
  GetClientRect(window, &rect);
  RECT fill = {0, 0, 340, 100};
  FillRect(statusDC, &fill, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
  DrawTextA(statusDC, StatusText(), -1, &rect, DT_SINGLELINE | DT_VCENTER | DT_CENTER);
}
