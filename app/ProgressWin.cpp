#include <windows.h>

#include "app/Progress.h"
#include "app/StatusWindow.h"

void UpdateSpeed() { UpdateSpeedAt(GetTickCount()); }

void UpdateProgress(int32_t bytesDone) {
  if (bytesDone >= 0) TransferStats.BytesDone = static_cast<uint32_t>(bytesDone);
  if (TransferStats.Phase == kPhaseDownloading) UpdateSpeed();
  // Workers never touch the window: the posted WM_PAINT is the whole repaint
  // request (nothing is invalidated), and the UI thread paints.
  PostMessageA(MainWnd, WM_PAINT, 0, 0);
}
