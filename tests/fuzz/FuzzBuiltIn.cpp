// The file-name scheme and the INSTDATA splitting.
#include <cstdint>
#include <string>

#include "config/BuiltIn.h"
#include "config/CommandLine.h"
#include "config/Settings.h"
#include "manifest/Sites.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  ResetSettings();
  ResetSites();
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] & 1) {
    ParseCommandText("C:\\setup.exe");
    ApplyInstData(text.data(), static_cast<int32_t>(text.size()));
  } else {
    ParseCommandText(("\"" + text).c_str());  // Args[0] is the program's own path
    ApplyFileNameScheme();
  }
  ResetSites();
  return 0;
}
