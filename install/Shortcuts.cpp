#include "install/Shortcuts.h"

void CreateShortcuts() {}
