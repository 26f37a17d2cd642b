#include "transfer/ManifestFetch.h"

TManifestOutcome ManifestOutcome;

void ResetManifestOutcome() { ManifestOutcome = TManifestOutcome{}; }
