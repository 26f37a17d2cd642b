// The status window: its class, its creation, its procedure and its painting
// (Win32 side only, StatusWindowWin.cpp).
#pragma once
#include <windows.h>

constexpr int kStatusWidth = 340;
constexpr int kStatusHeight = 100;

extern HWND MainWnd;

// Registers the class and creates the hidden status window.
void CreateStatusWindow();
LRESULT CALLBACK StatusWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void PaintStatus(HWND window);
