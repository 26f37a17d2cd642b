#include <doctest/doctest.h>

#include <string>

#include "app/RunAfter.h"
#include "app/Session.h"
#include "config/Settings.h"

TEST_CASE("the exit code a pass earns") {
  struct Case {
    TManifestVerdict verdict;
    bool found, cut, sourceNamed;
    int32_t pending;
    int32_t code;
  } cases[] = {
      {kManifestUnsigned, true, false, true, 0, kExitComplete},
      {kManifestSigned, true, false, true, 0, kExitComplete},
      {kManifestSigned, true, false, true, 2, kExitIncomplete},
      // no list where a source was named: nothing is known to be complete
      {kManifestUnsigned, false, false, true, 0, kExitIncomplete},
      // nor a list beside the program: nothing to do
      {kManifestUnsigned, false, false, false, 0, kExitComplete},
      // a cut list: what lay past the cut was never looked at
      {kManifestUnsigned, true, true, true, 0, kExitIncomplete},
      {kManifestNotSigned, true, false, true, 0, kExitRefused},
      {kManifestOlder, true, false, true, 0, kExitRefused},
      {kManifestNoSerial, true, true, true, 3, kExitRefused},
  };
  for (const Case& c : cases) {
    CAPTURE(c.verdict);
    CAPTURE(c.pending);
    TManifestOutcome list = {};
    list.Verdict = c.verdict;
    list.Found = c.found;
    list.Cut = c.cut;
    CHECK(PassExitCode(list, c.sourceNamed, c.pending) == c.code);
  }
}

TEST_CASE("what a refused folder says") {
  char text[kTextCapacity + 160];
  CHECK(std::string(FolderRefusalText(text, kFolderForeignOwner, "C:\\Apps")) ==
        "Installation Refused: the folder C:\\Apps belongs to another user.");
  CHECK(std::string(FolderRefusalText(text, kFolderOpenToUsers, "C:\\Apps\\V")) ==
        "Installation Refused: ordinary users can change the folder C:\\Apps\\V.");
}

TEST_CASE("what starts at the end of a run") {
  struct Case {
    bool keys, completed;
    TManifestVerdict verdict;
    int32_t pending;
    bool verified;
  } verdicts[] = {
      {false, false, kManifestUnsigned, 5, true},  // without keys nothing is checked
      {true, true, kManifestSigned, 0, true},
      {true, false, kManifestSigned, 0, false},  // the window closed during the pass
      {true, true, kManifestSigned, 1, false},
      {true, true, kManifestUnsigned, 0, false},
  };
  for (const Case& c : verdicts) {
    CAPTURE(c.keys);
    CAPTURE(c.completed);
    CAPTURE(c.pending);
    CHECK(InstallationVerified(c.keys, c.completed, c.verdict, c.pending) == c.verified);
  }
  struct Start {
    const char* runAfter;
    bool ended, verified, keylessCloud, starts;
  } starts[] = {
      {"C:\\Velorin\\Corvane.exe", true, true, false, true},
      {"C:\\Velorin\\Corvane.exe", false, true, false, false},  // a worker could still change it
      {"C:\\Velorin\\Corvane.exe", true, false, false, false},
      {"C:\\Velorin\\Corvane.exe", true, true, true, false},  // anyone's list, anyone's client
      {"", true, true, false, false},
      {"link", true, true, false, false},  // no shortcut replaced it
      {"LINK", true, true, false, false},
      {"linkx", true, true, false, true},
  };
  for (const Start& s : starts) {
    CAPTURE(s.runAfter);
    CHECK(StartsRunAfter(s.runAfter, s.ended, s.verified, s.keylessCloud) == s.starts);
  }
}

TEST_CASE("the command line alone or the built-in settings, and a silent run's limit") {
  // silent, log= and timeout= alone leave the copy to its resource or its name
  struct Case {
    int32_t count;
    bool silent, log, timeout, builtIn;
  } cases[] = {
      {1, false, false, false, true}, {2, true, false, false, true},   {3, true, true, false, true},
      {2, false, true, false, true},  {2, false, false, false, false}, {3, true, false, false, false},
      {4, true, true, true, true},    {4, true, false, true, false},
  };
  for (const Case& c : cases) {
    CAPTURE(c.count);
    CHECK(TakesBuiltInSettings(c.count, c.silent, c.log, c.timeout) == c.builtIn);
  }
  // Only a silent run has a limit; the default is an hour, 0 is none.
  struct Limit {
    bool silent;
    int32_t seconds;
    uint32_t ms;
  } limits[] = {{false, 5, 0}, {true, -1, 3600000}, {true, 0, 0}, {true, 20, 20000}, {true, 2000000000, 86400000}};
  for (const Limit& l : limits) {
    CAPTURE(l.seconds);
    CHECK(RunLimitMs(l.silent, l.seconds) == l.ms);
  }
}

TEST_CASE("the run-after text as a program and its arguments") {
  struct Case {
    const char* text;
    TRunAfterKind kind;
    const char *program, *arguments;
  } cases[] = {
      {"\"C:\\Velorin\\Corvane.exe\" \"/SKVO\" \"two words\"", kRunCommand, "C:\\Velorin\\Corvane.exe",
       "\"/SKVO\" \"two words\""},
      {"\"Corvane.exe\"", kRunCommand, "Corvane.exe", ""},
      {"C:\\Users\\Public\\Desktop\\Corvane.lnk", kRunShortcut, "C:\\Users\\Public\\Desktop\\Corvane.lnk", ""},
      {"link", kRunNothing, "", ""},
      {"", kRunNothing, "", ""},
      {"\"\" \"/x\"", kRunNothing, "", ""},      // no program
      {"\"C:\\a b\\c.exe", kRunNothing, "", ""},  // never closed
  };
  for (const Case& c : cases) {
    CAPTURE(c.text);
    char program[kTextCapacity];
    const char* arguments = nullptr;
    CHECK(SplitRunAfter(c.text, program, kTextCapacity, &arguments) == c.kind);
    CHECK(std::string(program) == c.program);
    CHECK(std::string(arguments) == c.arguments);
  }
  // A program that does not fit is no program, not a cut one.
  char small[8];
  const char* arguments = nullptr;
  CHECK(SplitRunAfter("\"C:\\Corvane.exe\"", small, sizeof small, &arguments) == kRunNothing);
  CHECK(SplitRunAfter("C:\\x\\y.lnk", small, sizeof small, &arguments) == kRunNothing);

  struct Relative {
    const char* program;
    bool relative;
  } names[] = {{"Corvane.exe", true}, {"bin\\tool.exe", true}, {"..\\x.exe", true},
               {"C:\\x.exe", false},  {"C:x.exe", false},      {"\\\\host\\share\\x.exe", false},
               {"\\x.exe", false}};
  for (const Relative& r : names) {
    CAPTURE(r.program);
    CHECK(IsRelativeProgram(r.program) == r.relative);
  }

}
