#include <doctest/doctest.h>

#include "app/Session.h"

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
    bool ended, verified, starts;
  } starts[] = {
      {"C:\\Velorin\\Corvane.exe", true, true, true},
      {"C:\\Velorin\\Corvane.exe", false, true, false},  // a worker could still change it
      {"C:\\Velorin\\Corvane.exe", true, false, false},
      {"", true, true, false},
      {"link", true, true, false},  // no shortcut replaced it
      {"LINK", true, true, false},
      {"linkx", true, true, true},
  };
  for (const Start& s : starts) {
    CAPTURE(s.runAfter);
    CHECK(StartsRunAfter(s.runAfter, s.ended, s.verified) == s.starts);
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
