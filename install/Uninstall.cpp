#include "install/Uninstall.h"

#include <windows.h>

void Uninstall() { ExitProcess(0); }
