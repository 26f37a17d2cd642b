#include "config/Settings.h"

#include <cstring>

#include "support/TextUtil.h"

TSettings Settings;

void ResetSettings() {
  memset(&Settings, 0, sizeof(Settings));
  TextCopy(Settings.LinkName, "Velorin Client");
  Settings.IncludeSections = kIncludeDefault;
  Settings.TimeoutSeconds = -1;
}

namespace {

struct SettingsInit {
  SettingsInit() { ResetSettings(); }
} settingsInit;

}  // namespace
