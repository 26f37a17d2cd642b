// The run's log, for deployment tools that run the program unattended: one
// line per event, with a time stamp, appended to the file that log= names.
// Nothing is written without it, and a log that cannot be written never
// stops the run (Win32 side only, LogWin.cpp).
#pragma once
#include <cstdint>

// Opens the log; false (and no log) when the file cannot be opened or is not
// a plain file with one name. The caller checks the folders on its way.
bool OpenLog(const char* path);
void CloseLog();
bool LogOpen();
// One line: the time stamp (UTC), then the pieces as they come; the first
// nullptr ends them.
void LogLine(const char* a, const char* b = nullptr, const char* c = nullptr, const char* d = nullptr,
             const char* e = nullptr, const char* f = nullptr, const char* g = nullptr, const char* h = nullptr);
