// The run-after command: what it names (RunAfter.cpp, platform-free) and its
// start as the desktop's user as the run ends (RunAfterWin.cpp).
#pragma once
#include <cstdint>

enum TRunAfterKind {
  kRunNothing,
  kRunCommand,   // a program and its arguments, from `next`
  kRunShortcut,  // the desktop shortcut the run made, for "link"
};

// A text from `next` is quoted words: the first is the program, the rest, as
// they stand, its arguments. Any other text is the path of the shortcut that
// replaced "link", whole and without arguments. Nothing for an empty text,
// "link" itself, an empty or unclosed first word or a program that does not
// fit capacity.
TRunAfterKind SplitRunAfter(const char* text, char* program, int32_t capacity, const char** arguments);
// A name the installation folder, and then the shell, looks up: neither a
// drive nor a root in it.
bool IsRelativeProgram(const char* program);

// Win32 side.

// Before the list is read: the file whose signed line the start checks, in
// WatchedName.
void WatchRunAfterProgram();
// Starts the run-after program as the desktop's user, from the installation
// folder. With keys built in, a program inside the folder starts only when
// its content, read with writers shut out, is its signed line's. Nothing
// starts where no desktop shell can start it; the log says why.
void StartRunAfter(const char* command, bool silent, bool keysBuiltIn);
