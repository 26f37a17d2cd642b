// A program that imports WinInet the ordinary, static way: the case an
// elevated setup program must not be.
#include <windows.h>
#include <wininet.h>

#include <cstdio>

int main() {
  HINTERNET h = InternetOpenA("probe", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  printf("open=%d\n", h ? 1 : 0);
  if (h) InternetCloseHandle(h);
  return 0;
}
