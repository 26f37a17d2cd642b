// The Win32 unit tests. Started with --parse-probe, the program instead parses
// its own command line and prints the arguments, one a line, so that a test
// can check the parse of a real process command line.
#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest/doctest.h>

#include <cstdio>
#include <cstring>

#include "config/BuiltIn.h"
#include "config/InstallDir.h"
#include "config/CommandLine.h"
#include "config/Settings.h"

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[argc - 1], "--parse-probe") == 0) {
    int32_t n = ParseCommandLine();
    for (int i = 0; i < n; ++i) printf("[%s]\n", Settings.Args[i]);
    printf("dir=%s|kvo=%d|run=%s\n", Settings.InstallDir, Settings.ShortcutsEnabled ? 1 : 0,
           Settings.RunAfter);
    return 0;
  }
  if (argc > 1 && strcmp(argv[argc - 1], "--builtin-probe") == 0) {
    // As the session does it: the built-in settings only for a bare command line.
    ParseCommandText(argv[0]);
    LoadBuiltInSettings();
    ExpandInstallDir();
    printf("dir=%s|kvo=%d|host=%s|port=%d|resource=%d\n", Settings.InstallDir, Settings.ShortcutsEnabled ? 1 : 0,
           Settings.Host, static_cast<int>(Settings.Port), static_cast<int>(Settings.ResourceFound));
    return 0;
  }
  doctest::Context context(argc, argv);
  return context.run();
}
