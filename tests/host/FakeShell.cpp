// The shell folder the host tests resolve: the common application data.
#include "config/BuiltIn.h"
#include "support/TextUtil.h"

char* SpecialFolderPath(char* buffer, int csidl) {
  if (csidl != 35) {
    buffer[0] = 0;
    return nullptr;
  }
  TextCopy(buffer, "C:\\ProgramData\\");
  return buffer;
}
