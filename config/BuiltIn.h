// Settings a program carries in itself: the INSTDATA resource or its own file
// name; and the expansion of the installation folder.
#pragma once

void LoadBuiltInSettings();
void ExpandInstallDir();
