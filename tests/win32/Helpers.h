// Small helpers for the Win32 tests: a fresh folder per test, and file
// contents and times read back through the Windows API.
#pragma once
#include <windows.h>

#include <string>

// A new, empty folder under the temporary folder, ending with '\'.
std::string FreshFolder(const char* tag);
bool Exists(const std::string& path);
bool IsFolder(const std::string& path);
std::string ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::string& data);
// Last-write time as "YYYY-MM-DD HH:MM:SS" in UTC.
std::string WriteTimeText(const std::string& path);
// Runs a command line, returns its standard output (empty on failure).
std::string RunCapture(const std::string& commandLine, DWORD timeoutMs = 30000);
