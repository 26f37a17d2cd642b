// The command-line tokeniser and the keyword scan.
#include <cstdint>
#include <string>

#include "config/CommandLine.h"
#include "config/Settings.h"
#include "manifest/Sites.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ResetSettings();
  ResetSites();
  std::string line(reinterpret_cast<const char*>(data), size);
  ParseCommandText(line.c_str());
  if (Settings.ArgCount > kMaxArgs) __builtin_trap();
  ResetSites();
  return 0;
}
