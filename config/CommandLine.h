// The command line: the tokeniser, the keyword scan and the setters it uses.
// Platform-free (CommandLine.cpp) but for ParseCommandLine (CommandLineWin.cpp).
#pragma once
#include <cstdint>

// Copies `line` into CommandLine (cut at its capacity), splits it into Args and
// applies the keywords. Returns ArgCount.
int32_t ParseCommandText(const char* line);
// Arguments beyond the table's capacity are dropped.
void AddArg(char* text);
void ApplyArguments();
// host or host:port; true when the host part holds a '.'.
bool SetHost(const char* text);
// Appends one quoted argument, only when it fits whole.
void AppendRunAfter(const char* text);

// Win32 side: ParseCommandText over the process command line; runs an
// uninstall request (which never returns).
int32_t ParseCommandLine();
