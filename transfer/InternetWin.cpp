#include "support/SystemLibrary.h"
#include "transfer/Internet.h"

TWinInet WinInet;

bool LoadWinInet() {
  static void* module;
  if (!module) {
    module = LoadSystemLibrary("wininet.dll");
    if (!module) return false;
    BindExport(module, WinInet.Open, "InternetOpenA");
    BindExport(module, WinInet.OpenUrl, "InternetOpenUrlA");
    BindExport(module, WinInet.ReadFile, "InternetReadFile");
    BindExport(module, WinInet.SetFilePointer, "InternetSetFilePointer");
    BindExport(module, WinInet.CloseHandle, "InternetCloseHandle");
    BindExport(module, WinInet.SetOption, "InternetSetOptionA");
    BindExport(module, WinInet.QueryDataAvailable, "InternetQueryDataAvailable");
    BindExport(module, WinInet.QueryInfo, "HttpQueryInfoA");
  }
  return WinInet.Open && WinInet.OpenUrl && WinInet.ReadFile && WinInet.SetFilePointer && WinInet.CloseHandle &&
         WinInet.SetOption && WinInet.QueryDataAvailable && WinInet.QueryInfo;
}
