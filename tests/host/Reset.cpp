#include "tests/host/Reset.h"

#include "app/Progress.h"
#include "config/Settings.h"
#include "manifest/Manifest.h"
#include "manifest/Sites.h"
#include "transfer/ManifestFetch.h"

void ResetCore() {
  ResetSettings();
  ResetSites();
  ResetManifest();
  WatchedName[0] = 0;
  ResetStats();
  ResetManifestOutcome();
}
