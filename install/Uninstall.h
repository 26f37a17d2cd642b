// Removing an installation, in two stages through a copy in the temporary
// folder. Never returns.
#pragma once

[[noreturn]] void Uninstall();
