#include "app/Session.h"

#include "config/Settings.h"
#include "support/TextUtil.h"

const char* SettingsSource(int32_t count, bool resourceFound) {
  if (count > 1) return "the command line";
  return resourceFound ? "the INSTDATA resource" : "the program's file name";
}

bool TakesBuiltInSettings(int32_t count, bool silent, bool logGiven, bool timeoutGiven) {
  return count - (silent ? 1 : 0) - (logGiven ? 1 : 0) - (timeoutGiven ? 1 : 0) <= 1;
}

uint32_t RunLimitMs(bool silent, int32_t timeoutSeconds) {
  if (!silent) return 0;
  int32_t seconds = timeoutSeconds < 0 ? kDefaultTimeout : timeoutSeconds;
  // A day at the most: a longer wait is no limit a tool could mean.
  return seconds > 86400 ? 86400000u : static_cast<uint32_t>(seconds) * 1000u;
}

const char* RefusalText(TManifestVerdict verdict) {
  if (verdict == kManifestOlder) return "Update Refused: the file list is older than the installed one.";
  if (verdict == kManifestNoSerial) return "Update Refused: the installed file list's serial cannot be read.";
  return "Update Refused: the file list is not signed by the publisher.";
}

char* FolderRefusalText(char* out, TFolderVerdict verdict, const char* folder) {
  if (verdict == kFolderForeignOwner)
    TextJoin(out, "Installation Refused: the folder ", folder, " belongs to another user.");
  else
    TextJoin(out, "Installation Refused: ordinary users can change the folder ", folder, ".");
  return out;
}

int32_t PassExitCode(const TManifestOutcome& list, bool sourceNamed, int32_t pending) {
  if (VerdictRefuses(list.Verdict)) return kExitRefused;
  // A source was named but gave no list: nothing is known to be complete.
  // Files past a cut may never have been looked at.
  if ((!list.Found && sourceNamed) || list.Cut || pending > 0) return kExitIncomplete;
  return kExitComplete;
}

bool InstallationVerified(bool keysBuiltIn, bool passCompleted, TManifestVerdict verdict, int32_t pending) {
  if (!keysBuiltIn) return true;
  return passCompleted && verdict == kManifestSigned && pending == 0;
}

bool StartsRunAfter(const char* runAfter, bool workersEnded, bool verified, bool keylessCloud) {
  return workersEnded && runAfter[0] && !TextEquals(runAfter, "link") && verified && !keylessCloud;
}
